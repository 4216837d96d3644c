#include "core/autostart.h"

#include "core/inifile.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

AutostartError::AutostartError(const QString& entryName)
    : std::runtime_error(QStringLiteral("Failed to set data for '%1'").arg(entryName).toStdString()) {}

QString autostartFilePath(const QString& entryName) {
    return userConfigFolder() + QStringLiteral("/autostart/") + entryName + QStringLiteral(".desktop");
}

QString desktopExecArgument(const QString& argument) {
    // Inside the double quotes the launcher's command-line rules want \ " ` $ behind a backslash.
    QString quoted;
    for (const QChar c : argument) {
        if (c == u'\\' || c == u'"' || c == u'`' || c == u'$')
            quoted += u'\\';
        quoted += c;
    }
    // The Exec value is then a string of the desktop file: its own escapes double each backslash and keep line
    // breaks and tabs out of the line; % starts a field code unless doubled.
    QString value;
    for (const QChar c : quoted) {
        if (c == u'\\')
            value += QStringLiteral("\\\\");
        else if (c == u'\n')
            value += QStringLiteral("\\n");
        else if (c == u'\t')
            value += QStringLiteral("\\t");
        else if (c == u'\r')
            value += QStringLiteral("\\r");
        else if (c == u'%')
            value += QStringLiteral("%%");
        else
            value += c;
    }
    return u'"' + value + u'"';
}

namespace {

// Both launchers look the program up with "%%" still doubled, so no path with a "%" is ever found. systemd's
// generator also unescapes a backslash twice, and the unit it writes refuses quotes, control characters and the
// backslashes it puts before "$" and "`". Everything else (blanks, non-ASCII letters) runs from the entry itself.
bool launchableFromEntry(const QString& path) {
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || QStringView(u"%\\\"'$`").contains(c))
            return false;
    }
    return true;
}

// One word for /bin/sh, whatever it holds: in single quotes nothing is special but the single quote itself.
QByteArray shellWord(const QString& text) {
    QByteArray word = QFile::encodeName(text);
    word.replace('\'', "'\\''");
    return '\'' + word + '\'';
}

bool writeFile(const QString& path, const QByteArray& data) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(data);
    return file.commit();
}

} // namespace

QString autostartWrapperPath(const QString& entryName) {
    return userConfigFolder() + QStringLiteral("/impulz/") + entryName + QStringLiteral("-start.sh");
}

void setAutostartEntry(const QString& entryName, const QString& executablePath) {
    QString program = executablePath;
    const QString wrapper = autostartWrapperPath(entryName);
    const bool wrapped = !launchableFromEntry(executablePath);
    if (wrapped) {
        if (!launchableFromEntry(wrapper))
            throw AutostartError(entryName);
        const QByteArray script = "#!/bin/sh\n"
                                  "# Starts Impulz at log-on for the autostart entry " +
                                  entryName.toUtf8() +
                                  ".desktop: the program's path holds characters that the entry's launchers cannot "
                                  "take.\nexec " +
                                  shellWord(executablePath) + " \"$@\"\n";
        if (!writeFile(wrapper, script) ||
            !QFile::setPermissions(wrapper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            throw AutostartError(entryName);
        program = wrapper;
    }
    const QString text =
        QStringLiteral("[Desktop Entry]\nType=Application\nName=Impulz\nExec=%1\n").arg(desktopExecArgument(program));
    if (!writeFile(autostartFilePath(entryName), text.toUtf8()))
        throw AutostartError(entryName);
    if (!wrapped)
        QFile::remove(wrapper); // left by an earlier entry for a path that needed it
}

void removeAutostartEntry(const QString& entryName) {
    QFile::remove(autostartFilePath(entryName));
    QFile::remove(autostartWrapperPath(entryName));
}
