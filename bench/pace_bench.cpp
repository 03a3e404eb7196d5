// Korvane's SMS engine against a gateway that holds the account to a minimum gap between
// submits: the rate it gets accepted, as a share of the quota, and the CPU it spends waiting.
// Usage: pace_bench QUOTA PORT|scripted COUNT (run through scripts/bench); "scripted": a gateway
// in this process that answers after 5 ms, as the unit tests' does.
#include <QCoreApplication>
#include <cstdio>
#include <deque>
#include <memory>

#include "BenchSupport.h"
#include "channels/SmsSender.h"
#include "core/Responsive.h"
#include "support/ScriptedGateway.h"

using namespace korvane;

namespace {
bool settled(const SendResult& result) {
    static int told = 0;
    if (result.delivery != Delivery::Sent && ++told <= 3) {
        std::fprintf(stderr, "not sent: %s\n", qPrintable(result.failure));
    }
    return result.delivery == Delivery::Sent;
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: pace_bench QUOTA PORT COUNT\n");
        return 2;
    }
    const double quota = QString::fromLocal8Bit(argv[1]).toDouble();
    std::unique_ptr<test::ScriptedGateway> scripted;
    QString port = QString::fromLocal8Bit(argv[2]);
    if (port == QStringLiteral("scripted")) {
        scripted = std::make_unique<test::ScriptedGateway>(
            test::ScriptedGateway::minimumGap(int(quota), 5));
        port = scripted->port();
    }
    const SmsGateway gateway{QStringLiteral("127.0.0.1"), port, QStringLiteral("Korvane"),
                             QStringLiteral("quill")};
    const int count = QString::fromLocal8Bit(argv[3]).toInt();
    SmsSender sender;
    int sent = 0;
    const double cpuBefore = bench::cpuSeconds();
    // As the dispatch cycle drives it: a window of messages handed over, outcomes in order.
    const double seconds = bench::timed([&] {
        std::deque<int> out;
        for (int i = 0; i < count; ++i) {
            // One number, as the reference client's: the test gateway reads meaning into some.
            out.push_back(waitInPlace(sender.submit(gateway, QStringLiteral("+447700900123"),
                                                    QStringLiteral("Paced message %1").arg(i))));
            while (int(out.size()) >= SmsSender::kDefaultWindow) {
                sent += settled(waitInPlace(sender.outcome(out.front())));
                out.pop_front();
            }
        }
        for (int ticket : out) {
            sent += settled(waitInPlace(sender.outcome(ticket)));
        }
    });
    const double cpu = bench::cpuSeconds() - cpuBefore;
    waitInPlace(sender.endSession());
    std::printf(
        "pace_bench %s, quota %.0f/s: %d of %d sent, %.2f/s (%.2f of the quota), "
        "%llu throttle answers, paced at %.1f/s, CPU %.1f %% of a core\n",
        scripted ? "scripted gateway" : "npm smpp", quota, sent, count, sent / seconds,
        sent / seconds / quota, static_cast<unsigned long long>(sender.throttleAnswers()),
        sender.pacedRate(), 100 * cpu / seconds);
    return sent == count ? 0 : 1;
}
