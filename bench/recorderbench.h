#pragma once

// What the benches of the recorder share, without any window: the recorder as its host starts it (settings and
// counters models, the core on its own thread) with its settings in a temporary place, the headless recorder as a
// process of its own, hooks on the core's signals, the controller's side of the link as plain loopback sockets, an
// event loop kept running while a second thread plays the controller, and the figure lines scripts/bench collects.
// Benches that measure a window add monitorbench.h. Every bench is its own executable, so all of it is inline here.

#include "core/host/coreconfig.h"
#include "core/link/monitor.h"
#include "core/host/recorderhost.h"
#include "core/serving/recorderport.h"
#include "tests/support/pinnedclock.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

struct Stats {
    double p50 = 0, p99 = 0, max = 0;
};

inline Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], nearestRank(v, 0.99), v.back()};
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

inline int connectLoopback(quint16 port) {
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

inline void sendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
        if (put <= 0)
            fail("send to the monitor failed");
        p += put;
        n -= size_t(put);
    }
}

// One report of the eight input levels as the controller sends it: a Telnet subnegotiation, IAC SB 44 52 value
// IAC SE.
inline std::array<char, 7> reportBytes(quint8 value) {
    return {char(0xFF), char(0xFA), char(0x2C), char(0x34), char(value), char(0xFF), char(0xF0)};
}

// The floor of the latency benches: a loopback TCP pair with a thread on one end blocked waiting for the bytes,
// which it echoes back to the writer at once: a round trip with two wake-ups, as near the wire as it gets.
class EchoPair {
public:
    // rounds: how many round trips the echo thread serves before it ends.
    explicit EchoPair(int rounds) {
        quint16 port = 0;
        m_listener = listenLoopback(port);
        m_writer = connectLoopback(port);
        m_reader = acceptWithin(m_listener, 10000);
        if (m_reader < 0)
            fail("no floor connection");
        m_thread = std::thread([this, rounds] {
            for (int k = 0; k < rounds; ++k) {
                char buf[7];
                if (!readExactly(m_reader, buf, sizeof buf, 10000))
                    fail("floor read failed");
                sendAll(m_reader, buf, sizeof buf);
            }
        });
    }
    ~EchoPair() {
        m_thread.join();
        ::close(m_reader);
        ::close(m_writer);
        ::close(m_listener);
    }
    EchoPair(const EchoPair&) = delete;
    EchoPair& operator=(const EchoPair&) = delete;

    // One round trip of a report's 7 bytes: its nanoseconds, or -1 when the echo did not come within 5 s.
    qint64 roundTrip(const std::array<char, 7>& bytes) const {
        const qint64 t = nowNs();
        sendAll(m_writer, bytes.data(), bytes.size());
        char echo[7];
        if (!readExactly(m_writer, echo, sizeof echo, 5000))
            return -1;
        return nowNs() - t;
    }

private:
    int m_listener = -1, m_writer = -1, m_reader = -1;
    std::thread m_thread;
};

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

// ---- The recorder ----

// A folder for each input below root, made if missing.
inline std::vector<std::string> makeFolders(const std::string& root) {
    std::vector<std::string> dirs;
    for (int n = 0; n < Inputs; ++n) {
        dirs.push_back(root + "/bit" + std::to_string(n));
        std::filesystem::create_directories(dirs.back());
    }
    return dirs;
}

// The settings a bench's recorder reads: the eight event folders, the controller at 127.0.0.1:port, automatic
// connection and report logging on, the log cleared past 20 lines unless clearLog is false, no reconnect, a
// minute's watchdog; extra adds "key=value\n" lines.
inline void writeBenchSettings(const QString& path, const std::vector<std::string>& folders, quint16 port,
                               bool clearLog = true, const QString& extra = {}) {
    QFile ini(path);
    if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail("cannot write the settings file");
    ini.write("[Po spusteni]\n");
    for (int n = 0; n < Inputs; ++n)
        ini.write(QStringLiteral("Soubor%1=%2\n").arg(n).arg(QString::fromStdString(folders[size_t(n)])).toUtf8());
    ini.write(QStringLiteral("Port=%1\nLogin=1\nMazat=%2\nPocet=20\nObnovit=0\nSec=60\n")
                  .arg(port)
                  .arg(clearLog ? 1 : 0)
                  .toUtf8());
    ini.write(extra.toUtf8());
}

// Points the user's folders (configuration with the autostart entry, state with the running number's copy, cache,
// and the runtime folder where the recorder serves its windows) into dir, for this process and every process it
// starts, so a bench touches nothing of the user's and meets no recorder of theirs.
inline void usePrivateFolders(const QTemporaryDir& dir) {
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString path = dir.filePath(QString::fromLatin1(name).toLower());
        if (!QDir().mkpath(path) || ::chmod(QFile::encodeName(path).constData(), 0700) != 0)
            fail("cannot make " + path.toStdString());
        qputenv(name, QFile::encodeName(path));
    }
}

// Waits until count reaches target as long as it keeps moving; false when it stalls for stallMs.
inline bool waitWhileMoving(Progress& p, long target, int stallMs) {
    for (long last = p.count(); last < target;) {
        if (!p.waitFor(last + 1, stallMs))
            return false;
        last = p.count();
    }
    return true;
}

// Stamps every ".csv" name that the mask reports in the watched folders (a rename or link to the final name, a
// file made or closed). Temporary files are hidden and end otherwise, so they are not counted.
class CsvWatch {
public:
    CsvWatch(const std::vector<std::string>& dirs, uint32_t mask, size_t capacity) : m_times(capacity) {
        m_fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (m_fd < 0)
            fail("inotify_init1 failed");
        for (const std::string& d : dirs)
            if (::inotify_add_watch(m_fd, d.c_str(), mask) < 0)
                fail("cannot watch " + d);
        m_thread = std::thread([this] { run(); });
    }
    ~CsvWatch() {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    CsvWatch(const CsvWatch&) = delete;
    CsvWatch& operator=(const CsvWatch&) = delete;

    Progress& progress() { return m_seen; }
    long count() { return m_seen.count(); }
    qint64 at(long k) const { return m_times[size_t(k)]; }
    // The kernel dropped events: the counts are short.
    bool overflowed() const { return m_overflow; }

private:
    void run() {
        alignas(inotify_event) char buf[256 * 1024];
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            const qint64 t = nowNs();
            long found = 0;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                at += ssize_t(sizeof(inotify_event) + e->len);
                if (e->mask & IN_Q_OVERFLOW)
                    m_overflow = true;
                const size_t len = e->len ? std::strlen(e->name) : 0;
                if (len > 4 && std::strcmp(e->name + len - 4, ".csv") == 0) {
                    if (size_t(m_count) < m_times.size())
                        m_times[size_t(m_count)] = t;
                    ++m_count;
                    ++found;
                }
            }
            if (found)
                m_seen.raise(found);
        }
    }

    int m_fd = -1;
    std::vector<qint64> m_times;
    long m_count = 0;
    Progress m_seen;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_overflow{false};
    std::thread m_thread;
};

// What the benches through the real recorder share, whether they start it alone or with its windows: the settings
// file, the user's folders and the event folders in a temporary place, and the controller's end of the link, a
// listener on 127.0.0.1 that the settings point the recorder at, with hooks on the core that go with the bench.
class BenchLink {
public:
    BenchLink() {
        if (!m_dir.isValid())
            fail("no temporary directory");
        usePrivateFolders(m_dir);
        m_listener = listenLoopback(m_port);
    }
    virtual ~BenchLink() { closeLink(); }
    BenchLink(const BenchLink&) = delete;
    BenchLink& operator=(const BenchLink&) = delete;

    virtual Monitor* core() const = 0;

    QString filePath(const QString& name) const { return m_dir.filePath(name); }

    // The recorder's configuration: no start-up wait, and the bench's clock (the real time until a bench pins it).
    CoreConfig config() const {
        CoreConfig config;
        config.monitor.startupMs = 0;
        config.clock = clock;
        return config;
    }
    const std::shared_ptr<PinnedClock> clock = std::make_shared<PinnedClock>();
    QString iniPath() const { return filePath(QStringLiteral("impulz.ini")); }
    // The event folders in the temporary place, made if missing.
    std::vector<std::string> eventFolders() const {
        return makeFolders(filePath(QStringLiteral("events")).toStdString());
    }
    // The settings a load reads: see writeBenchSettings.
    void writeSettings(const std::vector<std::string>& folders, bool clearLog = true, const QString& extra = {}) const {
        writeBenchSettings(iniPath(), folders, m_port, clearLog, extra);
    }

    // Keeps a connection until this goes.
    void keep(const QMetaObject::Connection& hook) { m_hooks.push_back(hook); }
    // Calls f on the core's thread as the core emits signal, before anything queued to other threads runs; until
    // this goes.
    template <typename Signal, typename F> void onCoreSignal(Signal signal, F f) {
        m_hooks.push_back(QObject::connect(core(), signal, core(), std::move(f), Qt::DirectConnection));
    }

    // The controller's socket, once connected.
    int controller() const { return m_controller; }
    // Sends one report in one write.
    void sendReport(quint8 value) const {
        const std::array<char, 7> r = reportBytes(value);
        sendAll(m_controller, r.data(), r.size());
    }
    // Sends several reports in one write, as a controller does when inputs change faster than it sends.
    void sendReports(const std::vector<quint8>& values) const {
        std::string bytes;
        for (quint8 v : values) {
            const std::array<char, 7> r = reportBytes(v);
            bytes.append(r.data(), r.size());
        }
        sendAll(m_controller, bytes.data(), bytes.size());
    }

protected:
    // Takes the connection and the greeting of the recorder, which was just told to connect; who names it in the
    // failure.
    void acceptGreeted(const char* who) {
        runWithLoop([&] {
            m_controller = acceptWithin(m_listener, 10000);
            char greeting[9];
            if (m_controller < 0 || !readExactly(m_controller, greeting, sizeof greeting, 10000))
                m_controller = -1;
        });
        if (m_controller < 0)
            fail(std::string("the ") + who + " did not connect and greet");
    }
    // What the hooks count lives on the bench's stack and may be gone already; the link closes before the recorder
    // goes.
    void closeLink() {
        for (const QMetaObject::Connection& hook : m_hooks)
            QObject::disconnect(hook);
        m_hooks.clear();
        if (m_controller >= 0)
            ::close(m_controller);
        if (m_listener >= 0)
            ::close(m_listener);
        m_controller = m_listener = -1;
    }
    // Disconnects the recorder when its link is open.
    void disconnectCore() const {
        QMetaObject::invokeMethod(
            core(),
            [m = core()] {
                if (m->socketState() != wsClosed)
                    m->toggleConnection();
            },
            Qt::BlockingQueuedConnection);
    }

    std::vector<QMetaObject::Connection> m_hooks;

private:
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    int m_listener = -1;
    int m_controller = -1;
};

// The recorder as its host starts it in the program (settings and counters models, the core on its own thread),
// with no window. Made once, after the application object; going, it closes the link, disconnects the recorder and
// takes it down.
class BenchRecorder : public BenchLink {
public:
    BenchRecorder() : m_host(std::make_unique<RecorderHost>(iniPath(), config())) {}
    ~BenchRecorder() override {
        closeLink();
        disconnectCore();
        m_host.reset();
    }

    RecorderHost& host() const { return *m_host; }
    RecorderPort& port() const { return *m_host->port(); }
    Monitor* core() const override { return m_host->monitor; }

    // Loads the settings file on the core's thread, as a window's load or the recorder's start does; a failed
    // load ends the bench.
    void loadSettings() const {
        try {
            m_host->settings.load();
        } catch (const std::exception& e) {
            fail(std::string("the settings did not load: ") + e.what());
        }
    }

    // Calls seen on this thread for every report line the recorder logs, until this goes.
    void onReportLine(std::function<void()> seen) {
        m_hooks.push_back(
            QObject::connect(&port(), &RecorderPort::logLine, &port(), [seen = std::move(seen)](const QString& line) {
                if (line.startsWith(QStringLiteral("LOG1 Bit:")))
                    seen();
            }));
    }

    // Loads the settings and runs the recorder's start-up (the wait is zero here, then the automatic connection),
    // and takes the connection and the recorder's greeting.
    void connect() {
        loadSettings();
        QMetaObject::invokeMethod(core(), &Monitor::startup, Qt::QueuedConnection);
        acceptGreeted("recorder");
    }

private:
    std::unique_ptr<RecorderHost> m_host;
};

// ---- The headless recorder as a process of its own ----

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"), or -1.
inline long procStatusKb(pid_t pid, const char* field) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f)
        return -1;
    long kb = -1;
    char line[256];
    const size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
            kb = std::atol(line + n + 1);
            break;
        }
    }
    std::fclose(f);
    return kb;
}

// A program started with this process's environment (usePrivateFolders first), its standard output to a pipe that
// outputFd() reads or to /dev/null, its errors to this process's. Going, it ends the program with SIGTERM as a
// service manager would, and kills it when it does not end.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& args, bool readOutput) {
        int out[2] = {-1, -1};
        if (readOutput && ::pipe2(out, O_CLOEXEC) != 0)
            fail("pipe2 failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (readOutput)
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int err = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (readOutput)
            ::close(out[1]);
        if (err != 0)
            fail("cannot start " + args[0] + ": " + std::strerror(err));
        m_out = out[0];
    }
    ~ChildProcess() {
        if (m_pid > 0)
            stop();
        if (m_out >= 0)
            ::close(m_out);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }
    int outputFd() const { return m_out; }

    // Everything the program writes to its standard output until it closes it, waiting at most ms for each part.
    std::string readOutput(int ms) const {
        std::string text;
        char buf[4096];
        for (;;) {
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, ms) <= 0)
                return text;
            const ssize_t n = ::read(m_out, buf, sizeof buf);
            if (n <= 0)
                return text;
            text.append(buf, size_t(n));
        }
    }

    // Waits at most ms for the program to end, then ends it with SIGTERM (and SIGKILL when that does not end it
    // either); its exit status (128 + the signal when a signal ended it, -1 when it had to be killed).
    int wait(int ms) {
        int status = 0;
        for (int waited = 0;; waited += 10) {
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (waited == ms)
                ::kill(m_pid, SIGTERM);
            if (waited >= ms + 10000)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return -1;
    }
    // Ends the program with SIGTERM now; as wait().
    int stop() { return wait(0); }

private:
    pid_t m_pid = -1;
    int m_out = -1;
};

// The headless recorder, build/impulz-recorder --settings FILE.
inline std::unique_ptr<ChildProcess> startRecorder(const QString& settingsPath, bool readOutput) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{IMPULZ_BIN_DIR "/impulz-recorder", "--settings",
                                                                   QFile::encodeName(settingsPath).toStdString()},
                                          readOutput);
}

// Waits at most ms for the recorder of a settings file to serve its windows; false when it does not.
inline bool waitForRecorderSocket(const QString& socketPath, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        struct stat st {};
        if (::stat(QFile::encodeName(socketPath).constData(), &st) == 0 && S_ISSOCK(st.st_mode))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}
