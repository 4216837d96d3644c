#include "core/host/headless.h"

#include "core/recording/clock.h"
#include "core/host/commandline.h"
#include "core/settings/inifile.h"
#include "core/settings/instancelock.h"
#include "core/host/recorderhost.h"
#include "core/serving/recorderservice.h"
#include "core/host/servicenotify.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

// Where the log goes, written without ever blocking: a journal or a pipe whose reader stalls must not hold up this
// thread, which also takes SIGTERM. A socket (the journal's) is sent to with MSG_DONTWAIT; a pipe or a terminal is
// opened again as a description of this process's own with O_NONBLOCK, so the flags of the one it shares with its
// parent stay as they are; only when that fails is the shared one switched, and switched back at the end. A regular
// file is written as it is.
class Output {
public:
    explicit Output(int fd) : m_fd(fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            return;
        if (S_ISSOCK(st.st_mode)) {
            m_socket = true;
        } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
            const int own = ::open(self.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (own >= 0) {
                m_fd = own;
                m_own = true;
            } else if (const int flags = ::fcntl(fd, F_GETFL);
                       flags >= 0 && !(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
                m_restoreFlags = flags;
            }
        }
    }
    ~Output() {
        if (m_own)
            ::close(m_fd);
        else if (m_restoreFlags >= 0)
            ::fcntl(m_fd, F_SETFL, m_restoreFlags);
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    int fd() const { return m_fd; }

    // Writes what the output takes now; the count written. A reader that went away takes everything (it is dropped:
    // printing never stops recording); a full one takes what fits, and blocked() says so.
    qsizetype write(const char* data, qsizetype size) {
        m_blocked = false;
        qsizetype done = 0;
        while (done < size) {
            const ssize_t n = m_socket ? ::send(m_fd, data + done, size_t(size - done), MSG_DONTWAIT | MSG_NOSIGNAL)
                                       : ::write(m_fd, data + done, size_t(size - done));
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                m_blocked = true;
                break;
            } else {
                return size;
            }
        }
        return done;
    }
    bool blocked() const { return m_blocked; }

    // Waits at most ms for the output to take more; true when it will.
    bool waitWritable(int ms) const {
        pollfd p{m_fd, POLLOUT, 0};
        return ::poll(&p, 1, ms) > 0;
    }

private:
    int m_fd;
    bool m_socket = false;
    bool m_own = false;
    int m_restoreFlags = -1;
    bool m_blocked = false;
};

// Before the log's writer runs (a refused start) and after it (the last lines): at most ms for the whole text.
void writeBounded(int fd, const QByteArray& text, int ms) {
    Output out(fd);
    QDeadlineTimer deadline(ms);
    qsizetype done = 0;
    while (done < text.size()) {
        done += out.write(text.constData() + done, text.size() - done);
        if (done < text.size() && (deadline.hasExpired() || !out.waitWritable(int(deadline.remainingTime()))))
            break;
    }
}

// How long the last lines may wait for an output that does not take them: the stop must not.
constexpr int LastLinesMs = 200;

void print(FILE* stream, const QString& text) {
    std::fflush(stream);
    writeBounded(::fileno(stream), text.toLocal8Bit() + '\n', LastLinesMs);
}

// One line of the log, stamped with when it was written.
QByteArray logLineBytes(const QString& line, const QDateTime& at) {
    // Every report prints a line: the stamp is put together from the fields, not by parsing a format text each time.
    const QDate date = at.date();
    const QTime time = at.time();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d.%02d.%02d %02d:%02d:%02d ", date.day(), date.month(),
                  (date.year() % 100 + 100) % 100, time.hour(), time.minute(), time.second());
    return stamp + printableLogLine(line).toLocal8Bit() + '\n';
}

void printLog(const Clock& clock, const QString& line) {
    writeBounded(STDOUT_FILENO, logLineBytes(line, clock.now()), LastLinesMs);
}

// The log goes out on this process's main thread, never on the core's: a standard output that blocks (a journal
// that stalls) must not hold up recording, nor this thread, which takes SIGTERM: it writes only what the output
// takes and goes on when the output takes more. Lines from any thread are gathered and printed a little later, all
// at once: a report does not wake a third thread while the windows are being woken for its LEDs, and a burst costs
// one wake-up per gathering instead of one per line. Each line keeps the time it was written.
class LogPrinter {
public:
    static constexpr int DelayMs = 20;
    static constexpr qsizetype MaxPending = 100000; // a stalled output costs at most this many lines' memory
    static constexpr qsizetype ChunkBytes = 64 * 1024;

    explicit LogPrinter(const Clock& clock)
        : m_clock(clock), m_out(STDOUT_FILENO), m_timer(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
        if (m_timer >= 0) {
            m_notifier = std::make_unique<QSocketNotifier>(m_timer, QSocketNotifier::Read);
            QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { flush(); });
        }
        m_writable = std::make_unique<QSocketNotifier>(m_out.fd(), QSocketNotifier::Write);
        m_writable->setEnabled(false);
        QObject::connect(m_writable.get(), &QSocketNotifier::activated, m_writable.get(), [this] { flush(); });
    }
    ~LogPrinter() {
        flush();
        m_notifier.reset();
        m_writable.reset();
        if (m_timer >= 0)
            ::close(m_timer);
    }
    LogPrinter(const LogPrinter&) = delete;
    LogPrinter& operator=(const LogPrinter&) = delete;

    // From any thread.
    void add(const QString& line) {
        const QDateTime now = m_clock.now();
        const std::lock_guard lock(m_mutex);
        if (qsizetype(m_pending.size()) >= MaxPending) {
            ++m_dropped;
            return;
        }
        m_pending.push_back({line, now});
        if (!m_armed && m_timer >= 0) {
            itimerspec due{};
            due.it_value.tv_nsec = DelayMs * 1000000L;
            m_armed = ::timerfd_settime(m_timer, 0, &due, nullptr) == 0;
        }
        // No timer: each line on its own, as it comes; queued even on the main thread, where a direct flush() would
        // wait for the lock held here.
        if (m_timer < 0 || !m_armed)
            QMetaObject::invokeMethod(
                qApp, [this] { flush(); }, Qt::QueuedConnection);
    }

    // On the main thread: prints what the output takes of everything gathered so far. What it does not take waits
    // (within MaxPending lines) until it takes more.
    void flush() {
        if (m_timer >= 0) {
            quint64 expirations;
            [[maybe_unused]] const auto n = ::read(m_timer, &expirations, sizeof expirations);
        }
        {
            const std::lock_guard lock(m_mutex);
            m_armed = false;
        }
        for (int round = 0; round < 1000; ++round) {
            if (m_done < m_text.size()) {
                m_done += m_out.write(m_text.constData() + m_done, m_text.size() - m_done);
                if (m_out.blocked())
                    break;
            }
            m_text.clear();
            m_done = 0;
            if (!take())
                break;
        }
        m_writable->setEnabled(m_out.blocked());
    }

    // At the end: what the output takes within a moment; the rest is left.
    void finish() {
        QDeadlineTimer deadline(LastLinesMs);
        for (int round = 0; round < 1000; ++round) {
            flush();
            if (!m_out.blocked() || deadline.hasExpired() || !m_out.waitWritable(int(deadline.remainingTime())))
                break;
        }
        m_writable->setEnabled(false);
    }

private:
    // The next lines into the text to write; false when there were none.
    bool take() {
        std::deque<std::pair<QString, QDateTime>> lines;
        qsizetype dropped = 0;
        {
            const std::lock_guard lock(m_mutex);
            const qsizetype n = qMin<qsizetype>(qsizetype(m_pending.size()), 512);
            lines.insert(lines.end(), std::make_move_iterator(m_pending.begin()),
                         std::make_move_iterator(m_pending.begin() + n));
            m_pending.erase(m_pending.begin(), m_pending.begin() + n);
            if (m_pending.empty())
                dropped = std::exchange(m_dropped, 0);
        }
        for (const auto& [line, at] : lines)
            m_text += logLineBytes(line, at);
        if (dropped > 0)
            m_text += logLineBytes(QStringLiteral("Výstup nestačil, %1 řádků protokolu nevypsáno").arg(dropped),
                                   m_clock.now());
        return !m_text.isEmpty();
    }

    const Clock& m_clock;
    Output m_out;
    QByteArray m_text; // taken from the lines, written up to m_done
    qsizetype m_done = 0;
    int m_timer = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<QSocketNotifier> m_writable;
    std::mutex m_mutex;
    std::deque<std::pair<QString, QDateTime>> m_pending;
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

int runHeadless(int argc, char** argv, const CoreConfig& config) {
    // Help, version and usage errors are answered before anything is set up.
    const QString name = CommandLine::programName(argv[0]);
    const CommandLine command = CommandLine::parse(CommandLine::Program::Recorder, argc, argv);
    if (const int code = command.answer(CommandLine::Program::Recorder, name); code >= 0)
        return code;
    raiseDescriptorLimit();
    // Whatever reads standard output may go away (a pipe closed, a journal restarted); the recorder goes on.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("impulz"));

    const bool wait = command.wait;
    // ".." is left to the links' resolution.
    QString settingsPath =
        command.settingsPath.isEmpty() ? QString() : QDir::current().absoluteFilePath(command.settingsPath);
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
            print(stderr, QStringLiteral("%1: %2: %3").arg(name, settingsPath, problem));
            return 1;
        }
        printLog(*config.clock, QStringLiteral("Soubor nastavení %1 nelze použít (%2), platí výchozí nastavení")
                                    .arg(settingsPath, problem));
    }

    InstanceLock lock;
    while (!lock.acquire(settingsPath)) {
        // Only another recorder is worth waiting for: a lock that cannot be made (a read-only folder, a file system
        // without locks) stays so, and a service that waited for it would look alive and record nothing.
        if (!wait || !lock.heldByAnother()) {
            print(stderr, QStringLiteral("impulz: ") + lock.errorText());
            return 1;
        }
        static bool told = false;
        if (!told)
            printLog(*config.clock, QStringLiteral("Čekám na konec jiného záznamu: %1").arg(lock.errorText()));
        told = true;
        ServiceNotify::waiting(lock.errorText());
        ::sleep(2);
    }

    LogPrinter printer(*config.clock); // outlives the host, whose thread gives it lines until the end
    RecorderHost host(lock.resolvedPath(), config);
    host.settings.setAutostartProgram(windowsProgram);
    try {
        host.settings.load();
    } catch (const std::exception& e) {
        print(stderr, QStringLiteral("impulz: ") + QString::fromUtf8(e.what()));
        return 1;
    }
    // Without an address every attempt ends in "Socket error: 10057"; the log says once what is missing.
    if (host.settings.text(Settings::Address).trimmed().isEmpty())
        printLog(*config.clock, noControllerAddressText(host.settings.filePath()));
    for (int n = 0; n < 8; ++n) {
        const QString dir = host.settings.outputDirectory(n);
        if (host.settings.watched(n) && !QFileInfo(dir).isDir())
            printLog(*config.clock, QStringLiteral("Nenalezen adresář: %1 (Bit%2)").arg(dir).arg(n));
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
    QTimer::singleShot(config.monitor.startupMs, host.monitor, &Monitor::toggleConnection);
    printer.add(QStringLiteral("Impulz bez oken: %1").arg(settingsPath));
    ServiceNotifier notifier(host); // ready: the lock is held and windows are served
    QCoreApplication::exec();       // the process's own event loop, until a signal ends it

    notifier.stopping();
    const QString error = host.shutdown();
    printer.finish(); // the closing lines, before anything else is said
    if (!error.isEmpty()) {
        print(stderr, QStringLiteral("impulz: ") + error);
        return 1;
    }
    printLog(*config.clock, QStringLiteral("Ukončeno, pořadové číslo %1 uloženo").arg(host.settings.sequenceNumber()));
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    return 0;
}

QString noControllerAddressText(const QString& settingsPath) {
    return QStringLiteral("V souboru nastavení %1 chybí IP adresa jednotky, spojení nelze navázat").arg(settingsPath);
}
