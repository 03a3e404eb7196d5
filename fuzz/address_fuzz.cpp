// libFuzzer target for the address-list parser: any text either fails with KorvaneError or
// gives addresses with a local part and a domain around their last '@', and no white space.
#include <cstddef>
#include <cstdint>

#include "channels/MailAddress.h"
#include "core/KorvaneError.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
        for (const korvane::MailAddress& mailbox :
             korvane::parseAddressList(text, QStringLiteral("To"))) {
            const qsizetype at = mailbox.address.lastIndexOf(QLatin1Char('@'));
            if (at <= 0 || at == mailbox.address.size() - 1 ||
                mailbox.address.contains(QLatin1Char(' '))) {
                __builtin_trap();
            }
        }
    } catch (const korvane::KorvaneError&) {
    }
    return 0;
}
