#include <QSqlError>
#include <QtTest>

#include "core/KorvaneError.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageTable.h"
#include "support/ErrorNumber.h"

using namespace korvane;
using test::errorNumberOf;

// The table's statements and conversions, and the connection string's quoting and
// password masking: no database needed.
class TableContractTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void statementsAreExact() {
        QCOMPARE(MessageTable::selectionStatement(0),
                 QStringLiteral("Select * from tblMessages where (IsSent = 'N' OR IsSent IS NULL "
                                "OR IsSent = '') order by RecId"));
        const QString handledOnce = QStringLiteral(
            "SELECT *  FROM tblMessages WHERE (IsSent = 'N' OR IsSent IS NULL OR IsSent = '') AND "
            "(ProcessStatus IS NULL OR ProcessStatus = '') ORDER BY RecId");
        QCOMPARE(MessageTable::selectionStatement(1), handledOnce);
        QCOMPARE(MessageTable::selectionStatement(-5), handledOnce);
    }

    // Every statement a cycle runs, by the optional columns the table has: none gives the
    // contract's own texts; each column adds its condition or its order.
    void pageStatements_data() {
        using Page = MessageTable::Page;
        QTest::addColumn<int>("dontSend");
        QTest::addColumn<QString>("columns");  // s: SendAfter, p: Priority, r: retries
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("statement");
        const QString plain0 = QStringLiteral(
            "Select * from tblMessages where (IsSent = 'N' OR IsSent IS NULL OR IsSent = '')");
        const QString plain1 = QStringLiteral(
            "SELECT *  FROM tblMessages WHERE (IsSent = 'N' OR IsSent IS NULL OR IsSent = '') AND "
            "(ProcessStatus IS NULL OR ProcessStatus = '')");
        const QString retry1 = QStringLiteral(
            "SELECT *  FROM tblMessages WHERE (IsSent = 'N' OR IsSent IS NULL OR IsSent = '') AND "
            "((ProcessStatus IS NULL OR ProcessStatus = '') OR (ProcessStatus = 'Message Will Be "
            "Sent Again Later.' AND NextAttemptAt <= ?))");
        const QString sendAfter = QStringLiteral(" AND (SendAfter IS NULL OR SendAfter <= ?)");
        const QString next = QStringLiteral(" AND (NextAttemptAt IS NULL OR NextAttemptAt <= ?)");
        const QString byPriority = QStringLiteral("ORDER BY Priority DESC, RecId");
        QTest::newRow("plain 0, after a key")
            << 0 << "" << int(Page::AfterKey)
            << plain0 + QStringLiteral(" AND RecId > ? order by RecId");
        QTest::newRow("plain 1, without keys")
            << 1 << "" << int(Page::NullKeys) << plain1 + QStringLiteral(" AND RecId IS NULL");
        QTest::newRow("plain 1, count") << 1 << "" << int(Page::Count)
                                        << QStringLiteral("SELECT COUNT(*) ") +
                                               plain1.mid(plain1.indexOf(QStringLiteral("FROM")));
        QTest::newRow("SendAfter, first") << 1 << "s" << int(Page::First)
                                          << plain1 + sendAfter + QStringLiteral(" ORDER BY RecId");
        QTest::newRow("retries 1, first")
            << 1 << "r" << int(Page::First) << retry1 + next + QStringLiteral(" ORDER BY RecId");
        QTest::newRow("retries 0, first")
            << 0 << "r" << int(Page::First) << plain0 + next + QStringLiteral(" order by RecId");
        QTest::newRow("Priority, first")
            << 1 << "p" << int(Page::First)
            << plain1 + QStringLiteral(" AND Priority IS NOT NULL ") + byPriority;
        QTest::newRow("Priority, after a key")
            << 1 << "p" << int(Page::AfterKey)
            << plain1 + QStringLiteral(" AND (Priority < ? OR (Priority = ? AND RecId > ?)) ") +
                   byPriority;
        QTest::newRow("Priority, higher")
            << 1 << "p" << int(Page::Higher)
            << plain1 + QStringLiteral(" AND Priority > ? ") + byPriority;
        QTest::newRow("Priority, none after a key")
            << 1 << "p" << int(Page::AfterNullPriority)
            << plain1 + QStringLiteral(" AND Priority IS NULL AND RecId > ? ORDER BY RecId");
        QTest::newRow("all, count")
            << 1 << "spr" << int(Page::Count)
            << QStringLiteral("SELECT COUNT(*) ") +
                   retry1.mid(retry1.indexOf(QStringLiteral("FROM"))) + sendAfter + next;
    }
    void pageStatements() {
        QFETCH(int, dontSend);
        QFETCH(QString, columns);
        QFETCH(int, page);
        MessageTable::Selection selection{dontSend, columns.contains(QLatin1Char('s')),
                                          columns.contains(QLatin1Char('p')),
                                          columns.contains(QLatin1Char('r'))};
        QTEST(MessageTable::pageStatement(selection, MessageTable::Page(page)), "statement");
        QCOMPARE(selection.timeMarkers(),
                 int(columns.count(QLatin1Char('s')) +
                     (columns.contains(QLatin1Char('r')) ? 1 + (dontSend != 0) : 0)));
    }

    void recordIdConversion() {
        QCOMPARE(MessageTable::toRecordId(QVariant(42)), 42);
        QCOMPARE(MessageTable::toRecordId(QVariant(QStringLiteral(" 17 "))), 17);
        QCOMPARE(MessageTable::toRecordId(QVariant(2.5)), 2);
        QCOMPARE(MessageTable::toRecordId(QVariant(-2147483648LL)), -2147483647 - 1);
        QCOMPARE(errorNumberOf([] { MessageTable::toRecordId(QVariant()); }), 94);
        QCOMPARE(errorNumberOf([] { MessageTable::toRecordId(QVariant(QStringLiteral("abc"))); }),
                 13);
        QCOMPARE(errorNumberOf([] { MessageTable::toRecordId(QVariant(QString())); }), 13);
        QCOMPARE(errorNumberOf([] { MessageTable::toRecordId(QVariant(2147483648LL)); }), 6);
        QCOMPARE(errorNumberOf([] { MessageTable::toRecordId(QVariant(1e12)); }), 6);
    }

    void attachmentPathPreparation() {
        QCOMPARE(MessageTable::prepareAttachmentPath(QStringLiteral("  C:\\\\Data\\\\report.pdf ")),
                 QStringLiteral("C:\\Data\\report.pdf"));
        QCOMPARE(MessageTable::prepareAttachmentPath(QStringLiteral("\\\\server\\share")),
                 QStringLiteral("\\server\\share"));
        QCOMPARE(MessageTable::prepareAttachmentPath(QStringLiteral("a\\\\\\b")),
                 QStringLiteral("a\\\\b"));
        QCOMPARE(MessageTable::prepareAttachmentPath(QStringLiteral("/tmp/x y.pdf")),
                 QStringLiteral("/tmp/x y.pdf"));
    }

    void connectionValuesAreQuotedAndPasswordsNeverShown() {
        QCOMPARE(DatabaseConnection::quoteValue(QStringLiteral("plain")), QStringLiteral("plain"));
        QCOMPARE(DatabaseConnection::quoteValue(QStringLiteral("Kor;va}n=e")),
                 QStringLiteral("{Kor;va}}n=e}"));
        QCOMPARE(DatabaseConnection::quoteValue(QStringLiteral(" padded")),
                 QStringLiteral("{ padded}"));
        const QString text = describeSqlError(
            QSqlError(QString(), QStringLiteral("login failed for DSN=x;UID=u;PWD={a;b}}c};\n"
                                                "with s3cret in it")),
            QStringLiteral("s3cret"), QStringLiteral("28000"));
        QCOMPARE(text,
                 QStringLiteral(
                     "login failed for DSN=x;UID=u;PWD=***; with *** in it (SQLSTATE 28000)"));
    }
};

QTEST_GUILESS_MAIN(TableContractTest)
#include "tst_tablecontract.moc"
