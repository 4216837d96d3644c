// Recorded events per second through the whole path: reports over loopback into the real socket layer, decoder and
// recorder on the core's thread, down to durable event files in eight watched folders. The recorder is started by
// its host as the program starts it, without any window: its log lines reach the main thread through the recorder's
// port, as a window would get them, and pace the bench. The bench plays the controller from a second thread; each
// report moves one input into LOG1 (and the previous one back), so every report is one event. Up to --window reports
// are in flight: enough to keep the monitor busy, few enough that a read never reaches the large-packet warning.
// inotify on the eight folders gives the moment each file gets its final name.
//
// The floor, in the same run: a bare loop doing per file what a durable event write has to do, the way a plain
// program does it (temporary file, write, fsync, rename that never replaces, folder fsync; the recorder makes its
// files without a name and links them where the file system lets it). Floor and monitor take turns in short runs over
// several rounds, each run in fresh folders, and each kind's rate is its total over its total time: the disk's speed
// swings widely (on a file system still cleaning up after a mass delete, file creation runs several times slower for
// minutes, and other work shares the disk), and taking turns often makes the swings hit both alike.
//
// Three name templates:
//   unique       L%numl%_B%nbit%_%date%%time% with the program clock pinned and moved on one second per report,
//                so no two events share a name: the plain cost of the path.
//   same-second  the same template on the real clock: events within one second share a name and take the first
//                free _2, _3, ... suffix, one failed link per name already taken.
//   numco        L%numl%_B%nbit%_%numco%: unique names, but every event also stores the running number in the
//                settings file, itself a durable write.
// And two ways of sending, on unique names, with the next chunk written as soon as the monitor has read the last, so
// it waits in the socket while the monitor writes and every read takes exactly one chunk:
//   single       one report per chunk: every event is a group of one, with its own syncs.
//   burst        36 reports per chunk (252 bytes, the most a 255-byte read takes without the large-packet
//                warning): the chunk's 36 files share their syncs, so the burst has to beat the floor by far.
// Every event the core announces as recorded must already be in its folder under its final name.
// The latency (report written -> file under its final name) is taken one report at a time on unique names, with
// the monitor idle for a moment in between, and the floor's the same way: one file at a time, seen by the same
// inotify watch.
//
// Each run of a kind stops after --events events or --seconds, whichever comes first, so a slow disk does not
// stretch the bench.
//
//   record_throughput [--events N] [--burst-events N] [--seconds S] [--rounds R] [--latency-samples M]
//                     [--window W] [--dir PATH]

#include "recorderbench.h"

#include "core/settings/settings.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

long countCsv(const std::vector<std::string>& dirs) {
    long n = 0;
    for (const std::string& d : dirs) {
        DIR* dir = ::opendir(d.c_str());
        if (!dir)
            continue;
        while (const dirent* e = ::readdir(dir)) {
            const size_t len = std::strlen(e->d_name);
            n += len > 4 && std::strcmp(e->d_name + len - 4, ".csv") == 0;
        }
        ::closedir(dir);
    }
    return n;
}

// The same work a durable event write has to do, with nothing around it.
void floorWrite(const std::string& dir, long k) {
    static const char line[] = "06.12.26;13:45:07\r\n";
    const std::string tmp = dir + "/.event.floor." + std::to_string(k) + ".tmp";
    const std::string target = dir + "/L01_B_" + std::to_string(k) + ".csv";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 || ::write(fd, line, sizeof line - 1) != ssize_t(sizeof line - 1) || ::fsync(fd) != 0 ||
        ::close(fd) != 0)
        fail("floor write failed in " + dir);
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0)
        fail("floor rename failed in " + dir);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || ::fsync(dirFd) != 0)
        fail("floor folder sync failed in " + dir);
    ::close(dirFd);
}

// The reports of one burst: 252 bytes, the most a 255-byte read takes without the large-packet warning.
constexpr int BurstReports = Monitor::LargeChunk / 7;

struct Options {
    // Small runs: every file made here is deleted by the next run, and on this kind of disk deleting tens of
    // thousands of files can take minutes and slow file creation down for a while after.
    int events = 400;
    int burstEvents = 36 * 40;
    int rounds = 6;
    int latencySamples = 80;
    int window = 16;
    double seconds = 0.5;
    std::string dir = "/tmp/impulz-record-bench";
};

Options parseOptions(int argc, char** argv) {
    Options o;
    readOptions(argc, argv,
                "[--events N] [--burst-events N] [--seconds S] [--rounds R] [--latency-samples M] [--window W] "
                "[--dir PATH]",
                {{"--events", [&](const char* v) { o.events = std::atoi(v); }},
                 {"--burst-events", [&](const char* v) { o.burstEvents = std::atoi(v); }},
                 {"--rounds", [&](const char* v) { o.rounds = std::atoi(v); }},
                 {"--latency-samples", [&](const char* v) { o.latencySamples = std::atoi(v); }},
                 {"--seconds", [&](const char* v) { o.seconds = std::atof(v); }},
                 {"--window", [&](const char* v) { o.window = std::atoi(v); }},
                 {"--dir", [&](const char* v) { o.dir = v; }}});
    // 36 reports are 252 bytes; a larger read makes the monitor warn about the packet size.
    if (o.events < 16 || o.burstEvents < BurstReports || o.seconds <= 0 || o.rounds < 1 || o.latencySamples < 10 ||
        o.window < 1 || o.window > 32)
        fail("--events >= 16, --burst-events >= 36, --seconds > 0, --rounds >= 1, --latency-samples >= 10, "
             "1 <= --window <= 32");
    return o;
}

enum class Names { Unique, SameSecond, Numbered };

// Every report moves one input into LOG1 and the previous one back, so every report is one event.
quint8 eventReport(int k) {
    return quint8(~(1u << (k % Inputs)));
}

// Sends a run's reports in chunks, the next chunk once every report sent so far is decoded; told of each decoded
// report on the core's thread.
class Pacer {
public:
    Pacer(const BenchRecorder& monitor, int perChunk, int events, qint64 capNs)
        : m_monitor(monitor), m_perChunk(perChunk), m_events(events), m_capNs(capNs) {}

    void start() {
        m_began = nowNs();
        sendNext();
    }
    void decodedOne() {
        if (++m_decoded == m_sent)
            sendNext();
    }
    int sent() const { return m_sent; }
    qint64 began() const { return m_began; }
    Progress finished; // raised once the last chunk is decoded

private:
    void sendNext() {
        if (m_sent >= m_events || (m_sent > 0 && nowNs() - m_began >= m_capNs)) {
            finished.raise();
            return;
        }
        std::vector<quint8> chunk;
        for (int i = 0; i < m_perChunk && m_sent + i < m_events; ++i)
            chunk.push_back(eventReport(m_sent + i));
        // Counted before the write: the monitor may decode the chunk before send() returns.
        m_sent += int(chunk.size());
        m_monitor.sendReports(chunk);
    }

    const BenchRecorder& m_monitor;
    const int m_perChunk, m_events;
    const qint64 m_capNs;
    std::atomic<qint64> m_began{0};
    std::atomic<int> m_sent{0};
    std::atomic<int> m_decoded{0};
};

// Events (or files) in one run of a kind and the seconds they took.
struct Run {
    int count = 0;
    double seconds = 0;
};

// The runs of one kind over all rounds. The rate is the total over the total time: floor and monitor take turns
// in short runs, so a disk that is slow for a while weighs on both alike.
struct Runs {
    std::vector<Run> runs;
    void add(const Run& r) { runs.push_back(r); }
    double rate() const {
        double count = 0, seconds = 0;
        for (const Run& r : runs) {
            count += r.count;
            seconds += r.seconds;
        }
        return count / seconds;
    }
    std::string list() const {
        std::string s;
        for (const Run& r : runs) {
            // Two appends rather than " " + to_string(...): GCC 12 at -O3 warns falsely (-Wrestrict) on the latter.
            s += ' ';
            s += std::to_string(std::lround(r.count / r.seconds));
        }
        return s;
    }
};

struct Bench {
    Bench(const Options& options, BenchRecorder& m) : o(options), monitor(m) {}

    const Options& o;
    BenchRecorder& monitor;
    Progress reportLines;                  // raised by the main thread for every report line the recorder logs
    Progress decoded;                      // raised by the core's thread for every report it decodes
    Progress reads;                        // raised by the core's thread for every read from the socket
    std::atomic<int> announcedEarly{0};    // events announced as recorded before their file was there
    std::atomic<bool> advanceClock{false}; // set on the main thread, read on the core's
    std::atomic<Pacer*> pacing{nullptr};   // the chunked run in progress

    void writeSettings(const std::vector<std::string>& dirs, const QString& format) {
        QString extra;
        for (int n = 0; n < Inputs; ++n)
            extra += QStringLiteral("Bit%1=1\n").arg(n);
        monitor.writeSettings(dirs, true, extra + QStringLiteral("Format=%1\nCislo_linky=1\n").arg(format));
    }

    // The settings file points the recorder at fresh folders and a template, loaded as at start-up.
    void useFolders(const std::vector<std::string>& dirs, Names names) {
        writeSettings(dirs, names == Names::Numbered ? QStringLiteral("L%numl%_B%nbit%_%numco%")
                                                     : QStringLiteral("L%numl%_B%nbit%_%date%%time%"));
        monitor.loadSettings();
        advanceClock = names == Names::Unique;
        if (advanceClock)
            monitor.clock->setNow(QDateTime::currentDateTime());
        else
            monitor.clock->reset();
    }

    // Sends FF so every input is at raw 1 in the stored levels; the next report then records what it moves.
    void baseline() {
        const int before = reportLines.count();
        monitor.sendReport(0xFF);
        if (!reportLines.waitFor(before + 1, 10000))
            fail("the monitor did not log the baseline report");
    }

    // Between two latency samples the recorder (or the floor) rests 1 to 3 ms, as between a line's real events: the
    // last report's log line is passed on then, and that is not part of the next one's way to disk.
    static void pause(std::mt19937& random) {
        std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(1000, 3000)(random)));
    }

    qint64 capNs() const { return qint64(o.seconds * 1e9); }

    // Sustained rate: up to o.window reports in flight, o.events of them or as many as fit in o.seconds. The time
    // runs from the write of the first report to the last file under its final name.
    Run throughput(const std::string& root, Names names) {
        const std::vector<std::string> dirs = makeFolders(root);
        useFolders(dirs, names);
        CsvWatch watch(dirs, IN_MOVED_TO | IN_CREATE, size_t(o.events));
        std::vector<qint64> writtenAt(static_cast<size_t>(o.events));
        int sent = 0;
        runWithLoop([&] {
            baseline();
            const int base = reportLines.count();
            for (; sent < o.events && (sent == 0 || nowNs() - writtenAt[0] < capNs()); ++sent) {
                if (!reportLines.waitFor(base + sent - o.window + 1, 10000))
                    fail("the monitor stalled");
                writtenAt[size_t(sent)] = nowNs();
                monitor.sendReport(eventReport(sent));
            }
            if (!waitWhileMoving(watch.progress(), sent, 10000) || !reportLines.waitFor(base + sent, 10000))
                fail("events went missing: " + std::to_string(watch.progress().count()) + " files for " +
                     std::to_string(sent) + " events");
        });
        check(watch, dirs, sent);
        return {sent, double(watch.at(sent - 1) - writtenAt[0]) / 1e9};
    }

    // Reports in chunks of perChunk, each chunk in one write, the next one as soon as the monitor has decoded the
    // last: it then waits in the socket while the monitor writes the files, and the next read takes it alone. The
    // next chunk is written from the core's thread, in its decode hook, so no wake-up of the bench's thread can make
    // the monitor wait for it (the write's cost is charged to the monitor). events of them or as many as fit in
    // o.seconds; the time runs from the first write to the last final name.
    Run chunked(const std::string& root, int perChunk, int events, double* reportsPerRead) {
        const std::vector<std::string> dirs = makeFolders(root);
        useFolders(dirs, Names::Unique);
        CsvWatch watch(dirs, IN_MOVED_TO | IN_CREATE, size_t(events));
        Pacer pacer(monitor, perChunk, events, capNs());
        long readCount = 0;
        runWithLoop([&] {
            baseline();
            const long lineBase = reportLines.count();
            const long readBase = reads.count();
            pacing = &pacer;
            pacer.start();
            for (long last = -1; !pacer.finished.waitFor(1, 10000);) {
                if (decoded.count() == last)
                    fail("the monitor stalled");
                last = decoded.count();
            }
            pacing = nullptr;
            monitor.host().onCore([] {}); // the decode hook that finished the run has returned
            if (!waitWhileMoving(watch.progress(), pacer.sent(), 10000) ||
                !reportLines.waitFor(lineBase + pacer.sent(), 10000))
                fail("events went missing: " + std::to_string(watch.progress().count()) + " files for " +
                     std::to_string(pacer.sent()) + " events");
            readCount = reads.count() - readBase;
        });
        const int sent = pacer.sent();
        check(watch, dirs, sent);
        *reportsPerRead = double(sent) / double(std::max(1L, readCount));
        return {sent, double(watch.at(sent - 1) - pacer.began()) / 1e9};
    }

    // One report at a time, the next only once the monitor has logged the last; milliseconds per event.
    std::vector<double> latency(const std::string& root) {
        const std::vector<std::string> dirs = makeFolders(root);
        useFolders(dirs, Names::Unique);
        CsvWatch watch(dirs, IN_MOVED_TO | IN_CREATE, size_t(o.latencySamples));
        std::vector<qint64> writtenAt(static_cast<size_t>(o.latencySamples));
        int sent = 0;
        std::mt19937 random(7);
        runWithLoop([&] {
            baseline();
            const int base = reportLines.count();
            for (; sent < o.latencySamples && (sent == 0 || nowNs() - writtenAt[0] < capNs()); ++sent) {
                writtenAt[size_t(sent)] = nowNs();
                monitor.sendReport(eventReport(sent));
                if (!watch.progress().waitFor(sent + 1, 10000) || !reportLines.waitFor(base + sent + 1, 10000))
                    fail("an event was not recorded within 10 s");
                pause(random);
            }
        });
        check(watch, dirs, sent);
        std::vector<double> ms;
        for (int k = 0; k < sent; ++k)
            ms.push_back(double(watch.at(k) - writtenAt[size_t(k)]) / 1e6);
        return ms;
    }

    // The floor: files round-robin over eight folders, back to back, as many as the monitor is given.
    Run floor(const std::string& root) {
        const std::vector<std::string> dirs = makeFolders(root);
        CsvWatch watch(dirs, IN_MOVED_TO | IN_CREATE, size_t(o.events));
        qint64 begin = 0, end = 0;
        int written = 0;
        runWithLoop([&] {
            begin = nowNs();
            for (; written < o.events && nowNs() - begin < capNs(); ++written)
                floorWrite(dirs[size_t(written % Inputs)], written);
            end = nowNs();
            if (!waitWhileMoving(watch.progress(), written, 10000))
                fail("floor files went unseen");
        });
        return {written, double(end - begin) / 1e9};
    }

    // The floor's latency, taken like the monitor's: one file at a time, from the start of its write to inotify
    // seeing its final name, the next only once that is seen and the folder is synced.
    std::vector<double> floorLatency(const std::string& root) {
        const std::vector<std::string> dirs = makeFolders(root);
        CsvWatch watch(dirs, IN_MOVED_TO | IN_CREATE, size_t(o.latencySamples));
        std::vector<qint64> startedAt(static_cast<size_t>(o.latencySamples));
        int written = 0;
        std::mt19937 random(7);
        runWithLoop([&] {
            for (; written < o.latencySamples && (written == 0 || nowNs() - startedAt[0] < capNs()); ++written) {
                startedAt[size_t(written)] = nowNs();
                floorWrite(dirs[size_t(written % Inputs)], written);
                if (!watch.progress().waitFor(written + 1, 10000))
                    fail("a floor file went unseen");
                pause(random);
            }
        });
        std::vector<double> ms;
        for (int k = 0; k < written; ++k)
            ms.push_back(double(watch.at(k) - startedAt[size_t(k)]) / 1e6);
        return ms;
    }

    static void check(const CsvWatch& watch, const std::vector<std::string>& dirs, int events) {
        if (watch.overflowed())
            fail("inotify queue overflowed");
        const long files = countCsv(dirs);
        if (files != events)
            fail(std::to_string(files) + " event files for " + std::to_string(events) + " events");
    }
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Options o = parseOptions(argc, argv);

    // What an earlier run left (one that did not end) goes now, before anything is timed. ext4 without a journal
    // passes over the inodes freed within the last minute for every file it creates, so the rounds then wait a
    // minute; a run that ends removes its own files.
    const qint64 cleanupBegan = nowNs();
    std::filesystem::create_directories(o.dir);
    bool removed = false;
    for (const auto& entry : std::filesystem::directory_iterator(o.dir)) {
        if (entry.path().filename().string().rfind("run-", 0) == 0) {
            std::filesystem::remove_all(entry.path());
            removed = true;
        }
    }
    const double cleanupSeconds = double(nowNs() - cleanupBegan) / 1e9;
    if (removed) {
        std::printf("an earlier run's files were removed; waiting 65 s for the file system to settle\n");
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(65));
    }
    const std::string run = o.dir + "/run-" + std::to_string(::getpid());

    BenchRecorder monitor;
    Bench b(o, monitor);
    monitor.onReportLine([&] { b.reportLines.raise(); });
    // What a window would show as boxes: none is expected.
    int warnings = 0;
    monitor.keep(QObject::connect(&monitor.port(), &RecorderPort::warning, &monitor.port(), [&] { ++warnings; }));
    // For unique names the clock moves on as soon as the recorder has named an event, on the core's thread, so the
    // next event (in the same chunk or the next) gets the next second.
    monitor.keep(QObject::connect(
        &monitor.host().settings, &Settings::nameExpanded, &monitor.host().settings,
        [&](const QString&) {
            if (b.advanceClock)
                b.monitor.clock->advance(1000);
        },
        Qt::DirectConnection));
    monitor.onCoreSignal(&Monitor::reportDecoded, [&](quint8) {
        b.decoded.raise();
        if (Pacer* pacer = b.pacing.load())
            pacer->decodedOne();
    });
    monitor.onCoreSignal(&Monitor::dataEvent, [&] { b.reads.raise(); });
    // Counted and announced only once the file is in place; its durability is the recorder's word.
    monitor.onCoreSignal(&Monitor::eventRecorded, [&](int, const QString& path) {
        if (!QFileInfo::exists(path))
            ++b.announcedEarly;
    });
    b.writeSettings(makeFolders(run + "/start"), QStringLiteral("L%numl%_B%nbit%_%date%%time%"));
    monitor.connect();

    Runs floorRuns, uniqueRuns, sameSecondRuns, numberedRuns, singleRuns, burstRuns;
    double singlePerRead = 0, burstPerRead = 0;
    std::vector<double> floorMs, monitorMs;
    const qint64 roundsBegan = nowNs();
    for (int r = 0; r < o.rounds; ++r) {
        // Each round starts with a different kind, so none of them always follows the same one.
        const std::string round = run + "/r" + std::to_string(r);
        const std::vector<std::function<void()>> kinds{
            [&] { floorRuns.add(b.floor(round + "/floor")); },
            [&] { uniqueRuns.add(b.throughput(round + "/unique", Names::Unique)); },
            [&] { sameSecondRuns.add(b.throughput(round + "/same-second", Names::SameSecond)); },
            [&] { numberedRuns.add(b.throughput(round + "/numco", Names::Numbered)); },
            [&] { singleRuns.add(b.chunked(round + "/single", 1, o.events, &singlePerRead)); },
            [&] { burstRuns.add(b.chunked(round + "/burst", BurstReports, o.burstEvents, &burstPerRead)); },
            [&] {
                const std::vector<double> ms = b.latency(round + "/latency");
                monitorMs.insert(monitorMs.end(), ms.begin(), ms.end());
            },
            [&] {
                const std::vector<double> ms = b.floorLatency(round + "/floor-latency");
                floorMs.insert(floorMs.end(), ms.begin(), ms.end());
            },
        };
        for (size_t i = 0; i < kinds.size(); ++i)
            kinds[(i + size_t(r)) % kinds.size()]();
    }
    monitor.clock->reset();
    std::printf("earlier runs removed in %.1f s, rounds took %.1f s\n", cleanupSeconds,
                double(nowNs() - roundsBegan) / 1e9);

    const double floorRate = floorRuns.rate();
    const double unique = uniqueRuns.rate();
    const double sameSecond = sameSecondRuns.rate();
    const double numbered = numberedRuns.rate();
    const double single = singleRuns.rate();
    const double burst = burstRuns.rate();
    std::printf("up to %d events (burst %d) or %.1f s per run into 8 watched folders, %d rounds, %d reports in "
                "flight, durable writes, %zu and %zu latency samples, %d warnings\n",
                o.events, o.burstEvents, o.seconds, o.rounds, o.window, monitorMs.size(), floorMs.size(), warnings);
    std::printf("reports per read (last run): single %.2f, burst %.2f; events announced before their file: %d\n",
                singlePerRead, burstPerRead, b.announcedEarly.load());
    std::printf("floor files/s by round:       %s\n", floorRuns.list().c_str());
    std::printf("unique events/s by round:     %s\n", uniqueRuns.list().c_str());
    std::printf("same-second events/s by round:%s\n", sameSecondRuns.list().c_str());
    std::printf("numco events/s by round:      %s\n", numberedRuns.list().c_str());
    std::printf("single events/s by round:     %s\n", singleRuns.list().c_str());
    std::printf("burst events/s by round:      %s\n", burstRuns.list().c_str());
    std::printf("cost per event over the floor: unique %.0f us, same-second names %.0f us more, numco %.0f us more\n",
                1e6 / unique - 1e6 / floorRate, 1e6 / sameSecond - 1e6 / unique, 1e6 / numbered - 1e6 / unique);
    std::printf("targets: unique >= 0.5x the floor %s, single >= 0.8x %s, burst >= 2x %s\n",
                unique >= 0.5 * floorRate ? "met" : "MISSED", single >= 0.8 * floorRate ? "met" : "MISSED",
                burst >= 2 * floorRate ? "met" : "MISSED");
    const auto printRate = [&](const char* figure, double rate) {
        printFigure(figure, formatted("%.0f events/s", rate), formatted("%.0f files/s", floorRate), rate / floorRate);
    };
    printRate("record throughput", unique);
    printRate("record throughput same-second names", sameSecond);
    printRate("record throughput numco", numbered);
    printRate("record throughput single events", single);
    printRate("record throughput burst", burst);
    printLatency("record latency p50", percentile(monitorMs, 0.5), percentile(floorMs, 0.5));
    printLatency("record latency p99", percentile(monitorMs, 0.99), percentile(floorMs, 0.99));
    std::error_code ignored;
    std::filesystem::remove_all(run, ignored);
    return b.announcedEarly.load() == 0 ? 0 : 1;
}
