// A long run through the real path: reports over loopback into the socket layer, decoder, main window (LEDs and
// log) and recorder, as fast as the monitor takes them, with no input watched so no files are written.
//
// First with the log clearing itself past 20 lines: resident memory after the first tenth of the reports (at most
// 100,000) and at the end must differ by less than 10 %, and the count of open descriptors must not move. Then with
// clearing off: the log must stop at its safety limit, and memory must level off once it is full: less than 10 %
// growth over the second half of the run.
//
//   soak [--reports N] [--window W]

#include "components/messagebox.h"
#include "main.h"
#include "nastaveni.h"
#include "pocitadla.h"
#include "statistika.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "soak: %s\n", what.c_str());
    std::exit(1);
}

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

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

// ---- Plain loopback sockets for the controller's side ----

int listenLoopback(quint16& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        fail("cannot listen on 127.0.0.1");
    port = ntohs(a.sin_port);
    return fd;
}

int acceptWithin(int listener, int ms) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return -1;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int on = 1;
    if (fd >= 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

bool readExactly(int fd, char* p, size_t n, int ms) {
    while (n > 0) {
        pollfd pf{fd, POLLIN, 0};
        if (::poll(&pf, 1, ms) <= 0)
            return false;
        const ssize_t got = ::read(fd, p, n);
        if (got <= 0)
            return false;
        p += got;
        n -= size_t(got);
    }
    return true;
}

void sendReport(int fd, quint8 value) {
    const std::array<char, 7> r{char(0xFF), char(0xFA), char(0x2C), char(0x34), char(value), char(0xFF), char(0xF0)};
    if (::send(fd, r.data(), r.size(), MSG_NOSIGNAL) != ssize_t(r.size()))
        fail("send to the monitor failed");
}

// Runs work on a thread while this thread runs the event loop, so the monitor keeps reading and drawing.
void runWithLoop(const std::function<void()>& work) {
    QEventLoop loop;
    std::thread worker([&] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
}

// A counter one thread raises and another waits on, with a bound.
class Progress {
public:
    void raise() {
        {
            std::lock_guard lock(m_mutex);
            ++m_count;
        }
        m_changed.notify_all();
    }
    bool waitFor(long count, int ms) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_count >= count; });
    }
    long count() {
        std::lock_guard lock(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    long m_count = 0;
};

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
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--reports" && i + 1 < argc)
            o.reports = std::atol(argv[++i]);
        else if (arg == "--window" && i + 1 < argc)
            o.window = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--reports N] [--window W]\n", argv[0]);
            std::exit(2);
        }
    }
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

    QTemporaryDir dir;
    if (!dir.isValid())
        fail("no temporary directory");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
    const QString iniPath = dir.filePath(QStringLiteral("impulz.ini"));
    setSettingsFilePathForTesting(iniPath);
    MessageBox::setAutoAnswer(true);
    TForm1::StartupWaitMs = 0;
    Form1 = new TForm1;
    FrmNastav = new TFrmNastav;
    FrmPocitadla = new TFrmPocitadla;
    frmStatistika = new TfrmStatistika;

    quint16 port = 0;
    const int listener = listenLoopback(port);
    const auto writeSettings = [&](bool clearLog) {
        QFile ini(iniPath);
        if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
            fail("cannot write the settings file");
        ini.write("[Po spusteni]\n");
        for (int n = 0; n < 8; ++n) {
            const QString events = dir.filePath(QStringLiteral("events/bit%1").arg(n));
            QDir().mkpath(events);
            ini.write(QStringLiteral("Soubor%1=%2\n").arg(n).arg(events).toUtf8());
        }
        ini.write(QStringLiteral("Port=%1\nLogin=1\nMazat=%2\nPocet=20\nObnovit=0\nSec=60\n")
                      .arg(port)
                      .arg(clearLog ? 1 : 0)
                      .toUtf8());
    };

    Progress reportLines;
    QTextDocument* log = Form1->Memo1->document();
    // Only the change that adds the report line counts: clearing the log or trimming it also changes the document.
    QObject::connect(log, &QTextDocument::contentsChange, [&](int, int, int added) {
        if (added <= 0 || !log->lastBlock().text().startsWith(QStringLiteral("LOG1 Bit:")))
            return;
        reportLines.raise();
    });

    writeSettings(true);
    Form1->show(); // the start-up sequence loads the settings and connects
    int monitorFd = -1;
    runWithLoop([&] {
        monitorFd = acceptWithin(listener, 10000);
        char greeting[9];
        if (monitorFd < 0 || !readExactly(monitorFd, greeting, sizeof greeting, 10000))
            monitorFd = -1;
    });
    if (monitorFd < 0)
        fail("the monitor did not connect and greet");

    // Sends n reports, each moving one input into LOG1 and the previous one back, so every LED changes in turn.
    // At each checkpoint it waits until the monitor has caught up and takes a sample.
    const auto phase = [&](const char* name, long n, std::vector<long> checkpoints) {
        std::sort(checkpoints.begin(), checkpoints.end());
        std::vector<Sample> samples;
        double began = 0, ended = 0;
        runWithLoop([&] {
            const long base = reportLines.count();
            size_t next = 0;
            began = seconds();
            for (long k = 0; k < n; ++k) {
                if (!reportLines.waitFor(base + k - o.window + 1, 10000))
                    fail("the monitor stalled");
                sendReport(monitorFd, quint8(~(1u << (k % 8))));
                if (next < checkpoints.size() && k + 1 == checkpoints[next]) {
                    if (!reportLines.waitFor(base + k + 1, 10000))
                        fail("the monitor stalled");
                    // Taken on the GUI thread between two of its events, so the log is not halfway through a change.
                    Sample s;
                    QMetaObject::invokeMethod(
                        Form1,
                        [&] {
                            s = {k + 1, residentMb(), openDescriptors(), Form1->logLineCount()};
                        },
                        Qt::BlockingQueuedConnection);
                    samples.push_back(s);
                    while (next < checkpoints.size() && checkpoints[next] <= k + 1)
                        ++next;
                }
            }
            ended = seconds();
        });
        for (const Sample& s : samples)
            std::printf("%s: %7ld reports  rss %7.1f MB  fds %3d  log lines %6d\n", name, s.reports, s.rssMb, s.fds,
                        s.lines);
        std::printf("%s: %.0f reports/s\n", name, double(n) / (ended - began));
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
    writeSettings(false);
    Form1->LoadSettings();
    const long half = o.reports / 2;
    const bool fullFromHalfway = half >= TForm1::LogSafetyLimit;
    points = tenths;
    points.push_back(half);
    const std::vector<Sample> unlimited = phase("log not cleared", o.reports, points);
    const Sample halfway = at(unlimited, half);
    const Sample last = at(unlimited, o.reports);
    const int finalLines = Form1->logLineCount();

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
    std::printf("soak rss growth: %.1f %% (floor: 10 %%, ratio %.2f)\n", growth, std::abs(growth) / 10.0);
    std::printf("soak fds end: %d fds (floor: %d fds, ratio %.2f)\n", last.fds, start.fds,
                double(last.fds) / double(start.fds));
    if (fullFromHalfway)
        std::printf("soak rss no-limit growth: %.1f %% (floor: 10 %%, ratio %.2f)\n", growthFull,
                    std::abs(growthFull) / 10.0);
    std::printf("soak log lines no-limit: %d lines (floor: %d lines, ratio %.2f)\n", finalLines, TForm1::LogSafetyLimit,
                double(finalLines) / TForm1::LogSafetyLimit);

    ::close(monitorFd);
    ::close(listener);
    Form1->btnPripojClick();
    delete frmStatistika;
    delete FrmPocitadla;
    delete FrmNastav;
    delete Form1;
    return met ? 0 : 1;
}
