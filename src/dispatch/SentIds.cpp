#include "dispatch/SentIds.h"

#include <QSet>

namespace korvane {

namespace {

// An id read in one base and written in the other; "" when it is no number in that base.
QString converted(const QString& id, int from, int to) {
    bool ok = false;
    const qulonglong value = id.trimmed().toULongLong(&ok, from);
    return ok ? QString::number(value, to) : QString();
}

}  // namespace

SentIds::Spelling SentIds::spellingOf(const QString& setting) {
    const QString word = setting.trimmed().toLower();
    if (word == QLatin1String("same")) {
        return Spelling::AsSent;
    }
    if (word == QLatin1String("hex") || word == QLatin1String("hexadecimal")) {
        return Spelling::Hexadecimal;
    }
    if (word == QLatin1String("decimal")) {
        return Spelling::Decimal;
    }
    return Spelling::Auto;
}

QString SentIds::normal(const QString& id) {
    QString text = id.trimmed().toLower();
    qsizetype zeros = 0;
    while (zeros + 1 < text.size() && text.at(zeros) == QLatin1Char('0')) {
        ++zeros;
    }
    return text.mid(zeros);
}

void SentIds::add(const QVariant& recId, const QString& ids, const QString& stored) {
    const QStringList parts = ids.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (int part = 0; part < parts.size(); ++part) {
        const QString key = normal(parts[part]);
        if (byId_.insert_or_assign(key, Hit{recId, stored, part, int(parts.size())}).second) {
            order_.push_back(key);
        }
    }
    while (order_.size() > kMostIds) {
        byId_.erase(order_.front());
        order_.pop_front();
    }
}

const SentIds::Hit* SentIds::exact(const QString& normalId) const {
    const auto it = byId_.find(normalId);
    return it != byId_.end() ? &it->second : nullptr;
}

std::optional<SentIds::Hit> SentIds::find(const QString& receiptId, Spelling spelling) const {
    const QString hex = converted(receiptId, 16, 10);      // read as hexadecimal
    const QString decimal = converted(receiptId, 10, 16);  // read as decimal
    const Hit* hit = nullptr;
    switch (spelling) {
        case Spelling::Hexadecimal:
            hit = hex.isEmpty() ? nullptr : exact(normal(hex));
            break;
        case Spelling::Decimal:
            hit = decimal.isEmpty() ? nullptr : exact(normal(decimal));
            break;
        case Spelling::AsSent:
            hit = exact(normal(receiptId));
            break;
        case Spelling::Auto: {
            hit = exact(normal(receiptId));
            const Hit* a = hit || hex.isEmpty() ? nullptr : exact(normal(hex));
            const Hit* b = hit || decimal.isEmpty() ? nullptr : exact(normal(decimal));
            if (!hit && (a == nullptr) != (b == nullptr)) {
                hit = a != nullptr ? a : b;  // exactly one reading matches
            }
            break;
        }
    }
    return hit != nullptr ? std::optional<Hit>(*hit) : std::nullopt;
}

QStringList SentIds::lookups(const QString& receiptId, Spelling spelling) {
    QStringList bases;
    if (spelling == Spelling::Auto || spelling == Spelling::AsSent) {
        bases << receiptId.trimmed();
    }
    if (spelling == Spelling::Auto || spelling == Spelling::Hexadecimal) {
        bases << converted(receiptId, 16, 10);
    }
    if (spelling == Spelling::Auto || spelling == Spelling::Decimal) {
        bases << converted(receiptId, 10, 16);
    }
    QSet<QString> seen;
    QStringList all;
    for (const QString& base : bases) {
        for (const QString& form :
             {base, base.toLower(), base.toUpper(), normal(base), normal(base).toUpper()}) {
            if (!form.isEmpty() && !seen.contains(form)) {
                seen.insert(form);
                all << form;
            }
        }
    }
    return all;
}

}  // namespace korvane
