#pragma once

#include <QCoro/QCoroTask>
#include <QTimer>
#include <deque>

#include "dispatch/Counters.h"
#include "dispatch/MessageStore.h"
#include "dispatch/ReplyAssembler.h"
#include "dispatch/SideConnection.h"
#include "dispatch/SmsChannel.h"

namespace korvane {

class ActivityLog;
class Clock;
struct RunConfiguration;

// Messages from phones, from the gateway into tblReceivedMessages. On while the data source
// has that table: the sessions then bind as transceivers. A message is put together from its
// parts (ReplyAssembler), stored, and only then answered; a write that fails is answered
// ESME_RX_T_APPN so that the gateway offers it again. During a cycle the replies go through the
// cycle's connection between its steps; between cycles through a connection of their own.
class ReplyDesk : public ReplyListener {
public:
    static constexpr int kGatherMs = 20;  // replies gathered into one write between cycles
    static constexpr size_t kMostPerWrite = 500;

    ReplyDesk(SmsChannel& sms, ActivityLog& log, const Clock& clock, Counters& counters,
              const RunConfiguration& config, SideConnection::StoreFactory makeStore);
    ~ReplyDesk() override;
    ReplyDesk(const ReplyDesk&) = delete;
    ReplyDesk& operator=(const ReplyDesk&) = delete;
    // How long replies are gathered between cycles (kGatherMs unless set).
    void setGatherMs(int ms) { gatherMs_ = ms; }

    // What the cycle's store found: on with tblReceivedMessages.
    QCoro::Task<> tableFound(MessageStore::TableFeatures features);
    bool on() const { return on_; }
    void cycleRunning(bool running);
    // Stores the replies that are whole, through the store given, and answers them.
    QCoro::Task<> writeThrough(CycleStore& store);
    // Messages waiting past their time given up on: stored with their missing parts marked.
    void giveUpOverdue();

    void replyArrived(const ReplyPart& part) override;

private:
    void queue(ReplyAssembler::Reply reply);
    QCoro::Task<> writeOwn();
    void answer(const ReplyAssembler::Reply& reply, bool written);
    void logStored(const ReplyAssembler::Reply& reply, const MessageStore::StoredReply& stored);
    void armDue();
    void log(const QString& line);

    SmsChannel& sms_;
    ActivityLog& log_;
    const Clock& clock_;
    Counters& counters_;
    const RunConfiguration& config_;
    ReplyAssembler assembler_;
    std::deque<ReplyAssembler::Reply> ready_;
    SideConnection own_;
    QTimer gather_;
    int gatherMs_ = kGatherMs;
    QTimer due_;
    QString lastFailure_;
    bool on_ = false;
    bool cycle_ = false;
    bool writing_ = false;  // a write is out (own or the cycle's): another waits for its turn
};

}  // namespace korvane
