#include "dispatch/ReplyAssembler.h"

#include <algorithm>

namespace korvane {

namespace {

QString keyOf(const ReplyPart& part) {
    return QStringLiteral("%1\n%2\n%3\n%4")
        .arg(part.from, part.to)
        .arg(part.reference)
        .arg(part.total);
}

}  // namespace

ReplyAssembler::Taken ReplyAssembler::add(const ReplyPart& part, const QDateTime& now) {
    Taken taken;
    if (part.reference < 0 || part.total <= 1) {
        Waiting single{now, {{1, part}}};
        taken.reply = whole(QString(), std::move(single), now);
        return taken;
    }
    forget(now);
    const QString key = keyOf(part);
    if (const auto done = done_.find(key);
        done != done_.end() && done->second.sequences.count(part.sequence) != 0) {
        taken.storedAlready = part.token;
        return taken;
    }
    Waiting& waiting = waiting_.try_emplace(key, Waiting{now, {}}).first->second;
    const auto [at, added] = waiting.parts.try_emplace(part.sequence, part);
    if (!added) {
        taken.replaced = at->second.token;
        at->second = part;
    } else {
        ++parts_;
    }
    if (int(waiting.parts.size()) == part.total) {
        parts_ -= waiting.parts.size();
        taken.reply = whole(key, std::move(waiting), now);
        waiting_.erase(key);
    }
    return taken;
}

std::vector<ReplyAssembler::Reply> ReplyAssembler::overdue(const QDateTime& now, bool all) {
    std::vector<Reply> replies;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (all || it->second.first.secsTo(now) >= kWaitS) {
            parts_ -= it->second.parts.size();
            replies.push_back(whole(it->first, std::move(it->second), now));
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
    while (parts_ > kMostParts) {
        const auto oldest = std::min_element(
            waiting_.begin(), waiting_.end(),
            [](const auto& a, const auto& b) { return a.second.first < b.second.first; });
        parts_ -= oldest->second.parts.size();
        replies.push_back(whole(oldest->first, std::move(oldest->second), now));
        waiting_.erase(oldest);
    }
    return replies;
}

void ReplyAssembler::stored(const Reply& reply, const QDateTime& now) {
    if (reply.key.isEmpty()) {
        return;
    }
    Done& done = done_[reply.key];
    done.at = now;
    done.sequences.insert(reply.sequences.begin(), reply.sequences.end());
    doneOrder_.emplace_back(now, reply.key);
}

QDateTime ReplyAssembler::nextDue() const {
    QDateTime first;
    for (const auto& [key, waiting] : waiting_) {
        if (!first.isValid() || waiting.first < first) {
            first = waiting.first;
        }
    }
    return first.isValid() ? first.addSecs(kWaitS) : first;
}

// The text in the parts' order, each missing part marked; the time stamp and id of the
// first part there.
ReplyAssembler::Reply ReplyAssembler::whole(const QString& key, Waiting waiting,
                                            const QDateTime& now) {
    Reply reply;
    reply.key = key;
    const ReplyPart& first = waiting.parts.begin()->second;
    const int total = std::max(1, first.total);
    QString text;
    for (int sequence = 1; sequence <= total; ++sequence) {
        const auto part = waiting.parts.find(sequence);
        if (part == waiting.parts.end()) {
            text += QStringLiteral("[part %1 of %2 missing]").arg(sequence).arg(total);
            ++reply.missing;
            continue;
        }
        text += part->second.text;
        reply.tokens.push_back(part->second.token);
        reply.sequences.insert(sequence);
    }
    reply.write = MessageStore::ReplyWrite{
        now, first.smscAt, first.from, first.to, text, first.gatewayId, int(waiting.parts.size())};
    return reply;
}

void ReplyAssembler::forget(const QDateTime& now) {
    while (!doneOrder_.empty() && doneOrder_.front().first.secsTo(now) >= kWaitS) {
        const auto done = done_.find(doneOrder_.front().second);
        if (done != done_.end() && done->second.at == doneOrder_.front().first) {
            done_.erase(done);
        }
        doneOrder_.pop_front();
    }
}

}  // namespace korvane
