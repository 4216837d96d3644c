// A window attached to the headless recorder of another process. The bench starts build/impulz-recorder on a
// settings file in a temporary place (with its own runtime folder, where the recorder serves its windows), plays the
// controller it connects to over loopback, and attaches windows in this process as the program does when another
// process records (RemoteRecorder::attach, then Impulz over it).
//
// Attach: from the start of the attach to the end of the attached main window's first paint, with the recorder's
// state in it (the levels of its last report on the LEDs, its last 200 log lines in the log). The peer: a bare
// window of the main window's size with the same count of log lines in a text box, made, shown and painted the same
// way, taken by turns with the attach after one bare window has warmed up what any first window pays. The same once
// more as cold starts: this bench started again as a process of its own that attaches and shows the window, or shows
// the bare window, from the start of the process to the end of the first paint. Target: 300 ms at most.
//
// Report latency: from the controller's write of one 7-byte report to the attached window's handler having set the
// LEDs to its level, through the recorder's socket layer and decoder, its service and the local socket to this
// process, stamped as report_latency stamps it (the window's connection to the recorder's reportDecoded replaced by
// one that calls the same handler, then stamps), with the log cleared past 20 lines.
// Floor, interleaved sample by sample: a round trip of the same bytes over a bare loopback TCP pair, echoed by a
// thread waiting for them. Each sample waits for the window's paint of the one before, then a short pause follows.
// Target: p99 at most three times the floor's p99 (the floor wakes two threads that do nothing else; the recorder's
// path wakes its core, which goes on with the chunk's log line after the levels, and the window's thread, which
// has the log line and the chunk's data event to handle as well).
//
// Re-attach: the recorder is stopped and started again (as its service manager restarts it); from the moment its
// socket answers to the window above being its view again (RemoteRecorder looks as often as its re-attach timings say).
// Floor: a fresh attach to the restarted recorder in this process. Target: 2 s at most.
//
//   attached_window [--samples N] [--warmup N] [--pause-us P] [--attaches A] [--cold C]

#include "monitorbench.h"

#include "components/messagebox.h"
#include "core/files/posixfile.h"
#include "core/serving/recorderclient.h"
#include "core/serving/recorderservice.h"
#include "core/link/streamdecoder.h"
#include "impulz.h"
#include "main.h"

#include <QApplication>
#include <QDateTime>
#include <QPlainTextEdit>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>

namespace {

struct Options {
    int samples = 2000;
    int warmup = 100;
    int pauseUs = 500;
    int attaches = 10;
    int cold = 5;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    readOptions(argc, argv, "[--samples N] [--warmup N] [--pause-us P] [--attaches A] [--cold C]",
                {{"--samples", [&](const char* v) { o.samples = std::atoi(v); }},
                 {"--warmup", [&](const char* v) { o.warmup = std::atoi(v); }},
                 {"--pause-us", [&](const char* v) { o.pauseUs = std::atoi(v); }},
                 {"--attaches", [&](const char* v) { o.attaches = std::atoi(v); }},
                 {"--cold", [&](const char* v) { o.cold = std::atoi(v); }}});
    if (o.samples < 10 || o.warmup < 0 || o.pauseUs < 0 || o.attaches < 1 || o.cold < 0)
        fail("--samples must be at least 10, --attaches at least 1, --warmup, --pause-us and --cold not negative");
    return o;
}

// A window shown: when its first paint was done, how many log lines it shows, and whether its LEDs show the
// recorder's last levels.
struct Shown {
    qint64 paintedAt = 0;
    int lines = 0;
    bool ledsMatch = true;
};

// Attaches a window to the recorder at socketPath and shows it, as the program does; the window stays in *window.
Shown attachAndShow(const QString& socketPath, std::unique_ptr<Impulz>* window) {
    QString error;
    std::unique_ptr<RemoteRecorder> remote = RemoteRecorder::attach(socketPath, 5000, &error);
    if (!remote)
        fail("cannot attach: " + error.toStdString());
    const int levels = remote->initialLevels();
    *window = std::make_unique<Impulz>(std::move(remote));
    TForm1* form = (*window)->Form1;
    PaintWatch paints(form);
    form->show();
    Shown shown;
    shown.paintedAt = paints.firstPaint(5000);
    if (shown.paintedAt == 0)
        fail("the attached window was not painted within 5 s");
    shown.lines = form->logLineCount();
    for (int n = 0; n < Inputs && levels >= 0; ++n)
        shown.ledsMatch = shown.ledsMatch &&
                          form->Leds[size_t(n)]->state() == (StreamDecoder::isLog1(quint8(levels), n) ? lsON : lsOFF);
    return shown;
}

// The peer: a window of the main window's size holding as many log lines as an attached window is shown, in a text
// box where the main window has its log.
Shown showBare(std::unique_ptr<QWidget>* window) {
    *window = std::make_unique<QWidget>();
    (*window)->setFixedSize(330, 258);
    auto* log = new QPlainTextEdit(window->get());
    log->setGeometry(8, 80, 313, 153);
    const QDateTime now = QDateTime::currentDateTime();
    for (int k = 0; k < RecorderService::RecentLines; ++k)
        log->appendPlainText(StreamDecoder::reportLine(quint8(k), now));
    PaintWatch paints(window->get());
    (*window)->show();
    Shown shown;
    shown.paintedAt = paints.firstPaint(5000);
    if (shown.paintedAt == 0)
        fail("the bare window was not painted within 5 s");
    shown.lines = log->document()->blockCount();
    return shown;
}

// The cold start's child: "--child-attach SOCKET" or "--child-bare"; prints when its first paint was done.
int runChild(int argc, char** argv) {
    QApplication app(argc, argv);
    MessageBox::setAutoAnswer(true);
    Shown shown;
    std::unique_ptr<Impulz> attached;
    std::unique_ptr<QWidget> bare;
    if (std::strcmp(argv[1], "--child-attach") == 0 && argc == 3)
        shown = attachAndShow(QString::fromLocal8Bit(argv[2]), &attached);
    else
        shown = showBare(&bare);
    std::printf("painted %lld lines %d leds %d\n", qlonglong(shown.paintedAt), shown.lines, shown.ledsMatch ? 1 : 0);
    std::fflush(stdout);
    return 0;
}

// Starts this bench again as a child and returns the milliseconds from the start of the process to the end of its
// window's first paint.
double coldStart(const std::vector<std::string>& args, int expectedLines) {
    const qint64 began = nowNs();
    ChildProcess child(args, true);
    const std::string out = child.readOutput(15000);
    const int status = child.wait(5000);
    long long painted = 0;
    int lines = 0, leds = 0;
    if (status != 0 || std::sscanf(out.c_str(), "painted %lld lines %d leds %d", &painted, &lines, &leds) != 3)
        fail("the cold start " + args[1] + " failed (status " + std::to_string(status) + "): " + out);
    if (lines != expectedLines || leds != 1)
        fail("the cold start " + args[1] + " did not show the recorder's state: " + out);
    return double(painted - began) / 1e6;
}

double median(std::vector<double> v) {
    return percentile(std::move(v), 0.5);
}

double maximum(const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end());
}

} // namespace

int main(int argc, char** argv) {
    Q_INIT_RESOURCE(resources);
    if (argc >= 2 && std::strncmp(argv[1], "--child-", 8) == 0)
        return runChild(argc, argv);
    QApplication app(argc, argv);
    const Options o = parseOptions(argc, argv);
    MessageBox::setAutoAnswer(true);

    QTemporaryDir dir;
    if (!dir.isValid())
        fail("no temporary directory");
    usePrivateFolders(dir);
    quint16 port = 0;
    const int listener = listenLoopback(port);
    const QString ini = dir.filePath(QStringLiteral("impulz.ini"));
    writeBenchSettings(ini, makeFolders(dir.filePath(QStringLiteral("events")).toStdString()), port);
    const QString socketPath = recorderSocketPath(resolvedFilePath(ini));

    std::unique_ptr<ChildProcess> recorder = startRecorder(ini, false);
    // The recorder connects after its start-up wait.
    const int controller = acceptWithin(listener, 15000);
    char greeting[9];
    if (controller < 0 || !readExactly(controller, greeting, sizeof greeting, 10000))
        fail("the recorder did not connect and greet");
    if (!waitForRecorderSocket(socketPath, 10000))
        fail("the recorder does not serve its windows");

    // The recorder's state for the windows: more log lines than a window is shown, the last report's levels.
    const int filled = RecorderService::RecentLines + 50;
    for (int k = 0; k < filled; ++k) {
        const std::array<char, 7> r = reportBytes(quint8(0xFF ^ (k % 255)));
        sendAll(controller, r.data(), r.size());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // ---- Report latency in an attached window ----
    const int total = o.warmup + o.samples;
    const size_t count = size_t(total);
    std::unique_ptr<Impulz> window;
    attachAndShow(socketPath, &window);
    TForm1* form = window->Form1;
    // Report k carries FE or FF by turns, so input 0's LED changes with every report.
    auto reportFor = [](int k) { return reportBytes((k % 2) ? 0xFF : 0xFE); };
    auto expectedLed = [](long k) { return (k % 2) ? lsOFF : lsON; };
    std::vector<qint64> writtenAt(count), ledAt(count), lineAt(count), paintedAt(count), floorNs(count);
    std::atomic<int> ledMismatches{0};
    Progress leds, lines;
    const QMetaObject::Connection ledHook = stampLeds(window->recorder, form, [&](quint8) {
        const qint64 t = nowNs();
        const long k = leds.count();
        if (k < total) {
            ledAt[size_t(k)] = t;
            if (form->Leds[0]->state() != expectedLed(k))
                ++ledMismatches;
        }
        leds.raise();
    });
    const QMetaObject::Connection lineHook = onWindowReportLine(form, [&] {
        const qint64 t = nowNs();
        const long k = lines.count();
        if (k < total)
            lineAt[size_t(k)] = t;
        lines.raise();
    });
    EchoPair floor(total);
    bool timedOut = false;
    int unpainted = 0;
    PaintWatch paints(form);
    runWithLoop([&] {
        // As in report_latency: the window finishes drawing between samples, then a pause of P to 3P microseconds.
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pauseUs(o.pauseUs, 3 * o.pauseUs);
        for (int k = 0; k < total && !timedOut; ++k) {
            const auto report = reportFor(k);
            floorNs[size_t(k)] = floor.roundTrip(report);
            timedOut = floorNs[size_t(k)] < 0;
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));

            writtenAt[size_t(k)] = nowNs();
            sendAll(controller, report.data(), report.size());
            timedOut = timedOut || !leds.waitFor(k + 1, 5000) || !lines.waitFor(k + 1, 5000);
            paintedAt[size_t(k)] = paints.paintedAfter(ledAt[size_t(k)], 100);
            unpainted += paintedAt[size_t(k)] == 0;
            std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        }
    });
    if (timedOut)
        fail("a report was not seen within 5 s (" + std::to_string(leds.count()) + " LED changes, " +
             std::to_string(lines.count()) + " log lines)");
    QObject::disconnect(ledHook);
    QObject::disconnect(lineHook);

    // ---- Attach, in this process, by turns with the bare window ----
    std::vector<double> attachMs, bareMs;
    {
        std::unique_ptr<QWidget> bare;
        showBare(&bare); // what every first window pays: the style, the fonts, the platform's window
    }
    QCoreApplication::processEvents();
    for (int r = 0; r < o.attaches; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool attach = (turn + r) % 2 == 0;
            const qint64 began = nowNs();
            std::unique_ptr<Impulz> attached;
            std::unique_ptr<QWidget> bare;
            const Shown shown = attach ? attachAndShow(socketPath, &attached) : showBare(&bare);
            const double ms = double(shown.paintedAt - began) / 1e6;
            if (attach && (shown.lines != RecorderService::RecentLines || !shown.ledsMatch))
                fail("the attached window does not show the recorder's state (" + std::to_string(shown.lines) +
                     " log lines)");
            (attach ? attachMs : bareMs).push_back(ms);
            attached.reset();
            bare.reset();
            QCoreApplication::processEvents();
        }
    }
    std::printf("attach in this process, %d times: first %.1f ms, p50 %.1f ms, max %.1f ms; bare window p50 %.1f ms, "
                "max %.1f ms\n",
                o.attaches, attachMs.front(), median(attachMs), maximum(attachMs), median(bareMs), maximum(bareMs));

    // ---- Cold starts ----
    std::vector<double> coldAttachMs, coldBareMs;
    const std::string self = QCoreApplication::applicationFilePath().toStdString();
    for (int r = 0; r < o.cold; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn + r) % 2 == 0)
                coldAttachMs.push_back(coldStart({self, "--child-attach", QFile::encodeName(socketPath).toStdString()},
                                                 RecorderService::RecentLines));
            else
                coldBareMs.push_back(coldStart({self, "--child-bare"}, RecorderService::RecentLines));
        }
    }
    if (o.cold > 0)
        std::printf("cold start, %d times: attach p50 %.1f ms, max %.1f ms; bare window p50 %.1f ms, max %.1f ms\n",
                    o.cold, median(coldAttachMs), maximum(coldAttachMs), median(coldBareMs), maximum(coldBareMs));

    const size_t from = size_t(o.warmup);
    const Stats led = stampStats(ledAt, writtenAt, from);
    const Stats line = stampStats(lineAt, writtenAt, from);
    const std::vector<qint64> noWrite(floorNs.size(), 0);
    const Stats f = stampStats(floorNs, noWrite, from);
    std::printf("samples: %d after %d warm-up, log cleared past 20 lines, %d LED mismatches, %d without a paint seen, "
                "%lld boxes\n",
                o.samples, o.warmup, ledMismatches.load(), unpainted, qlonglong(MessageBox::shown().size()));
    printReportRun(led, line, paintedAt, writtenAt, from, f);

    ::close(controller);
    const int status = recorder->stop();
    std::printf("the recorder ended with status %d%s\n", status,
                status > 128 ? " (a signal ended it: it crashed after the windows had detached)" : "");

    // ---- Re-attach after the recorder restarts ----
    auto* remote = qobject_cast<RemoteRecorder*>(&window->recorder);
    for (int waited = 0; remote->available() && waited < 10000; waited += 5) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (remote->available())
        fail("the window did not see its recorder end");
    recorder = startRecorder(ini, false);
    const auto answers = [&socketPath] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(socketPath);
        std::memcpy(addr.sun_path, path.constData(),
                    size_t(std::min<qsizetype>(path.size(), sizeof addr.sun_path - 1)));
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        return ok;
    };
    qint64 answeredAt = 0, backAt = 0;
    for (const qint64 until = nowNs() + 20'000'000'000LL; nowNs() < until;) {
        if (!answeredAt && answers())
            answeredAt = nowNs();
        QCoreApplication::processEvents();
        if (remote->available()) {
            backAt = nowNs();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!backAt || !answeredAt)
        fail("the window did not attach to the restarted recorder");
    const double reattachMs = double(std::max<qint64>(0, backAt - answeredAt)) / 1e6;
    const qint64 freshFrom = nowNs();
    QString why;
    if (!RemoteRecorder::attach(socketPath, 5000, &why))
        fail("no fresh attach to the restarted recorder: " + why.toStdString());
    const double freshMs = double(nowNs() - freshFrom) / 1e6;
    std::printf("re-attach: %.1f ms after the restarted recorder answered; a fresh attach %.1f ms\n", reattachMs,
                freshMs);
    window.reset();
    ::close(listener);
    const int restartedStatus = recorder->stop();

    const double attachWorst = std::max(maximum(attachMs), o.cold > 0 ? maximum(coldAttachMs) : 0.0);
    std::printf("targets: attach <= 300 ms (worst in process and cold) %s; attached LED p99 <= 3x the round trip %s\n",
                attachWorst <= 300 ? "met" : "MISSED", led.p99 <= 3 * f.p99 ? "met" : "MISSED");
    printLatency("attached report latency p50", led.p50, f.p50);
    printLatency("attached report latency p99", led.p99, f.p99);
    const auto printAttach = [](const char* figure, double ms, double peerMs) {
        printFigure(figure, formatted("%.1f ms", ms), formatted("%.1f ms", peerMs), ms / peerMs);
    };
    printAttach("attach window shown p50", median(attachMs), median(bareMs));
    printAttach("attach window shown max", maximum(attachMs), maximum(bareMs));
    if (o.cold > 0) {
        printAttach("attach window cold start p50", median(coldAttachMs), median(coldBareMs));
        printAttach("attach window cold start max", maximum(coldAttachMs), maximum(coldBareMs));
    }
    std::printf("target: re-attach <= 2 s after the recorder answers %s\n", reattachMs <= 2000 ? "met" : "MISSED");
    printAttach("re-attach after the recorder restarts", reattachMs, freshMs);
    return ledMismatches.load() == 0 && status == 0 && restartedStatus == 0 ? 0 : 1;
}
