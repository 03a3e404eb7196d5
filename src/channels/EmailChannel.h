#pragma once

#include <QString>

#include "channels/Delivery.h"

namespace korvane {

// Sends one e-mail; what the dispatch cycle and the Test Email action depend on.
class EmailChannel {
public:
    virtual ~EmailChannel() = default;
    // Sent when the server took the message; a failure is logged here, a success by the caller.
    virtual Delivery SendEmail(const QString& from, const QString& to, const QString& cc,
                               const QString& bcc, const QString& attachmentPath,
                               const QString& subject, const QString& body, const QString& server,
                               const QString& port, const QString& userName,
                               const QString& password, bool showMessages) = 0;
    // Ends the session that sends keep open for the next message (the end of a cycle).
    virtual void endSession() {}
};

}  // namespace korvane
