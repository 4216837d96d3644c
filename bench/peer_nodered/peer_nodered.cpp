// The monitor side by side with the peer an operator would pick instead: Node-RED running the flow beside this file
// (flows.json: a TCP request node kept connected to the controller and greeting it, a function node with the report
// framing, the LOG1 transitions and a running count per input, a file node writing one 19-byte CSV file per event,
// and a status node that greets again one second after the link is lost). The headless recorder
// (build/impulz-recorder) does the same job with its settings: eight watched inputs, one folder each, the name
// template L%numl%_B%nbit%_%numco%.
//
// The bench plays the controller for both, with the same generator, over loopback, and the two take turns in
// interleaved rounds, each round starting the other one first. Each turn starts the contender's process afresh and
// measures, in order:
//   start-up      from the process's start to the controller's having its greeting (the monitor's start-up waits
//                 one second on purpose before it connects);
//   idle          CPU and RSS over a quiet link;
//   10 events/s   a pulse on the next input every 100 ms (into LOG1, back 30 ms later), 5 s to warm up and 20 s
//                 measured: latency from the report's write to its file (the monitor's under its final name,
//                 Node-RED's closed after writing) and CPU;
//   ramp          open loop, one event per report, 500 to 16,000 events/s for 2 s each: a rate is kept when every
//                 event's file is there within a second of the step's end;
//   closed loop   100,000 events over the rounds, at most 36 reports in flight (the most a controller sends in one
//                 packet), each report one event;
//   peak RSS      VmHWM at the end of the turn.
// Then reconnect: each contender with the controller closing the link right after a report, five times, until the
// greeting on the new connection; the monitor on its shortest watchdog (1 s, which is how it notices a closed link,
// then its 600 ms wait), Node-RED after its flow's one-second pause.
//
// CPU is utime + stime of the process (/proc/<pid>/stat) over the window, as a percentage of one core. Node-RED's
// files are never synced; the monitor's are durable (data and folder synced before the event counts).
//
//   peer_nodered --node-red DIR [--rounds R] [--events N] [--dir PATH]
// DIR is an installed node-red package (the folder holding red.js).

#include "recorderbench.h"

#include <QCoreApplication>

#include <sys/inotify.h>

namespace {

struct Options {
    std::string nodeRed;
    int rounds = 3;
    int events = 100000;
    std::string dir = "/tmp/impulz-peer-bench";
};

// The processes the bench started, ended when it ends early (a failure leaves no recorder or Node-RED behind).
std::vector<pid_t> g_children;

void endChildren() {
    for (pid_t pid : g_children)
        ::kill(pid, SIGKILL);
}

std::unique_ptr<ChildProcess> started(std::unique_ptr<ChildProcess> process) {
    g_children.push_back(process->pid());
    return process;
}

void finish(std::unique_ptr<ChildProcess> process) {
    g_children.erase(std::remove(g_children.begin(), g_children.end(), process->pid()), g_children.end());
    process->stop();
}

// utime + stime of a process, in seconds.
double cpuSeconds(pid_t pid) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        fail("cannot read /proc/<pid>/stat");
    char line[2048];
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    // The command name may hold spaces and parentheses; the fields count from the last ')'.
    const char* p = read ? std::strrchr(line, ')') : nullptr;
    if (!p)
        fail("unexpected /proc/<pid>/stat");
    unsigned long utime = 0, stime = 0;
    // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        fail("unexpected /proc/<pid>/stat");
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void sleepUntil(qint64 ns) {
    const qint64 left = ns - nowNs();
    if (left > 0)
        std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

// Every report moves one input into LOG1 and the one before back, so every report is one event.
quint8 eventReport(long k) {
    return quint8(~(1u << (k % Inputs)));
}

std::string reports(long first, long count) {
    std::string bytes;
    for (long k = first; k < first + count; ++k) {
        const std::array<char, 7> r = reportBytes(eventReport(k));
        bytes.append(r.data(), r.size());
    }
    return bytes;
}

// Totals of one contender over the rounds.
struct Figures {
    std::vector<double> startupMs, latencyMs, reconnectMs;
    double idleCpu = 0, idleSeconds = 0, pulseCpu = 0, pulseSeconds = 0;
    long closedEvents = 0;
    double closedSeconds = 0;
    std::vector<int> kept; // highest rate kept, per round
    long rssIdleKb = 0, rssPeakKb = 0;
    int rounds = 0;
};

class Contender {
public:
    Contender(std::string label, uint32_t fileMask) : name(std::move(label)), mask(fileMask) {}
    virtual ~Contender() = default;
    // Starts the process to connect to 127.0.0.1:port and record into the eight folders; quickReconnect asks for
    // the shortest reconnection it has.
    virtual std::unique_ptr<ChildProcess> start(quint16 port, const std::vector<std::string>& folders,
                                                bool quickReconnect) = 0;
    const std::string name;
    const uint32_t mask;
    Figures figures;
};

class MonitorContender : public Contender {
public:
    explicit MonitorContender(const QTemporaryDir& dir) : Contender("monitor", IN_MOVED_TO | IN_CREATE), m_dir(dir) {}
    std::unique_ptr<ChildProcess> start(quint16 port, const std::vector<std::string>& folders,
                                        bool quickReconnect) override {
        const QString ini = m_dir.filePath(QStringLiteral("recorder-%1.ini").arg(++m_starts));
        QFile file(ini);
        if (!file.open(QIODevice::WriteOnly))
            fail("cannot write the recorder's settings");
        QString text =
            QStringLiteral("[Po spusteni]\nPort=%1\nLogin=1\nFormat=L%numl%_B%nbit%_%numco%\nCislo_linky=1\n")
                .arg(port);
        for (int n = 0; n < Inputs; ++n)
            text += QStringLiteral("Soubor%1=%2\nBit%1=1\n").arg(n).arg(QString::fromStdString(folders[size_t(n)]));
        // The watchdog's shortest period when asked (a link the controller closed is seen by the watchdog only);
        // otherwise a minute, longer than any quiet spell of the bench.
        text += quickReconnect ? QStringLiteral("Obnovit=1\nSec=1\n") : QStringLiteral("Obnovit=0\nSec=60\n");
        file.write(text.toUtf8());
        file.close();
        return startRecorder(ini, false);
    }

private:
    const QTemporaryDir& m_dir;
    int m_starts = 0;
};

class NodeRed : public Contender {
public:
    NodeRed(const QTemporaryDir& dir, std::string redDir)
        : Contender("Node-RED", IN_CLOSE_WRITE), m_dir(dir), m_red(std::move(redDir)) {}
    std::unique_ptr<ChildProcess> start(quint16 port, const std::vector<std::string>& folders, bool) override {
        // A fresh user folder each time, so no context or state carries over.
        const std::string user = m_dir.filePath(QStringLiteral("node-red-%1").arg(++m_starts)).toStdString();
        std::filesystem::create_directories(user);
        std::filesystem::copy_file(PEER_DIR "/flows.json", user + "/flows.json");
        const std::string out = std::filesystem::path(folders[0]).parent_path().string();
        ::setenv("PEER_PORT", std::to_string(port).c_str(), 1);
        ::setenv("PEER_OUT", out.c_str(), 1);
        return std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/env", "node", m_red + "/red.js",
                                                                       "--userDir", user, "--settings",
                                                                       PEER_DIR "/settings.js"},
                                              false);
    }

private:
    const QTemporaryDir& m_dir;
    const std::string m_red;
    int m_starts = 0;
};

// The controller's end: a listener, and the connection of the contender once it has greeted.
class Controller {
public:
    Controller() { m_listener = listenLoopback(m_port); }
    ~Controller() {
        drop();
        ::close(m_listener);
    }
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    quint16 port() const { return m_port; }
    int fd() const { return m_fd; }

    // Waits for the connection and its nine greeting bytes.
    bool accept(int ms) {
        drop();
        m_fd = acceptWithin(m_listener, ms);
        static const char expected[] = "\xFF\xF6\xFF\xFA\x2C\x32\x00\xFF\xF0";
        char greeting[9];
        if (m_fd < 0 || !readExactly(m_fd, greeting, sizeof greeting, ms))
            return false;
        if (std::memcmp(greeting, expected, sizeof greeting) != 0)
            fail("a wrong greeting");
        return true;
    }
    void drop() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    void send(const std::string& bytes) const { sendAll(m_fd, bytes.data(), bytes.size()); }
    void sendReport(quint8 value, quint8 subcommand = 0x34) const {
        std::array<char, 7> r = reportBytes(value);
        r[3] = char(subcommand);
        sendAll(m_fd, r.data(), r.size());
    }

private:
    quint16 m_port = 0;
    int m_listener = -1;
    int m_fd = -1;
};

class Bench {
public:
    explicit Bench(const Options& o) : m_o(o) {}

    // One turn of a contender: its own process, fresh folders, every figure but reconnect.
    void turn(Contender& c, const std::string& root) {
        const std::vector<std::string> dirs = makeFolders(root);
        Controller controller;
        const qint64 began = nowNs();
        std::unique_ptr<ChildProcess> process = started(c.start(controller.port(), dirs, false));
        if (!controller.accept(60000))
            fail(c.name + " did not connect and greet");
        Figures& f = c.figures;
        f.startupMs.push_back(double(nowNs() - began) / 1e6);
        const pid_t pid = process->pid();

        // Quiet: whatever start-up leaves behind settles first.
        sleepMs(3000);
        const double idleStart = cpuSeconds(pid);
        const qint64 idleBegan = nowNs();
        sleepMs(10000);
        f.idleCpu += cpuSeconds(pid) - idleStart;
        f.idleSeconds += double(nowNs() - idleBegan) / 1e9;
        f.rssIdleKb = std::max(f.rssIdleKb, procStatusKb(pid, "VmRSS"));

        // Every input at raw 1, so the next report into LOG1 records.
        controller.sendReport(0xFF);
        sleepMs(200);
        pulses(c, controller, dirs, pid);
        ramp(c, controller, dirs);
        closedLoop(c, controller, dirs);
        f.rssPeakKb = std::max(f.rssPeakKb, procStatusKb(pid, "VmHWM"));
        ++f.rounds;
        finish(std::move(process));
    }

    // The controller closes the link right after a report; the time until the greeting on the new connection.
    void reconnects(Contender& c, const std::string& root, int samples) {
        const std::vector<std::string> dirs = makeFolders(root);
        Controller controller;
        std::unique_ptr<ChildProcess> process = started(c.start(controller.port(), dirs, true));
        if (!controller.accept(60000))
            fail(c.name + " did not connect and greet");
        for (int s = 0; s < samples; ++s) {
            // A status report (subcommand 150) every 250 ms keeps the link alive under a one-second watchdog.
            for (int k = 0; k < 4; ++k) {
                controller.sendReport(0xFF, 0x96);
                sleepMs(250);
            }
            controller.sendReport(0xFF, 0x96);
            sleepMs(5);
            controller.drop();
            const qint64 closed = nowNs();
            if (!controller.accept(30000))
                fail(c.name + " did not reconnect within 30 s");
            c.figures.reconnectMs.push_back(double(nowNs() - closed) / 1e6);
        }
        finish(std::move(process));
    }

private:
    // Waits until the watch has seen target files, as long as they keep coming; dropped notices end the bench.
    static bool waitFiles(CsvWatch& watch, long target, int stallMs) {
        const bool seen = waitWhileMoving(watch.progress(), target, stallMs);
        if (watch.overflowed())
            fail("inotify queue overflowed");
        return seen;
    }

    // 10 events/s: a pulse on the next input every 100 ms. The first 5 s only warm up (Node-RED compiles its flow's
    // functions as they first run); the next 20 s give the latencies and the CPU.
    void pulses(Contender& c, const Controller& controller, const std::vector<std::string>& dirs, pid_t pid) {
        pulseRun(c, controller, dirs, 50, nullptr);
        const double cpuStart = cpuSeconds(pid);
        const qint64 began = nowNs();
        pulseRun(c, controller, dirs, 200, &c.figures.latencyMs);
        c.figures.pulseCpu += cpuSeconds(pid) - cpuStart;
        c.figures.pulseSeconds += double(nowNs() - began) / 1e9;
    }

    static void pulseRun(Contender& c, const Controller& controller, const std::vector<std::string>& dirs, int events,
                         std::vector<double>* latencyMs) {
        CsvWatch watch(dirs, c.mask, size_t(events));
        std::vector<qint64> sentAt(static_cast<size_t>(events));
        const qint64 began = nowNs();
        for (int k = 0; k < events; ++k) {
            sleepUntil(began + qint64(k) * 100'000'000);
            sentAt[size_t(k)] = nowNs();
            controller.sendReport(quint8(~(1u << (k % Inputs))));
            sleepMs(30);
            controller.sendReport(0xFF);
        }
        sleepUntil(began + qint64(events) * 100'000'000);
        if (!waitFiles(watch, events, 10000))
            fail(c.name + " lost events at 10 events/s: " + std::to_string(watch.count()) + " files");
        for (int k = 0; latencyMs && k < events; ++k)
            latencyMs->push_back(double(watch.at(k) - sentAt[size_t(k)]) / 1e6);
    }

    void ramp(Contender& c, const Controller& controller, const std::vector<std::string>& dirs) {
        int kept = 0;
        for (int rate = 500; rate <= 16000; rate *= 2) {
            const long events = rate * 2;
            CsvWatch watch(dirs, c.mask, size_t(events));
            // One write per millisecond with the reports due by then.
            const qint64 began = nowNs();
            long sent = 0;
            for (int tick = 1; sent < events; ++tick) {
                sleepUntil(began + qint64(tick) * 1'000'000);
                const long due = std::min(events, long(double(nowNs() - began) / 1e9 * rate));
                if (due > sent) {
                    controller.send(reports(sent, due - sent));
                    sent = due;
                }
            }
            const bool inTime = watch.progress().waitFor(events, 1000);
            // Behind or not, everything must come: the next step starts from a drained contender.
            if (!waitFiles(watch, events, 30000))
                fail(c.name + " lost events at " + std::to_string(rate) +
                     " events/s: " + std::to_string(watch.count()) + " files for " + std::to_string(events));
            controller.sendReport(0xFF);
            sleepMs(300);
            if (!inTime)
                break;
            kept = rate;
        }
        c.figures.kept.push_back(kept);
    }

    void closedLoop(Contender& c, const Controller& controller, const std::vector<std::string>& dirs) {
        constexpr long Window = 36;
        const long events = m_o.events / m_o.rounds;
        CsvWatch watch(dirs, c.mask, size_t(events));
        const qint64 began = nowNs();
        for (long sent = 0; sent < events;) {
            const long seen = watch.count();
            if (sent - seen >= Window) {
                if (!watch.progress().waitFor(seen + 1, 30000))
                    fail(c.name + " stalled in the closed loop");
                continue;
            }
            const long n = std::min(events - sent, Window - (sent - seen));
            controller.send(reports(sent, n));
            sent += n;
        }
        if (!waitFiles(watch, events, 30000))
            fail(c.name + " lost events in the closed loop");
        c.figures.closedEvents += events;
        c.figures.closedSeconds += double(watch.at(events - 1) - began) / 1e9;
        controller.sendReport(0xFF);
        sleepMs(300);
    }

    const Options& m_o;
};

void printPeer(const char* figure, const std::string& monitor, const std::string& peer, double ratio) {
    std::printf("peer %s: %s (Node-RED: %s, ratio %.2f)\n", figure, monitor.c_str(), peer.c_str(), ratio);
}

std::string keptList(const std::vector<int>& kept) {
    std::string s;
    for (int k : kept) {
        s += ' ';
        s += std::to_string(k);
    }
    return s;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Options o;
    readOptions(argc, argv, "--node-red DIR [--rounds R] [--events N] [--dir PATH]",
                {{"--node-red", [&](const char* v) { o.nodeRed = v; }},
                 {"--rounds", [&](const char* v) { o.rounds = std::atoi(v); }},
                 {"--events", [&](const char* v) { o.events = std::atoi(v); }},
                 {"--dir", [&](const char* v) { o.dir = v; }}});
    if (o.nodeRed.empty() || !std::filesystem::exists(o.nodeRed + "/red.js"))
        fail("--node-red DIR must name an installed node-red package (the folder holding red.js)");
    if (o.rounds < 1 || o.events < 36 * o.rounds)
        fail("--rounds >= 1, --events >= 36 per round");

    std::atexit(endChildren);
    QTemporaryDir dir;
    if (!dir.isValid())
        fail("no temporary directory");
    usePrivateFolders(dir);
    std::filesystem::remove_all(o.dir);
    const std::string run = o.dir + "/run-" + std::to_string(::getpid());

    MonitorContender monitor(dir);
    NodeRed nodeRed(dir, o.nodeRed);
    Bench bench(o);
    const qint64 began = nowNs();
    for (int r = 0; r < o.rounds; ++r) {
        Contender* order[2] = {&monitor, &nodeRed};
        if (r % 2)
            std::swap(order[0], order[1]);
        for (Contender* c : order) {
            const qint64 t = nowNs();
            bench.turn(*c, run + "/r" + std::to_string(r) + "/" + (c == &monitor ? "monitor" : "node-red"));
            std::printf("round %d %s: %.0f s\n", r, c->name.c_str(), double(nowNs() - t) / 1e9);
            std::fflush(stdout);
        }
    }
    bench.reconnects(monitor, run + "/reconnect/monitor", 5);
    bench.reconnects(nodeRed, run + "/reconnect/node-red", 5);
    std::printf("rounds and reconnects took %.0f s\n", double(nowNs() - began) / 1e9);

    const Figures& m = monitor.figures;
    const Figures& n = nodeRed.figures;
    const auto pct = [](double cpu, double seconds) { return 100.0 * cpu / seconds; };
    std::printf("monitor CPU at 10 events/s %.2f %% (%.2f s in %.0f s), idle %.2f %% (%.2f s in %.0f s)\n",
                pct(m.pulseCpu, m.pulseSeconds), m.pulseCpu, m.pulseSeconds, pct(m.idleCpu, m.idleSeconds), m.idleCpu,
                m.idleSeconds);
    std::printf("Node-RED CPU at 10 events/s %.2f %% (%.2f s in %.0f s), idle %.2f %% (%.2f s in %.0f s)\n",
                pct(n.pulseCpu, n.pulseSeconds), n.pulseCpu, n.pulseSeconds, pct(n.idleCpu, n.idleSeconds), n.idleCpu,
                n.idleSeconds);
    std::printf("highest ramp rate kept by round: monitor%s, Node-RED%s\n", keptList(m.kept).c_str(),
                keptList(n.kept).c_str());

    const auto ms = [](double v) { return formatted("%.2f ms", v); };
    const auto row = [&](const char* figure, double mv, double nv, const std::function<std::string(double)>& show) {
        printPeer(figure, show(mv), show(nv), nv > 0 ? mv / nv : 0.0);
    };
    std::printf("peer event files durable: yes, data and folder synced before the event counts (Node-RED: no, never "
                "synced, ratio -)\n");
    const Stats ml = stats(m.latencyMs), nl = stats(n.latencyMs);
    row("latency at 10 events/s p50", ml.p50, nl.p50, ms);
    row("latency at 10 events/s p99", ml.p99, nl.p99, ms);
    const auto rate = [](double v) { return formatted("%.0f events/s", v); };
    row("highest ramp rate kept", *std::min_element(m.kept.begin(), m.kept.end()),
        *std::min_element(n.kept.begin(), n.kept.end()), rate);
    row("closed-loop throughput", double(m.closedEvents) / m.closedSeconds, double(n.closedEvents) / n.closedSeconds,
        rate);
    const auto mb = [](double kb) { return formatted("%.1f MB", kb / 1024); };
    row("RSS idle", double(m.rssIdleKb), double(n.rssIdleKb), mb);
    row("RSS peak", double(m.rssPeakKb), double(n.rssPeakKb), mb);
    const auto cpu = [](double v) { return formatted("%.2f %%", v); };
    row("CPU at 10 events/s", pct(m.pulseCpu, m.pulseSeconds), pct(n.pulseCpu, n.pulseSeconds), cpu);
    row("CPU idle", pct(m.idleCpu, m.idleSeconds), pct(n.idleCpu, n.idleSeconds), cpu);
    row("reconnect after a close p50", stats(m.reconnectMs).p50, stats(n.reconnectMs).p50, ms);
    row("start-up to greeting p50", stats(m.startupMs).p50, stats(n.startupMs).p50, ms);
    std::fflush(stdout);
    // A run leaves a few hundred thousand files, which take minutes to delete on this kind of disk: a process of its
    // own deletes them after the bench has ended (and the next run clears whatever is left before it starts).
    const std::string quoted = "'" + run + "'";
    if (run.find('\'') != std::string::npos ||
        std::system(("setsid rm -rf " + quoted + " </dev/null >/dev/null 2>&1 &").c_str()) != 0)
        std::filesystem::remove_all(run);
    return 0;
}
