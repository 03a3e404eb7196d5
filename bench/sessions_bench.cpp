// The SMS engine over TLS beside plain TCP, and over several sessions of one account against
// a gateway that holds each bind to a minimum gap: the rate, and the CPU per 1,000 rows.
// Usage (run through scripts/bench):
//   sessions_bench tls PLAIN_PORT TLS_PORT CA_FILE COUNT
//   sessions_bench sessions PORT PER_BIND_RATE SESSIONS COUNT
#include <QCoreApplication>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>

#include "BenchSupport.h"
#include "channels/SmsSender.h"
#include "core/Responsive.h"
#include "support/ScriptedGateway.h"

using namespace korvane;

namespace {

struct Run {
    int sent = 0;
    double perSecond = 0;
    double cpuPerThousand = 0;  // seconds of CPU
    quint64 throttles = 0;
    double paced = 0;
};

// As the dispatch cycle drives it: messages handed over while there is room, outcomes in
// order.
Run drive(const SmsGateway& gateway, int count) {
    SmsSender sender;
    Run run;
    const double cpuBefore = bench::cpuSeconds();
    const double seconds = bench::timed([&] {
        std::deque<int> out;
        for (int i = 0; i < count; ++i) {
            while (!out.empty() && sender.room() <= 0) {
                run.sent +=
                    waitInPlace(sender.outcome(out.front())).delivery == Delivery::Sent ? 1 : 0;
                out.pop_front();
            }
            out.push_back(waitInPlace(sender.submit(gateway, QStringLiteral("+447700900123"),
                                                    QStringLiteral("Bench message %1").arg(i))));
        }
        for (int ticket : out) {
            run.sent += waitInPlace(sender.outcome(ticket)).delivery == Delivery::Sent ? 1 : 0;
        }
    });
    run.cpuPerThousand = (bench::cpuSeconds() - cpuBefore) * 1000.0 / count;
    run.perSecond = run.sent / seconds;
    run.throttles = sender.throttleAnswers();
    run.paced = sender.pacedRate();
    waitInPlace(sender.endSession());
    return run;
}

SmsGateway local(const QString& port) {
    return SmsGateway{QStringLiteral("127.0.0.1"), port, QStringLiteral("Korvane"),
                      QStringLiteral("quill")};
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (argc == 6 && args[1] == QStringLiteral("tls")) {
        const int count = args[5].toInt();
        SmsGateway encrypted = local(args[3]);
        encrypted.tls.on = true;
        encrypted.tls.caFile = args[4];
        // Alternating, so that neither has the machine to itself.
        const Run plain = drive(local(args[2]), count);
        const Run tls = drive(encrypted, count);
        std::printf("sessions_bench TCP: %d of %d sent, %.1f/s, CPU %.3f s per 1,000 rows\n",
                    plain.sent, count, plain.perSecond, plain.cpuPerThousand);
        std::printf(
            "sessions_bench TLS: %d of %d sent, %.1f/s, CPU %.3f s per 1,000 rows; "
            "TLS / TCP: %.2f\n",
            tls.sent, count, tls.perSecond, tls.cpuPerThousand, tls.perSecond / plain.perSecond);
        return tls.sent == count && plain.sent == count ? 0 : 1;
    }
    if (argc == 6 && args[1] == QStringLiteral("sessions")) {
        // "scripted": a gateway in this process holding each bind to the gap, answering after
        // 20 ms, without the npm server's timer jitter.
        std::unique_ptr<test::ScriptedGateway> scripted;
        QString port = args[2];
        if (port == QStringLiteral("scripted")) {
            auto last = std::make_shared<std::map<int, qint64>>();
            auto clock = std::make_shared<QElapsedTimer>();
            clock->start();
            const qint64 gapNs = qint64(1e9 / args[3].toDouble());
            auto self = std::make_shared<test::ScriptedGateway*>(nullptr);
            scripted = std::make_unique<test::ScriptedGateway>([=](int n) {
                const int session = (*self)->submits()[size_t(n)].session;
                const qint64 now = clock->nsecsElapsed();
                auto it = last->find(session);
                if (it != last->end() && now - it->second < gapNs) {
                    return test::ScriptedGateway::Step::answer(smpp::Status::Throttled, 20);
                }
                (*last)[session] = now;
                return test::ScriptedGateway::Step::answer(smpp::Status::Ok, 20);
            });
            *self = scripted.get();
            port = scripted->port();
        }
        SmsGateway gateway = local(port);
        const double perBind = args[3].toDouble();
        gateway.sessions = args[4].toInt();
        const int count = args[5].toInt();
        const Run run = drive(gateway, count);
        const double allowed = perBind * gateway.sessions;
        std::printf(
            "sessions_bench %s, %d session(s) of %.0f/s each: %d of %d sent, %.1f/s (%.2f of "
            "%.0f/s), %llu throttle answers, paced at %.1f/s, CPU %.3f s per 1,000 rows\n",
            scripted ? "scripted gateway" : "npm smpp", gateway.sessions, perBind, run.sent, count,
            run.perSecond, run.perSecond / allowed, allowed,
            static_cast<unsigned long long>(run.throttles), run.paced, run.cpuPerThousand);
        return run.sent == count ? 0 : 1;
    }
    std::fprintf(stderr,
                 "usage: sessions_bench tls PLAIN TLS CA COUNT | sessions PORT RATE N COUNT\n");
    return 2;
}
