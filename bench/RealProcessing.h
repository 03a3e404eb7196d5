#pragma once

#include "BenchSupport.h"
#include "app/ChannelAdapters.h"
#include "channels/CurlMailTransport.h"
#include "channels/EmailSender.h"
#include "channels/SmsSender.h"
#include "dispatch/ProcessingControl.h"
#include "support/Processing.h"

namespace korvane::bench {

// Processing on the real senders, as the program builds it, with its log in a scratch folder
// and a window that shows nothing.
struct RealProcessing {
    Logging logging;
    CurlMailTransport transport;
    EmailSender emailSender{transport};
    SmsSender smsSender;
    SmppChannel sms{smsSender};
    SmtpChannel email{emailSender};
    NoWindow window;
    test::Processing processing;
    ProcessingControl& control = processing.control;

    explicit RealProcessing(const RunConfiguration& config)
        : processing(config, logging.log, window, sms, email, logging.clock) {}
    quint64 smsSent() const { return control.counters().messages[Counters::Sms][Counters::Sent]; }
};

}  // namespace korvane::bench
