#include "core/settings/autostart.h"

#include "core/settings/inifile.h"
#include "core/files/privatefolder.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

AutostartError::AutostartError(const QString& entryName)
    : std::runtime_error(QStringLiteral("Failed to set data for '%1'").arg(entryName).toStdString()) {}

QString autostartFilePath(const QString& entryName) {
    return userConfigFolder() + QStringLiteral("/autostart/") + entryName + QStringLiteral(".desktop");
}

namespace {

// A value of the desktop file: its own escapes double each backslash and keep line breaks and tabs out of the line.
QString desktopValue(const QString& text) {
    QString value;
    for (const QChar c : text) {
        if (c == u'\\')
            value += QStringLiteral("\\\\");
        else if (c == u'\n')
            value += QStringLiteral("\\n");
        else if (c == u'\t')
            value += QStringLiteral("\\t");
        else if (c == u'\r')
            value += QStringLiteral("\\r");
        else
            value += c;
    }
    return value;
}

QString unescapedDesktopValue(QStringView value) {
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != u'\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        const QChar next = value[++i];
        text += next == u'n'   ? QChar(u'\n')
                : next == u't' ? QChar(u'\t')
                : next == u'r' ? QChar(u'\r')
                : next == u's' ? QChar(u' ')
                               : next;
    }
    return text;
}

const QString kOwnerKey = QStringLiteral("X-Impulz-Settings=");

} // namespace

QString desktopExecArgument(const QString& argument) {
    // Inside the double quotes the launcher's command-line rules want \ " ` $ behind a backslash.
    QString quoted;
    for (const QChar c : argument) {
        if (c == u'\\' || c == u'"' || c == u'`' || c == u'$')
            quoted += u'\\';
        quoted += c;
    }
    // The Exec value is then a string of the desktop file; % starts a field code unless doubled.
    return u'"' + desktopValue(quoted).replace(u'%', QStringLiteral("%%")) + u'"';
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
    if (!makePrivateFolder(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
        return false;
    file.write(data);
    return file.commit();
}

} // namespace

QString autostartWrapperPath(const QString& entryName) {
    return userConfigFolder() + QStringLiteral("/impulz/") + entryName + QStringLiteral("-start.sh");
}

void setAutostartEntry(const QString& entryName, const QString& executablePath, const QStringList& arguments,
                       const QString& owner) {
    QString exec = desktopExecArgument(executablePath);
    for (const QString& argument : arguments)
        exec += u' ' + desktopExecArgument(argument);
    const QString wrapper = autostartWrapperPath(entryName);
    const bool wrapped =
        !launchableFromEntry(executablePath) ||
        std::any_of(arguments.cbegin(), arguments.cend(), [](const QString& a) { return !launchableFromEntry(a); });
    if (wrapped) {
        if (!launchableFromEntry(wrapper))
            throw AutostartError(entryName);
        QByteArray command = shellWord(executablePath);
        for (const QString& argument : arguments)
            command += ' ' + shellWord(argument);
        const QByteArray script = "#!/bin/sh\n"
                                  "# Starts Impulz at log-on for the autostart entry " +
                                  entryName.toUtf8() +
                                  ".desktop: the program's command line holds characters that the entry's launchers "
                                  "cannot take.\nexec " +
                                  command + " \"$@\"\n";
        if (!writeFile(wrapper, script) ||
            !QFile::setPermissions(wrapper, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            throw AutostartError(entryName);
        exec = desktopExecArgument(wrapper);
    }
    QString text = QStringLiteral("[Desktop Entry]\nType=Application\nName=Impulz\nExec=%1\n").arg(exec);
    if (!owner.isEmpty())
        text += kOwnerKey + desktopValue(owner) + u'\n';
    if (!writeFile(autostartFilePath(entryName), text.toUtf8()))
        throw AutostartError(entryName);
    if (!wrapped)
        QFile::remove(wrapper); // left by an earlier entry for a path that needed it
}

std::optional<QString> autostartEntryOwner(const QString& entryName) {
    QFile file(autostartFilePath(entryName));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool inEntry = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(u'['))
            inEntry = line == QLatin1String("[Desktop Entry]");
        else if (inEntry && line.startsWith(kOwnerKey))
            return unescapedDesktopValue(QStringView(line).sliced(kOwnerKey.size()));
    }
    return QString();
}

void removeAutostartEntry(const QString& entryName) {
    QFile::remove(autostartFilePath(entryName));
    QFile::remove(autostartWrapperPath(entryName));
}
