#include "core/eventfile.h"

#include "core/clock.h"
#include "core/posixfile.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Each try is one system call, so even a folder full of same-named events gives up quickly.
constexpr int kMaxCandidates = 100000;

QString candidatePath(const QString& base, int n) {
    return n == 1 ? base + QStringLiteral(".csv") : base + u'_' + QString::number(n) + QStringLiteral(".csv");
}

QString errorText(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

#ifdef Q_OS_UNIX

// Gives the temporary file its final name; 0 on success, EEXIST when the name is taken, else the error.
int publish(const QByteArray& tmp, const QByteArray& target, bool& useLink) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (!useLink) {
        if (::renameat2(AT_FDCWD, tmp.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
            return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != ENOTSUP)
            return errno;
        useLink = true; // the file system cannot rename without replacing; a hard link never replaces either
    }
#else
    useLink = true;
#endif
    if (::link(tmp.constData(), target.constData()) != 0)
        return errno;
    ::unlink(tmp.constData());
    return 0;
}

#endif

} // namespace

QByteArray eventLine(const QDateTime& t) {
    const QDate d = t.date();
    const QTime tm = t.time();
    char buf[96];
    const int n = std::snprintf(buf, sizeof buf, "%02d.%02d.%02d;%02d:%02d:%02d\r\n", d.day(), d.month(),
                                (d.year() % 100 + 100) % 100, tm.hour(), tm.minute(), tm.second());
    return QByteArray(buf, n);
}

#ifdef Q_OS_UNIX

EventWriteResult writeEventFile(const QString& directory, const QString& name, bool durable) {
    static std::atomic<unsigned> counter{0};

    const QString base = directory + QDir::separator() + name;
    EventWriteResult result;
    result.path = candidatePath(base, 1);
    auto fail = [&result](int err) {
        result.error = errorText(err);
        return result;
    };
    if (base.contains(QChar(0)))
        return fail(EINVAL); // the system would cut the path at the NUL and write somewhere else

    // The name may hold separators of its own; the temporary file must share the final file's folder.
    QString folder = result.path.left(result.path.lastIndexOf(QDir::separator()));
    if (folder.isEmpty())
        folder = QDir::separator();
    const QByteArray nativeFolder = QFile::encodeName(folder);

    // Hidden and not ending in ".csv", so the archive scan never counts a file that is still being written; the
    // fixed short name leaves the whole name length to the final file.
    QByteArray tmp;
    int fd = -1;
    int err = 0;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = nativeFolder + "/.event." + QByteArray::number(qint64(::getpid())) + '.' + QByteArray::number(counter++) +
              ".tmp";
        fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        err = errno;
        if (fd < 0 && err != EEXIST)
            break;
    }
    if (fd < 0)
        return fail(err);

    // Whatever goes wrong from here on, the temporary file does not stay behind.
    bool published = false;
    const auto removeTemporary = qScopeGuard([&] {
        if (!published)
            ::unlink(tmp.constData());
    });

    bool written = writeAllToFd(fd, eventLine(Clock::now()));
    if (written && durable)
        written = ::fsync(fd) == 0;
    err = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        err = errno;
    }
    if (!written)
        return fail(err);

    bool useLink = false;
    for (int n = 1; n <= kMaxCandidates; ++n) {
        const QString candidate = candidatePath(base, n);
        err = publish(tmp, QFile::encodeName(candidate), useLink);
        if (err == EEXIST)
            continue;
        result.path = candidate;
        if (err != 0)
            return fail(err);
        published = true;
        if (durable) {
            // Without this the new name can vanish in a power loss. A folder that cannot be synced does not
            // undo the event: the file is there, and reporting it as lost would miscount it.
            const int dirFd = ::open(nativeFolder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dirFd >= 0) {
                ::fsync(dirFd);
                ::close(dirFd);
            }
        }
        result.ok = true;
        return result;
    }
    return fail(EEXIST);
}

#else

EventWriteResult writeEventFile(const QString& directory, const QString& name, bool durable) {
    const QString base = directory + QDir::separator() + name;
    EventWriteResult result;
    result.path = candidatePath(base, 1);
    for (int n = 1; n <= kMaxCandidates; ++n) {
        QFile file(candidatePath(base, n));
        if (file.exists())
            continue;
        result.path = file.fileName();
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (file.exists())
                continue;
            result.error = file.errorString();
            return result;
        }
        const QByteArray line = eventLine(Clock::now());
        bool ok = file.write(line) == line.size() && file.flush();
        file.close();
        if (!ok) {
            result.error = file.errorString();
            file.remove();
            return result;
        }
        Q_UNUSED(durable);
        result.ok = true;
        return result;
    }
    result.error = errorText(EEXIST);
    return result;
}

#endif
