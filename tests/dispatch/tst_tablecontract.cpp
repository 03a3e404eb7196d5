#include <QSqlError>
#include <QTest>

#include "core/KorvaneError.h"
#include "dispatch/DatabaseConnection.h"
#include "dispatch/MessageTable.h"
#include "support/ErrorNumber.h"

using namespace korvane;
using test::errorNumberOf;

// The conversions, and the connection string's quoting and password masking: no database
// needed.
class TableContractTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
