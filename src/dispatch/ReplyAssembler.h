#pragma once

#include <QDateTime>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "core/Messages.h"
#include "dispatch/MessageStore.h"

namespace korvane {

// Messages from phones put together. A part of a long message waits here, in memory only and
// unanswered, until all its parts are there, in whatever order they came; after kWaitS, or
// when more than kMostParts wait, it is given up on and stored as it is, each missing part
// marked. The parts of a reply stored lately are remembered for kWaitS, so that one offered
// again is answered without being stored twice.
class ReplyAssembler {
public:
    static constexpr int kWaitS = 600;
    static constexpr size_t kMostParts = 20000;

    struct Reply {
        MessageStore::ReplyWrite write;
        std::vector<quint64> tokens;  // answered once it is stored
        QString key;                  // "" for a message whole
        std::set<int> sequences;      // the parts it holds
        int missing = 0;
    };
    struct Taken {
        std::optional<Reply> reply;            // the part made a reply whole
        std::optional<quint64> storedAlready;  // the part is in a reply stored: answer it done
        std::optional<quint64> replaced;       // a part offered again: the earlier offer's token
    };

    Taken add(const ReplyPart& part, const QDateTime& now);
    // Replies given up on by now; all: every one waiting.
    std::vector<Reply> overdue(const QDateTime& now, bool all = false);
    // A reply stored (or found stored): its parts are remembered.
    void stored(const Reply& reply, const QDateTime& now);
    size_t partsWaiting() const { return parts_; }
    // When the first message waiting is to be given up on; invalid when none waits.
    QDateTime nextDue() const;

private:
    struct Waiting {
        QDateTime first;
        std::map<int, ReplyPart> parts;
    };
    struct Done {
        QDateTime at;
        std::set<int> sequences;
    };
    static Reply whole(const QString& key, Waiting waiting, const QDateTime& now);
    void forget(const QDateTime& now);

    std::map<QString, Waiting> waiting_;
    size_t parts_ = 0;
    std::map<QString, Done> done_;
    std::deque<std::pair<QDateTime, QString>> doneOrder_;
};

}  // namespace korvane
