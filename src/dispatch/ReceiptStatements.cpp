#include "dispatch/ReceiptStatements.h"

#include <algorithm>
#include <map>
#include <set>

#include "dispatch/DatabaseConnection.h"
#include "dispatch/OdbcStatement.h"

namespace korvane {

const char* const ReceiptStatements::kFinalStates =
    "('DELIVRD', 'UNDELIV', 'EXPIRED', 'REJECTD', 'DELETED')";

namespace {

QString markers(qsizetype count) {
    QStringList list;
    for (qsizetype i = 0; i < count; ++i) {
        list << QStringLiteral("?");
    }
    return list.join(QStringLiteral(", "));
}

// LIKE's own characters taken literally.
QString literal(QString id) {
    return id.replace(QLatin1Char('!'), QStringLiteral("!!"))
        .replace(QLatin1Char('%'), QStringLiteral("!%"))
        .replace(QLatin1Char('_'), QStringLiteral("!_"));
}

// Writes of one state, a chunk at a time, with no RecId twice in one statement (a CASE takes
// the first of two WHENs alike).
std::vector<std::vector<const MessageStore::ReceiptWrite*>> chunks(
    const std::vector<MessageStore::ReceiptWrite>& writes) {
    std::vector<std::vector<const MessageStore::ReceiptWrite*>> result;
    std::vector<std::set<QString>> keys;        // each chunk's RecIds
    std::map<QString, std::vector<size_t>> of;  // state: its chunks
    for (const MessageStore::ReceiptWrite& write : writes) {
        std::vector<size_t>& mine = of[write.state];
        const QString key = write.recId.toString();
        const auto chunk = std::find_if(mine.begin(), mine.end(), [&](size_t at) {
            return result[at].size() < size_t(ReceiptStatements::kRowsPerStatement) &&
                   keys[at].count(key) == 0;
        });
        const size_t at = chunk != mine.end() ? *chunk : result.size();
        if (at == result.size()) {
            mine.push_back(at);
            result.emplace_back();
            keys.emplace_back();
        }
        result[at].push_back(&write);
        keys[at].insert(key);
    }
    return result;
}

}  // namespace

QStringList ReceiptStatements::run(const QString& sql, const QVariantList& values, bool rows) {
    QStringList returned;
    OdbcStatement(connection_.database(), connection_.password(), &cancel_, lockTimeoutS_)
        .execute(sql, values, rows ? &returned : nullptr);
    return returned;
}

// Whole ids by IN; withinLists: the parts of long messages' lists by LIKE instead ("first %",
// "% later" and "% middle %"), which no index serves.
std::vector<MessageStore::SentRow> ReceiptStatements::find(const QStringList& ids,
                                                           bool withinLists) {
    std::vector<MessageStore::SentRow> rows;
    const int perStatement = withinLists ? kRowsPerStatement / 4 : kRowsPerStatement;
    for (qsizetype from = 0; from < ids.size(); from += perStatement) {
        const QStringList some = ids.mid(from, perStatement);
        QVariantList values;
        QStringList likes;
        for (const QString& id : some) {
            if (!withinLists) {
                values << id;
                continue;
            }
            const QString bare = literal(id);
            values << bare + QStringLiteral(" %") << QStringLiteral("% ") + bare
                   << QStringLiteral("% ") + bare + QStringLiteral(" %");
            for (int i = 0; i < 3; ++i) {
                likes << QStringLiteral("SmscMessageId LIKE ? ESCAPE '!'");
            }
        }
        const QString where =
            withinLists ? likes.join(QStringLiteral(" OR "))
                        : QStringLiteral("SmscMessageId IN (%1)").arg(markers(some.size()));
        const QStringList found =
            run(QStringLiteral("SELECT RecId, SmscMessageId FROM tblMessages WHERE ") + where,
                values, true);
        for (qsizetype i = 0; i + 1 < found.size(); i += 2) {
            rows.push_back(MessageStore::SentRow{found[i], found[i + 1]});
        }
    }
    return rows;
}

void ReceiptStatements::write(const std::vector<MessageStore::ReceiptWrite>& writes) {
    connection_.inTransaction([&] {
        for (const auto& chunk : chunks(writes)) {
            QVariantList values{chunk.front()->state};
            QStringList dates;
            QStringList ids;
            QVariantList idValues;
            QVariantList keys;
            for (const MessageStore::ReceiptWrite* write : chunk) {
                dates << QStringLiteral("WHEN ? THEN ?");
                values << write->recId << write->at;
                ids << QStringLiteral("WHEN ? THEN ?");
                idValues << write->recId << write->ids;
                keys << write->recId;
            }
            values << keys << idValues;
            run(QStringLiteral("UPDATE tblMessages SET DeliveryStatus = ?, DeliveredDate = CASE "
                               "RecId %1 END WHERE RecId IN (%2) AND SmscMessageId = CASE RecId "
                               "%3 END AND (DeliveryStatus IS NULL OR DeliveryStatus NOT IN %4)")
                    .arg(dates.join(QLatin1Char(' ')), markers(keys.size()),
                         ids.join(QLatin1Char(' ')), QLatin1String(kFinalStates)),
                values, false);
        }
    });
}

}  // namespace korvane
