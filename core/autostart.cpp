#include "core/autostart.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

AutostartError::AutostartError(const QString& entryName)
    : std::runtime_error(QStringLiteral("Failed to set data for '%1'").arg(entryName).toStdString()) {}

QString autostartFilePath(const QString& entryName) {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/") + entryName + QStringLiteral(".desktop");
}

void setAutostartEntry(const QString& entryName, const QString& executablePath) {
    const QString path = autostartFilePath(entryName);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        throw AutostartError(entryName);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw AutostartError(entryName);
    // The executable's path is quoted, so a folder with blanks still starts; a quote or backslash inside it
    // is escaped as the desktop-entry format asks.
    QString quoted = executablePath;
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('"'), QStringLiteral("\\\""));
    const QString text = QStringLiteral("[Desktop Entry]\nType=Application\nName=Impulz\nExec=\"%1\"\n").arg(quoted);
    file.write(text.toUtf8());
    if (!file.commit())
        throw AutostartError(entryName);
}

void removeAutostartEntry(const QString& entryName) {
    QFile::remove(autostartFilePath(entryName));
}
