// The rules every MessageStore keeps, run against the in-memory table the cycle's unit tests
// use and (built with KORVANE_CONTRACT_ODBC) against tblMessages through ODBC on SQLite,
// PostgreSQL and MariaDB: what the fake lets a test believe, the real store does.
#include <QTest>
#include <memory>

#include "support/EveryWaitingRow.h"
#include "support/FakeTable.h"
#include "support/WaitedStore.h"

#ifdef KORVANE_CONTRACT_ODBC
#include "dispatch/BackgroundStore.h"
#include "dispatch/OdbcMessageStore.h"
#include "support/TestDatabase.h"
#include "support/TestEnvironment.h"
#endif

using namespace korvane;
using test::everyWaitingRow;
using Write = MessageStore::Write;
using Column = MessageTable::Column;

namespace {

const QString kBeingSent = QString::fromLatin1(MessageTable::Status::kBeingSent);

// One tblMessages and a store opened on it; rows are put in and changed behind the store's
// back, as producers and other instances do.
class ContractTable {
public:
    virtual ~ContractTable() = default;
    // Empties the table; uniqueKey false: RecId may name several rows. replies: with
    // tblReceivedMessages.
    virtual void recreate(bool uniqueKey, bool replies = false) = 0;
    // tblReceivedMessages: "MobileNo|Recipient|MessageText|SmscMessageId|Parts" per row.
    virtual QStringList replies() = 0;
    virtual MessageStore& store() = 0;
    virtual void insert(int recId, const QVariant& isSent, const QVariant& status,
                        const QDateTime& at = QDateTime()) = 0;
    virtual void setStatus(int recId, const QString& status) = 0;
    virtual QString text(int recId, Column column) = 0;
    QString status(int recId) { return text(recId, Column::ProcessStatus); }
};

class FakeContractTable : public ContractTable {
public:
    void recreate(bool, bool replies) override {
        table_ = test::FakeTable();
        table_.optional.replies = replies;
        store_ = std::make_unique<test::FakeStore>(table_);
        store_->open({});
    }
    QStringList replies() override {
        QStringList rows;
        for (const MessageStore::ReplyWrite& reply : table_.received) {
            rows << QStringList{reply.from, reply.to, reply.text, reply.gatewayId,
                                QString::number(reply.parts)}
                        .join(QLatin1Char('|'));
        }
        return rows;
    }
    MessageStore& store() override { return *store_; }
    void insert(int recId, const QVariant& isSent, const QVariant& status,
                const QDateTime& at) override {
        test::FakeTable::Values values = test::FakeTable::sms(recId, QStringLiteral("+4470"));
        values[size_t(Column::IsSent)] = isSent;
        values[size_t(Column::ProcessStatus)] = status;
        values[size_t(Column::ProcessedDate)] = at;
        table_.rows.push_back(values);
    }
    void setStatus(int recId, const QString& status) override {
        for (auto& values : table_.rows) {
            if (values[size_t(Column::RecId)].toInt() == recId) {
                values[size_t(Column::ProcessStatus)] = status;
            }
        }
    }
    QString text(int recId, Column column) override { return table_.text(recId, column); }

private:
    test::FakeTable table_;
    std::unique_ptr<test::FakeStore> store_;
};

#ifdef KORVANE_CONTRACT_ODBC
class OdbcContractTable : public ContractTable {
public:
    explicit OdbcContractTable(test::TestDatabase::Kind kind) : db_(kind) {}
    void recreate(bool uniqueKey, bool replies) override {
        const QString date = db_.kind() == test::TestDatabase::Kind::MariaDB
                                 ? QStringLiteral("DATETIME")
                                 : QStringLiteral("TIMESTAMP");
        db_.recreate(uniqueKey ? QString()
                               : QStringLiteral("CREATE TABLE tblMessages (RecId INTEGER, "
                                                "MessageType VARCHAR(10), MobileNo VARCHAR(20), "
                                                "IsSent CHAR(1), ProcessStatus VARCHAR(50), "
                                                "ProcessedDate %1)")
                                     .arg(date),
                     replies ? QStringList{QStringLiteral("Messages from phones")} : QStringList());
        store_ = std::make_unique<test::WaitedStore>(
            std::make_unique<BackgroundStore>(std::make_unique<OdbcMessageStore>()));
        store_->open(DataSourceSettings{db_.dsn(), db_.user(), db_.password(), QString()});
    }
    MessageStore& store() override { return *store_; }
    void insert(int recId, const QVariant& isSent, const QVariant& status,
                const QDateTime& at) override {
        QVariantMap columns = {{QStringLiteral("RecId"), recId},
                               {QStringLiteral("MessageType"), QStringLiteral("SMS")},
                               {QStringLiteral("MobileNo"), QStringLiteral("+4470")},
                               {QStringLiteral("IsSent"), isSent},
                               {QStringLiteral("ProcessStatus"), status}};
        if (at.isValid()) {
            columns.insert(QStringLiteral("ProcessedDate"), at);
        }
        db_.insert(columns);
    }
    void setStatus(int recId, const QString& status) override {
        db_.exec(QStringLiteral("UPDATE tblMessages SET ProcessStatus = ? WHERE RecId = ?"),
                 {status, recId});
    }
    QStringList replies() override {
        QStringList rows;
        for (const QVariantMap& row :
             db_.rows(QStringLiteral("tblReceivedMessages"),
                      QStringLiteral("MobileNo, Recipient, MessageText, SmscMessageId, Parts"))) {
            rows << QStringList{row[QStringLiteral("mobileno")].toString(),
                                row[QStringLiteral("recipient")].toString(),
                                row[QStringLiteral("messagetext")].toString(),
                                row[QStringLiteral("smscmessageid")].toString(),
                                row[QStringLiteral("parts")].toString()}
                        .join(QLatin1Char('|'));
        }
        return rows;
    }
    QString text(int recId, Column column) override {
        const QString name = MessageTable::columnName(column);
        return MessageTable::toText(db_.read(recId, name).value(name.toLower()));
    }

private:
    test::TestDatabase db_;
    std::unique_ptr<test::WaitedStore> store_;
};
#endif

std::unique_ptr<ContractTable> contractTable(const QString& name) {
#ifdef KORVANE_CONTRACT_ODBC
    for (auto kind : test::TestDatabase::kAll) {
        if (test::TestDatabase::nameOf(kind) == name) {
            return std::make_unique<OdbcContractTable>(kind);
        }
    }
#endif
    Q_ASSERT(name == QStringLiteral("fake"));
    return std::make_unique<FakeContractTable>();
}

QList<qint32> ids(const std::vector<TableRow>& rows) {
    QList<qint32> found;
    for (const TableRow& row : rows) {
        found << row.recordId();
    }
    return found;
}

}  // namespace

class StoreContractTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ContractTable> table_;
    const QDateTime at_{QDate(2026, 12, 6), QTime(10, 11, 12)};

    MessageStore& freshStore(bool uniqueKey = true, bool replies = false) {
        QFETCH_GLOBAL(QString, store);
        table_ = contractTable(store);
        table_->recreate(uniqueKey, replies);
        return table_->store();
    }

private Q_SLOTS:
    void initTestCase_data() {
        QTest::addColumn<QString>("store");
#ifdef KORVANE_CONTRACT_ODBC
        KORVANE_REQUIRE_ENV("KORVANE_TEST_SQLITE_DSN");
        for (auto kind : test::TestDatabase::kAll) {
            const QString name = test::TestDatabase::nameOf(kind);
            QTest::newRow(qPrintable(name)) << name;
        }
#else
        QTest::newRow("fake") << QStringLiteral("fake");
#endif
    }
    void cleanup() {
        table_.reset();
    }

    // Both statements, in RecId order; rows being sent or in doubt never again.
    void selectionFollowsTheStatements() {
        freshStore();
        const QVariant null;
        const QString n = QStringLiteral("N");
        const QString y = QStringLiteral("Y");
        table_->insert(9, n, null);
        table_->insert(2, null, null);
        table_->insert(5, QString(), QString());
        table_->insert(7, y, null);
        table_->insert(3, n, QStringLiteral("Mobile No. Is Not Defined."));
        table_->insert(4, y, QStringLiteral("Message Is Sent Via SMS."));
        table_->insert(1, null, QStringLiteral("Message Text Is Empty."));
        table_->insert(6, n, kBeingSent);
        table_->insert(8, null, QStringLiteral(" Message May Have Been Sent."));
        QCOMPARE(ids(everyWaitingRow(table_->store(), 1)), (QList<qint32>{2, 5, 9}));
        QCOMPARE(ids(everyWaitingRow(table_->store(), 0)), (QList<qint32>{1, 2, 3, 5, 9}));
    }

    // Each page is read as the table is then: a row claimed elsewhere meanwhile is left out,
    // one added behind the last page read comes.
    void pagesReadTheTableAsItIsThen() {
        MessageStore& store = freshStore();
        for (int id = 1; id <= 7; ++id) {
            table_->insert(id, QStringLiteral("N"), QVariant());
        }
        store.select(1, QDateTime::currentDateTime());
        QList<qint32> seen = ids(store.nextPage(3));
        table_->setStatus(5, kBeingSent);
        table_->insert(9, QStringLiteral("N"), QVariant());
        for (auto page = store.nextPage(3); !page.empty(); page = store.nextPage(3)) {
            seen << ids(page);
        }
        QCOMPARE(seen, (QList<qint32>{1, 2, 3, 4, 6, 7, 9}));
    }

    // Claimed, then saved over the claim; recorded over the row as read; and a row changed
    // since it was read is neither claimed nor recorded.
    void writesAreGuardedOnTheRowAsRead() {
        MessageStore& store = freshStore();
        for (int id = 1; id <= 4; ++id) {
            table_->insert(id, id == 2 ? QVariant() : QVariant(QStringLiteral("N")),
                           id == 2 ? QVariant(QString()) : QVariant());
        }
        const std::vector<TableRow> rows = everyWaitingRow(store, 1);
        QCOMPARE(store.claim({rows[0], rows[1]}, at_),
                 (std::vector<Write>{Write::Done, Write::Done}));
        QCOMPARE(table_->status(1), kBeingSent);
        QCOMPARE(table_->text(1, Column::IsSent), QStringLiteral("N"));
        const QString sent = QStringLiteral("Message Is Sent Via SMS.");
        const auto saved = store.save({{rows[0], QStringLiteral("Y"), sent}}, at_.addSecs(1));
        QVERIFY(!saved.at(0).error);
        QCOMPARE(table_->status(1), sent);
        QCOMPARE(table_->text(1, Column::IsSent), QStringLiteral("Y"));
        const QString empty = QStringLiteral("Message Text Is Empty.");
        QCOMPARE(store.save({{rows[2], QStringLiteral("N"), empty, false}}, at_).at(0).write,
                 Write::Done);
        QCOMPARE(table_->status(3), empty);

        const QString elsewhere = QStringLiteral("Taken elsewhere");
        table_->setStatus(4, elsewhere);
        QCOMPARE(store.claim({rows[3]}, at_), std::vector<Write>{Write::Changed});
        QCOMPARE(store.save({{rows[3], QStringLiteral("N"), empty, false}}, at_).at(0).write,
                 Write::Changed);
        QCOMPARE(table_->status(4), elsewhere);
    }

    // A RecId that names two rows: nothing is written, by a claim or a record.
    void sharedRecIdIsNeverWritten() {
        MessageStore& store = freshStore(false);
        table_->insert(1, QStringLiteral("N"), QVariant());
        table_->insert(1, QStringLiteral("N"), QVariant());
        const std::vector<TableRow> rows = everyWaitingRow(store, 1);
        QCOMPARE(rows.size(), size_t(2));
        QCOMPARE(store.claim({rows[0]}, at_), std::vector<Write>{Write::Shared});
        QCOMPARE(store.save({{rows[1], QStringLiteral("N"), QStringLiteral("x"), false}}, at_)
                     .at(0)
                     .write,
                 Write::Shared);
        QCOMPARE(table_->status(1), QString());
    }

    // Saves and claims in one step, rows changed meanwhile among them: each row gets its own
    // answer, a claimed row that cannot be saved its error, and the rest are written.
    void groupedSavesTellEachRowApart() {
        MessageStore& store = freshStore();
        for (int id = 1; id <= 8; ++id) {
            table_->insert(id, QStringLiteral("N"), QVariant());
        }
        const std::vector<TableRow> rows = everyWaitingRow(store, 1);
        QCOMPARE(store.claim({rows[0], rows[1], rows[3]}, at_), std::vector<Write>(3, Write::Done));
        const QString elsewhere = QStringLiteral("Taken elsewhere");
        table_->setStatus(2, QString());  // its claim taken away
        table_->setStatus(6, elsewhere);
        table_->setStatus(8, elsewhere);
        const QString y = QStringLiteral("Y");
        const QString n = QStringLiteral("N");
        const QString sent = QStringLiteral("Message Is Sent Via SMS.");
        const QString empty = QStringLiteral("Message Text Is Empty.");
        const MessageStore::Step step =
            store.saveAndClaim({{rows[0], y, sent},
                                {rows[1], y, sent},
                                {rows[3], n, QStringLiteral("Message Is Not Sent Via SMS.")},
                                {rows[4], n, empty, false},
                                {rows[5], n, empty, false}},
                               {rows[6], rows[7]}, at_);
        QVERIFY(!step.claimFailure);
        QCOMPARE(step.claimed, (std::vector<Write>{Write::Done, Write::Changed}));
        QVERIFY(!step.saved[0].error && !step.saved[2].error && !step.saved[3].error);
        QVERIFY(step.saved[1].error);
        QCOMPARE(step.saved[1].error->number(), ErrorNumber::RowNotLocated);
        QCOMPARE(step.saved[4].write, Write::Changed);
        const QStringList expected = {
            sent,  QString(), QString(),  QStringLiteral("Message Is Not Sent Via SMS."),
            empty, elsewhere, kBeingSent, elsewhere};
        for (int id = 1; id <= 8; ++id) {
            QCOMPARE(table_->status(id), expected[id - 1]);
        }
    }

    // Claimed rows never handed over go back as they were read; one whose claim is gone
    // meanwhile is left as it is.
    void releaseGivesBackOnlyItsOwnClaims() {
        MessageStore& store = freshStore();
        table_->insert(1, QStringLiteral("N"), QVariant());
        table_->insert(2, QStringLiteral("N"), QStringLiteral("Mobile No. Is Not Defined."));
        table_->insert(3, QStringLiteral("N"), QVariant());
        const std::vector<TableRow> rows = everyWaitingRow(store, 0);
        QCOMPARE(store.claim(rows, at_), std::vector<Write>(3, Write::Done));
        table_->setStatus(3, QStringLiteral("Taken elsewhere"));
        store.release(rows);
        QCOMPARE(table_->status(1), QString());
        QCOMPARE(table_->status(2), QStringLiteral("Mobile No. Is Not Defined."));
        QCOMPARE(table_->status(3), QStringLiteral("Taken elsewhere"));
        QCOMPARE(ids(everyWaitingRow(store, 1)), QList<qint32>{1});
    }

    // Claims older than the cutoff: instances stopped between a send and its save.
    void oldClaimsAreFound() {
        MessageStore& store = freshStore();
        const QDateTime now(QDate(2026, 12, 6), QTime(12, 0, 0));
        table_->insert(1, QStringLiteral("N"), kBeingSent, now.addSecs(-3600));
        table_->insert(2, QStringLiteral("N"), kBeingSent, now.addSecs(-60));
        table_->insert(3, QStringLiteral("N"), QStringLiteral("Message May Have Been Sent."),
                       now.addSecs(-3600));
        const QList<MessageStore::Claim> claims = store.claimsBefore(now.addSecs(-900));
        QCOMPARE(claims.size(), 1);
        QCOMPARE(claims[0].recId.toInt(), 1);
        QCOMPARE(claims[0].since, now.addSecs(-3600));
    }

    // tblReceivedMessages is found in the catalog; tblMessages alone has no replies.
    void repliesAreOnWithTheirTable() {
        QVERIFY(!freshStore().features().replies);
        QVERIFY(freshStore(true, true).features().replies);
    }

    // A reply offered again is stored once: by the gateway's id where it names one, else by
    // sender, recipient, text and time stamp within ten minutes. Each in one write, and across
    // writes; the one found is named.
    void repliesAreStoredOnce() {
        MessageStore& store = freshStore(true, true);
        using Reply = MessageStore::ReplyWrite;
        const QDateTime smsc = at_.addSecs(-5);
        const QString text = QStringLiteral("STOP 😀 «ok»");
        const Reply plain{at_,
                          QDateTime(),
                          QStringLiteral("+447700900001"),
                          QStringLiteral("Shop"),
                          text,
                          QString(),
                          1};
        Reply stamped = plain;
        stamped.smscAt = smsc;
        Reply named = plain;
        named.gatewayId = QStringLiteral("mo-17");
        named.text = QStringLiteral("part one[part 2 of 2 missing]");
        const std::vector<MessageStore::StoredReply> first =
            store.storeReplies({plain, stamped, named, plain});
        QCOMPARE(first.size(), size_t(4));
        QCOMPARE((std::vector<bool>{first[0].already, first[1].already, first[2].already,
                                    first[3].already}),
                 (std::vector<bool>{false, false, false, true}));
        QCOMPARE(first[3].recId.toString(), first[0].recId.toString());
        QVERIFY(first[0].recId != first[1].recId && first[1].recId != first[2].recId);

        Reply later = plain;
        later.receivedAt = at_.addSecs(MessageStore::kReplySameWithinS - 60);
        Reply renamed = named;
        renamed.text = QStringLiteral("whatever the parts say now");
        Reply muchLater = plain;
        muchLater.receivedAt = at_.addSecs(MessageStore::kReplySameWithinS + 60);
        const std::vector<MessageStore::StoredReply> again =
            store.storeReplies({later, renamed, muchLater});
        QCOMPARE((std::vector<bool>{again[0].already, again[1].already, again[2].already}),
                 (std::vector<bool>{true, true, false}));
        QCOMPARE(again[1].recId.toString(), first[2].recId.toString());
        QCOMPARE(
            table_->replies(),
            (QStringList{QStringLiteral("+447700900001|Shop|") + text + QStringLiteral("||1"),
                         QStringLiteral("+447700900001|Shop|") + text + QStringLiteral("||1"),
                         QStringLiteral("+447700900001|Shop|part one[part 2 of 2 missing]|mo-17|1"),
                         QStringLiteral("+447700900001|Shop|") + text + QStringLiteral("||1")}));
    }
};

QTEST_GUILESS_MAIN(StoreContractTest)
#include "tst_storecontract.moc"
