#include "app/ServiceState.h"

namespace korvane {

namespace {

void family(QByteArray& out, const char* name, const char* type, const char* help) {
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
}

void sample(QByteArray& out, const QByteArray& name, double value) {
    out += name + ' ' + QByteArray::number(value, 'g', 15) + '\n';
}

// A metric of one sample: its family and its value.
void single(QByteArray& out, const char* name, const char* type, const char* help, double value) {
    family(out, name, type, help);
    sample(out, name, value);
}

double seconds(const QDateTime& at) {
    return at.isValid() ? static_cast<double>(at.toMSecsSinceEpoch()) / 1000.0 : 0;
}

// What the SMS gateway's session did: throttles, binds, drops, keep-alives, the pace.
void gatewayMetrics(QByteArray& out, const ServiceState& state) {
    single(out, "korvane_throttle_answers_total", "counter",
           "Submits the SMS gateway answered throttled or queue full.",
           double(state.throttleAnswers));
    single(out, "korvane_smpp_binds_total", "counter", "SMPP sessions bound.",
           double(state.smppBinds));
    family(out, "korvane_smpp_bind_failures_total", "counter",
           "Binds the gateway refused, by its status (connect: no connection).");
    for (const auto& [status, count] : state.smppLink.bindFailures) {
        sample(out, "korvane_smpp_bind_failures_total{status=\"" + status.toLatin1() + "\"}",
               double(count));
    }
    single(out, "korvane_smpp_drops_total", "counter", "Bound SMPP sessions lost.",
           double(state.smppLink.drops));
    single(out, "korvane_smpp_enquire_links_total", "counter",
           "enquire_link sent to keep the gateway's session.",
           double(state.smppLink.keepAlive.sent));
    single(out, "korvane_smpp_enquire_links_unanswered_total", "counter",
           "enquire_link the gateway left unanswered (each dropped the session).",
           double(state.smppLink.keepAlive.unanswered));
    single(out, "korvane_smpp_paced_rate", "gauge",
           "Submits a second the gateway is paced at, as learnt from its answers (0: unpaced).",
           state.smppRate);
    single(out, "korvane_smpp_paced_waits_total", "counter",
           "Waits for the next paced slot before a submit.", double(state.smppPacedWaits));
    family(out, "korvane_receipts_total", "counter",
           "Delivery receipts written into their rows, by state.");
    for (const auto& [receiptState, count] : state.counters.receipts) {
        sample(out, "korvane_receipts_total{state=\"" + receiptState.toLatin1() + "\"}",
               double(count));
    }
    single(out, "korvane_receipts_unmatched_total", "counter",
           "Delivery receipts that matched no row within a minute.",
           double(state.counters.receiptsUnmatched));
    single(out, "korvane_replies_received_total", "counter",
           "Messages from phones stored in tblReceivedMessages.",
           double(state.counters.repliesStored));
    single(out, "korvane_replies_offered_again_total", "counter",
           "Messages from phones offered again and found stored already.",
           double(state.counters.repliesAlready));
    single(out, "korvane_reply_parts_waiting", "gauge",
           "Parts of long messages from phones waiting for the others.",
           double(state.counters.replyPartsWaiting));
}

// A label's value as the exposition format reads it: a server name is the settings' text.
QByteArray labelValue(const QString& text) {
    QByteArray value = text.toUtf8();
    value.replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
    return value;
}

// Only with a second server set: a table of one server says nothing new.
void mailServerMetrics(QByteArray& out, const ServiceState& state) {
    if (state.counters.mailsByServer.empty()) {
        return;
    }
    family(out, "korvane_mails_sent_total", "counter",
           "Mails taken, by the server that took them.");
    for (const auto& [server, count] : state.counters.mailsByServer) {
        sample(out, "korvane_mails_sent_total{server=\"" + labelValue(server) + "\"}",
               double(count));
    }
}

// The sessions to each gateway: also with one, since CellSessions may keep several.
void sessionMetrics(QByteArray& out, const ServiceState& state) {
    if (state.smppSessionsBound.empty()) {
        return;
    }
    family(out, "korvane_smpp_sessions_bound", "gauge", "Sessions bound now, by gateway.");
    for (const auto& [server, bound] : state.smppSessionsBound) {
        sample(out, "korvane_smpp_sessions_bound{server=\"" + labelValue(server) + "\"}",
               double(bound));
    }
    family(out, "korvane_smpp_submits_total", "counter", "Submits accepted, by gateway.");
    for (const auto& [server, count] : state.smppSubmitsByServer) {
        sample(out, "korvane_smpp_submits_total{server=\"" + labelValue(server) + "\"}",
               double(count));
    }
}

}  // namespace

QByteArray metricsText(const ServiceState& state) {
    const Counters& c = state.counters;
    QByteArray out;
    family(out, "korvane_messages_total", "counter",
           "Messages by channel and outcome since start (skipped: changed or taken).");
    const char* channels[] = {"sms", "email"};
    const char* outcomes[] = {"sent", "not_sent", "in_doubt", "skipped"};
    for (int ch = 0; ch < Counters::kChannels; ++ch) {
        for (int r = 0; r < Counters::kResults; ++r) {
            sample(out,
                   QByteArray("korvane_messages_total{channel=\"") + channels[ch] +
                       "\",outcome=\"" + outcomes[r] + "\"}",
                   double(c.messages[size_t(ch)][size_t(r)]));
        }
    }
    single(out, "korvane_claim_attempts_total", "counter", "Rows a claim was tried on.",
           double(c.claimAttempts));
    single(out, "korvane_expired_total", "counter",
           "Rows whose ExpiresAt passed before their turn (not sent).", double(c.expired));
    single(out, "korvane_retried_total", "counter",
           "Failures that may pass, put off to a later attempt (NextAttemptAt).",
           double(c.retried));
    gatewayMetrics(out, state);
    mailServerMetrics(out, state);
    sessionMetrics(out, state);
    single(out, "korvane_smtp_connections_total", "counter", "SMTP connections opened.",
           double(state.smtpConnections));
    family(out, "korvane_cycle_duration_seconds", "histogram", "How long dispatch cycles took.");
    quint64 cumulative = 0;
    for (size_t i = 0; i < Counters::kDurationBounds.size(); ++i) {
        cumulative += c.durations[i];
        sample(out,
               "korvane_cycle_duration_seconds_bucket{le=\"" +
                   QByteArray::number(Counters::kDurationBounds[i]) + "\"}",
               double(cumulative));
    }
    cumulative += c.durations.back();
    sample(out, "korvane_cycle_duration_seconds_bucket{le=\"+Inf\"}", double(cumulative));
    sample(out, "korvane_cycle_duration_seconds_sum", c.durationSum);
    sample(out, "korvane_cycle_duration_seconds_count", double(cumulative));
    single(out, "korvane_cycle_errors_total", "counter", "Cycles that ended on the error path.",
           double(c.cycleErrors));
    single(out, "korvane_last_cycle_end_timestamp_seconds", "gauge",
           "When the last cycle ended (0: none yet).", seconds(c.lastCycleEnd));
    single(out, "korvane_waiting_rows", "gauge", "Waiting rows the last selection found.",
           double(std::max<qint64>(0, c.waitingRows)));
    single(out, "korvane_oldest_waiting_seconds", "gauge",
           "Since this instance first saw the oldest row that is still waiting.",
           c.oldestWaitingSince.isValid() ? double(c.oldestWaitingSince.msecsTo(state.now)) / 1000.0
                                          : 0);
    single(out, "korvane_stale_claims", "gauge",
           "Rows marked 'Message Is Being Sent.' for more than 15 minutes.", double(c.staleClaims));
    single(out, "korvane_database_wait_seconds", "gauge",
           "How long the database call out now has waited (0: none).", state.databaseWaitS);
    single(out, "korvane_processing", "gauge", "1 while processing is started.",
           state.started ? 1 : 0);
    return out;
}

Health judgeHealth(const ServiceState& state) {
    const Counters& c = state.counters;
    const qint64 sinceProgress = c.lastProgress.isValid() ? c.lastProgress.secsTo(state.now) : -1;
    if (!state.started) {
        return Health{false, QStringLiteral("processing is stopped")};
    }
    if (state.databaseWaitS > kDatabaseWaitUnhealthyS) {
        return Health{false, QStringLiteral("the database has not answered for %1 s")
                                 .arg(qint64(state.databaseWaitS))};
    }
    if (c.failedInARow >= kFailedCyclesUnhealthy) {
        return Health{
            false,
            QStringLiteral("the last %1 cycles could not reach the table").arg(c.failedInARow)};
    }
    if (sinceProgress >= 0 && sinceProgress <= kProgressS) {
        return Health{true, QStringLiteral("making progress")};
    }
    if (state.cycleRunning && sinceProgress >= 0 && sinceProgress <= kLongestSendS) {
        return Health{true, QStringLiteral("a send is in progress")};
    }
    if (state.cycleRunning && sinceProgress < 0) {
        return Health{true, QStringLiteral("the first cycle is running")};
    }
    return Health{false, sinceProgress < 0
                             ? QStringLiteral("no cycle has ended yet")
                             : QStringLiteral("no progress for %1 s").arg(sinceProgress)};
}

QString countsLine(const ServiceState& state) {
    const Counters& c = state.counters;
    const QDate today = state.now.date();
    QString line =
        QStringLiteral("Waiting: %1 | Sent today: %2 | Not sent: %3 | In doubt: %4")
            .arg(c.stillWaiting() < 0 ? QStringLiteral("-") : QString::number(c.stillWaiting()))
            .arg(c.on(today, Counters::Sent))
            .arg(c.on(today, Counters::NotSent))
            .arg(c.on(today, Counters::InDoubt));
    if (!state.smppSessionsBound.empty()) {
        int bound = 0;
        for (const auto& [server, sessions] : state.smppSessionsBound) {
            bound += sessions;
        }
        line += bound == 0 ? QStringLiteral(" | SMS gateway: not bound")
                           : QStringLiteral(" | SMS gateway: %1 bound")
                                 .arg(bound == 1 ? QStringLiteral("1 session")
                                                 : QStringLiteral("%1 sessions").arg(bound));
    }
    return line;
}

QString statusLine(const QString& statusText, const Counters& counters) {
    return QStringLiteral("%1 (sent %2, not sent %3, in doubt %4)")
        .arg(statusText)
        .arg(counters.total(Counters::Sent))
        .arg(counters.total(Counters::NotSent))
        .arg(counters.total(Counters::InDoubt));
}

}  // namespace korvane
