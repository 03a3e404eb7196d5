#pragma once

#include <QString>
#include <vector>

namespace korvane {

struct MailAddress {
    QString name;
    QString address;
};

// An address list as people write it: entries separated by ',' or ';', optionally
// "Display Name <user@host>", quotes and spaces around. Raises KorvaneError for an entry that
// is no address, so that no recipient is ever dropped silently. `field` names the list in
// the error ("To", "CC", ...).
std::vector<MailAddress> parseAddressList(const QString& text, const QString& field);

}  // namespace korvane
