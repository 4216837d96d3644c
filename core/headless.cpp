#include "core/headless.h"

#include "core/clock.h"
#include "core/inifile.h"
#include "core/instancelock.h"
#include "core/recorderhost.h"
#include "core/recorderservice.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
}

bool printsAsIs(char16_t u) {
    return u >= 0x20 && u != 0x7f && !(u >= 0x80 && u < 0xa0) && u != 0x2028 && u != 0x2029 && u != '\\';
}

// One line, not yet flushed.
void put(FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
}

// A failed write (a reader that went away) is ignored: printing never stops recording.
void flushStream(FILE* stream) {
    std::fflush(stream);
    std::clearerr(stream);
}

void print(FILE* stream, const QString& text) {
    put(stream, text);
    flushStream(stream);
}

// One line of the log, stamped with when it was written; the stream is flushed by the caller.
void putLogLine(const QString& line, const QDateTime& at) {
    // Every report prints a line: the stamp is put together from the fields, not by parsing a format text each time.
    const QDate date = at.date();
    const QTime time = at.time();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d.%02d.%02d %02d:%02d:%02d ", date.day(), date.month(),
                  (date.year() % 100 + 100) % 100, time.hour(), time.minute(), time.second());
    put(stdout, QLatin1String(stamp) + printableLogLine(line));
}

void printLog(const QString& line) {
    putLogLine(line, Clock::now());
    flushStream(stdout);
}

// The log goes out on this process's main thread, never on the core's: a standard output that blocks (a journal
// that stalls) must not hold up recording. Lines from any thread are gathered and printed a little later, all at
// once: a report does not wake a third thread while the windows are being woken for its LEDs, and a burst costs
// one wake-up per gathering instead of one per line. Each line keeps the time it was written.
class LogPrinter {
public:
    static constexpr int DelayMs = 20;
    static constexpr qsizetype MaxPending = 100000; // a stalled output costs at most this many lines' memory

    LogPrinter() : m_timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
        if (m_timer >= 0) {
            m_notifier = std::make_unique<QSocketNotifier>(m_timer, QSocketNotifier::Read);
            QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { flush(); });
        }
    }
    ~LogPrinter() {
        flush();
        m_notifier.reset();
        if (m_timer >= 0)
            ::close(m_timer);
    }
    LogPrinter(const LogPrinter&) = delete;
    LogPrinter& operator=(const LogPrinter&) = delete;

    // From any thread.
    void add(const QString& line) {
        const QDateTime now = Clock::now();
        const std::lock_guard lock(m_mutex);
        if (m_pending.size() >= MaxPending) {
            ++m_dropped;
            return;
        }
        m_pending.push_back({line, now});
        if (!m_armed && m_timer >= 0) {
            itimerspec due{};
            due.it_value.tv_nsec = DelayMs * 1000000L;
            m_armed = ::timerfd_settime(m_timer, 0, &due, nullptr) == 0;
        }
        if (m_timer < 0 || !m_armed)
            QMetaObject::invokeMethod(qApp, [this] { flush(); }); // no timer: each line on its own, as it comes
    }

    // On the main thread: prints everything gathered so far.
    void flush() {
        if (m_timer >= 0) {
            quint64 expirations;
            [[maybe_unused]] const auto n = ::read(m_timer, &expirations, sizeof expirations);
        }
        std::vector<std::pair<QString, QDateTime>> lines;
        qsizetype dropped = 0;
        {
            const std::lock_guard lock(m_mutex);
            lines.swap(m_pending);
            dropped = std::exchange(m_dropped, 0);
            m_armed = false;
        }
        for (const auto& [line, at] : lines)
            putLogLine(line, at);
        if (dropped > 0)
            putLogLine(QStringLiteral("Výstup nestačil, %1 řádků protokolu nevypsáno").arg(dropped), Clock::now());
        flushStream(stdout);
    }

private:
    int m_timer = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::mutex m_mutex;
    std::vector<std::pair<QString, QDateTime>> m_pending;
    qsizetype m_dropped = 0;
    bool m_armed = false;
};

} // namespace

QString printableLogLine(const QString& line) {
    // Nearly every line (each report's) has nothing to write out: it is printed as it is, without a copy.
    if (std::all_of(line.cbegin(), line.cend(), [](QChar c) { return printsAsIs(c.unicode()); }))
        return line;
    QString out;
    out.reserve(line.size());
    for (const QChar c : line) {
        const char16_t u = c.unicode();
        if (printsAsIs(u)) {
            out += c;
            continue;
        }
        switch (u) {
        case '\\':
            out += QStringLiteral("\\\\");
            break;
        case '\n':
            out += QStringLiteral("\\n");
            break;
        case '\r':
            out += QStringLiteral("\\r");
            break;
        case '\t':
            out += QStringLiteral("\\t");
            break;
        default:
            out += u > 0xff ? QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'))
                            : QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        }
    }
    return out;
}

int runHeadless(int argc, char** argv) {
    raiseDescriptorLimit();
    // Whatever reads standard output may go away (a pipe closed, a journal restarted); the recorder goes on.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("impulz"));

    QString settingsPath;
    bool wait = false;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--settings") && i + 1 < args.size())
            settingsPath = QDir::current().absoluteFilePath(args[++i]); // ".." is left to the links' resolution
        else if (args[i] == QLatin1String("--wait"))
            wait = true;
        else if (args[i] != QLatin1String("--headless")) {
            print(stderr, QStringLiteral("usage: impulz --headless [--settings FILE] [--wait]"));
            return 2;
        }
    }
    // The windows are the program next to this one; the autostart entry starts them, not the recorder alone.
    const QString windowsProgram =
        QFileInfo(QCoreApplication::applicationFilePath()).absolutePath() + QStringLiteral("/impulz");
    const bool named = !settingsPath.isEmpty();
    if (!named)
        settingsPath = resolveSettingsPath(windowsProgram);
    // A file named on the command line must be there and readable; the program's own may be missing (defaults),
    // but one that is there and cannot be read is said, never taken for defaults in silence.
    if (const QString problem = settingsFileProblem(settingsPath, !named); !problem.isEmpty()) {
        if (named) {
            print(stderr, QStringLiteral("impulz: %1: %2").arg(settingsPath, problem));
            return 1;
        }
        printLog(QStringLiteral("Soubor nastavení %1 nelze použít (%2), platí výchozí nastavení")
                     .arg(settingsPath, problem));
    }

    InstanceLock lock;
    while (!lock.acquire(settingsPath)) {
        if (!wait) {
            print(stderr, QStringLiteral("impulz: ") + lock.errorText());
            return 1;
        }
        static bool told = false;
        if (!told)
            printLog(QStringLiteral("Čekám na konec jiného záznamu: %1").arg(lock.errorText()));
        told = true;
        ::sleep(2);
    }

    LogPrinter printer; // outlives the host, whose thread gives it lines until the end
    RecorderHost host(lock.resolvedPath());
    host.settings.setAutostartProgram(windowsProgram);
    try {
        host.settings.load();
    } catch (const std::exception& e) {
        print(stderr, QStringLiteral("impulz: ") + QString::fromUtf8(e.what()));
        return 1;
    }
    for (int n = 0; n < 8; ++n) {
        const QString dir = host.settings.outputDirectory(n);
        if (host.settings.watched(n) && !QFileInfo(dir).isDir())
            printLog(QStringLiteral("Nenalezen adresář: %1 (Bit%2)").arg(dir).arg(n));
    }

    RecorderPort* port = host.port();
    // No window of this process shows the LEDs or limits a log: the in-process view would pass every report's levels
    // and every chunk's data event to this thread for nobody, waking it twice more per chunk. Windows that attach get
    // both from the recorder's service on the core's thread.
    QObject::disconnect(host.monitor, &Monitor::reportDecoded, port, nullptr);
    QObject::disconnect(host.monitor, &Monitor::dataEvent, port, nullptr);
    // The log's lines are gathered on the core's thread as they are written (see LogPrinter), not passed here one
    // by one.
    QObject::disconnect(host.monitor, &Monitor::logLine, port, nullptr);
    QObject::disconnect(host.monitor, &Monitor::warning, port, nullptr);
    QObject::connect(
        host.monitor, &Monitor::logLine, host.monitor, [&printer](const QString& line) { printer.add(line); },
        Qt::DirectConnection);
    QObject::connect(
        host.monitor, &Monitor::warning, host.monitor,
        [&printer](const QString& text) {
            // The recorder's own warnings break their lines with CR; the journal shows them on one.
            printer.add(QString(text).replace(QLatin1Char('\r'), QLatin1Char(' ')));
        },
        Qt::DirectConnection);
    host.onCore([&host] {
        host.monitor->removeStaleEventFiles(); // the load has set the watchdog's period already
    });
    QString serveError;
    const QString socketPath = recorderSocketPath(lock.resolvedPath());
    if (!host.serve(socketPath, &serveError))
        printer.add(QStringLiteral("Okna se k záznamu nepřipojí: %1").arg(serveError));

    // SIGTERM and SIGINT end the loop from a pipe, so the exit path runs on this thread and not in the handler.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        print(stderr, QStringLiteral("impulz: socketpair failed"));
        return 1;
    }
    QSocketNotifier stop(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, [&app] { app.quit(); });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    // Nobody is there to press the button: a recorder without windows connects at once after the start-up wait.
    QTimer::singleShot(Monitor::StartupWaitMs, host.monitor, &Monitor::toggleConnection);
    printer.add(QStringLiteral("Impulz bez oken: %1").arg(settingsPath));
    QCoreApplication::exec(); // the process's own event loop, until a signal ends it

    const QString error = host.shutdown();
    printer.flush(); // the closing lines, before anything else is said
    if (!error.isEmpty()) {
        print(stderr, QStringLiteral("impulz: ") + error);
        return 1;
    }
    printLog(QStringLiteral("Ukončeno, pořadové číslo %1 uloženo").arg(host.settings.sequenceNumber()));
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    return 0;
}
