#include "core/recording/eventfile.h"

#include "core/recording/clock.h"
#include "core/files/posixfile.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QScopeGuard>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <liburing.h>
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

// Gives the temporary file its final name; 0 on success, EEXIST when the name is taken, else the error. A file
// system that cannot rename without replacing takes a hard link, which never replaces either; one that has no hard
// links (FAT, exFAT) renames without replacing, so each file system is asked the way it answers.
int publish(const QByteArray& tmp, const QByteArray& target) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, tmp.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != ENOTSUP)
        return errno;
#endif
    if (::link(tmp.constData(), target.constData()) != 0)
        return errno;
    ::unlink(tmp.constData());
    return 0;
}

// The longest file name the folder takes, in bytes.
long nameMaxOf(const QByteArray& nativeFolder) {
    const long max = ::pathconf(nativeFolder.constData(), _PC_NAME_MAX);
    return max > 0 ? max : 255;
}

// The n-th name tried for an event: "<base>.csv", then "<base>_<n>.csv". A suffixed name that would not fit the
// folder's limit loses bytes from the end of its base (the file-name part of it, from componentStart), backing off
// to the start of a UTF-8 sequence, so the second event of a second with a long name is still recorded; the suffix
// keeps it apart from the others. "<base>.csv" itself is never cut: a name that does not fit stays an error.
QByteArray candidateName(const QByteArray& base, qsizetype componentStart, int n, long nameMax, bool& shortened) {
    shortened = false;
    if (n == 1)
        return base + ".csv";
    const QByteArray suffix = '_' + QByteArray::number(n) + ".csv";
    const qsizetype room = qsizetype(nameMax) - suffix.size();
    qsizetype end = base.size();
    if (end - componentStart > room && room > 0) {
        end = componentStart + room;
        while (end > componentStart && (uchar(base.at(end)) & 0xC0) == 0x80)
            --end;
        shortened = true;
    }
    return base.left(end) + suffix;
}

#ifdef O_TMPFILE
// Whether files may be made without a name and linked under their own later: that needs O_TMPFILE and /proc to
// name the descriptor to linkat() (linking a descriptor by itself needs a privilege before Linux 6.10).
bool anonymousFilesPossible() {
    static const bool possible = ::access("/proc/self/fd", X_OK) == 0;
    return possible;
}

// Makes a file with no name yet in the folder (O_TMPFILE): nothing is ever half-written under any name, a crash
// leaves nothing behind, and the folder is changed once per event (the link) instead of three times (a temporary
// name made, renamed, taken away), which on ext4 makes a file several times cheaper. Gives the descriptor, or -1
// when the folder's file system cannot (FAT, NFS, older kernels: asked again each time, a failed open costs nothing
// beside the syncs), and the caller makes a named temporary file instead, which also reports any other failure.
int createAnonymous(const QByteArray& nativeFolder) {
    return anonymousFilesPossible() ? ::open(nativeFolder.constData(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666) : -1;
}

// Gives the file without a name its final one; 0 on success, EEXIST when the name is taken, else the error.
int publishAnonymous(int fd, const QByteArray& target) {
    char self[40];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, self, AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}
#else
int createAnonymous(const QByteArray&) {
    return -1;
}

int publishAnonymous(int, const QByteArray&) {
    return ENOTSUP;
}
#endif

// Creates a hidden temporary file in the folder: hidden and not ending in ".csv", so the archive scan never counts
// a file that is still being written; the short fixed form leaves the whole name length to the final file. Gives
// the descriptor, or -1 with err set.
int createTemporary(const QByteArray& nativeFolder, QByteArray& tmp, int& err) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = nativeFolder + "/.event." + QByteArray::number(qint64(::getpid())) + '.' + QByteArray::number(counter++) +
              ".tmp";
        const int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        err = errno;
        if (err != EEXIST)
            break;
    }
    tmp.clear();
    return -1;
}

#ifdef __linux__
// An io_uring of the thread's own, for syncs that are to run side by side: the kernel's workers take them at once,
// so the journal commits the files of a group together and the disk's cache is flushed about once for all of them,
// where syncs one after another pay a commit or a flush each. Unlike syncfs(), it writes nothing but our own files:
// another program's unsynced data stays in the cache. A kernel or a seccomp filter that refuses io_uring leaves
// the caller to sync one by one.
class SyncRing {
public:
    static SyncRing& ofThisThread() {
        thread_local SyncRing ring;
        return ring;
    }

    // Starts the syncs (data only, or everything) of the first descriptors, as many as the ring holds, without
    // waiting for them; gives how many it started, to be collected with waitStarted() before anything else uses the
    // ring. 0 when the ring is refused, or busy with the syncs of a caller whose work meanwhile writes events too.
    size_t start(const int* fds, size_t count, bool dataOnly) {
        count = std::min<size_t>(count, kEntries);
        if (count == 0 || m_started > 0 || !ready())
            return 0;
        for (size_t i = 0; i < count; ++i) {
            io_uring_sqe* sqe = io_uring_get_sqe(&m_ring);
            if (!sqe) { // a ring with no room while nothing of ours is in it: not to be trusted
                reset();
                return 0;
            }
            io_uring_prep_fsync(sqe, fds[i], dataOnly ? IORING_FSYNC_DATASYNC : 0);
            io_uring_sqe_set_data64(sqe, i);
        }
        const int submitted = io_uring_submit_and_wait(&m_ring, 0);
        if (submitted == int(count)) {
            m_started = count;
            return count;
        }
        // Some were taken and some not: wait for those taken, so the ring is empty again, and start afresh.
        m_started = submitted > 0 ? size_t(submitted) : 0;
        waitStarted();
        reset();
        return 0;
    }

    // Waits for the syncs start() began; per descriptor 0 or the system's error, or -1 for one whose outcome
    // could not be told, which the caller syncs itself.
    std::vector<int> waitStarted() {
        std::vector<int> result(m_started, -1);
        if (m_started > 0 && io_uring_submit_and_wait(&m_ring, unsigned(m_started)) >= 0)
            reap(m_started, result);
        else if (m_started > 0)
            reset();
        m_started = 0;
        return result;
    }

private:
    // Takes count completions, each into result at the index its entry carried. On a failure of the ring it is
    // reset, and the outcomes not taken stay -1.
    void reap(size_t count, std::vector<int>& result) {
        for (size_t reaped = 0; reaped < count;) {
            io_uring_cqe* cqe = nullptr;
            const int err = io_uring_wait_cqe(&m_ring, &cqe);
            if (err == -EINTR)
                continue;
            if (err != 0) {
                reset();
                return;
            }
            const size_t index = size_t(io_uring_cqe_get_data64(cqe));
            if (index < result.size())
                result[index] = cqe->res < 0 ? -cqe->res : 0;
            io_uring_cqe_seen(&m_ring, cqe);
            ++reaped;
        }
    }

    enum class State { Unset, Ready, Refused };
    // Entries per submission: a group of 64 files with the caller's descriptors beside them; a larger group goes in
    // several rounds.
    static constexpr unsigned kEntries = 128;

    SyncRing() = default;
    ~SyncRing() { reset(); }

    bool ready() {
        if (m_state == State::Unset)
            m_state = io_uring_queue_init(kEntries, &m_ring, 0) == 0 ? State::Ready : State::Refused;
        return m_state == State::Ready;
    }
    // After a failed submission some entries may still sit in the ring; a new ring drops them. A refusal stays.
    void reset() {
        if (m_state == State::Ready) {
            io_uring_queue_exit(&m_ring);
            m_state = State::Unset;
        }
    }

    io_uring m_ring{};
    State m_state = State::Unset;
    size_t m_started = 0; // syncs start() began that waitStarted() has not collected
};
#endif

// Syncs the descriptors (data only, or everything), all of them in flight together where the system lets us, one by
// one otherwise. meanwhile, when given, runs once the syncs are under way, so its own durable work shares the disk's
// flushes with them; whatever it throws, no sync of ours is left in the ring. Gives per descriptor 0 or the system's
// error.
std::vector<int> syncAll(const std::vector<int>& fds, bool dataOnly, const std::function<void()>& meanwhile = {}) {
    std::vector<int> result(fds.size(), -1);
    bool meanwhileRan = !meanwhile;
    // One alone with nothing to overlap gains nothing from the kernel's workers and would pay their hand-over.
#ifdef __linux__
    if (fds.size() > 1 || !meanwhileRan) {
        SyncRing& ring = SyncRing::ofThisThread();
        for (size_t done = 0; done < fds.size();) {
            const size_t started = ring.start(fds.data() + done, fds.size() - done, dataOnly);
            if (started == 0)
                break;
            {
                const auto collect = qScopeGuard([&] {
                    const std::vector<int> outcome = ring.waitStarted();
                    std::copy(outcome.begin(), outcome.end(), result.begin() + std::ptrdiff_t(done));
                });
                if (!meanwhileRan) {
                    meanwhileRan = true;
                    meanwhile();
                }
            }
            done += started;
        }
    }
#endif
    if (!meanwhileRan)
        meanwhile();
    for (size_t i = 0; i < fds.size(); ++i) {
        if (result[i] == -1)
            result[i] = (dataOnly ? ::fdatasync(fds[i]) : ::fsync(fds[i])) == 0 ? 0 : errno;
    }
    return result;
}

// One request on its way through the batch.
struct Pending {
    QString base; // directory + separator + name
    QByteArray nativeBase;
    QByteArray nativeFolder;
    QByteArray tmp; // the temporary file while it exists
    int fd = -1;
    bool anonymous = false; // a file without a name (fd), linked under its final name while still open
    int err = 0;            // the first failure; 0 while all is well
    bool published = false;
    bool ok() const { return err == 0; }
};

// The data syncs of a batch's temporary files, each file by a data sync of its own (which tells its own write
// error), all of them in flight together, with the caller's descriptor (extraFd, when not -1) beside them. The
// caller's other durable work runs while they do, and all of them have finished before any file takes its name.
// Gives the outcome of extraFd's sync.
int syncData(std::vector<Pending>& pending, int extraFd, const std::function<void()>& whileDataSyncs) {
    std::vector<int> fds;
    std::vector<Pending*> owners;
    for (Pending& p : pending) {
        if (p.fd >= 0 && p.ok()) {
            fds.push_back(p.fd);
            owners.push_back(&p);
        }
    }
    if (extraFd >= 0) {
        fds.push_back(extraFd);
        owners.push_back(nullptr);
    }
    const std::vector<int> result = syncAll(fds, true, whileDataSyncs);
    int extraError = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (!owners[i])
            extraError = result[i];
        else if (result[i] != 0)
            owners[i]->err = result[i];
    }
    return extraError;
}

// Makes the new names durable: without this a name can vanish in a power loss. Each folder that took a name is
// synced once, the folders together. A folder that cannot be synced does not undo its events: the files are there,
// and reporting them as lost would miscount them.
void syncFolders(const std::vector<Pending>& pending) {
    QSet<QByteArray> seen;
    std::vector<int> fds;
    for (const Pending& p : pending) {
        if (!p.published || seen.contains(p.nativeFolder))
            continue;
        seen.insert(p.nativeFolder);
        const int dirFd = ::open(p.nativeFolder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0)
            fds.push_back(dirFd);
    }
    syncAll(fds, false);
    for (const int fd : fds)
        ::close(fd);
}

} // namespace

QByteArray eventLine(const QDateTime& t) {
    const QDate d = t.date();
    const QTime tm = t.time();
    char buf[96];
    const int n = std::snprintf(buf, sizeof buf, "%02d.%02d.%02d;%02d:%02d:%02d\r\n", d.day(), d.month(),
                                (d.year() % 100 + 100) % 100, tm.hour(), tm.minute(), tm.second());
    return QByteArray(buf, n);
}

QList<EventWriteResult> writeEventFiles(const QList<EventWriteRequest>& batch, bool durable,
                                        const std::function<void()>& whileDataSyncs, const Clock& clock) {
    EventGroupWork work;
    work.whileDataSyncs = whileDataSyncs;
    return writeEventFiles(batch, durable, work, clock);
}

QList<EventWriteResult> writeEventFiles(const QList<EventWriteRequest>& batch, bool durable, EventGroupWork& work,
                                        const Clock& clock) {
    const std::function<void()>& whileDataSyncs = work.whileDataSyncs;
    QList<EventWriteResult> results(batch.size());
    std::vector<Pending> pending(size_t(batch.size()));

    // Whatever goes wrong, no descriptor stays open and no temporary file stays behind.
    const auto cleanup = qScopeGuard([&] {
        for (Pending& p : pending) {
            if (p.fd >= 0)
                ::close(p.fd);
            if (!p.tmp.isEmpty())
                ::unlink(p.tmp.constData());
        }
    });

    const auto discard = [](Pending& p) {
        if (!p.tmp.isEmpty())
            ::unlink(p.tmp.constData());
        p.tmp.clear();
    };

    // All lines go to their temporary files first, so the syncs below can serve them together.
    for (qsizetype i = 0; i < batch.size(); ++i) {
        Pending& p = pending[size_t(i)];
        p.base = batch[i].directory + QDir::separator() + batch[i].name;
        const QString first = candidatePath(p.base, 1);
        results[i].path = first;
        if (p.base.contains(QChar(0))) {
            p.err = EINVAL; // the system would cut the path at the NUL and write somewhere else
            continue;
        }
        // The name may hold separators of its own; the temporary file must share the final file's folder.
        QString folder = first.left(first.lastIndexOf(QDir::separator()));
        if (folder.isEmpty())
            folder = QDir::separator();
        p.nativeFolder = QFile::encodeName(folder);
        p.nativeBase = QFile::encodeName(p.base);
        p.fd = createAnonymous(p.nativeFolder);
        p.anonymous = p.fd >= 0;
        if (p.fd < 0)
            p.fd = createTemporary(p.nativeFolder, p.tmp, p.err);
        if (p.fd < 0)
            continue;
        if (!writeAllToFd(p.fd, eventLine(clock.now())))
            p.err = errno;
    }

    QHash<QByteArray, long> nameMax;
    const auto nameMaxIn = [&nameMax](const QByteArray& folder) {
        auto max = nameMax.constFind(folder);
        if (max == nameMax.cend())
            max = nameMax.insert(folder, nameMaxOf(folder));
        return *max;
    };
    // The path of the n-th name tried.
    const auto pathOf = [](const Pending& p, const QByteArray& target, int n, bool shortened) {
        return shortened ? QFile::decodeName(target) : candidatePath(p.base, n);
    };

    int extraFd = -1;
    if (work.beforeDataSyncs) {
        // The names the publication below will find free, unless another program takes one in between.
        QStringList expected;
        QHash<QByteArray, int> nextExpected;
        for (const Pending& p : pending) {
            if (!p.ok()) {
                expected.append(QString());
                continue;
            }
            const long max = nameMaxIn(p.nativeFolder);
            const qsizetype componentStart = p.nativeBase.lastIndexOf('/') + 1;
            QString path;
            int n = nextExpected.value(p.nativeBase, 1);
            for (; n <= kMaxCandidates; ++n) {
                bool shortened = false;
                const QByteArray target = candidateName(p.nativeBase, componentStart, n, max, shortened);
                struct stat st {};
                if (::lstat(target.constData(), &st) == 0)
                    continue;
                if (errno == ENOENT)
                    path = pathOf(p, target, n, shortened);
                break; // any other error fails the publication too
            }
            expected.append(path);
            if (!path.isEmpty())
                nextExpected.insert(p.nativeBase, n + 1);
        }
        extraFd = work.beforeDataSyncs(expected);
    }

    if (durable) {
        work.syncError = syncData(pending, extraFd, whileDataSyncs);
    } else if (whileDataSyncs) {
        whileDataSyncs();
    }
    // A named temporary file is closed before it takes its name, so a failed close still keeps it from being
    // published; a file without a name needs its descriptor to take one, and is closed once it has.
    for (Pending& p : pending) {
        if (p.fd >= 0 && (!p.anonymous || p.err != 0)) {
            if (::close(p.fd) != 0 && p.err == 0)
                p.err = errno;
            p.fd = -1;
        }
        if (p.err != 0)
            discard(p);
    }

    // Publications in request order, so same-named events of a batch take their suffixes in that order. Within the
    // batch a name goes on from the suffix after the one it last took: the names before it are known to be taken.
    QHash<QByteArray, int> nextCandidate;
    for (qsizetype i = 0; i < batch.size(); ++i) {
        Pending& p = pending[size_t(i)];
        if (p.err != 0)
            continue;
        const long max = nameMaxIn(p.nativeFolder);
        const qsizetype componentStart = p.nativeBase.lastIndexOf('/') + 1;
        int err = EEXIST;
        int n = nextCandidate.value(p.nativeBase, 1);
        for (; n <= kMaxCandidates && err == EEXIST; ++n) {
            bool shortened = false;
            const QByteArray target = candidateName(p.nativeBase, componentStart, n, max, shortened);
            err = p.anonymous ? publishAnonymous(p.fd, target) : publish(p.tmp, target);
            if (err != EEXIST)
                results[i].path = pathOf(p, target, n, shortened);
        }
        if (p.anonymous) {
            ::close(p.fd); // its data was synced, or a sync was not asked for; it has its name or none either way
            p.fd = -1;
        }
        if (err != 0) {
            p.err = err;
            discard(p);
            continue;
        }
        p.tmp.clear(); // it has its final name now
        p.published = true;
        nextCandidate.insert(p.nativeBase, n);
    }

    if (durable)
        syncFolders(pending);

    for (qsizetype i = 0; i < batch.size(); ++i) {
        const Pending& p = pending[size_t(i)];
        results[i].ok = p.published;
        if (!p.published)
            results[i].error = errorText(p.err);
    }
    return results;
}

EventWriteResult writeEventFile(const QString& directory, const QString& name, bool durable, const Clock& clock) {
    return writeEventFiles({EventWriteRequest{directory, name}}, durable, {}, clock).constFirst();
}
