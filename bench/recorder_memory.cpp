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
// Then a neighbour of the same user on a fresh recorder: a connection to the windows' socket that announces a 2 GB
// message and sends 300 MB of it, 100,000 connections that come and go, and 2,000 held open on its socket while
// a burst of 3,000 events a second is recorded. Targets: VmRSS grows by 10 MB at most after each of the first two
// (floor: the growth over as long with no neighbour; ratio: VmRSS after / before), and no event is lost (floor: the
// same burst with no neighbour).
//
//   recorder_memory [--reports N] [--event-every K]

#include "recorderbench.h"

#include "core/files/posixfile.h"
#include "core/host/recorderhost.h"
#include "core/serving/recorderservice.h"

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
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
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

// A connection to a local socket as any process of the user makes one; -1 when the recorder takes no more.
int connectLocal(const std::string& path, bool queueMayBeFull) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    for (int tries = 0; tries < (queueMayBeFull ? 20 : 2000); ++tries) {
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return fd;
        if (errno != EAGAIN)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ::close(fd);
    return -1;
}

bool waitReadable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

// The neighbour's figures, on a recorder of their own.
void neighbourFigures(const QString& ini, int listener, const std::string& folder) {
    std::unique_ptr<ChildProcess> recorder = startRecorder(ini, false);
    const pid_t pid = recorder->pid();
    const int controller = acceptWithin(listener, 15000);
    char greeting[9];
    if (controller < 0 || !readExactly(controller, greeting, sizeof greeting, 10000))
        fail("the second recorder did not connect and greet");
    const std::string service = QFile::encodeName(recorderSocketPath(resolvedFilePath(ini))).toStdString();
    if (!waitForRecorderSocket(QString::fromStdString(service), 10000))
        fail("the second recorder does not serve its windows");
    const auto send = [&](quint8 v) {
        const std::array<char, 7> r = reportBytes(v);
        sendAll(controller, r.data(), r.size());
    };
    send(0xFF);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    // The floor: what the recorder grows by over as long, with nobody near.
    const long idleKb = procStatusKb(pid, "VmRSS");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long floorKb = procStatusKb(pid, "VmRSS") - idleKb;

    const long beforeHeader = procStatusKb(pid, "VmRSS");
    qint64 taken = 0;
    if (const int fd = connectLocal(service, false); fd >= 0) {
        const timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        const int flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        std::string chunk(64 * 1024, 'x');
        chunk.replace(0, 4, "\xff\xff\xff\x7f", 4);
        for (ssize_t n; taken < 300LL * 1024 * 1024 && (n = ::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL)) > 0;)
            taken += n;
        ::close(fd);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long afterHeader = procStatusKb(pid, "VmRSS");
    std::printf("2 GB header: %.1f MB sent before the recorder closed the connection\n", mb(long(taken / 1024)));

    const qint64 began = nowNs();
    long cycles = 0, closedAtOnce = 0;
    for (; cycles < 100000; ++cycles) {
        const int fd = connectLocal(service, false);
        if (fd < 0)
            fail("a connection was refused after " + std::to_string(cycles) + " cycles");
        // The recorder speaks first; a connection beyond those still attaching is closed at once instead.
        char first;
        if (!waitReadable(fd, 10000))
            fail("the recorder neither spoke nor closed on connection " + std::to_string(cycles));
        closedAtOnce += ::recv(fd, &first, 1, 0) != 1;
        ::close(fd);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long afterCycles = procStatusKb(pid, "VmRSS");
    std::printf("100,000 connect/close cycles in %.1f s, %ld of them closed at once\n", double(nowNs() - began) / 1e9,
                closedAtOnce);

    // A burst of 3,000 events a second: input 0 goes to LOG1 on every other report, 24 reports every 4 ms.
    const auto burst = [&](long events) {
        const long before = countFiles(folder);
        auto due = std::chrono::steady_clock::now();
        for (long sent = 0; sent < events; sent += 12) {
            std::string bytes;
            for (int i = 0; i < 24; ++i) {
                const std::array<char, 7> r = reportBytes(i % 2 ? 0xFE : 0xFF);
                bytes.append(r.data(), r.size());
            }
            sendAll(controller, bytes.data(), bytes.size());
            due += std::chrono::milliseconds(4);
            std::this_thread::sleep_until(due);
        }
        long written = countFiles(folder) - before;
        for (int still = 0; written < events && still < 50; ++still) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const long now = countFiles(folder) - before;
            still = now == written ? still : 0;
            written = now;
        }
        return events - written;
    };
    constexpr long Events = 3000;
    const long lostAlone = burst(Events);
    std::vector<int> held;
    for (int i = 0; i < 2000; ++i) {
        if (const int fd = connectLocal(service, true); fd >= 0)
            held.push_back(fd);
    }
    std::printf("the neighbour holds %zu connections\n", held.size());
    const long lost = burst(Events);
    for (int fd : held)
        ::close(fd);
    ::close(controller);
    const int status = recorder->stop();
    std::printf("the second recorder ended with status %d\n", status);

    const auto growth = [&](const char* figure, long before, long after) {
        printFigure(figure, formatted("%.1f MB", mb(after - before)), formatted("%.1f MB", mb(floorKb)),
                    double(after) / double(before));
    };
    growth("RSS growth after a 2 GB header", beforeHeader, afterHeader);
    growth("RSS growth after 100,000 connect/close", afterHeader, afterCycles);
    printFigure("events lost while a neighbour holds 2,000 connections", formatted("%ld of %ld", lost, Events),
                formatted("%ld of %ld", lostAlone, Events), lostAlone > 0 ? double(lost) / double(lostAlone) : 1.0);
}

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

    const long expected = eventsIn(o.reports, o.eventEvery);
    const long files = countFiles(folders[0]);
    raiseDescriptorLimit(); // the neighbour holds 2,000 connections
    neighbourFigures(ini, listener, folders[0]);
    ::close(listener);

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
