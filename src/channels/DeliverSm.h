#pragma once

#include <QByteArray>
#include <optional>

#include "core/Messages.h"

namespace korvane {

// What a deliver_sm from the gateway carries: a delivery receipt for a message sent, or a
// message from a phone. A receipt names the id from receipted_message_id and the state from
// message_state where the gateway sends them, else from its text ("id:... stat:... done
// date:..."). A message from a phone is decoded by its data_coding, and a part of a long one
// named by its concatenation header (8-bit or 16-bit reference) or its sar_* parameters.
struct DeliverSm {
    QByteArray source;  // the sender's address
    bool receipt = false;
    Receipt fields;   // a receipt's id, state, done date and error; the token is not set
    ReplyPart reply;  // a message from a phone; the token is not set

    // Reads a deliver_sm's body; nullopt when it is malformed, or a receipt that names no id.
    static std::optional<DeliverSm> read(const QByteArray& body);
    // A receipt state as one of the eight words, from the text's spellings or message_state.
    static QString stateWord(const QString& text);
    static QString stateWord(quint8 messageState);
};

}  // namespace korvane
