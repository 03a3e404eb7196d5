#pragma once

#include <QString>

namespace korvane {

// What became of one message handed to a channel. InDoubt: it may have reached the server
// (written, then no answer), so it must not be sent again automatically.
enum class Delivery { NotSent, Sent, InDoubt };

// A message's outcome; failure is the line that says why (logged by the caller), "" when sent.
struct SendResult {
    Delivery delivery = Delivery::NotSent;
    QString failure;
};

}  // namespace korvane
