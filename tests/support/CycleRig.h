#pragma once

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
#include "support/TempProfile.h"

namespace korvane::test {

// One dispatch cycle over an in-memory table with fake channels: no server anywhere.
struct CycleRig {
    using Column = MessageTable::Column;

    TempProfile profile;
    FakeClock clock{QDateTime(QDate(2026, 12, 6), QTime(9, 30, 0))};
    RecordingLogView view;
    ActivityLog log{profile.logsDir(), clock, &view};
    FakeSms sms;
    FakeEmail email;
    RunConfiguration config;
    FakeWindow window;
    FakeTable table;
    Processing processing{config, log, window, sms, email, clock};
    ProcessingControl& control = processing.control;
    QStringList unclaimedSends;  // a message handed over before its row was claimed

    CycleRig() {
        config.dsnName = QStringLiteral("Orders");
        config.cellServer = QStringLiteral("gateway");
        config.cellPort = QStringLiteral("2775");
        config.cellUserName = QStringLiteral("Shop");
        config.smtpServer = QStringLiteral("mail");
        config.smtpPort = QStringLiteral("25");
        config.dontSendProcessedMsgs = 1;
        control.setStoreFactory([this] { return inlineStore<FakeStore>(table); });
        sms.onSend = [this](const QString& number) { checkClaimed(Column::MobileNo, number); };
        email.onSend = [this](const QString& to) { checkClaimed(Column::EmailTo, to); };
    }
    void checkClaimed(Column column, const QString& value) {
        for (const FakeTable::Values& row : table.rows) {
            if (MessageTable::toText(row[size_t(column)]) == value &&
                MessageTable::toText(row[size_t(Column::ProcessStatus)]) !=
                    QLatin1String(MessageTable::Status::kBeingSent)) {
                unclaimedSends << value;
            }
        }
    }
    void cycle() {
        control.Timer1_Timer();
        test::untilCycleEnds(control);
    }
    QStringList lines() const { return profile.logLines(QStringLiteral("Log_061226.log")); }
    // The entries of one row, from its blank line to the next blank line or the cycle's end.
    QStringList rowLines(int id) const {
        const QStringList all = lines();
        qsizetype at = all.indexOf(QStringLiteral("Processing message for Record Id: %1").arg(id));
        QStringList mine;
        for (++at; at >= 1 && at < all.size() && !all[at].isEmpty() &&
                   all[at] != QStringLiteral("Process Completed...");
             ++at) {
            mine << all[at];
        }
        return mine;
    }
};

}  // namespace korvane::test
