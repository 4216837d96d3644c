#include "core/files/posixfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

bool writeAllToFd(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool writeAllToFd(int fd, const QByteArray& data) {
    return writeAllToFd(fd, data.constData(), size_t(data.size()));
}

namespace {

bool allDigits(QByteArrayView text) {
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// The pid in a name prefix + "<pid>.<n>.tmp", or 0 when the name has another form.
pid_t temporaryOwner(QByteArrayView name, QByteArrayView prefix) {
    if (!name.startsWith(prefix) || !name.endsWith(".tmp"))
        return 0;
    const QByteArrayView middle = name.sliced(prefix.size(), name.size() - prefix.size() - 4);
    const qsizetype dot = middle.indexOf('.');
    if (dot < 0 || !allDigits(middle.first(dot)) || !allDigits(middle.sliced(dot + 1)))
        return 0;
    bool ok = false;
    const qint64 pid = middle.first(dot).toLongLong(&ok);
    return ok && pid > 0 && pid == pid_t(pid) ? pid_t(pid) : 0;
}

} // namespace

int removeStaleTemporaryFiles(const QString& folder, const QString& prefix) {
    const QByteArray nativePrefix = QFile::encodeName(prefix);
    const int dirFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return 0;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return 0;
    }
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArrayView name(entry->d_name);
        const pid_t pid = temporaryOwner(name, nativePrefix);
        // A pid that is in use again by another process keeps its files: leaving one stale file is harmless,
        // removing one that a live process is about to publish is not.
        if (pid == 0 || pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (::unlinkat(dirFd, entry->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

// The path made absolute without QDir::cleanPath(): that would take "link/.." as "." where the kernel goes to the
// link target's parent.
static QString absoluteUncleaned(const QString& path) {
    return path.startsWith(u'/') ? path : QDir::currentPath() + u'/' + path;
}

QString resolvedFilePath(const QString& path) {
    QString current = absoluteUncleaned(path);
    // The kernel's own limit for links in one lookup; a loop ends there too.
    for (int hops = 0; hops < 40; ++hops) {
        char resolved[PATH_MAX];
        if (::realpath(QFile::encodeName(current).constData(), resolved))
            return QFile::decodeName(resolved);
        const qsizetype slash = current.lastIndexOf(u'/');
        const QString name = current.mid(slash + 1);
        const QString folder = slash > 0 ? current.left(slash) : QStringLiteral("/");
        if (!::realpath(QFile::encodeName(folder).constData(), resolved))
            break;
        const QString inFolder = QFile::decodeName(resolved) + (qstrcmp(resolved, "/") == 0 ? "" : "/") + name;
        const QByteArray native = QFile::encodeName(inFolder);
        char target[PATH_MAX];
        const ssize_t n = ::readlink(native.constData(), target, sizeof target - 1);
        if (n < 0)
            return inFolder; // a file still to be made
        const QString link = QFile::decodeName(QByteArray(target, n));
        current = link.startsWith(u'/') ? link : QFile::decodeName(resolved) + u'/' + link;
    }
    return QDir::cleanPath(absoluteUncleaned(path));
}

#else

int removeStaleTemporaryFiles(const QString&, const QString&) {
    return 0; // no pids in temporary names here
}

QString resolvedFilePath(const QString& path) {
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

#endif
