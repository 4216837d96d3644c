#pragma once

#include <QString>

// The command lines of the windowed program and of the recorder, in the GNU manner: --help and --version print on
// standard output and exit 0, a usage error says what is wrong on standard error and exits 2. Parsed from argv
// before any application object exists, so no display is needed to be told how the program is started.
struct CommandLine {
    enum class Program { Windows, Recorder };
    enum class Action { Run, Help, Version, UsageError };

    Action action = Action::Run;
    bool headless = false;
    bool wait = false;
    QString settingsPath; // as given, empty when none was named
    QString error;        // what is wrong, for a usage error

    static CommandLine parse(Program program, int argc, const char* const* argv);

    // The program's name as it was started: argv[0]'s last path component.
    static QString programName(const char* argv0);
    static QString usage(Program program, const QString& name);
    // The name and the four-number product version, "impulz 1.0.0.1".
    static QString versionLine(const QString& name);

    // Prints the help, the version or the usage error and returns the exit code; -1 when the program is to run.
    int answer(Program program, const QString& name) const;
};
