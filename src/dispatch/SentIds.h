#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <deque>
#include <optional>
#include <unordered_map>

namespace korvane {

// The gateway's ids of the messages sent, and how a receipt's id finds its row. Ids are kept
// as the gateway gave them and compared lower-cased without leading zeros. A receipt id is
// read as hexadecimal for a decimal id (or the other way round) only where the gateway is
// known to convert (SmppReceiptIds), or where exactly one sent id matches under a conversion:
// a receipt is never guessed onto a row.
class SentIds {
public:
    // How the gateway spells ids in receipts: as it answered the submit, or converted.
    enum class Spelling { Auto, AsSent, Hexadecimal, Decimal };
    // "", "auto", "same", "hex" (receipts in hexadecimal for decimal ids), "decimal".
    static Spelling spellingOf(const QString& setting);

    // Kept for this many ids, the oldest forgotten first; an id forgotten is looked up in the
    // table again.
    static constexpr size_t kMostIds = 500000;

    struct Hit {
        QVariant recId;
        QString stored;  // the row's SmscMessageId as written
        int part = 0;
        int parts = 1;
    };

    // A row's ids: as the gateway gave them (one space between parts) and as stored (cut).
    void add(const QVariant& recId, const QString& ids, const QString& stored);
    std::optional<Hit> find(const QString& receiptId, Spelling spelling) const;
    size_t size() const { return byId_.size(); }

    static QString normal(const QString& id);
    // The spellings a table may hold an id in, for a lookup by equality.
    static QStringList lookups(const QString& receiptId, Spelling spelling);

private:
    const Hit* exact(const QString& normalId) const;

    std::unordered_map<QString, Hit> byId_;
    std::deque<QString> order_;
};

}  // namespace korvane
