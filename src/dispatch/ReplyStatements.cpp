#include "dispatch/ReplyStatements.h"

#include "dispatch/DatabaseConnection.h"
#include "dispatch/OdbcStatement.h"

namespace korvane {

namespace {

// Seconds only: a DATETIME column without fractions would not equal the value bound.
QDateTime wholeSecond(const QDateTime& at) {
    return at.isValid() ? at.addMSecs(-at.time().msec()) : at;
}

}  // namespace

QStringList ReplyStatements::run(const QString& sql, const QVariantList& values, bool rows) {
    QStringList returned;
    OdbcStatement(connection_.database(), connection_.password(), &cancel_, lockTimeoutS_)
        .execute(sql, values, rows ? &returned : nullptr);
    return returned;
}

// The RecId of the row that holds this reply already, or Null. A parameter is never compared
// with IS NULL: some drivers cannot type it.
QVariant ReplyStatements::stored(const MessageStore::ReplyWrite& reply) {
    QString where;
    QVariantList values;
    if (!reply.gatewayId.isEmpty()) {
        where = QStringLiteral("SmscMessageId = ?");
        values << reply.gatewayId;
    } else {
        where = QStringLiteral(
            "MobileNo = ? AND Recipient = ? AND MessageText = ? AND "
            "ReceivedDate >= ? AND SmscMessageId IS NULL AND ");
        values << reply.from << reply.to << reply.text
               << wholeSecond(reply.receivedAt.addSecs(-MessageStore::kReplySameWithinS));
        if (reply.smscAt.isValid()) {
            where += QStringLiteral("SmscDate = ?");
            values << wholeSecond(reply.smscAt);
        } else {
            where += QStringLiteral("SmscDate IS NULL");
        }
    }
    const QStringList found = run(
        QStringLiteral("SELECT MIN(RecId) FROM tblReceivedMessages WHERE ") + where, values, true);
    return found.isEmpty() || found.front().isEmpty() ? QVariant() : QVariant(found.front());
}

std::vector<MessageStore::StoredReply> ReplyStatements::store(
    const std::vector<MessageStore::ReplyWrite>& replies) {
    std::vector<MessageStore::StoredReply> result;
    connection_.inTransaction([&] {
        result.clear();
        for (const MessageStore::ReplyWrite& reply : replies) {
            if (const QVariant recId = stored(reply); !recId.isNull()) {
                result.push_back({recId, true});
                continue;
            }
            const QDateTime received = wholeSecond(reply.receivedAt);
            QStringList columns{QStringLiteral("ReceivedDate"), QStringLiteral("MobileNo"),
                                QStringLiteral("Recipient"), QStringLiteral("MessageText"),
                                QStringLiteral("Parts")};
            QVariantList values{received, reply.from, reply.to, reply.text, reply.parts};
            // Left out rather than bound as Null: a Null parameter has no type some drivers take.
            if (reply.smscAt.isValid()) {
                columns << QStringLiteral("SmscDate");
                values << wholeSecond(reply.smscAt);
            }
            if (!reply.gatewayId.isEmpty()) {
                columns << QStringLiteral("SmscMessageId");
                values << reply.gatewayId;
            }
            run(QStringLiteral("INSERT INTO tblReceivedMessages (%1) VALUES (%2)")
                    .arg(columns.join(QStringLiteral(", ")),
                         QStringList(columns.size(), QStringLiteral("?"))
                             .join(QStringLiteral(", "))),
                values, false);
            const QStringList recId =
                run(QStringLiteral("SELECT MAX(RecId) FROM tblReceivedMessages WHERE MobileNo = ? "
                                   "AND ReceivedDate = ?"),
                    {reply.from, received}, true);
            result.push_back({recId.value(0), false});
        }
    });
    return result;
}

}  // namespace korvane
