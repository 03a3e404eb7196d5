#pragma once

namespace korvane {

// What became of one message handed to a channel. InDoubt: it may have reached the server
// (written, then no answer), so it must not be sent again automatically.
enum class Delivery { NotSent, Sent, InDoubt };

}  // namespace korvane
