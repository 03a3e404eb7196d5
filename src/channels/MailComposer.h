#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QIODevice>
#include <QList>
#include <QString>
#include <memory>

#include "core/Messages.h"

namespace korvane {

// What goes to the SMTP server: the envelope and the RFC 5322 message with CR LF line ends.
struct ComposedMail {
    QByteArray envelopeFrom;
    QList<QByteArray> recipients;
    std::shared_ptr<QIODevice> data;  // the message, positioned at its start
};

// Builds the message with GMime: UTF-8 subject (RFC 2047), UTF-8 text/plain body in a 7-bit
// transfer encoding, Date and Message-Id, and the optional attachment in base64. Raises
// KorvaneError for a bad address or an attachment that cannot be read.
ComposedMail composeMail(const MailMessage& message);

}  // namespace korvane
