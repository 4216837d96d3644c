// A long run through the real path: reports over loopback into the socket layer, decoder, main window (LEDs and
// log) and recorder, as fast as the monitor takes them, with no input watched so no files are written.
//
// First with the log clearing itself past 20 lines: resident memory after the first tenth of the reports (at most
// 100,000) and at the end must differ by less than 10 %, and the count of open descriptors must not move. Then with
// clearing off: the log must stop at its safety limit, and memory must level off once it is full: less than 10 %
// growth over the second half of the run.
//
//   soak [--reports N] [--window W]

#include "monitorbench.h"

#include "components/messagebox.h"
#include "main.h"

#include <QApplication>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <unistd.h>

namespace {

double residentMb() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return double(resident) * double(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n - 1; // the listing's own descriptor
}

struct Sample {
    long reports = 0;
    double rssMb = 0;
    int fds = 0;
    int lines = 0;
};

struct Options {
    long reports = 1000000;
    int window = 32;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    readOptions(argc, argv, "[--reports N] [--window W]",
                {{"--reports", [&](const char* v) { o.reports = std::atol(v); }},
                 {"--window", [&](const char* v) { o.window = std::atoi(v); }}});
    // 36 reports are 252 bytes; a larger read makes the monitor warn about the packet size.
    if (o.reports < 1000 || o.window < 1 || o.window > 32)
        fail("--reports must be at least 1000 and --window 1 to 32");
    return o;
}

} // namespace

int main(int argc, char** argv) {
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    const Options o = parseOptions(argc, argv);

    BenchMonitor monitor;
    const std::vector<std::string> events = monitor.eventFolders();
    Progress reportLines;
    monitor.onReportLine([&] { reportLines.raise(); });
    monitor.writeSettings(events, true);
    monitor.connect();

    // Sends n reports, each moving one input into LOG1 and the previous one back, so every LED changes in turn.
    // At each checkpoint it waits until the monitor has caught up and takes a sample.
    const auto phase = [&](const char* name, long n, std::vector<long> checkpoints) {
        std::sort(checkpoints.begin(), checkpoints.end());
        std::vector<Sample> samples;
        qint64 began = 0, ended = 0;
        runWithLoop([&] {
            const long base = reportLines.count();
            size_t next = 0;
            began = nowNs();
            for (long k = 0; k < n; ++k) {
                if (!reportLines.waitFor(base + k - o.window + 1, 10000))
                    fail("the monitor stalled");
                monitor.sendReport(quint8(~(1u << (k % 8))));
                if (next < checkpoints.size() && k + 1 == checkpoints[next]) {
                    if (!reportLines.waitFor(base + k + 1, 10000))
                        fail("the monitor stalled");
                    // Taken on the GUI thread between two of its events, so the log is not halfway through a change.
                    Sample s;
                    QMetaObject::invokeMethod(
                        monitor.form(),
                        [&] {
                            s = {k + 1, residentMb(), openDescriptors(), monitor.form()->logLineCount()};
                        },
                        Qt::BlockingQueuedConnection);
                    samples.push_back(s);
                    while (next < checkpoints.size() && checkpoints[next] <= k + 1)
                        ++next;
                }
            }
            ended = nowNs();
        });
        for (const Sample& s : samples)
            std::printf("%s: %7ld reports  rss %7.1f MB  fds %3d  log lines %6d\n", name, s.reports, s.rssMb, s.fds,
                        s.lines);
        std::printf("%s: %.0f reports/s\n", name, double(n) / (double(ended - began) / 1e9));
        std::fflush(stdout);
        return samples;
    };
    const auto at = [](const std::vector<Sample>& samples, long reports) {
        return *std::find_if(samples.begin(), samples.end(), [&](const Sample& s) { return s.reports == reports; });
    };

    std::vector<long> tenths;
    for (int i = 1; i <= 10; ++i)
        tenths.push_back(o.reports * i / 10);

    // Log clearing on.
    const Sample start{0, residentMb(), openDescriptors(), 0};
    const long settled = std::min(100000L, o.reports / 10);
    std::vector<long> points = tenths;
    points.push_back(settled);
    const std::vector<Sample> limited = phase("log cleared past 20", o.reports, points);
    const Sample early = at(limited, settled);
    const Sample end = at(limited, o.reports);

    // Log clearing off: the log fills up to its safety limit and must stay there. Memory has levelled off when it
    // does not grow over the second half of the run, which needs the log full from halfway on.
    monitor.writeSettings(events, false);
    monitor.form()->LoadSettings();
    const long half = o.reports / 2;
    const bool fullFromHalfway = half >= TForm1::LogSafetyLimit;
    points = tenths;
    points.push_back(half);
    const std::vector<Sample> unlimited = phase("log not cleared", o.reports, points);
    const Sample halfway = at(unlimited, half);
    const Sample last = at(unlimited, o.reports);
    const int finalLines = monitor.form()->logLineCount();

    // Rounded to the printed tenth, and a rounded -0.0 made plain 0.0.
    const auto percent = [](double from, double to) { return std::round(1000.0 * (to - from) / from) / 10.0 + 0.0; };
    const double growth = percent(early.rssMb, end.rssMb);
    const double growthFull = percent(halfway.rssMb, last.rssMb);
    std::printf("reports per phase: %ld, %d in flight, %lld boxes\n", o.reports, o.window,
                qlonglong(MessageBox::shown().size()));
    std::printf("soak fds: start %d end %d\n", start.fds, last.fds);
    std::printf("soak rss no-limit: %.1f MB (lines %d), %.1f MB halfway%s\n", last.rssMb, finalLines, halfway.rssMb,
                fullFromHalfway ? "" : "; too few reports to fill the log by halfway, levelling off not checked");
    const bool met = std::abs(growth) < 10.0 && end.fds == start.fds && last.fds == start.fds &&
                     finalLines <= TForm1::LogSafetyLimit && (!fullFromHalfway || std::abs(growthFull) < 10.0);
    std::printf("targets (rss within 10 %%, fds constant, log at most %d lines, rss level when full): %s\n",
                TForm1::LogSafetyLimit, met ? "met" : "MISSED");
    printFigure("soak rss growth", formatted("%.1f %%", growth), "10 %", std::abs(growth) / 10.0);
    printFigure("soak fds end", formatted("%d fds", last.fds), formatted("%d fds", start.fds),
                double(last.fds) / double(start.fds));
    if (fullFromHalfway)
        printFigure("soak rss no-limit growth", formatted("%.1f %%", growthFull), "10 %", std::abs(growthFull) / 10.0);
    printFigure("soak log lines no-limit", formatted("%d lines", finalLines),
                formatted("%d lines", TForm1::LogSafetyLimit), double(finalLines) / TForm1::LogSafetyLimit);
    return met ? 0 : 1;
}
