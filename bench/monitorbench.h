#pragma once

// What the benches through the real monitor share: the monitor as its owner creates it (core and windows) with its
// settings in a temporary place, hooks on the core's signals on either thread, the controller's side of the link as
// plain loopback sockets, a GUI event loop kept running while a second thread plays the controller, and the figure
// lines scripts/bench collects. Every bench is its own executable, so all of
// it is inline here.

#include "components/messagebox.h"
#include "main.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

constexpr int Inputs = 8;

inline qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Ends the bench with the reason, under the executable's name.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
    std::exit(1);
}

// printf into a string.
[[gnu::format(printf, 1, 2)]] inline std::string formatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string s(size_t(std::max(n, 0)), '\0');
    std::vsnprintf(s.data(), s.size() + 1, format, again);
    va_end(again);
    return s;
}

// Reads "--name value" pairs from the command line, each value to its option's reader; anything else prints the
// usage ("[--name value] ...") and ends the bench.
inline void readOptions(int argc, char** argv, const char* usage,
                        const std::map<std::string, std::function<void(const char*)>>& readers) {
    for (int i = 1; i < argc; ++i) {
        const auto reader = readers.find(argv[i]);
        if (reader == readers.end() || i + 1 >= argc) {
            std::fprintf(stderr, "usage: %s %s\n", argv[0], usage);
            std::exit(2);
        }
        reader->second(argv[++i]);
    }
}

// ---- Figures ----

// The value at rank ceil(p * n) of the sorted samples.
inline double nearestRank(const std::vector<double>& sorted, double p) {
    return sorted[std::min(sorted.size() - 1, size_t(std::ceil(p * double(sorted.size()))) - 1)];
}

inline double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return nearestRank(v, p);
}

// One line of the figures table: "<figure>: <value> (floor: <floor>, ratio <ratio>)".
inline void printFigure(const char* figure, const std::string& value, const std::string& floor, double ratio) {
    std::printf("%s: %s (floor: %s, ratio %.2f)\n", figure, value.c_str(), floor.c_str(), ratio);
}

inline void printLatency(const char* figure, double ms, double floorMs) {
    printFigure(figure, formatted("%.3f ms", ms), formatted("%.3f ms", floorMs), ms / floorMs);
}

// ---- Plain loopback sockets for the controller's side ----

inline void setNoDelay(int fd) {
    // The controller's reports are tiny and must not wait for an acknowledgement of the one before.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

inline int listenLoopback(quint16& port) {
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

inline int acceptWithin(int listener, int ms) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return -1;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        setNoDelay(fd);
    return fd;
}

inline bool readExactly(int fd, char* p, size_t n, int ms) {
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

// One report of the eight input levels as the controller sends it: a Telnet subnegotiation, IAC SB 44 52 value
// IAC SE.
inline std::array<char, 7> reportBytes(quint8 value) {
    return {char(0xFF), char(0xFA), char(0x2C), char(0x34), char(value), char(0xFF), char(0xF0)};
}

// ---- Threads ----

// Runs work on a thread while this thread runs the event loop, so the monitor keeps reading, drawing and writing.
inline void runWithLoop(const std::function<void()>& work) {
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
    void raise(long by = 1) {
        {
            std::lock_guard lock(m_mutex);
            m_count += by;
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

// ---- The monitor ----

// A folder for each input below root, made if missing.
inline std::vector<std::string> makeFolders(const std::string& root) {
    std::vector<std::string> dirs;
    for (int n = 0; n < Inputs; ++n) {
        dirs.push_back(root + "/bit" + std::to_string(n));
        std::filesystem::create_directories(dirs.back());
    }
    return dirs;
}

// The monitor as the program creates it (through its owner: models, the core on its own thread, the four windows),
// with the settings file, the autostart folder and the event folders in a temporary place and every message box
// answered, and the controller's end of the link: a listener on 127.0.0.1 that the settings point the monitor at.
// Made once, after the QApplication; going, it closes the link, disconnects the monitor and takes it down.
class BenchMonitor {
public:
    BenchMonitor() {
        if (!m_dir.isValid())
            fail("no temporary directory");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("config"))));
        MessageBox::setAutoAnswer(true);
        Monitor::StartupWaitMs = 0;
        m_app = std::make_unique<Impulz>(iniPath());
        m_listener = listenLoopback(m_port);
    }
    ~BenchMonitor() {
        // What the hooks count lives on the bench's stack and may be gone already.
        for (const QMetaObject::Connection& hook : m_hooks)
            QObject::disconnect(hook);
        ::close(m_controller);
        ::close(m_listener);
        m_app->onCore([this] {
            if (m_app->monitor->socketState() != wsClosed)
                m_app->monitor->btnPripojClick();
        });
        m_app.reset();
    }
    BenchMonitor(const BenchMonitor&) = delete;
    BenchMonitor& operator=(const BenchMonitor&) = delete;

    Impulz& app() const { return *m_app; }
    TForm1* form() const { return m_app->Form1; }
    Monitor* core() const { return m_app->monitor; }

    QString filePath(const QString& name) const { return m_dir.filePath(name); }
    QString iniPath() const { return filePath(QStringLiteral("impulz.ini")); }
    // The event folders in the temporary place, made if missing.
    std::vector<std::string> eventFolders() const {
        return makeFolders(filePath(QStringLiteral("events")).toStdString());
    }

    // The settings the start-up sequence (or LoadSettings) reads: the eight event folders, this link's port, report
    // logging on, the log cleared past 20 lines unless clearLog is false, no reconnect, a minute's watchdog; extra
    // adds "key=value\n" lines.
    void writeSettings(const std::vector<std::string>& folders, bool clearLog = true, const QString& extra = {}) const {
        QFile ini(iniPath());
        if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
            fail("cannot write the settings file");
        ini.write("[Po spusteni]\n");
        for (int n = 0; n < Inputs; ++n)
            ini.write(QStringLiteral("Soubor%1=%2\n").arg(n).arg(QString::fromStdString(folders[size_t(n)])).toUtf8());
        ini.write(QStringLiteral("Port=%1\nLogin=1\nMazat=%2\nPocet=20\nObnovit=0\nSec=60\n")
                      .arg(m_port)
                      .arg(clearLog ? 1 : 0)
                      .toUtf8());
        ini.write(extra.toUtf8());
    }

    // Calls seen on the GUI thread for every report line the log gains, until this goes. Only the change that adds
    // the report line counts: clearing the log or trimming it also changes the document.
    void onReportLine(std::function<void()> seen) {
        QTextDocument* log = form()->Memo1->document();
        m_hooks.push_back(
            QObject::connect(log, &QTextDocument::contentsChange, [log, seen = std::move(seen)](int, int, int added) {
                if (added <= 0 || !log->lastBlock().text().startsWith(QStringLiteral("LOG1 Bit:")))
                    return;
                seen();
            }));
    }

    // Keeps a connection until this goes.
    void keep(const QMetaObject::Connection& hook) { m_hooks.push_back(hook); }

    // Calls f on the core's thread as the core emits signal, before anything queued to the windows runs; until this
    // goes.
    template <typename Signal, typename F> void onCoreSignal(Signal signal, F f) {
        m_hooks.push_back(QObject::connect(core(), signal, core(), std::move(f), Qt::DirectConnection));
    }

    // Calls f on the GUI thread for signal, after the windows' own handlers of the same emission (they were
    // connected first, and queued calls run in the order they were connected); until this goes.
    template <typename Signal, typename F> void onWindowSignal(Signal signal, F f) {
        m_hooks.push_back(QObject::connect(core(), signal, form(), std::move(f), Qt::QueuedConnection));
    }

    // Shows the main window, whose start-up sequence loads the settings and connects, and takes the connection and
    // the monitor's greeting.
    void connect() {
        form()->show();
        runWithLoop([&] {
            m_controller = acceptWithin(m_listener, 10000);
            char greeting[9];
            if (m_controller < 0 || !readExactly(m_controller, greeting, sizeof greeting, 10000))
                m_controller = -1;
        });
        if (m_controller < 0)
            fail("the monitor did not connect and greet");
    }

    // The controller's socket, once connected.
    int controller() const { return m_controller; }

    // Sends one report in one write.
    void sendReport(quint8 value) const {
        const std::array<char, 7> r = reportBytes(value);
        if (::send(m_controller, r.data(), r.size(), MSG_NOSIGNAL) != ssize_t(r.size()))
            fail("send to the monitor failed");
    }

    // Sends several reports in one write, as a controller does when inputs change faster than it sends.
    void sendReports(const std::vector<quint8>& values) const {
        std::string bytes;
        for (quint8 v : values) {
            const std::array<char, 7> r = reportBytes(v);
            bytes.append(r.data(), r.size());
        }
        if (::send(m_controller, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size()))
            fail("send to the monitor failed");
    }

private:
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    int m_listener = -1;
    int m_controller = -1;
    std::vector<QMetaObject::Connection> m_hooks;
    std::unique_ptr<Impulz> m_app;
};
