// Time from the controller's write of one report to the monitor's LED change and its log line, through the real
// socket layer, decoder and main window over loopback, with the log cleared once it has more than 20 lines. The bench
// plays the controller from a second thread and stamps each write; the GUI thread stamps the moment the report line
// lands in the log (the LEDs are set just before it, and are checked there). In the same run, interleaved sample by
// sample, the floor: the same 7 bytes over a bare loopback TCP pair to a thread blocked waiting for them.
//
//   report_latency [--samples N] [--warmup N]

#include "components/messagebox.h"
#include "core/clock.h"
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
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "report_latency: %s\n", what);
    std::exit(1);
}

// ---- Plain loopback sockets for the controller's side ----

void setNoDelay(int fd) {
    // The controller's reports are tiny and must not wait for an acknowledgement of the one before.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

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
    if (fd >= 0)
        setNoDelay(fd);
    return fd;
}

int connectLoopback(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        fail("cannot connect to 127.0.0.1");
    setNoDelay(fd);
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

void sendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
        if (put <= 0)
            fail("send to the monitor failed");
        p += put;
        n -= size_t(put);
    }
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
    bool waitFor(int count, int ms) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_count >= count; });
    }
    int count() {
        std::lock_guard lock(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_count = 0;
};

struct Stats {
    double p50 = 0, p99 = 0, max = 0;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return {v[n / 2], v[std::min(n - 1, size_t(std::ceil(0.99 * double(n))) - 1)], v.back()};
}

struct Options {
    int samples = 2000;
    int warmup = 100;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--samples" && i + 1 < argc)
            o.samples = std::atoi(argv[++i]);
        else if (arg == "--warmup" && i + 1 < argc)
            o.warmup = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--samples N] [--warmup N]\n", argv[0]);
            std::exit(2);
        }
    }
    if (o.samples < 10 || o.warmup < 0)
        fail("--samples must be at least 10 and --warmup not negative");
    return o;
}

} // namespace

int main(int argc, char** argv) {
    Q_INIT_RESOURCE(resources);
    QApplication app(argc, argv);
    const Options o = parseOptions(argc, argv);
    const int total = o.warmup + o.samples;

    // The windows as the program creates them; settings, autostart folder and event folders in a temporary place.
    QTemporaryDir dir;
    if (!dir.isValid())
        fail("no temporary directory");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
    setSettingsFilePathForTesting(dir.filePath(QStringLiteral("impulz.ini")));
    MessageBox::setAutoAnswer(true);
    TForm1::StartupWaitMs = 0;
    Form1 = new TForm1;
    FrmNastav = new TFrmNastav;
    FrmPocitadla = new TFrmPocitadla;
    frmStatistika = new TfrmStatistika;

    quint16 port = 0;
    const int listener = listenLoopback(port);
    {
        QFile ini(dir.filePath(QStringLiteral("impulz.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            fail("cannot write the settings file");
        ini.write("[Po spusteni]\n");
        for (int n = 0; n < 8; ++n) {
            const QString events = dir.filePath(QStringLiteral("events/bit%1").arg(n));
            QDir().mkpath(events);
            ini.write(QStringLiteral("Soubor%1=%2\n").arg(n).arg(events).toUtf8());
        }
        ini.write(QStringLiteral("Port=%1\nLogin=1\nMazat=1\nPocet=20\nObnovit=0\nSec=60\n").arg(port).toUtf8());
    }

    // Report k carries FE or FF by turns, so input 0's LED changes with every report.
    auto reportFor = [](int k) {
        const char value = (k % 2) ? char(0xFF) : char(0xFE);
        return std::array<char, 7>{char(0xFF), char(0xFA), char(0x2C), char(0x34), value, char(0xFF), char(0xF0)};
    };
    auto expectedLed = [](int k) { return (k % 2) ? lsOFF : lsON; };

    const size_t count = static_cast<size_t>(total);
    std::vector<qint64> writtenAt(count), seenAt(count);
    std::atomic<int> ledMismatches{0};
    Progress seen;
    QTextDocument* log = Form1->Memo1->document();
    // Only the change that adds the report line counts: clearing the log or trimming it also changes the document.
    QObject::connect(log, &QTextDocument::contentsChange, [&](int, int, int added) {
        if (added <= 0 || !log->lastBlock().text().startsWith(QStringLiteral("LOG1 Bit:")))
            return;
        const qint64 t = nowNs();
        const int k = seen.count();
        if (k < total) {
            seenAt[size_t(k)] = t;
            if (Form1->Leds[0]->state() != expectedLed(k))
                ++ledMismatches;
        }
        seen.raise();
    });

    // Showing the window runs the start-up sequence, which loads the settings and connects.
    Form1->show();
    int monitorFd = -1;
    runWithLoop([&] {
        monitorFd = acceptWithin(listener, 10000);
        char greeting[9];
        if (monitorFd < 0 || !readExactly(monitorFd, greeting, sizeof greeting, 10000))
            monitorFd = -1;
    });
    if (monitorFd < 0)
        fail("the monitor did not connect and greet");

    // The floor's pair: a writer here and a reader thread blocked waiting for the bytes, as near the wire as it gets.
    quint16 floorPort = 0;
    const int floorListener = listenLoopback(floorPort);
    const int floorWriter = connectLoopback(floorPort);
    const int floorReader = acceptWithin(floorListener, 10000);
    if (floorReader < 0)
        fail("no floor connection");
    std::vector<qint64> floorWrittenAt(count), floorSeenAt(count);
    Progress floorSeen;
    std::thread floorThread([&] {
        for (int k = 0; k < total; ++k) {
            char buf[7];
            if (!readExactly(floorReader, buf, sizeof buf, 10000))
                fail("floor read failed");
            floorSeenAt[size_t(k)] = nowNs();
            floorSeen.raise();
        }
    });

    bool timedOut = false;
    runWithLoop([&] {
        // A pause of 0.5 to 1.5 ms between samples lets the window finish drawing, as between a line's real events;
        // the jitter keeps the writes from locking onto a timer's phase.
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pauseUs(500, 1500);
        for (int k = 0; k < total && !timedOut; ++k) {
            const auto report = reportFor(k);
            floorWrittenAt[size_t(k)] = nowNs();
            sendAll(floorWriter, report.data(), report.size());
            timedOut = !floorSeen.waitFor(k + 1, 5000);
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));

            writtenAt[size_t(k)] = nowNs();
            sendAll(monitorFd, report.data(), report.size());
            timedOut = timedOut || !seen.waitFor(k + 1, 5000);
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        }
    });
    floorThread.join();
    if (timedOut)
        fail("a report was not seen within 5 s");

    std::vector<double> monitorMs, floorMs;
    for (int k = o.warmup; k < total; ++k) {
        monitorMs.push_back(double(seenAt[size_t(k)] - writtenAt[size_t(k)]) / 1e6);
        floorMs.push_back(double(floorSeenAt[size_t(k)] - floorWrittenAt[size_t(k)]) / 1e6);
    }
    const Stats m = stats(monitorMs);
    const Stats f = stats(floorMs);
    std::printf("samples: %d after %d warm-up, log cleared past 20 lines, %d LED mismatches, %lld boxes\n", o.samples,
                o.warmup, ledMismatches.load(), qlonglong(MessageBox::shown().size()));
    std::printf("monitor: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", m.p50, m.p99, m.max);
    std::printf("floor:   p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", f.p50, f.p99, f.max);
    std::printf("target p99 <= 2 ms: %s\n", m.p99 <= 2.0 ? "met" : "MISSED");
    std::printf("report latency p50: %.3f ms (floor: %.3f ms, ratio %.2f)\n", m.p50, f.p50, m.p50 / f.p50);
    std::printf("report latency p99: %.3f ms (floor: %.3f ms, ratio %.2f)\n", m.p99, f.p99, m.p99 / f.p99);

    ::close(floorReader);
    ::close(floorWriter);
    ::close(floorListener);
    ::close(monitorFd);
    ::close(listener);
    Form1->btnPripojClick();
    delete frmStatistika;
    delete FrmPocitadla;
    delete FrmNastav;
    delete Form1;
    return ledMismatches.load() == 0 ? 0 : 1;
}
