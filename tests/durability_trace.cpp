// A preloaded library that writes down the file system calls a process makes, one line each, to the file named by
// IMPULZ_TRACE_LOG: opens and closes with the descriptor and path, writes (at an offset too), every kind of sync,
// renames and links. Syncs that go through io_uring are seen at submission (the queue's entries are read before the
// kernel takes them) and written down only once their completions are in the ring, so a line means the sync has
// finished. With IMPULZ_TRACE_NO_URING set, setting up a ring fails as it does under a seccomp filter that refuses
// io_uring; with IMPULZ_TRACE_NO_TMPFILE set, opening a file without a name (O_TMPFILE) fails as on a file system that
// has none.
//
// Lines are tab-separated: call, descriptor, result (0 or -errno; bytes for writes), argument (flags), device,
// path, second path. impulzTraceMark() adds a line of the process's own ("mark") to tell where it has got to.

#include <liburing.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

int logFd() {
    static std::atomic<int> fd{-2};
    int current = fd.load();
    if (current != -2)
        return current;
    const char* path = std::getenv("IMPULZ_TRACE_LOG");
    const int opened =
        path ? int(::syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) : -1;
    if (!fd.compare_exchange_strong(current, opened) && opened >= 0)
        ::syscall(SYS_close, opened);
    return fd.load();
}

unsigned long long deviceOf(int fd) {
    struct stat st {};
    return fd >= 0 && ::fstat(fd, &st) == 0 ? (unsigned long long)st.st_dev : 0;
}

// Relative paths of the *at calls keep their folder's descriptor in front.
void describe(char* out, size_t size, int dirFd, const char* path) {
    if (!path)
        std::snprintf(out, size, "-");
    else if (path[0] == '/' || dirFd == AT_FDCWD)
        std::snprintf(out, size, "%s", path);
    else
        std::snprintf(out, size, "<%d>/%s", dirFd, path);
}

void record(const char* call, int fd, long result, long arg, unsigned long long dev, const char* path = "-",
            const char* path2 = "-") {
    const int out = logFd();
    if (out < 0)
        return;
    const int saved = errno;
    char line[8192];
    const int n =
        std::snprintf(line, sizeof line, "%s\t%d\t%ld\t%ld\t%llu\t%s\t%s\n", call, fd, result, arg, dev, path, path2);
    if (n > 0)
        ::syscall(SYS_write, out, line, size_t(n < int(sizeof line) ? n : int(sizeof line) - 1));
    errno = saved;
}

long outcome(long ret) {
    return ret < 0 ? -errno : ret;
}

template <typename F> F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

int traceOpen(const char* call, int dirFd, const char* path, int flags, int fd) {
    char where[4096];
    describe(where, sizeof where, dirFd, path);
    record(call, fd, outcome(fd), flags, deviceOf(fd), where);
    return fd;
}

int traceMove(const char* call, long ret, int oldDir, const char* oldPath, int newDir, const char* newPath,
              long flags) {
    char from[4096];
    char to[4096];
    describe(from, sizeof from, oldDir, oldPath);
    describe(to, sizeof to, newDir, newPath);
    record(call, -1, outcome(ret), flags, 0, from, to);
    return int(ret);
}

// Whether the open is of a file without a name that IMPULZ_TRACE_NO_TMPFILE refuses; errno is set when it is.
bool refusedAnonymous(int flags) {
    if ((flags & O_TMPFILE) != O_TMPFILE || !std::getenv("IMPULZ_TRACE_NO_TMPFILE"))
        return false;
    errno = EOPNOTSUPP;
    return true;
}

mode_t modeOf(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(args, int)) : 0;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) void impulzTraceMark(const char* text) {
    record("mark", -1, 0, 0, 0, text);
}

#define IMPULZ_TRACE_OPEN(name)                                                                                        \
    int name(const char* path, int flags, ...) {                                                                       \
        va_list args;                                                                                                  \
        va_start(args, flags);                                                                                         \
        const mode_t mode = modeOf(flags, args);                                                                       \
        va_end(args);                                                                                                  \
        static const auto real = next<int (*)(const char*, int, ...)>(#name);                                          \
        return traceOpen("open", AT_FDCWD, path, flags, refusedAnonymous(flags) ? -1 : real(path, flags, mode));       \
    }
#define IMPULZ_TRACE_OPENAT(name)                                                                                      \
    int name(int dirFd, const char* path, int flags, ...) {                                                            \
        va_list args;                                                                                                  \
        va_start(args, flags);                                                                                         \
        const mode_t mode = modeOf(flags, args);                                                                       \
        va_end(args);                                                                                                  \
        static const auto real = next<int (*)(int, const char*, int, ...)>(#name);                                     \
        return traceOpen("open", dirFd, path, flags, refusedAnonymous(flags) ? -1 : real(dirFd, path, flags, mode));   \
    }

IMPULZ_TRACE_OPEN(open)
IMPULZ_TRACE_OPEN(open64)
IMPULZ_TRACE_OPENAT(openat)
IMPULZ_TRACE_OPENAT(openat64)

int close(int fd) {
    static const auto real = next<int (*)(int)>("close");
    const int ret = real(fd);
    record("close", fd, outcome(ret), 0, 0);
    return ret;
}

ssize_t write(int fd, const void* data, size_t size) {
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    const ssize_t ret = real(fd, data, size);
    record("write", fd, outcome(ret), long(size), 0);
    return ret;
}

// A write at an offset is written down as a plain write: what matters is which file it changed.
#define IMPULZ_TRACE_PWRITE(name)                                                                                      \
    ssize_t name(int fd, const void* data, size_t size, off_t offset) {                                                \
        static const auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>(#name);                            \
        const ssize_t ret = real(fd, data, size, offset);                                                              \
        record("write", fd, outcome(ret), long(size), 0);                                                              \
        return ret;                                                                                                    \
    }

IMPULZ_TRACE_PWRITE(pwrite)
IMPULZ_TRACE_PWRITE(pwrite64)

int fsync(int fd) {
    static const auto real = next<int (*)(int)>("fsync");
    const int ret = real(fd);
    record("fsync", fd, outcome(ret), 0, deviceOf(fd));
    return ret;
}

int fdatasync(int fd) {
    static const auto real = next<int (*)(int)>("fdatasync");
    const int ret = real(fd);
    record("fdatasync", fd, outcome(ret), 0, deviceOf(fd));
    return ret;
}

int syncfs(int fd) {
    static const auto real = next<int (*)(int)>("syncfs");
    const int ret = real(fd);
    record("syncfs", fd, outcome(ret), 0, deviceOf(fd));
    return ret;
}

int sync_file_range(int fd, off64_t offset, off64_t count, unsigned int flags) {
    static const auto real = next<int (*)(int, off64_t, off64_t, unsigned int)>("sync_file_range");
    const int ret = real(fd, offset, count, flags);
    record("sync_file_range", fd, outcome(ret), long(flags), deviceOf(fd));
    return ret;
}

int rename(const char* from, const char* to) {
    static const auto real = next<int (*)(const char*, const char*)>("rename");
    return traceMove("rename", real(from, to), AT_FDCWD, from, AT_FDCWD, to, 0);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    static const auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
    return traceMove("rename", real(fromDir, from, toDir, to), fromDir, from, toDir, to, 0);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
    static const auto real = next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
    return traceMove("rename", real(fromDir, from, toDir, to, flags), fromDir, from, toDir, to, long(flags));
}

int link(const char* from, const char* to) {
    static const auto real = next<int (*)(const char*, const char*)>("link");
    return traceMove("link", real(from, to), AT_FDCWD, from, AT_FDCWD, to, 0);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    static const auto real = next<int (*)(int, const char*, int, const char*, int)>("linkat");
    return traceMove("link", real(fromDir, from, toDir, to, flags), fromDir, from, toDir, to, flags);
}

int io_uring_queue_init_params(unsigned entries, struct io_uring* ring, struct io_uring_params* p) {
    if (std::getenv("IMPULZ_TRACE_NO_URING")) {
        record("io_uring_setup", -1, -ENOSYS, long(entries), 0);
        return -ENOSYS;
    }
    static const auto real =
        next<int (*)(unsigned, struct io_uring*, struct io_uring_params*)>("io_uring_queue_init_params");
    const int ret = real(entries, ring, p);
    record("io_uring_setup", ret == 0 ? ring->ring_fd : -1, ret, long(entries), 0);
    return ret;
}

int io_uring_queue_init(unsigned entries, struct io_uring* ring, unsigned flags) {
    struct io_uring_params p {};
    p.flags = flags;
    return io_uring_queue_init_params(entries, ring, &p);
}

// The syncs among the entries submitted, in this call or an earlier one that did not wait for them, written down as
// their completions show up.
int io_uring_submit_and_wait(struct io_uring* ring, unsigned waitNr) {
    struct Sync {
        unsigned long long userData;
        int fd;
        bool datasync;
    };
    thread_local std::vector<Sync> inFlight;
    for (unsigned i = ring->sq.sqe_head; i != ring->sq.sqe_tail; ++i) {
        const io_uring_sqe& sqe = ring->sq.sqes[i & ring->sq.ring_mask];
        if (sqe.opcode == IORING_OP_FSYNC)
            inFlight.push_back({sqe.user_data, sqe.fd, (sqe.fsync_flags & IORING_FSYNC_DATASYNC) != 0});
    }
    static const auto real = next<int (*)(struct io_uring*, unsigned)>("io_uring_submit_and_wait");
    const int ret = real(ring, waitNr);
    record("io_uring_enter", ring->ring_fd, ret, long(waitNr), 0);
    unsigned head;
    struct io_uring_cqe* cqe;
    io_uring_for_each_cqe(ring, head, cqe) {
        for (auto it = inFlight.begin(); it != inFlight.end(); ++it) {
            if (it->userData == cqe->user_data) {
                record(it->datasync ? "uring_fdatasync" : "uring_fsync", it->fd, cqe->res, 0, deviceOf(it->fd));
                inFlight.erase(it);
                break;
            }
        }
    }
    return ret;
}

} // extern "C"
