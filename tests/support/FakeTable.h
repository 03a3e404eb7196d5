#pragma once

#include <QStringList>
#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "dispatch/MessageStore.h"

namespace korvane::test {

// tblMessages in memory, with the rules the real statements and guards follow: the selection
// in RecId order without held rows, claims and records guarded on the row as read, saves on
// the claim. Tests force claim answers and failing saves by RecId.
struct FakeTable {
    using Column = MessageTable::Column;
    using Values = TableRow::Values;

    std::vector<Values> rows;
    std::map<qint32, MessageStore::Write> claimAnswers;
    std::set<qint32> failingSaves;
    // Saves whose outcome an earlier, lost attempt already wrote (committed, its answer lost).
    std::set<qint32> savedByLostAttempt;
    std::optional<KorvaneError> openError;
    bool opens = true;
    bool lost = false;         // the connection is gone: every write raises
    QStringList writes;        // "claim 3", "record 4", "finish 3", "release 5", in order
    QStringList transactions;  // "claim 1 2", "save 1 2 3": the rows of each transaction
    int pagesRead = 0;
    // What the receipt columns hold, by RecId.
    MessageStore::TableFeatures optional;  // the optional columns it has
    bool failReceiptWrites = false;
    std::map<qint32, QString> smscIds;
    std::map<qint32, QString> deliveryStatus;
    std::map<qint32, QDateTime> deliveredDate;
    int receiptLookups = 0;
    // tblReceivedMessages (optional.replies), RecId from 1; writes fail while failReplyWrites.
    std::vector<MessageStore::ReplyWrite> received;
    int failReplyWrites = 0;  // the next writes that fail

    static Values row(int id, const QString& type, const QVariant& text) {
        Values values;
        values[size_t(Column::RecId)] = id;
        values[size_t(Column::MessageType)] = type;
        values[size_t(Column::MessageText)] = text;
        values[size_t(Column::IsSent)] = QStringLiteral("N");
        return values;
    }
    static Values sms(int id, const QString& number, const QVariant& text = QStringLiteral("hi")) {
        Values values = row(id, QStringLiteral("SMS"), text);
        values[size_t(Column::MobileNo)] = number;
        return values;
    }
    static Values email(int id, const QString& to,
                        const QString& from = QStringLiteral("a@x.test")) {
        Values values = row(id, QStringLiteral("EMAIL"), QStringLiteral("body"));
        values[size_t(Column::EmailTo)] = to;
        values[size_t(Column::EmailFrom)] = from;
        values[size_t(Column::EmailSubject)] = QStringLiteral("subject");
        return values;
    }
    // Without QVariant's conversion on the common case: every write looks the row up.
    static int recId(const Values& values) {
        const QVariant& id = values[size_t(Column::RecId)];
        return id.typeId() == QMetaType::Int ? *static_cast<const int*>(id.constData())
                                             : id.toInt();
    }
    Values* find(qint32 id) {
        for (Values& values : rows) {
            if (recId(values) == id) {
                return &values;
            }
        }
        return nullptr;
    }
    QString text(qint32 id, Column column) {
        return MessageTable::toText(find(id)->at(size_t(column)));
    }
    QString status(qint32 id) { return text(id, Column::ProcessStatus); }
    QString isSent(qint32 id) { return text(id, Column::IsSent); }
};

class FakeStore : public MessageStore {
public:
    explicit FakeStore(FakeTable& table) : table_(table) {}

    void open(const DataSourceSettings&) override {
        if (table_.openError) {
            throw *table_.openError;
        }
        open_ = table_.opens;
    }
    bool isOpen() override { return open_; }
    // As the statements: the contract's condition, narrowed by SendAfter and NextAttemptAt,
    // in RecId order or by Priority (Null last) and RecId; each page read as the table is
    // then, behind the last row served.
    void select(qint32 dontSendProcessedMsgs, const QDateTime& now) override {
        dontSend_ = dontSendProcessedMsgs;
        now_ = now;
        last_.reset();
        servedRows_.clear();
        served_.clear();
        higher_.clear();
    }
    std::vector<TableRow> nextHigher(const QVariant& priority, int limit) override {
        std::vector<TableRow> rows;
        if (!table_.optional.priority) {
            return rows;
        }
        std::vector<FakeTable::Values> higher;
        for (const FakeTable::Values& values : table_.rows) {
            const QVariant p = values[size_t(Column::Priority)];
            if (waiting(values) && !p.isNull() && p.toInt() > priority.toInt() &&
                served_.count(FakeTable::recId(values)) == 0) {
                higher.push_back(values);
            }
        }
        std::stable_sort(higher.begin(), higher.end(),
                         [this](const auto& a, const auto& b) { return before(a, b); });
        TableRow::Present all;
        all.fill(true);
        for (const FakeTable::Values& values : higher) {
            if (int(rows.size()) < limit) {
                served_.insert(FakeTable::recId(values));
                higher_.insert(FakeTable::recId(values));
                rows.emplace_back(values, all);
            }
        }
        return rows;
    }
    qint64 countWaiting(qint32) override {
        return std::count_if(table_.rows.begin(), table_.rows.end(),
                             [this](const auto& values) { return waiting(values); });
    }
    std::vector<TableRow> nextPage(int limit) override {
        ++table_.pagesRead;
        std::vector<size_t> order;
        for (size_t i = 0; i < table_.rows.size(); ++i) {
            if (waiting(table_.rows[i])) {
                order.push_back(i);
            }
        }
        std::stable_sort(order.begin(), order.end(), [this](size_t a, size_t b) {
            return before(table_.rows[a], table_.rows[b]);
        });
        std::vector<TableRow> page;
        TableRow::Present all;
        all.fill(true);
        for (size_t i : order) {
            const FakeTable::Values& values = table_.rows[i];
            if (static_cast<int>(page.size()) == limit || (last_ && before(values, *last_)) ||
                !servedRows_.insert(i).second || higher_.count(FakeTable::recId(values)) != 0) {
                continue;
            }
            served_.insert(FakeTable::recId(values));
            page.emplace_back(values, all);
            last_ = values;
        }
        return page;
    }
    std::vector<Write> claim(const std::vector<TableRow>& rows, const QDateTime& at) override {
        raiseIfLost();
        std::vector<Write> results;
        QStringList batch;
        for (const TableRow& row : rows) {
            const qint32 id = row.recordId();
            table_.writes << QStringLiteral("claim %1").arg(id);
            batch << QString::number(id);
            auto forced = table_.claimAnswers.find(id);
            results.push_back(forced != table_.claimAnswers.end()
                                  ? forced->second
                                  : write(row, QString(),
                                          QString::fromLatin1(MessageTable::Status::kBeingSent), at,
                                          false, true));
        }
        table_.transactions << QStringLiteral("claim ") + batch.join(QLatin1Char(' '));
        return results;
    }
    std::vector<Saved> save(const std::vector<Outcome>& outcomes, const QDateTime& at) override {
        raiseIfLost();
        std::vector<Saved> results;
        QStringList batch;
        for (const Outcome& outcome : outcomes) {
            const qint32 id = outcome.row.recordId();
            table_.writes << (outcome.claimed ? QStringLiteral("finish %1")
                                              : QStringLiteral("record %1"))
                                 .arg(id);
            batch << QString::number(id);
            Saved& saved = results.emplace_back();
            if (table_.failingSaves.count(id) != 0) {
                saved.error = KorvaneError(ErrorNumber::RowNotLocated,
                                           QStringLiteral("Row cannot be saved."));
                continue;
            }
            if (table_.savedByLostAttempt.count(id) != 0) {
                write(outcome.row, outcome.isSent, outcome.status, at, outcome.claimed, false);
            }
            saved.write =
                write(outcome.row, outcome.isSent, outcome.status, at, outcome.claimed, false);
            if (saved.write == Write::Done && !outcome.gatewayIds.isEmpty()) {
                table_.smscIds[id] = outcome.gatewayIds;
            }
            if (saved.write == Write::Done && outcome.attempts > 0) {
                (*table_.find(id))[size_t(Column::Attempts)] = outcome.attempts;
            }
            if (saved.write == Write::Done && outcome.nextAttemptAt.isValid()) {
                (*table_.find(id))[size_t(Column::NextAttemptAt)] = outcome.nextAttemptAt;
            }
            if (outcome.claimed && saved.write == Write::Changed && holds(id, outcome)) {
                saved.write = Write::Done;  // as the real store: the outcome is there already
            }
            if (outcome.claimed && saved.write != Write::Done) {
                saved.error = KorvaneError(ErrorNumber::RowNotLocated,
                                           QStringLiteral("Row cannot be saved."));
            }
        }
        table_.transactions << QStringLiteral("save ") + batch.join(QLatin1Char(' '));
        return results;
    }
    void release(const std::vector<TableRow>& rows) override {
        raiseIfLost();
        QStringList batch;
        for (const TableRow& row : rows) {
            table_.writes << QStringLiteral("release %1").arg(row.recordId());
            batch << QString::number(row.recordId());
            FakeTable::Values* stored = table_.find(row.recordId());
            // Guarded on the claim: a row taken meanwhile is not written over.
            if (MessageTable::toText(stored->at(size_t(Column::ProcessStatus))) !=
                QLatin1String(MessageTable::Status::kBeingSent)) {
                continue;
            }
            for (Column column : {Column::IsSent, Column::ProcessStatus, Column::ProcessedDate}) {
                (*stored)[size_t(column)] = row.asRead(column);
            }
        }
        table_.transactions << QStringLiteral("release ") + batch.join(QLatin1Char(' '));
    }
    TableFeatures features() override { return table_.optional; }
    // As the statements: the whole id, or one of a long message's space-separated parts.
    std::vector<SentRow> findSent(const QStringList& ids, bool withinLists) override {
        ++table_.receiptLookups;
        std::vector<SentRow> found;
        for (const auto& [id, stored] : table_.smscIds) {
            const QStringList parts =
                withinLists ? stored.split(QLatin1Char(' ')) : QStringList{stored};
            if (std::any_of(ids.begin(), ids.end(),
                            [&](const QString& one) { return parts.contains(one); })) {
                found.push_back(SentRow{id, stored});
            }
        }
        return found;
    }
    // Guarded on the ids as stored and on a state not final yet.
    void writeReceipts(const std::vector<ReceiptWrite>& writes) override {
        raiseIfLost();
        if (table_.failReceiptWrites) {
            throw KorvaneError(ErrorNumber::ProviderError,
                               QStringLiteral("[FakeDriver] Disk full."));
        }
        static const QStringList finals = {QStringLiteral("DELIVRD"), QStringLiteral("UNDELIV"),
                                           QStringLiteral("EXPIRED"), QStringLiteral("REJECTD"),
                                           QStringLiteral("DELETED")};
        QStringList batch;
        for (const ReceiptWrite& write : writes) {
            const qint32 id = write.recId.toInt();
            batch << QString::number(id);
            if (table_.smscIds[id] == write.ids && !finals.contains(table_.deliveryStatus[id])) {
                table_.deliveryStatus[id] = write.state;
                table_.deliveredDate[id] = write.at;
            }
        }
        table_.transactions << QStringLiteral("receipts ") + batch.join(QLatin1Char(' '));
    }
    // As the statements: by SmscMessageId where there is one, else by what it says lately.
    std::vector<StoredReply> storeReplies(const std::vector<ReplyWrite>& replies) override {
        raiseIfLost();
        if (table_.failReplyWrites > 0) {
            --table_.failReplyWrites;
            throw KorvaneError(ErrorNumber::ProviderError,
                               QStringLiteral("[FakeDriver] Disk full."));
        }
        std::vector<StoredReply> result;
        for (const ReplyWrite& reply : replies) {
            const auto same = [&reply](const ReplyWrite& stored) {
                if (!reply.gatewayId.isEmpty()) {
                    return stored.gatewayId == reply.gatewayId;
                }
                return stored.gatewayId.isEmpty() && stored.from == reply.from &&
                       stored.to == reply.to && stored.text == reply.text &&
                       stored.smscAt == reply.smscAt &&
                       stored.receivedAt.secsTo(reply.receivedAt) <= kReplySameWithinS;
            };
            const auto found = std::find_if(table_.received.begin(), table_.received.end(), same);
            if (found != table_.received.end()) {
                result.push_back({int(found - table_.received.begin()) + 1, true});
                continue;
            }
            table_.received.push_back(reply);
            result.push_back({int(table_.received.size()), false});
        }
        table_.transactions << QStringLiteral("replies %1").arg(replies.size());
        return result;
    }
    QList<Claim> claimsBefore(const QDateTime& cutoff) override {
        QList<Claim> claims;
        for (const FakeTable::Values& values : table_.rows) {
            const QDateTime since = values[size_t(Column::ProcessedDate)].toDateTime();
            if (MessageTable::toText(values[size_t(Column::ProcessStatus)]) ==
                    QLatin1String(MessageTable::Status::kBeingSent) &&
                since < cutoff) {
                claims.append(Claim{values[size_t(Column::RecId)], since});
            }
        }
        return claims;
    }

private:
    using Column = MessageTable::Column;

    bool waiting(const FakeTable::Values& values) const {
        const QString isSent = MessageTable::toText(values[size_t(Column::IsSent)]);
        const QString status = MessageTable::toText(values[size_t(Column::ProcessStatus)]);
        const auto due = [this, &values](Column column) {
            const QVariant at = values[size_t(column)];
            return at.isNull() || at.toDateTime() <= now_;
        };
        const bool again = table_.optional.retries &&
                           status == QLatin1String(MessageTable::Status::kSendAgainLater) &&
                           due(Column::NextAttemptAt);
        return (isSent == QStringLiteral("N") || isSent.isEmpty()) &&
               !(dontSend_ != 0 && !status.isEmpty() && !again) && !MessageTable::isHeld(status) &&
               (!table_.optional.sendAfter || due(Column::SendAfter)) &&
               (!table_.optional.retries || due(Column::NextAttemptAt));
    }
    bool before(const FakeTable::Values& a, const FakeTable::Values& b) const {
        const auto key = [](const FakeTable::Values& v) {
            return v[size_t(Column::RecId)].toLongLong();
        };
        if (table_.optional.priority) {
            const QVariant pa = a[size_t(Column::Priority)];
            const QVariant pb = b[size_t(Column::Priority)];
            if (pa.isNull() != pb.isNull()) {
                return pb.isNull();
            }
            if (!pa.isNull() && pa.toInt() != pb.toInt()) {
                return pa.toInt() > pb.toInt();
            }
        }
        return key(a) < key(b);
    }

    void raiseIfLost() const {
        if (table_.lost) {
            throw KorvaneError(ErrorNumber::ProviderError,
                               QStringLiteral("[FakeDriver] Connection lost."));
        }
    }

    bool holds(qint32 id, const Outcome& outcome) {
        return table_.isSent(id) == outcome.isSent && table_.status(id) == outcome.status;
    }

    // Guarded as the real statements: on the claim, or on IsSent and ProcessStatus as read.
    Write write(const TableRow& row, const QString& isSent, const QString& status,
                const QDateTime& at, bool onClaim, bool claiming) {
        const qint32 id = row.recordId();
        if (std::count_if(table_.rows.begin(), table_.rows.end(), [id](const auto& values) {
                return FakeTable::recId(values) == id;
            }) > 1) {
            return Write::Shared;
        }
        FakeTable::Values* stored = table_.find(id);
        const QString storedStatus =
            MessageTable::toText(stored->at(size_t(Column::ProcessStatus)));
        const bool unchanged = onClaim
                                   ? storedStatus == QLatin1String(MessageTable::Status::kBeingSent)
                                   : storedStatus == row.text(Column::ProcessStatus) &&
                                         MessageTable::toText(stored->at(size_t(Column::IsSent))) ==
                                             row.text(Column::IsSent);
        if (!unchanged) {
            return Write::Changed;
        }
        if (!claiming) {
            (*stored)[size_t(Column::IsSent)] = isSent;
        }
        (*stored)[size_t(Column::ProcessStatus)] = status;
        (*stored)[size_t(Column::ProcessedDate)] = at;
        return Write::Done;
    }

    FakeTable& table_;
    bool open_ = false;
    std::optional<FakeTable::Values> last_;  // the last row a page served
    std::set<size_t> servedRows_;
    qint32 dontSend_ = 1;
    QDateTime now_;
    std::set<int> served_;  // RecIds served this selection
    std::set<int> higher_;  // those served ahead of their page
};

}  // namespace korvane::test

Q_DECLARE_METATYPE(korvane::TableRow::Values)
