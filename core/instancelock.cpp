#include "core/instancelock.h"

#include "core/inifile.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

InstanceLock::~InstanceLock() {
    if (m_fd >= 0)
        ::close(m_fd); // releases the lock; the file stays, so no other monitor can race its removal
}

bool InstanceLock::acquire(const QString& settingsPath) {
    const QString path = lockPathFor(settingsPath);
    createConfigFolderFor(path); // the settings file's own rule: a missing folder elsewhere is an error
    QString lockedPath = path;
    int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int err = errno;
        // A settings file beside the executable in a folder that takes no new files (an install the user may not
        // change, a read-only mount) is still used, and rewritten in place, so it keeps its inode: it can carry
        // the lock itself.
        if (err == EACCES || err == EROFS || err == EPERM)
            fd = ::open(QFile::encodeName(settingsPath).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            m_error =
                QStringLiteral("Nelze vytvořit zámek %1 (%2)").arg(path, QString::fromLocal8Bit(std::strerror(err)));
            return false;
        }
        lockedPath = settingsPath;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        m_error = err == EWOULDBLOCK
                      ? QStringLiteral("Program už běží se stejným souborem nastavení: %1").arg(settingsPath)
                      : QStringLiteral("Nelze získat zámek %1 (%2)")
                            .arg(lockedPath, QString::fromLocal8Bit(std::strerror(err)));
        return false;
    }
    m_fd = fd;
    return true;
}
