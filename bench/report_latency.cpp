// Time from the controller's write of one report to the monitor's LED change, through the real socket layer and
// decoder on the core's thread and the main window on the GUI thread, over loopback, with the log cleared once it
// has more than 20 lines. The bench plays the controller from a second thread and stamps each write; the GUI thread
// stamps the moment the window's handler has set the LEDs to the report's level, in the same delivery of the
// recorder's signal (the window's connection to the recorder's reportDecoded is replaced by one that calls the same
// handler, then stamps: a second queued call would wait behind whatever the GUI thread does between the two, a paint
// say, and count it against the LEDs). For the record it also stamps the moment the core decoded the report and the
// moment its log line lands. Between samples the window finishes its drawing, then a short pause follows. In the same
// run, interleaved sample by sample, the floor: a loopback round trip of the same 7 bytes over a bare TCP pair, echoed
// by a thread blocked waiting for them, back to the writer: two wake-ups, as the monitor's path has (its core, then its
// window).
//
//   report_latency [--samples N] [--warmup N] [--pause-us P]   (pauses of P to 3P microseconds between samples)

#include "monitorbench.h"

#include "components/messagebox.h"
#include "main.h"

#include <QApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

struct Options {
    int samples = 4000;
    int warmup = 100;
    int pauseUs = 500;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    readOptions(argc, argv, "[--samples N] [--warmup N] [--pause-us P]",
                {{"--samples", [&](const char* v) { o.samples = std::atoi(v); }},
                 {"--warmup", [&](const char* v) { o.warmup = std::atoi(v); }},
                 {"--pause-us", [&](const char* v) { o.pauseUs = std::atoi(v); }}});
    if (o.samples < 10 || o.warmup < 0 || o.pauseUs < 0)
        fail("--samples must be at least 10, --warmup and --pause-us not negative");
    return o;
}

} // namespace

int main(int argc, char** argv) {
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    const Options o = parseOptions(argc, argv);
    const int total = o.warmup + o.samples;

    BenchMonitor monitor;
    monitor.writeSettings(monitor.eventFolders());

    // Report k carries FE or FF by turns, so input 0's LED changes with every report.
    auto reportFor = [](int k) { return reportBytes((k % 2) ? 0xFF : 0xFE); };
    auto expectedLed = [](long k) { return (k % 2) ? lsOFF : lsON; };

    const size_t count = static_cast<size_t>(total);
    std::vector<qint64> writtenAt(count), decodedAt(count), ledAt(count), lineAt(count), paintedAt(count);
    std::atomic<int> ledMismatches{0};
    Progress decoded, leds, lines;
    monitor.onCoreSignal(&Monitor::reportDecoded, [&](quint8) {
        const qint64 t = nowNs();
        const long k = decoded.count();
        if (k < total)
            decodedAt[size_t(k)] = t;
        decoded.raise();
    });
    // The window's own handler, delivered as the window gets it (queued from the core's thread to the recorder's
    // port on the GUI thread), stamped as it returns.
    monitor.keep(stampLeds(monitor.app().recorder, monitor.form(), [&](quint8) {
        const qint64 t = nowNs();
        const long k = leds.count();
        if (k < total) {
            ledAt[size_t(k)] = t;
            if (monitor.form()->Leds[0]->state() != expectedLed(k))
                ++ledMismatches;
        }
        leds.raise();
    }));
    monitor.onReportLine([&] {
        const qint64 t = nowNs();
        const long k = lines.count();
        if (k < total)
            lineAt[size_t(k)] = t;
        lines.raise();
    });
    monitor.connect();

    EchoPair floor(total);
    std::vector<qint64> floorNs(count);

    bool timedOut = false;
    int unpainted = 0;
    PaintWatch paints(monitor.form());
    runWithLoop([&] {
        // Between samples the window finishes drawing, as between a line's real events, and a pause of 0.5 to 1.5 ms
        // follows; the jitter keeps the writes from locking onto a timer's phase.
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pauseUs(o.pauseUs, 3 * o.pauseUs);
        for (int k = 0; k < total && !timedOut; ++k) {
            const auto report = reportFor(k);
            floorNs[size_t(k)] = floor.roundTrip(report);
            timedOut = floorNs[size_t(k)] < 0;
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));

            writtenAt[size_t(k)] = nowNs();
            sendAll(monitor.controller(), report.data(), report.size());
            timedOut = timedOut || !leds.waitFor(k + 1, 5000) || !lines.waitFor(k + 1, 5000);
            paintedAt[size_t(k)] = paints.paintedAfter(ledAt[size_t(k)], 100);
            unpainted += paintedAt[size_t(k)] == 0;
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        }
    });
    if (timedOut)
        fail("a report was not seen within 5 s");

    const size_t from = size_t(o.warmup);
    const Stats led = stampStats(ledAt, writtenAt, from);
    const Stats line = stampStats(lineAt, writtenAt, from);
    const std::vector<qint64> noWrite(floorNs.size(), 0);
    const Stats f = stampStats(floorNs, noWrite, from);
    const Stats dec = stampStats(decodedAt, writtenAt, from);
    std::printf("samples: %d after %d warm-up, log cleared past 20 lines, %d LED mismatches, %d without a paint seen, "
                "%lld boxes\n",
                o.samples, o.warmup, ledMismatches.load(), unpainted, qlonglong(MessageBox::shown().size()));
    std::printf("decoded:   p50 %.3f ms, p99 %.3f ms, max %.3f ms (on the core's thread)\n", dec.p50, dec.p99, dec.max);
    printReportRun(led, line, paintedAt, writtenAt, from, f);
    std::printf("target LED p99 <= 2 ms: %s; <= 2x the round trip: %s\n", led.p99 <= 2.0 ? "met" : "MISSED",
                led.p99 <= 2 * f.p99 ? "met" : "MISSED");
    printLatency("report latency p50", led.p50, f.p50);
    printLatency("report latency p99", led.p99, f.p99);

    return ledMismatches.load() == 0 ? 0 : 1;
}
