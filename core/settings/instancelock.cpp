#include "core/settings/instancelock.h"

#include "core/settings/inifile.h"
#include "core/files/posixfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

// The settings file opened for its lock: only a regular file (a FIFO would block the open, and a folder or a
// device is no settings file), and not at all when it is missing or unreadable, which the lock file then covers.
int openSettingsFile(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

InstanceLock::~InstanceLock() {
    // Closing releases the locks; the lock file stays, so no other monitor can race its removal.
    if (m_fileFd >= 0)
        ::close(m_fileFd);
    if (m_fd >= 0)
        ::close(m_fd);
}

QString InstanceLock::lockPathFor(const QString& settingsPath) {
    return resolvedFilePath(settingsPath) + QStringLiteral(".lock");
}

bool InstanceLock::fail(int fd, int fileFd, const QString& lockedPath, const QString& settingsPath) {
    const int err = errno;
    if (fd >= 0)
        ::close(fd);
    if (fileFd >= 0)
        ::close(fileFd);
    m_held = err == EWOULDBLOCK;
    m_error = m_held ? QStringLiteral("Program už běží se stejným souborem nastavení: %1").arg(settingsPath)
                     : QStringLiteral("Nelze získat zámek %1 (%2)").arg(lockedPath, systemError(err));
    return false;
}

bool InstanceLock::acquire(const QString& settingsPath) {
    m_resolved = resolvedFilePath(settingsPath);
    m_held = false;
    const QString path = m_resolved + QStringLiteral(".lock");
    createConfigFolderFor(path); // the settings file's own rule: a missing folder elsewhere is an error
    const QByteArray nativeLock = QFile::encodeName(path);
    int fd = ::open(nativeLock.constData(), O_RDWR | O_CREAT | O_NOCTTY | O_CLOEXEC, 0644);
    const int openError = fd < 0 ? errno : 0;
    // Another user's lock file (root's, made 0644) or a read-only mount: flock() needs no write access, and
    // locking a different file instead would let both monitors run.
    if (fd < 0 && (openError == EACCES || openError == EPERM || openError == EROFS))
        fd = ::open(nativeLock.constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);

    int fileFd = openSettingsFile(QFile::encodeName(m_resolved));
    if (fd < 0 && fileFd < 0) {
        m_error = QStringLiteral("Nelze vytvořit zámek %1 (%2)").arg(path, systemError(openError));
        return false;
    }
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(fd, fileFd, path, settingsPath);
    if (fileFd >= 0 && ::flock(fileFd, LOCK_EX | LOCK_NB) != 0) {
        // With the lock file held, a file system that cannot lock the settings file only loses the hard links.
        if (errno == EWOULDBLOCK || fd < 0)
            return fail(fd, fileFd, m_resolved, settingsPath);
        ::close(fileFd);
        fileFd = -1;
    }
    m_fd = fd;
    m_fileFd = fileFd;
    return true;
}
