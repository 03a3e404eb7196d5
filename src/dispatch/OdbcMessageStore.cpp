#include "dispatch/OdbcMessageStore.h"

#include <sql.h>
#include <sqlext.h>

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlResult>

#include "core/KorvaneError.h"
#include "dispatch/ReceiptStatements.h"
#include "dispatch/ReplyStatements.h"
#include "dispatch/TableColumns.h"

namespace korvane {

using MessageTable::Column;

namespace {
// Whole seconds: what every date column keeps.
QDateTime wholeSeconds(const QDateTime& at) {
    return QDateTime(at.date(), QTime(at.time().hour(), at.time().minute(), at.time().second()));
}

QString infoText(SQLHANDLE connection, SQLUSMALLINT item) {
    SQLWCHAR text[128] = {0};
    SQLSMALLINT length = 0;
    SQLGetInfoW(connection, item, text, sizeof(text), &length);
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(text));
}
}  // namespace

void OdbcMessageStore::open(const DataSourceSettings& source) {
    connection_.open(source.dsnName, source.user, source.password, source.fileDsnPath);
    QSqlDatabase db = connection_.database();
    if (SQLHANDLE handle = odbcHandle(db.driver() ? db.driver()->handle() : QVariant())) {
        dbms_ = infoText(handle, SQL_DBMS_NAME);
        // SQLite's own busy timeout bounds its waits; its driver cannot be cancelled safely.
        cancel_.setEnabled(!dbms_.contains(QStringLiteral("SQLite"), Qt::CaseInsensitive));
        boundLockWaits();
    }
    writes_.learn(dbms_);
    rows_.setDbms(dbms_);
    learnFeatures();
}

// How long a statement waits for a lock held by another transaction: SQLite as long as the
// data source says (100 s by default), MariaDB and MySQL their server's setting (50 s); the
// others take the statements' query timeout. The SQLite driver waits for a busy database
// twice over (measured: twice the busy timeout and some 4 s more), hence half of it there.
void OdbcMessageStore::boundLockWaits() {
    QSqlQuery query(connection_.database());
    if (dbms_.contains(QStringLiteral("SQLite"), Qt::CaseInsensitive)) {
        query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(lockTimeoutS_ * 500));
    } else if (dbms_.contains(QStringLiteral("MariaDB"), Qt::CaseInsensitive) ||
               dbms_.contains(QStringLiteral("MySQL"), Qt::CaseInsensitive)) {
        query.exec(QStringLiteral("SET SESSION innodb_lock_wait_timeout = %1").arg(lockTimeoutS_));
    }
}

void OdbcMessageStore::select(qint32 dontSendProcessedMsgs, const QDateTime& now) {
    rows_.select(MessageTable::Selection{dontSendProcessedMsgs, features_.sendAfter,
                                         features_.priority, features_.retries},
                 wholeSeconds(now));
}

// The optional columns, from the catalog: each feature is on where the table has all its
// columns.
void OdbcMessageStore::learnFeatures() {
    const QMap<QString, int> columns = tableColumns(connection_.database());
    const auto has = [&columns](const char* name) {
        return columns.contains(QString::fromLatin1(name).toUpper());
    };
    features_ = TableFeatures{};
    features_.receipts = has("SmscMessageId") && has("DeliveryStatus") && has("DeliveredDate");
    features_.idWidth = columns.value(QStringLiteral("SMSCMESSAGEID"), 0);
    features_.sendAfter = has("SendAfter");
    features_.expiresAt = has("ExpiresAt");
    features_.priority = has("Priority");
    features_.retries = has("Attempts") && has("NextAttemptAt");
    const QMap<QString, int> replies =
        tableColumns(connection_.database(), QStringLiteral("tblReceivedMessages"));
    features_.replies = replies.contains(QStringLiteral("RECID")) &&
                        replies.contains(QStringLiteral("MESSAGETEXT"));
}

std::vector<MessageStore::SentRow> OdbcMessageStore::findSent(const QStringList& ids,
                                                              bool withinLists) {
    return ReceiptStatements(connection_, cancel_, lockTimeoutS_).find(ids, withinLists);
}

void OdbcMessageStore::writeReceipts(const std::vector<ReceiptWrite>& writes) {
    ReceiptStatements(connection_, cancel_, lockTimeoutS_).write(writes);
}

std::vector<MessageStore::StoredReply> OdbcMessageStore::storeReplies(
    const std::vector<ReplyWrite>& replies) {
    return ReplyStatements(connection_, cancel_, lockTimeoutS_).store(replies);
}

// The guards: the row still as read, or (saving over a claim) still claimed. IsSent is left
// out on the claim's own save: whatever a producer keeps there, the claim found it.
GuardedWrites::Update OdbcMessageStore::guarded(const TableRow& row, const QString& assignments,
                                                QVariantList values, bool onClaim) {
    GuardedWrites::Update update;
    update.assignments = assignments;
    update.values = std::move(values);
    update.recId = row.value(Column::RecId);
    if (!onClaim) {
        update.guards.emplace_back(MessageTable::columnName(Column::IsSent),
                                   row.value(Column::IsSent));
    }
    update.guards.emplace_back(MessageTable::columnName(Column::ProcessStatus),
                               onClaim
                                   ? QVariant(QString::fromLatin1(MessageTable::Status::kBeingSent))
                                   : row.value(Column::ProcessStatus));
    return update;
}

// One transaction for both, so one commit. Where each statement answers for its own rows
// (PostgreSQL), the saves and the claims go as a statement each instead, transactions of
// their own: a BEGIN and a COMMIT would cost more round trips than they save.
MessageStore::Step OdbcMessageStore::saveAndClaim(const std::vector<Outcome>& outcomes,
                                                  const std::vector<TableRow>& rows,
                                                  const QDateTime& at) {
    if (!writes_.answersEachRow() || outcomes.empty() || rows.empty()) {
        return writeBatch(outcomes, rows, at);
    }
    Step step = writeBatch(outcomes, {}, at);
    Step claims = writeBatch({}, rows, at);
    step.claimed = std::move(claims.claimed);
    step.claimFailure = std::move(claims.claimFailure);
    return step;
}

// Saves and claims as one batch of guarded writes (GuardedWrites: one transaction where it
// takes one). A claim whose statement fails claims nothing: the saves then run again on their
// own and the failure comes back with them.
MessageStore::Step OdbcMessageStore::writeBatch(const std::vector<Outcome>& outcomes,
                                                const std::vector<TableRow>& rows,
                                                const QDateTime& at) {
    std::vector<GuardedWrites::Update> updates;
    for (const Outcome& outcome : outcomes) {
        updates.push_back(
            guarded(outcome.row, QStringLiteral("IsSent = ?, ProcessStatus = ?, ProcessedDate = ?"),
                    {outcome.isSent, outcome.status, wholeSeconds(at)}, outcome.claimed));
        std::vector<std::pair<QString, QVariant>>& own = updates.back().rowValues;
        if (!outcome.gatewayIds.isEmpty()) {
            own.emplace_back(QStringLiteral("SmscMessageId"), outcome.gatewayIds);
        }
        if (outcome.attempts > 0) {
            // One more than the row holds: the same text for every row, so rows still go
            // as one statement.
            updates.back().assignments += QStringLiteral(", Attempts = COALESCE(Attempts, 0) + 1");
        }
        if (outcome.nextAttemptAt.isValid()) {
            own.emplace_back(QStringLiteral("NextAttemptAt"), wholeSeconds(outcome.nextAttemptAt));
        }
    }
    for (const TableRow& row : rows) {
        updates.push_back(guarded(
            row, QStringLiteral("ProcessStatus = ?, ProcessedDate = ?"),
            {QString::fromLatin1(MessageTable::Status::kBeingSent), wholeSeconds(at)}, false));
        updates.back().raises = true;
    }
    Step step;
    std::vector<GuardedWrites::Done> done;
    try {
        done = writes_.run(updates);
    } catch (const KorvaneError& error) {
        if (rows.empty()) {
            throw;
        }
        step.claimFailure = error;
        updates.resize(outcomes.size());
        done = writes_.run(updates);
    }
    for (size_t i = 0; i < outcomes.size(); ++i) {
        if (outcomes[i].claimed && !done[i].error && done[i].changed == 0 &&
            holdsAlready(outcomes[i])) {
            done[i].changed = 1;
        }
        step.saved.push_back(savedAs(outcomes[i], done[i]));
    }
    for (size_t i = outcomes.size(); i < done.size(); ++i) {
        // A row whose lock did not come in time is as good as taken, and nothing was sent.
        step.claimed.push_back(writeOf(done[i]));
    }
    return step;
}

// A save that finds nothing claimed may find its own outcome there: an earlier attempt whose
// answer was lost (cancelled, a connection cut after the commit) wrote it after all.
// ProcessedDate is left out: that attempt's time may differ.
bool OdbcMessageStore::holdsAlready(const Outcome& outcome) {
    const QString where = QStringLiteral("SELECT COUNT(*) FROM tblMessages WHERE RecId = ?");
    const QVariant recId = outcome.row.value(Column::RecId);
    auto count = [this](const QString& sql, const QVariantList& values) {
        QStringList returned;
        OdbcStatement(connection_.database(), connection_.password(), &cancel_, lockTimeoutS_)
            .execute(sql, values, &returned);
        return returned.value(0).trimmed();
    };
    try {
        return count(where, {recId}) == QLatin1String("1") &&
               count(where + QStringLiteral(" AND IsSent = ? AND ProcessStatus = ?"),
                     {recId, outcome.isSent, outcome.status}) == QLatin1String("1");
    } catch (const KorvaneError&) {
        return false;  // the save's own failure is the one reported
    }
}

MessageStore::Write OdbcMessageStore::writeOf(const GuardedWrites::Done& done) {
    return done.changed == 1 ? Write::Done : done.changed > 1 ? Write::Shared : Write::Changed;
}

MessageStore::Saved OdbcMessageStore::savedAs(const Outcome& outcome,
                                              const GuardedWrites::Done& done) {
    Saved saved;
    if (done.error && (outcome.claimed || !done.timedOut)) {
        saved.error = done.error;
    } else if (!outcome.claimed) {
        // Nothing was sent: a row found changed, busy or shared is left as it is.
        saved.write = writeOf(done);
    } else if (done.changed != 1) {
        saved.error = KorvaneError(
            ErrorNumber::RowNotLocated,
            QStringLiteral("Row cannot be saved: RecId %1 no longer holds exactly one row "
                           "marked '%2'.")
                .arg(MessageTable::toText(outcome.row.asRead(Column::RecId)),
                     QString::fromLatin1(MessageTable::Status::kBeingSent)));
    }
    return saved;
}

std::vector<MessageStore::Write> OdbcMessageStore::claim(const std::vector<TableRow>& rows,
                                                         const QDateTime& at) {
    Step step = writeBatch({}, rows, at);
    if (step.claimFailure) {
        throw *step.claimFailure;
    }
    return step.claimed;
}

std::vector<MessageStore::Saved> OdbcMessageStore::save(const std::vector<Outcome>& outcomes,
                                                        const QDateTime& at) {
    return writeBatch(outcomes, {}, at).saved;
}

void OdbcMessageStore::release(const std::vector<TableRow>& rows) {
    std::vector<GuardedWrites::Update> updates;
    for (const TableRow& row : rows) {
        updates.push_back(
            guarded(row, QStringLiteral("IsSent = ?, ProcessStatus = ?, ProcessedDate = ?"),
                    {row.asRead(Column::IsSent), row.asRead(Column::ProcessStatus),
                     row.asRead(Column::ProcessedDate)},
                    true));
    }
    writes_.run(updates);
}

QList<MessageStore::Claim> OdbcMessageStore::claimsBefore(const QDateTime& cutoff) {
    QSqlQuery query(connection_.database());
    query.setForwardOnly(true);
    // The claim text is a constant of ours: in the statement text rather than bound.
    if (!query.exec(QStringLiteral("SELECT RecId, ProcessedDate FROM tblMessages WHERE "
                                   "ProcessStatus = '%1' ORDER BY RecId")
                        .arg(QLatin1String(MessageTable::Status::kBeingSent)))) {
        throw sqlFailure(query.lastError(), connection_, &query);
    }
    QList<Claim> claims;
    while (query.next()) {
        const QVariant stored = query.value(1);
        QDateTime since = stored.toDateTime();
        if (!since.isValid() && !stored.isNull()) {
            // Text dates (SQLite): "yyyy-MM-dd hh:mm:ss", perhaps with a fraction.
            since = QDateTime::fromString(stored.toString().left(19),
                                          QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        }
        if (!since.isValid() || since < cutoff) {
            claims.append(Claim{query.value(0), since});
        }
    }
    return claims;
}

}  // namespace korvane
