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

void setAutostartEntry(const QString& entryName, const QString& executablePath) {
    const QString path = autostartFilePath(entryName);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        throw AutostartError(entryName);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw AutostartError(entryName);
    const QString text = QStringLiteral("[Desktop Entry]\nType=Application\nName=Impulz\nExec=%1\n")
                             .arg(desktopExecArgument(executablePath));
    file.write(text.toUtf8());
    if (!file.commit())
        throw AutostartError(entryName);
}

void removeAutostartEntry(const QString& entryName) {
    QFile::remove(autostartFilePath(entryName));
}
