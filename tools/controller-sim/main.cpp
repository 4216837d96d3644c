// controller-sim: a stand-in for the Ethernet input controller, on 127.0.0.1, for tests, benchmarks and demos.
// The command language and the output lines are described in README.md next to this file.

#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};
QString programName = QStringLiteral("controller-sim"); // as started: argv[0]'s last path component

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

bool fail(const QString& message) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(programName), qPrintable(message));
    return false;
}

// GNU manner: --help and --version on standard output with exit 0; a usage error on standard error with exit 2.
// Returns the exit code, or -1 when the simulator is to run.
int parseOptions(const QCoreApplication& app, SimOptions* options, QString* script, bool* readStdin) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Plays the input controller on 127.0.0.1."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version and exit."));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port to listen on, 0 = any free one."),
                                  QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption scriptFile(QStringLiteral("script"), QStringLiteral("Run these commands first."),
                                        QStringLiteral("FILE"));
    const QCommandLineOption noStdin(QStringLiteral("no-stdin"), QStringLiteral("Read no commands from stdin."));
    const QCommandLineOption rate(QStringLiteral("rate"), QStringLiteral("Load: transitions into LOG1 per second."),
                                  QStringLiteral("N"));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("Load: how long, from the first client."), QStringLiteral("S"));
    const QCommandLineOption bits(QStringLiteral("bits"), QStringLiteral("Load: hex mask of the inputs to pulse."),
                                  QStringLiteral("MASK"), QStringLiteral("FF"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the random pulses."),
                                  QStringLiteral("K"));
    const QCommandLineOption demo(QStringLiteral("demo"), QStringLiteral("Pulse a random input about every 1.5 s."));
    const QCommandLineOption split(QStringLiteral("split"), QStringLiteral("Send every report in two writes."));
    const QCommandLineOption drip(QStringLiteral("drip"), QStringLiteral("Send byte by byte."));
    const QCommandLineOption burst(QStringLiteral("burst"), QStringLiteral("Gather reports and text into writes of "
                                                                           "more than 255 bytes."));
    const QCommandLineOption iacText(QStringLiteral("iac-text"), QStringLiteral("Text with IAC IAC before reports."));
    const QCommandLineOption closeMid(QStringLiteral("close-mid-report"),
                                      QStringLiteral("Cut every Kth report in half and close the client."),
                                      QStringLiteral("K"));
    const QCommandLineOption gap(QStringLiteral("gap"), QStringLiteral("Pause between pieces in ms."),
                                 QStringLiteral("MS"));
    const QCommandLineOption keepalive(QStringLiteral("keepalive"),
                                       QStringLiteral("Status report (subcommand 150) every MS ms."),
                                       QStringLiteral("MS"));
    const QCommandLineOption answer(QStringLiteral("answer"), QStringLiteral("Report the state after the greeting."));
    parser.addOptions({help, version, port, scriptFile, noStdin, rate, seconds, bits, seed, demo, split, drip, burst,
                       iacText, closeMid, gap, keepalive, answer});
    const auto usageError = [](const QString& message) {
        fail(message);
        std::fprintf(stderr, "Try '%s --help' for more information.\n", qPrintable(programName));
        return 2;
    };
    if (!parser.parse(app.arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText().replace(QRegularExpression(QStringLiteral("^Usage: \\S+")),
                                                        QStringLiteral("Usage: ") + programName)),
                   stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", qPrintable(programName), IMPULZ_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    const auto number = [&](const QCommandLineOption& option, int low, int high, int* value) {
        bool ok = false;
        const int parsed = parser.value(option).toInt(&ok, 10);
        if (!ok || parsed < low || parsed > high)
            return fail(QStringLiteral("--%1 wants a number %2..%3").arg(option.names().first()).arg(low).arg(high));
        *value = parsed;
        return true;
    };
    int value = 0;
    if (!number(port, 0, 65535, &value))
        return 2;
    options->port = quint16(value);
    if (parser.isSet(rate) != parser.isSet(seconds))
        return usageError(QStringLiteral("--rate and --seconds go together"));
    if (parser.isSet(rate) &&
        (!number(rate, 1, 100000, &options->rate) || !number(seconds, 1, 86400, &options->seconds)))
        return 2;
    bool ok = false;
    const uint mask = parser.value(bits).toUInt(&ok, 16);
    if (!ok || mask == 0 || mask > 0xFF)
        return usageError(QStringLiteral("--bits wants a hex mask 01..FF"));
    options->bits = quint8(mask);
    if (parser.isSet(seed)) {
        options->seed = parser.value(seed).toUInt(&ok, 10);
        if (!ok)
            return usageError(QStringLiteral("--seed wants a number"));
        options->seeded = true;
    }
    if (parser.isSet(closeMid) && !number(closeMid, 1, 1000000, &options->closeEvery))
        return 2;
    if (parser.isSet(gap) && !number(gap, 0, 60000, &options->gap))
        return 2;
    if (parser.isSet(keepalive) && !number(keepalive, 0, 3600000, &options->keepalive))
        return 2;
    options->demo = parser.isSet(demo);
    options->split = parser.isSet(split);
    options->drip = parser.isSet(drip);
    options->burst = parser.isSet(burst);
    options->iacText = parser.isSet(iacText);
    options->answer = parser.isSet(answer);
    *script = parser.value(scriptFile);
    *readStdin = !parser.isSet(noStdin);
    return -1;
}

// Splits what arrives into lines; a last line without a line break still counts.
class LineSplitter {
public:
    explicit LineSplitter(ControllerSim& sim) : m_sim(sim) {}
    void feed(const QByteArray& bytes) {
        m_pending.append(bytes);
        qsizetype end = 0;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            QByteArray line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            m_sim.addCommand(line);
        }
    }
    void finish() {
        if (!m_pending.isEmpty())
            m_sim.addCommand(m_pending);
        m_pending.clear();
    }

private:
    ControllerSim& m_sim;
    QByteArray m_pending;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("controller-sim"));
    if (argc > 0 && argv[0]) {
        const QString started = QFile::decodeName(argv[0]);
        if (const QString name = started.mid(started.lastIndexOf(QLatin1Char('/')) + 1); !name.isEmpty())
            programName = name;
    }

    SimOptions options;
    QString scriptPath;
    bool readStdin = true;
    if (const int code = parseOptions(app, &options, &scriptPath, &readStdin); code >= 0)
        return code;

    QByteArray script;
    if (!scriptPath.isEmpty()) {
        QFile file(scriptPath);
        if (!file.open(QIODevice::ReadOnly)) {
            fail(QStringLiteral("cannot read %1: %2").arg(scriptPath, file.errorString()));
            return 1;
        }
        script = file.readAll();
    }

    // SIGTERM and SIGINT reach the event loop through a pipe, the one thing a signal handler may safely do.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        fail(QStringLiteral("cannot create the signal pipe"));
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    ControllerSim sim(options);
    QString error;
    if (!sim.listen(&error)) {
        fail(QStringLiteral("cannot listen: %1").arg(error));
        return 1;
    }

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &sim, [&] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
        sim.terminate();
    });

    LineSplitter scriptLines(sim);
    scriptLines.feed(script);
    scriptLines.finish();

    LineSplitter stdinLines(sim);
    QSocketNotifier stdinNotifier(STDIN_FILENO, QSocketNotifier::Read);
    stdinNotifier.setEnabled(readStdin);
    QObject::connect(&stdinNotifier, &QSocketNotifier::activated, &sim, [&] {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got > 0) {
            stdinLines.feed(QByteArray(buffer, qsizetype(got)));
            return;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        stdinNotifier.setEnabled(false);
        stdinLines.finish();
        sim.inputEnded();
    });

    const int code = app.exec();
    stdinNotifier.setEnabled(false);
    signalNotifier.setEnabled(false);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    return code;
}
