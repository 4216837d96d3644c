#include "core/files/privatefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>

#include <sys/stat.h>
#endif

bool makePrivateFolder(const QString& folder) {
#ifdef Q_OS_UNIX
    const QString path = QDir::cleanPath(QDir::current().absoluteFilePath(folder));
    // From the top down, so every folder made here is made private, not only the last.
    qsizetype from = 1;
    while (from <= path.size()) {
        qsizetype slash = path.indexOf(QLatin1Char('/'), from);
        if (slash < 0)
            slash = path.size();
        const QByteArray part = QFile::encodeName(path.left(slash));
        if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST)
            return false;
        from = slash + 1;
    }
    return QFileInfo(path).isDir();
#else
    return QDir().mkpath(folder);
#endif
}
