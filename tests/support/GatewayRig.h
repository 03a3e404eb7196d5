#pragma once

#include "app/ChannelAdapters.h"
#include "channels/SmsSender.h"
#include "core/ActivityLog.h"
#include "core/RunConfiguration.h"
#include "dispatch/ProcessingControl.h"
#include "support/CycleWait.h"
#include "support/FakeChannels.h"
#include "support/FakeClock.h"
#include "support/FakeTable.h"
#include "support/FakeWindow.h"
#include "support/InlineStore.h"
#include "support/Processing.h"
#include "support/RecordingLogView.h"
#include "support/ScriptedGateway.h"
#include "support/TempProfile.h"

namespace korvane::test {

// Timeouts a test can wait out: an enquire_link after idleMs idle, a drop 50 ms later, a
// failed bind not tried again for 100 ms (then 200 ms).
inline SmppTimeouts shortTimeouts(int idleMs = 40) {
    SmppTimeouts timeouts{2000, 1500};
    timeouts.idleMs = idleMs;
    timeouts.linkAnswerMs = 50;
    timeouts.firstBindRetryMs = 100;
    timeouts.longestBindRetryMs = 1000;
    return timeouts;
}

// Cycles over an in-memory table, with the real SMS engine and a scripted gateway.
struct GatewayRig {
    ScriptedGateway gateway{[](int) { return ScriptedGateway::Step::answer(); }};
    TempProfile profile;
    FakeClock clock{QDateTime(QDate(2026, 12, 6), QTime(9, 30, 0))};
    RecordingLogView view;
    ActivityLog log{profile.logsDir(), clock, &view};
    SmsSender sender;
    SmppChannel sms{sender};
    FakeEmail email;
    RunConfiguration config;
    FakeWindow window;
    FakeTable table;
    Processing processing{config, log, window, sms, email, clock};
    ProcessingControl& control = processing.control;
    int nextId = 1;

    explicit GatewayRig(int idleMs = 40, int receiptAnswerMs = ReceiptInbox::kAnswerMs)
        : sender(shortTimeouts(idleMs), nullptr, SmsSender::kDefaultWindow, receiptAnswerMs) {
        config.dsnName = QStringLiteral("Orders");
        config.cellServer = QStringLiteral("127.0.0.1");
        config.cellPort = gateway.port();
        config.cellUserName = QStringLiteral("Shop");
        config.smtpServer = QStringLiteral("mail");
        config.smtpPort = QStringLiteral("25");
        config.dontSendProcessedMsgs = 1;
        control.setStoreFactory([this] { return inlineStore<FakeStore>(table); });
    }
    // Adds rows and runs a cycle; returns the new rows' ids.
    QList<int> cycleWith(int rows, const QString& text = QStringLiteral("hi")) {
        QList<int> ids;
        for (int i = 0; i < rows; ++i) {
            ids << nextId;
            table.rows.push_back(
                FakeTable::sms(nextId, QStringLiteral("+44207%1").arg(nextId), text));
            ++nextId;
        }
        control.Timer1_Timer();
        test::untilCycleEnds(control);
        return ids;
    }
    QStringList lines() const { return profile.logLines(QStringLiteral("Log_061226.log")); }
};

}  // namespace korvane::test
