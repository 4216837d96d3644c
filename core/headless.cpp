#include "core/headless.h"

#include "core/clock.h"
#include "core/counters.h"
#include "core/inifile.h"
#include "core/instancelock.h"
#include "core/monitor.h"
#include "core/settings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
}

void print(FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// One line of the log with the time it was written, as a journal reader expects it.
void printLog(const QString& line) {
    QString text = line;
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    print(stdout, Clock::now().toString(QStringLiteral("dd.MM.yy HH:mm:ss ")) + text);
}

} // namespace

int runHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("impulz"));

    QString settingsPath;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--settings") && i + 1 < args.size())
            settingsPath = QFileInfo(args[++i]).absoluteFilePath();
        else if (args[i] != QLatin1String("--headless")) {
            print(stderr, QStringLiteral("usage: impulz --headless [--settings FILE]"));
            return 2;
        }
    }
    if (settingsPath.isEmpty())
        settingsPath = resolveSettingsPath(QCoreApplication::applicationFilePath());

    InstanceLock lock;
    if (!lock.acquire(settingsPath)) {
        print(stderr, QStringLiteral("impulz: ") + lock.errorText());
        return 1;
    }
    Settings settings;
    settings.setFilePath(settingsPath);
    settings.removeStaleTemporaryFiles();
    try {
        settings.load();
    } catch (const std::exception& e) {
        print(stderr, QStringLiteral("impulz: ") + QString::fromUtf8(e.what()));
        return 1;
    }
    for (int n = 0; n < 8; ++n) {
        const QString dir = settings.outputDirectory(n);
        if (settings.watched(n) && !QFileInfo(dir).isDir())
            printLog(QStringLiteral("Nenalezen adresář: %1 (Bit%2)").arg(dir).arg(n));
    }

    Counters counters;
    Monitor monitor(settings, counters);
    QObject::connect(&monitor, &Monitor::logLine, &app, printLog);
    QObject::connect(&monitor, &Monitor::warning, &app, [](const QString& text) { printLog(text); });
    monitor.applyWatchdogInterval();
    monitor.removeStaleEventFiles();

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
    QTimer::singleShot(Monitor::StartupWaitMs, &monitor, &Monitor::btnPripojClick);
    printLog(QStringLiteral("Impulz bez oken: %1").arg(settingsPath));
    QCoreApplication::exec(); // the process's own event loop, until a signal ends it

    const QString error = monitor.shutdown();
    if (!error.isEmpty()) {
        print(stderr, QStringLiteral("impulz: ") + error);
        return 1;
    }
    printLog(QStringLiteral("Ukončeno, pořadové číslo %1 uloženo").arg(settings.sequenceNumber()));
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    return 0;
}
