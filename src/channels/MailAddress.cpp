#include "channels/MailAddress.h"

#include <QStringList>

#include "core/KorvaneError.h"

namespace korvane {

namespace {

QString unquote(QString text) {
    text = text.trimmed();
    while (text.size() >= 2 &&
           ((text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"'))) ||
            (text.startsWith(QLatin1Char('\'')) && text.endsWith(QLatin1Char('\''))))) {
        text = text.mid(1, text.size() - 2).trimmed();
    }
    return text;
}

bool plausible(const QString& address) {
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    if (at <= 0 || at == address.size() - 1) {
        return false;
    }
    for (QChar c : address) {
        if (c.isSpace() || c.unicode() < 0x20 || c == QLatin1Char('<') || c == QLatin1Char('>') ||
            c == QLatin1Char(',') || c == QLatin1Char(';') || c == QLatin1Char('"')) {
            return false;
        }
    }
    return true;
}

KorvaneError invalid(const QString& entry, const QString& field) {
    return KorvaneError(ErrorNumber::InvalidAddress,
                        QStringLiteral("'%1' in %2 is not an e-mail address.").arg(entry, field));
}

}  // namespace

std::vector<MailAddress> parseAddressList(const QString& text, const QString& field) {
    QStringList entries;
    QString current;
    bool inQuotes = false;
    bool inAngle = false;
    for (QChar c : text) {
        if (c == QLatin1Char('"')) {
            inQuotes = !inQuotes;
        } else if (!inQuotes && c == QLatin1Char('<')) {
            inAngle = true;
        } else if (!inQuotes && c == QLatin1Char('>')) {
            inAngle = false;
        } else if (!inQuotes && !inAngle && (c == QLatin1Char(',') || c == QLatin1Char(';'))) {
            entries << current;
            current.clear();
            continue;
        }
        current += c;
    }
    entries << current;

    std::vector<MailAddress> result;
    for (const QString& raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty()) {
            continue;
        }
        MailAddress mailbox;
        const qsizetype open = entry.lastIndexOf(QLatin1Char('<'));
        if (open >= 0) {
            if (!entry.endsWith(QLatin1Char('>'))) {
                throw invalid(entry, field);
            }
            mailbox.name = unquote(entry.left(open));
            mailbox.address = unquote(entry.mid(open + 1, entry.size() - open - 2));
        } else {
            mailbox.address = unquote(entry);
        }
        if (!plausible(mailbox.address)) {
            throw invalid(entry, field);
        }
        result.push_back(mailbox);
    }
    if (result.empty()) {
        throw KorvaneError(ErrorNumber::InvalidAddress,
                           QStringLiteral("%1 holds no e-mail address.").arg(field));
    }
    return result;
}

}  // namespace korvane
