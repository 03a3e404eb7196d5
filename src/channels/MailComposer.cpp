#include "channels/MailComposer.h"

#include <gmime/gmime.h>

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QTemporaryFile>
#include <functional>

#include "channels/MailAddress.h"
#include "core/Files.h"
#include "core/KorvaneError.h"

namespace korvane {

namespace {

// Owns one GObject reference.
template <typename T>
class GRef {
public:
    explicit GRef(T* object = nullptr) : object_(object) {}
    ~GRef() {
        if (object_ != nullptr) {
            g_object_unref(object_);
        }
    }
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    GRef(GRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GRef& operator=(GRef&&) = delete;
    T* get() const { return object_; }

private:
    T* object_;
};

void ensureGMime() {
    static const bool initialised = [] {
        g_mime_init();
        return true;
    }();
    Q_UNUSED(initialised);
}

void addMailboxes(InternetAddressList* list, const std::vector<MailAddress>& addresses) {
    for (const MailAddress& mailbox : addresses) {
        InternetAddress* address = internet_address_mailbox_new(
            mailbox.name.isEmpty() ? nullptr : mailbox.name.toUtf8().constData(),
            mailbox.address.toUtf8().constData());
        internet_address_list_add(list, address);
        g_object_unref(address);
    }
}

GMimePart* partWithStream(const char* type, const char* subtype, GMimeStream* source);

GMimePart* partWithContent(const char* type, const char* subtype, const QByteArray& bytes) {
    return partWithStream(
        type, subtype,
        g_mime_stream_mem_new_with_buffer(bytes.constData(), static_cast<size_t>(bytes.size())));
}

// Takes the stream; the content is read from it only while the message is written.
GMimePart* partWithStream(const char* type, const char* subtype, GMimeStream* source) {
    GMimePart* part = g_mime_part_new_with_type(type, subtype);
    GRef<GMimeStream> stream(source);
    GRef<GMimeDataWrapper> content(
        g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part, content.get());
    return part;
}

QByteArray domainOf(const QString& address) {
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    return at >= 0 ? address.mid(at + 1).toUtf8() : QByteArray("localhost");
}

}  // namespace

namespace {

// The attachment as a part that reads its file while the message is written out: never held
// in memory whole, and never left out, since the message would then be a different one.
GRef<GMimePart> attachmentPart(const QString& attachment) {
    if (!isOrdinaryFile(attachment)) {
        throw KorvaneError(
            ErrorNumber::AttachmentUnreadable,
            QStringLiteral("Attachment '%1' is not an ordinary file.").arg(attachment));
    }
    GError* error = nullptr;
    GMimeStream* source =
        g_mime_stream_fs_open(QFile::encodeName(attachment).constData(), O_RDONLY, 0, &error);
    if (source == nullptr) {
        const QString why = error != nullptr ? QString::fromUtf8(error->message) : QString();
        g_clear_error(&error);
        throw KorvaneError(ErrorNumber::AttachmentUnreadable,
                           QStringLiteral("Cannot read attachment '%1': %2").arg(attachment, why));
    }
    const QStringList mimeType =
        QMimeDatabase().mimeTypeForFile(attachment).name().split(QLatin1Char('/'));
    const QByteArray type = mimeType.value(0, QStringLiteral("application")).toLatin1();
    const QByteArray subtype = mimeType.value(1, QStringLiteral("octet-stream")).toLatin1();
    GRef<GMimePart> part(partWithStream(type.constData(), subtype.constData(), source));
    g_mime_part_set_filename(part.get(), QFileInfo(attachment).fileName().toUtf8().constData());
    g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
    return part;
}

// The body as text/plain in UTF-8; its own line ends are normalised and GMime writes CR LF.
GRef<GMimePart> bodyPart(const QString& text) {
    QString bodyText = text;
    bodyText.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    GRef<GMimePart> body(partWithContent("text", "plain", bodyText.toUtf8()));
    g_mime_object_set_content_type_parameter(GMIME_OBJECT(body.get()), "charset", "utf-8");
    g_mime_part_set_content_encoding(body.get(), g_mime_part_get_best_content_encoding(
                                                     body.get(), GMIME_ENCODING_CONSTRAINT_7BIT));
    return body;
}

// The headers: addresses, a subject on one line, the date and a message id.
void setHeaders(GMimeMessage* message, const MailMessage& m, const std::vector<MailAddress>& from,
                const std::vector<MailAddress>& to, const std::vector<MailAddress>& cc) {
    addMailboxes(g_mime_message_get_from(message), from);
    addMailboxes(g_mime_message_get_to(message), to);
    addMailboxes(g_mime_message_get_cc(message), cc);
    // A line break in a subject from the table must not start a header of its own.
    QString subject = m.subject;
    subject.replace(QLatin1Char('\r'), QLatin1Char(' '))
        .replace(QLatin1Char('\n'), QLatin1Char(' '));
    g_mime_message_set_subject(message, subject.toUtf8().constData(), "utf-8");
    const QDateTime when = m.date.isValid() ? m.date : QDateTime::currentDateTime();
    GDateTime* date = g_date_time_new_from_unix_local(when.toSecsSinceEpoch());
    g_mime_message_set_date(message, date);
    g_date_time_unref(date);
    char* messageId = g_mime_utils_generate_message_id(domainOf(from.front().address).constData());
    g_mime_message_set_message_id(message, messageId);
    g_free(messageId);
}

// Written to a temporary file that the transport reads as it sends: an attachment of any size
// costs disk, not memory.
std::shared_ptr<QTemporaryFile> writeOut(GMimeMessage* message) {
    auto file = std::make_shared<QTemporaryFile>();
    if (!file->open()) {
        throw KorvaneError(
            ErrorNumber::MailComposition,
            QStringLiteral("The message could not be composed: ") + file->errorString());
    }
    GMimeFormatOptions* options = g_mime_format_options_clone(nullptr);
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    GRef<GMimeStream> out(g_mime_stream_fs_new(::dup(file->handle())));
    const gssize written = g_mime_object_write_to_stream(GMIME_OBJECT(message), options, out.get());
    g_mime_format_options_free(options);
    if (written < 0 || g_mime_stream_flush(out.get()) != 0) {
        throw KorvaneError(ErrorNumber::MailComposition,
                           QStringLiteral("The message could not be composed: the attachment or "
                                          "the temporary folder could not be read or written."));
    }
    file->seek(0);
    return file;
}

}  // namespace

ComposedMail composeMail(const MailMessage& m) {
    ensureGMime();
    const std::vector<MailAddress> from = parseAddressList(m.from, QStringLiteral("From"));
    const std::vector<MailAddress> to = parseAddressList(m.to, QStringLiteral("To"));
    std::vector<MailAddress> cc;
    std::vector<MailAddress> bcc;
    if (!m.cc.trimmed().isEmpty()) {
        cc = parseAddressList(m.cc, QStringLiteral("CC"));
    }
    if (!m.bcc.trimmed().isEmpty()) {
        bcc = parseAddressList(m.bcc, QStringLiteral("BCC"));
    }
    ComposedMail composed;
    composed.envelopeFrom = from.front().address.toUtf8();
    for (const std::vector<MailAddress>& list : {std::cref(to), std::cref(cc), std::cref(bcc)}) {
        for (const MailAddress& mailbox : list) {
            composed.recipients << mailbox.address.toUtf8();
        }
    }
    GRef<GMimeMessage> message(g_mime_message_new(TRUE));
    setHeaders(message.get(), m, from, to, cc);
    GRef<GMimePart> body = bodyPart(m.body);
    const QString attachment = m.attachmentPath.trimmed();
    if (!attachment.isEmpty()) {
        GRef<GMimePart> file = attachmentPart(attachment);
        GRef<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
        g_mime_multipart_add(mixed.get(), GMIME_OBJECT(body.get()));
        g_mime_multipart_add(mixed.get(), GMIME_OBJECT(file.get()));
        g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(mixed.get()));
    } else {
        g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(body.get()));
    }
    composed.data = writeOut(message.get());
    return composed;
}

}  // namespace korvane
