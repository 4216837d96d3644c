#include "core/host/commandline.h"

#include "core/host/version.h"

#include <QFile>

#include <cstdio>

namespace {

void printTo(FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

CommandLine usageError(const QString& error) {
    CommandLine line;
    line.action = CommandLine::Action::UsageError;
    line.error = error;
    return line;
}

} // namespace

CommandLine CommandLine::parse(Program program, int argc, const char* const* argv) {
    CommandLine line;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QFile::decodeName(argv[i]);
        if (optionsEnd || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-"))
            return usageError(QStringLiteral("unexpected argument '%1'").arg(arg));
        if (arg == QLatin1String("--")) {
            optionsEnd = true;
            continue;
        }
        // "--name=value" is the same as "--name value".
        const qsizetype equals = arg.startsWith(QLatin1String("--")) ? arg.indexOf(QLatin1Char('=')) : -1;
        const QString name = equals < 0 ? arg : arg.left(equals);
        if (name == QLatin1String("--settings")) {
            if (equals >= 0)
                line.settingsPath = arg.mid(equals + 1);
            else if (i + 1 < argc)
                line.settingsPath = QFile::decodeName(argv[++i]);
            else
                line.settingsPath.clear();
            if (line.settingsPath.isEmpty())
                return usageError(QStringLiteral("option '--settings' requires an argument"));
            continue;
        }
        if (equals >= 0 && (name == QLatin1String("--help") || name == QLatin1String("--version") ||
                            name == QLatin1String("--wait") || name == QLatin1String("--headless")))
            return usageError(QStringLiteral("option '%1' doesn't allow an argument").arg(name));
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            line.action = Action::Help; // the first of --help and --version wins, as getopt programs do
            return line;
        }
        if (arg == QLatin1String("--version")) {
            line.action = Action::Version;
            return line;
        }
        if (arg == QLatin1String("--headless"))
            line.headless = true; // the recorder takes it too: "impulz --headless" runs it with the same arguments
        else if (arg == QLatin1String("--wait"))
            line.wait = true;
        else
            return usageError(QStringLiteral("unrecognized option '%1'").arg(arg));
    }
    if (program == Program::Windows && line.wait && !line.headless)
        return usageError(QStringLiteral("option '--wait' goes with '--headless'"));
    return line;
}

QString CommandLine::programName(const char* argv0) {
    const QString path = argv0 ? QFile::decodeName(argv0) : QString();
    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    return name.isEmpty() ? QStringLiteral("impulz") : name;
}

QString CommandLine::usage(Program program, const QString& name) {
    const QString common =
        QStringLiteral("  --settings FILE  the settings file to use instead of the program's own; it must exist\n"
                       "  -h, --help       show this help and exit\n"
                       "  --version        show the version and exit\n");
    if (program == Program::Windows)
        return QStringLiteral("Usage: %1 [--settings FILE]\n"
                              "  or:  %1 --headless [--settings FILE] [--wait]\n"
                              "Shows the input controller's levels and log, and records every transition of a "
                              "watched input\nas an event file. Started while a recorder runs over the same settings "
                              "file, the window\nattaches to it.\n\n"
                              "  --headless       record without windows (the same as impulz-recorder)\n"
                              "  --wait           with --headless: wait for the recorder that holds the settings "
                              "file to end\n")
                   .arg(name) +
               common;
    return QStringLiteral("Usage: %1 [--settings FILE] [--wait]\n"
                          "Records every transition of a watched input as an event file, without windows; the log "
                          "goes\nto standard output. Windows started meanwhile attach to it.\n\n"
                          "  --wait           wait for the recorder that holds the settings file to end instead of "
                          "refusing\n")
               .arg(name) +
           common;
}

QString CommandLine::versionLine(const QString& name) {
    const auto version = productVersion();
    if (!version)
        return name;
    const auto& v = *version;
    return QStringLiteral("%1 %2.%3.%4.%5").arg(name).arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]);
}

int CommandLine::answer(Program program, const QString& name) const {
    switch (action) {
    case Action::Run:
        return -1;
    case Action::Help:
        printTo(stdout, usage(program, name));
        return 0;
    case Action::Version:
        printTo(stdout, versionLine(name) + QLatin1Char('\n'));
        return 0;
    case Action::UsageError:
        printTo(stderr, QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n").arg(name, error));
        return 2;
    }
    return -1;
}
