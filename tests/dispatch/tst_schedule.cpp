#include <QTest>

#include "dispatch/Retries.h"
#include "support/CycleRig.h"

using namespace korvane;
using test::CycleRig;
using test::FakeTable;
using Column = MessageTable::Column;

namespace {

const QString kLater = QString::fromLatin1(MessageTable::Status::kSendAgainLater);
const QString kSmsSent = QString::fromLatin1(MessageTable::Status::kSmsSent);
const QString kSmsNotSent = QString::fromLatin1(MessageTable::Status::kSmsNotSent);

// A table with every optional column of the schedule.
struct ScheduleRig : CycleRig {
    ScheduleRig() {
        table.optional.sendAfter = true;
        table.optional.expiresAt = true;
        table.optional.priority = true;
        table.optional.retries = true;
    }
    FakeTable::Values& add(int id, const QString& number = QString()) {
        table.rows.push_back(
            FakeTable::sms(id, number.isEmpty() ? QStringLiteral("+44%1").arg(id) : number));
        return table.rows.back();
    }
    QVariant at(int id, Column column) { return table.find(id)->at(size_t(column)); }
    QDateTime now() const { return clock.now(); }
    SendResult passing(bool unreachable = false) {
        return SendResult{unreachable ? Delivery::Unreachable : Delivery::Passing,
                          QStringLiteral("Error Occurred: 1 --> down.")};
    }
};

}  // namespace

class ScheduleTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // SendAfter holds a row back until its time; ExpiresAt past ends it unsent, and an SMS
    // carries the one to come as its validity.
    void sendAfterAndExpiry() {
        ScheduleRig rig;
        rig.add(1)[size_t(Column::SendAfter)] = rig.now().addSecs(3600);
        rig.add(2)[size_t(Column::SendAfter)] = rig.now().addSecs(-1);
        rig.add(3)[size_t(Column::ExpiresAt)] = rig.now().addSecs(-60);
        rig.add(4)[size_t(Column::ExpiresAt)] = rig.now().addSecs(600);
        rig.cycle();
        QCOMPARE(rig.sms.sent.size(), 2);  // rows 2 and 4
        QCOMPARE(rig.table.status(1), QString());
        QCOMPARE(rig.table.status(2), kSmsSent);
        QCOMPARE(rig.table.status(3), QStringLiteral("Message Expired Before Sending."));
        QCOMPARE(rig.table.isSent(3), QStringLiteral("N"));
        QCOMPARE(rig.sms.validUntil.back(), rig.now().addSecs(600));
        QCOMPARE(rig.control.counters().expired, 1u);
        rig.clock.set(rig.now().addSecs(3601));
        rig.cycle();
        QCOMPARE(rig.table.status(1), kSmsSent);
    }

    // Higher Priority first, then RecId; rows without one last.
    void priorityOrder() {
        ScheduleRig rig;
        rig.add(1, QStringLiteral("+441"))[size_t(Column::Priority)] = 0;
        rig.add(2, QStringLiteral("+442"));  // Null
        rig.add(3, QStringLiteral("+443"))[size_t(Column::Priority)] = 9;
        rig.add(4, QStringLiteral("+444"))[size_t(Column::Priority)] = 0;
        rig.add(5, QStringLiteral("+445"))[size_t(Column::Priority)] = 5;
        rig.cycle();
        QCOMPARE(rig.sms.sent.join(QLatin1Char(' ')),
                 QStringLiteral("+443:hi +445:hi +441:hi +444:hi +442:hi"));
    }

    // A row of a higher Priority that comes in while a long page is served goes ahead of the
    // rest of that page.
    void higherRowArrivingMidPage() {
        ScheduleRig rig;
        for (int id = 1; id <= 60; ++id) {
            rig.add(id)[size_t(Column::Priority)] = 0;
        }
        rig.sms.onSend = [&rig](const QString& number) {
            if (number == QStringLiteral("+441")) {
                rig.add(100, QStringLiteral("+44urgent"))[size_t(Column::Priority)] = 9;
                rig.clock.set(rig.now().addMSecs(600));  // past the look for higher rows
            }
        };
        rig.cycle();
        const qsizetype urgent = rig.sms.sent.indexOf(QStringLiteral("+44urgent:hi"));
        QVERIFY(urgent > 0 && urgent < 30);
        QCOMPARE(rig.sms.sent.size(), 61);
        QCOMPARE(rig.table.status(100), kSmsSent);
    }

    // A failure that may pass: attempt counted, the row put off with a doubling wait while
    // attempts are left, then failed for good; one for good at once. Without the columns,
    // today's outcome.
    void retries_data() {
        QTest::addColumn<bool>("columns");
        QTest::addColumn<bool>("passing");
        QTest::addColumn<int>("attemptsBefore");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<int>("waitS");  // the longest NextAttemptAt may be away; 0: none
        QTest::newRow("first failure") << true << true << 0 << kLater << 1 << 60;
        QTest::newRow("third failure") << true << true << 2 << kLater << 3 << 240;
        QTest::newRow("the last attempt") << true << true << 4 << kSmsNotSent << 5 << 0;
        QTest::newRow("for good") << true << false << 0 << kSmsNotSent << 1 << 0;
        QTest::newRow("no columns") << false << true << 0 << kSmsNotSent << 0 << 0;
    }
    void retries() {
        QFETCH(bool, columns);
        QFETCH(bool, passing);
        QFETCH(int, attemptsBefore);
        QFETCH(int, waitS);
        ScheduleRig rig;
        rig.table.optional.retries = columns;
        rig.config.maxAttempts = QStringLiteral("5");
        FakeTable::Values& row = rig.add(1);
        if (attemptsBefore > 0) {
            row[size_t(Column::Attempts)] = attemptsBefore;
        }
        rig.sms.result =
            passing ? rig.passing() : SendResult{Delivery::Refused, QStringLiteral("x")};
        rig.cycle();
        QTEST(rig.table.status(1), "status");
        QCOMPARE(rig.table.isSent(1), QStringLiteral("N"));
        QTEST(rig.at(1, Column::Attempts).toInt(), "attempts");
        const QDateTime next = rig.at(1, Column::NextAttemptAt).toDateTime();
        QCOMPARE(next.isValid(), waitS > 0);
        if (waitS > 0) {
            QVERIFY(next <= rig.now().addSecs(waitS) && next >= rig.now().addSecs(waitS * 4 / 5));
            QCOMPARE(rig.control.counters().retried, 1u);
        }
    }

    // A row put off is taken again once NextAttemptAt comes, by either statement.
    void putOffRowComesBack_data() {
        QTest::addColumn<int>("dontSend");
        QTest::newRow("DontSendProcessedMsgs 1") << 1;
        QTest::newRow("DontSendProcessedMsgs 0") << 0;
    }
    void putOffRowComesBack() {
        QFETCH(int, dontSend);
        ScheduleRig rig;
        rig.config.dontSendProcessedMsgs = dontSend;
        rig.add(1);
        rig.sms.result = rig.passing();
        rig.cycle();
        QCOMPARE(rig.table.status(1), kLater);
        rig.sms.result = SendResult{Delivery::Sent, QString()};
        rig.cycle();  // not due yet
        QCOMPARE(rig.sms.sent.size(), 1);
        rig.clock.set(rig.at(1, Column::NextAttemptAt).toDateTime());
        rig.cycle();
        QCOMPARE(rig.table.status(1), kSmsSent);
        QCOMPARE(rig.at(1, Column::Attempts).toInt(), 2);
    }

    // A gateway that cannot be bound: the row that met the failed bind counts an attempt,
    // the rest of the SMS rows are left as they are; the e-mail rows go on.
    void unreachableChannelLeavesItsRows() {
        ScheduleRig rig;
        for (int id = 1; id <= 5; ++id) {
            rig.add(id);
        }
        rig.table.rows.push_back(FakeTable::email(6, QStringLiteral("to@x.test")));
        rig.sms.result = rig.passing(true);
        rig.sms.onSend = [&rig](const QString&) { rig.sms.down = true; };
        rig.cycle();
        QCOMPARE(rig.sms.sent.size(), 1);
        QCOMPARE(rig.table.status(1), kLater);
        for (int id = 2; id <= 5; ++id) {
            QCOMPARE(rig.table.status(id), QString());
            QVERIFY(rig.at(id, Column::Attempts).isNull());
        }
        QCOMPARE(rig.table.status(6), QStringLiteral("Message Is Sent Via Email."));
        QCOMPARE(rig.lines().filter(QStringLiteral("Telvoro Server cannot be reached now")).size(),
                 4);
    }

    // The same without the retry columns: each row meets the failure in turn, as always.
    void unreachableWithoutColumns() {
        CycleRig rig;
        for (int id = 1; id <= 3; ++id) {
            rig.table.rows.push_back(FakeTable::sms(id, QStringLiteral("+44%1").arg(id)));
        }
        const SendResult down{Delivery::Unreachable, QStringLiteral("Error Occurred: 1 --> down.")};
        rig.sms.result = down;
        rig.sms.down = true;
        rig.cycle();
        QCOMPARE(rig.sms.sent.size(), 3);
        for (int id = 1; id <= 3; ++id) {
            QCOMPARE(rig.table.status(id), kSmsNotSent);
        }
    }

    void waits() {
        for (int attempts = 1; attempts <= 9; ++attempts) {
            const qint64 base = std::min<qint64>(3600, qint64(60) << std::min(attempts - 1, 6));
            const qint64 wait = Retries::waitS(attempts);
            QVERIFY2(wait <= base && wait >= base * 4 / 5, qPrintable(QString::number(attempts)));
        }
    }
};

QTEST_GUILESS_MAIN(ScheduleTest)
#include "tst_schedule.moc"
