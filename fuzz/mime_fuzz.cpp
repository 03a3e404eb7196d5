// libFuzzer target for the composition of a row's mail: whatever the subject, body and
// addresses hold, composing either fails with KorvaneError or gives a message whose header
// block holds no header that the row did not ask for.
#include <cstddef>
#include <cstdint>

#include "channels/MailComposer.h"
#include "core/KorvaneError.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QStringList fields =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size))
            .split(QChar(0));
    korvane::MailMessage message;
    message.from = fields.value(0, QStringLiteral("a@x.test"));
    message.to = fields.value(1, QStringLiteral("b@x.test"));
    message.subject = fields.value(2);
    message.body = fields.value(3);
    message.cc = fields.value(4);
    try {
        const korvane::ComposedMail mail = korvane::composeMail(message);
        const QByteArray composed = mail.data->readAll();
        const QByteArray headers = composed.left(composed.indexOf("\r\n\r\n"));
        for (const QByteArray& line : headers.split('\n')) {
            if (line.startsWith("Bcc:") || line.startsWith("bcc:")) {
                __builtin_trap();
            }
        }
    } catch (const korvane::KorvaneError&) {
    }
    return 0;
}
