#pragma once

#include <QCoro/QCoroTask>
#include <QTimer>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "dispatch/Counters.h"
#include "dispatch/MessageStore.h"
#include "dispatch/SentIds.h"
#include "dispatch/SideConnection.h"
#include "dispatch/SmsChannel.h"

namespace korvane {

class ActivityLog;
class Clock;
struct RunConfiguration;

// Delivery receipts, from the gateway into the producer's row. On while the table has the
// receipt columns. A receipt finds its row by the ids saved with the row's outcome (SentIds,
// else the table), and its state is written with a guarded UPDATE; only then is it answered,
// so a receipt never written is offered again by the gateway. During a cycle the receipts go
// through the cycle's connection between its steps; between cycles through a connection of
// their own (SideConnection).
//
// A long SMS keeps its parts' states here: a final failure of any part is written at once,
// DELIVRD only once every part has reported it. A receipt whose id is not saved yet (its
// answer and the receipt can cross) waits up to kMatchWaitS for it; then, or when it matches
// no row, it is logged once and answered.
class ReceiptDesk : public ReceiptListener {
public:
    using StoreFactory = SideConnection::StoreFactory;
    static constexpr int kMatchWaitS = 60;
    static constexpr int kGatherMs = 20;  // receipts gathered into one write between cycles

    ReceiptDesk(SmsChannel& sms, ActivityLog& log, const Clock& clock, Counters& counters,
                const RunConfiguration& config, StoreFactory makeStore);
    ~ReceiptDesk() override;
    ReceiptDesk(const ReceiptDesk&) = delete;
    ReceiptDesk& operator=(const ReceiptDesk&) = delete;
    // How long receipts are gathered between cycles (kGatherMs unless set).
    void setGatherMs(int ms) { gatherMs_ = ms; }

    // What the cycle's selection found; with receipts on, the gateway is bound so that they
    // come while nothing is sent.
    QCoro::Task<> tableFound(MessageStore::TableFeatures features);
    bool on() const { return features_.receipts; }
    // A cycle runs: receipts wait for its steps rather than use a connection of their own.
    void cycleRunning(bool running);
    // An SMS sent: its ids as they fit SmscMessageId; cut: the line that says so.
    QString fit(qint32 recordId, const QString& ids, QString& cut) const;
    // An SMS's ids are saved with its outcome: its receipts can find it now.
    void saved(const QVariant& recId, const QString& ids, const QString& stored);
    // Writes the receipts that came, through the store given, and answers them.
    QCoro::Task<> writeThrough(CycleStore& store);

    void receiptArrived(const Receipt& receipt) override;
    void gatewayNotice(const QString& line) override;

private:
    struct Waiting {
        Receipt receipt;
        QDateTime arrived;
        bool lookedUp = false;
    };
    struct Batch {
        std::vector<MessageStore::ReceiptWrite> writes;
        std::vector<quint64> tokens;  // answered once the writes are in
        std::vector<quint64> known;   // nothing to write: answered at once
    };
    QCoro::Task<> writeOwn();
    QCoro::Task<> lookUp(CycleStore& store);
    void take(Waiting& waiting, const SentIds::Hit& hit, Batch& batch);
    void giveUp(const Waiting& waiting);
    void log(const QString& line);
    void logOnce(const QString& line);

    SmsChannel& sms_;
    ActivityLog& log_;
    const Clock& clock_;
    Counters& counters_;
    const RunConfiguration& config_;
    MessageStore::TableFeatures features_;
    SentIds ids_;
    std::deque<Waiting> waiting_;
    std::map<QString, std::vector<QString>> partStates_;  // a long SMS's parts, by its row
    std::set<QString> givenUp_;  // ids logged as unmatched: answered at once when offered again
    SideConnection own_;
    QTimer gather_;
    int gatherMs_ = kGatherMs;
    QString lastFailure_;
    bool cycle_ = false;
    bool writing_ = false;  // a write is out (own or the cycle's): another waits for its turn
};

}  // namespace korvane
