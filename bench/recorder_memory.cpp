// Resident memory of the headless recorder alone: build/impulz-recorder, the program a line PC runs as a service,
// started on a settings file in a temporary place and connected to the controller this bench plays over loopback.
// It is driven with a million reports (--reports) as fast as it takes them: up to 36 in flight (252 bytes, the most
// one read takes without the large-packet warning), counted by the report lines of its log on its standard output.
// The reports change the seven unwatched inputs; input 0 is watched and goes into LOG1 once every --event-every
// reports, so most reports write nothing and the disk does not set the pace, and the rest write durable event files
// into a temporary folder, all of which must be there at the end.
//
// The recorder's VmRSS and VmHWM (/proc/<pid>/status) are read at every tenth and at the end; the floor is the same
// recorder's VmRSS idle right after its start (connected, greeted and serving its windows' socket, no report yet).
// Target: 25 MB at most at the end and at the peak.
//
// Stop with a blocked journal: the recorder started again on the same settings, its standard output a pipe of one
// page that nobody reads, filled by its log (the reports' lines), then SIGTERM; from the signal to its exit. Floor: the
// same stop with the output read. Target: 2 s at most (a service manager's stop timeout is 10 s, and the number must
// be stored and the link closed before it).
//
//   recorder_memory [--reports N] [--event-every K]

#include "recorderbench.h"

#include "core/posixfile.h"
#include "core/recorderservice.h"

#include <QCoreApplication>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Options {
    long reports = 1000000;
    int eventEvery = 1000;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    readOptions(argc, argv, "[--reports N] [--event-every K]",
                {{"--reports", [&](const char* v) { o.reports = std::atol(v); }},
                 {"--event-every", [&](const char* v) { o.eventEvery = std::atoi(v); }}});
    if (o.reports < 1000 || o.eventEvery < 2)
        fail("--reports must be at least 1000, --event-every at least 2");
    return o;
}

// Report k: the seven unwatched inputs count through their values; input 0 stays at raw 1 but once every `every`
// reports, when it goes to LOG1 for one report.
quint8 reportValue(long k, int every) {
    const quint8 unwatched = quint8((k % 127 + 1) << 1);
    const bool event = k % every == every / 2;
    return quint8((0xFF ^ unwatched) & (event ? 0xFE : 0xFF));
}

long eventsIn(long reports, int every) {
    long n = 0;
    for (long k = 0; k < reports; ++k)
        n += k % every == every / 2;
    return n;
}

long countFiles(const std::string& dir) {
    long n = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            n += std::strstr(e->d_name, ".csv") != nullptr;
        ::closedir(d);
    }
    return n;
}

double mb(long kb) {
    return double(kb) / 1024.0;
}

// Reads the recorder's log from its standard output: counts its report lines and keeps the first others.
class LogReader {
public:
    explicit LogReader(int fd) : m_fd(fd), m_thread([this] { run(); }) {}
    ~LogReader() { m_thread.join(); } // the recorder closes its output as it ends
    Progress& reportLines() { return m_reports; }
    std::vector<std::string> otherLines() {
        std::lock_guard lock(m_mutex);
        return m_other;
    }
    long otherCount() const { return m_otherCount; }

private:
    void run() {
        std::string line;
        char buf[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n <= 0)
                return;
            long reports = 0;
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\n') {
                    line += buf[i];
                    continue;
                }
                // "dd.MM.yy HH:mm:ss " and the log line.
                if (line.compare(18, 9, "LOG1 Bit:") == 0) {
                    ++reports;
                } else {
                    ++m_otherCount;
                    std::lock_guard lock(m_mutex);
                    if (m_other.size() < 20)
                        m_other.push_back(line);
                }
                line.clear();
            }
            if (reports)
                m_reports.raise(reports);
        }
    }

    int m_fd;
    Progress m_reports;
    std::mutex m_mutex;
    std::vector<std::string> m_other;
    std::atomic<long> m_otherCount{0};
    std::thread m_thread;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Options o = parseOptions(argc, argv);

    QTemporaryDir dir;
    if (!dir.isValid())
        fail("no temporary directory");
    usePrivateFolders(dir);
    quint16 port = 0;
    const int listener = listenLoopback(port);
    const std::vector<std::string> folders = makeFolders(dir.filePath(QStringLiteral("events")).toStdString());
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    writeBenchSettings(ini, folders, port, true, QStringLiteral("Bit0=1\nFormat=L%numl%_B%nbit%_%date%%time%\n"));

    std::unique_ptr<ChildProcess> recorder = startRecorder(ini, true);
    const pid_t pid = recorder->pid();
    std::printf("recorder pid %d\n", int(pid));
    long sent = 0;
    long idleKb = 0, endKb = 0, peakKb = 0;
    int status = 0;
    {
        LogReader log(recorder->outputFd());
        // The recorder connects after its start-up wait.
        const int controller = acceptWithin(listener, 15000);
        char greeting[9];
        if (controller < 0 || !readExactly(controller, greeting, sizeof greeting, 10000))
            fail("the recorder did not connect and greet");
        if (!waitForRecorderSocket(recorderSocketPath(resolvedFilePath(ini)), 10000))
            fail("the recorder does not serve its windows");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        idleKb = procStatusKb(pid, "VmRSS");
        std::printf("idle after start: VmRSS %.1f MB, VmHWM %.1f MB\n", mb(idleKb), mb(procStatusKb(pid, "VmHWM")));

        // A report that sets every input to raw 1, so the first LOG1 of input 0 is a transition.
        const auto send = [&](const std::vector<quint8>& values) {
            std::string bytes;
            for (quint8 v : values) {
                const std::array<char, 7> r = reportBytes(v);
                bytes.append(r.data(), r.size());
            }
            sendAll(controller, bytes.data(), bytes.size());
        };
        send({0xFF});
        if (!log.reportLines().waitFor(1, 10000))
            fail("the recorder did not log the first report");

        // Three chunks of 12 reports in flight at most: never more than 252 bytes unread in the recorder's socket.
        constexpr int Chunk = 12, Window = 36;
        const qint64 began = nowNs();
        long nextTenth = o.reports / 10;
        while (sent < o.reports) {
            const int n = int(std::min<long>(Chunk, o.reports - sent));
            if (!log.reportLines().waitFor(1 + sent + n - Window, 30000))
                fail("the recorder stalled after " + std::to_string(log.reportLines().count() - 1) + " reports");
            std::vector<quint8> values;
            for (int i = 0; i < n; ++i)
                values.push_back(reportValue(sent + i, o.eventEvery));
            send(values);
            sent += n;
            if (sent >= nextTenth) {
                if (!log.reportLines().waitFor(1 + sent, 30000))
                    fail("the recorder stalled");
                std::printf("%8ld reports  VmRSS %6.1f MB  VmHWM %6.1f MB  %5ld event files\n", sent,
                            mb(procStatusKb(pid, "VmRSS")), mb(procStatusKb(pid, "VmHWM")), countFiles(folders[0]));
                std::fflush(stdout);
                nextTenth += o.reports / 10;
            }
        }
        if (!log.reportLines().waitFor(1 + sent, 30000))
            fail("the recorder stalled at the end");
        const double seconds = double(nowNs() - began) / 1e9;
        endKb = procStatusKb(pid, "VmRSS");
        peakKb = procStatusKb(pid, "VmHWM");
        std::printf("%ld reports in %.1f s (%.0f reports/s), %ld lines of the log besides the reports:\n", sent,
                    seconds, double(sent) / seconds, log.otherCount());
        for (const std::string& line : log.otherLines())
            std::printf("  %s\n", line.c_str());
        ::close(controller);
        status = recorder->stop();
    }
    // ---- Stop with a blocked journal ----
    const auto timedStop = [&](bool blocked) {
        std::unique_ptr<ChildProcess> r = startRecorder(ini, true);
        const int out = r->outputFd();
        ::fcntl(out, F_SETPIPE_SZ, 4096);
        std::atomic<bool> reading{!blocked};
        std::thread reader([&] {
            char buf[4096];
            while (reading) {
                pollfd p{out, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0 && ::read(out, buf, sizeof buf) <= 0)
                    break;
            }
        });
        const int controller = acceptWithin(listener, 15000);
        char greeting[9];
        if (controller < 0 || !readExactly(controller, greeting, sizeof greeting, 10000))
            fail("the recorder did not connect and greet");
        const auto queued = [out] {
            int n = 0;
            return ::ioctl(out, FIONREAD, &n) == 0 ? n : 0;
        };
        for (int k = 0; k < 400 && (!blocked || queued() < 4096 - 128); ++k) {
            const std::array<char, 7> report = reportBytes(quint8(0xFF ^ (2 << (k % 7))));
            sendAll(controller, report.data(), report.size());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200)); // more lines than the pipe takes pile up
        const qint64 signalled = nowNs();
        ::kill(r->pid(), SIGTERM);
        const int code = r->wait(10000);
        const double ms = double(nowNs() - signalled) / 1e6;
        reading = false;
        reader.join();
        ::close(controller);
        std::printf("stop %s: %.1f ms, status %d\n", blocked ? "with a blocked journal" : "with the output read", ms,
                    code);
        return std::make_pair(ms, code);
    };
    const auto [freeStopMs, freeStatus] = timedStop(false);
    const auto [blockedStopMs, blockedStatus] = timedStop(true);
    ::close(listener);

    const long expected = eventsIn(o.reports, o.eventEvery);
    const long files = countFiles(folders[0]);
    std::printf("event files: %ld of %ld; the recorder ended with status %d\n", files, expected, status);
    const bool met = mb(endKb) <= 25.0 && mb(peakKb) <= 25.0;
    std::printf("target VmRSS and VmHWM <= 25 MB after %ld reports: %s\n", o.reports, met ? "met" : "MISSED");
    printFigure("headless recorder rss", formatted("%.1f MB", mb(endKb)), formatted("%.1f MB", mb(idleKb)),
                double(endKb) / double(idleKb));
    printFigure("headless recorder peak rss", formatted("%.1f MB", mb(peakKb)), formatted("%.1f MB", mb(idleKb)),
                double(peakKb) / double(idleKb));
    std::printf("target stop with a blocked journal <= 2 s: %s\n", blockedStopMs <= 2000 ? "met" : "MISSED");
    printFigure("stop with a blocked journal", formatted("%.0f ms", blockedStopMs), formatted("%.0f ms", freeStopMs),
                blockedStopMs / freeStopMs);
    return files == expected && status == 0 && freeStatus == 0 && blockedStatus == 0 ? 0 : 1;
}
