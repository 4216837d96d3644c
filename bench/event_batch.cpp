// Durable event files written one at a time against a received chunk's worth (36) written as one group.
//
//   single     writeEventFile once per event: each file pays its own data sync and its own folder sync. This is
//              the floor the group write must beat.
//   burst      writeEventFiles with 36 requests: a data sync per file, all 36 in flight together through io_uring,
//              the files linked under their names, one folder sync.
//   8 folders  burst with the group spread over eight folders, one per input, as the recorder writes them.
//   per-file   the same syncs one after another, as a bare loop with the same guarantees: the 36 temporary files,
//              their write-back started together, their data syncs back to back, the renames, one folder sync.
//   busy       burst and per-file again, each with 32 MB that "another program" wrote just before (unsynced,
//              outside the timing): a sync of the whole file system (syncfs) would have to write that too; syncs of
//              our own files need not.
//   cached     the group without any sync: what the page cache alone costs, the ceiling.
//   syncfs     the group as the writer made it before it synced only its own files: the 36 files without a name,
//              one syncfs() for all of them (which writes back every program's data on the file system), the links,
//              one folder sync. What one shared sync reaches on this disk, the mark the 6x target was set from.
//   bare       a bare loop doing per file what a durable event write has to do (temporary file, write, data sync,
//              rename that never replaces, folder sync): the floor for single, which shows what our code adds.
//   bare, nameless  the same with the file made without a name (O_TMPFILE) and linked under its own, as the
//              writer makes it where the file system lets it.
//
// The kinds take turns in short runs over several rounds (rotating who goes first), each run into a fresh folder,
// and each kind's rate is its total over its total time, so the disk's swings (other work shares it) hit all
// kinds alike. The folders sit on the disk the build is on: a tmpfs would make every sync free.
//
//   event_batch [--rounds R] [--bursts B] [--dir PATH]     (PATH also from IMPULZ_EVENT_BENCH_DIR)

#include "core/recording/eventfile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <stdio.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

constexpr int kBurst = 36; // reports in one 255-byte chunk

struct Options {
    int rounds = 8;
    int bursts = 4; // bursts of 36 events per run
    QString dir = QStringLiteral(IMPULZ_BIN_DIR);
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "event_batch: %s\n", what.c_str());
    std::exit(1);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    if (const char* env = std::getenv("IMPULZ_EVENT_BENCH_DIR"); env && *env)
        o.dir = QString::fromLocal8Bit(env);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc)
            o.rounds = std::atoi(argv[++i]);
        else if (arg == "--bursts" && i + 1 < argc)
            o.bursts = std::atoi(argv[++i]);
        else if (arg == "--dir" && i + 1 < argc)
            o.dir = QString::fromLocal8Bit(argv[++i]);
        else
            fail(std::string("usage: ") + argv[0] + " [--rounds R] [--bursts B] [--dir PATH]");
    }
    if (o.rounds < 1 || o.bursts < 1)
        fail("--rounds and --bursts must be at least 1");
    return o;
}

QList<EventWriteRequest> burstOf(const QString& dir, long& serial, bool perInput = false) {
    QList<EventWriteRequest> batch;
    for (int i = 0; i < kBurst; ++i, ++serial) {
        const QString folder = perInput ? dir + QStringLiteral("/in%1").arg(i % 8) : dir;
        batch.append({folder, QStringLiteral("L01_B%1_%2").arg(i % 8).arg(serial, 7, 10, QLatin1Char('0'))});
    }
    return batch;
}

void check(const QList<EventWriteResult>& results) {
    for (const EventWriteResult& r : results) {
        if (!r.ok)
            fail(("write failed: " + r.path + " (" + r.error + ")").toStdString());
    }
}

// A bare loop's folder sync; what names the step in the failure.
void syncFolder(const QByteArray& folder, const char* what) {
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || ::fsync(dirFd) != 0)
        fail(std::string(what) + " folder sync failed");
    ::close(dirFd);
}

// Gives a file made without a name (O_TMPFILE) its name, and closes it.
void linkNameless(int fd, const QByteArray& target, const char* what) {
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) != 0)
        fail(std::string(what) + " link failed");
    ::close(fd);
}

// The group made durable by a data sync per file, issued back to back, with the same order: nothing gets its final
// name before its data is on disk.
void perFileBurst(const QString& dir, long& serial) {
    const QByteArray folder = QFile::encodeName(dir);
    std::vector<QByteArray> temporaries;
    std::vector<int> fds;
    for (int i = 0; i < kBurst; ++i) {
        temporaries.push_back(folder + "/.event.perfile." + QByteArray::number(i) + ".tmp");
        fds.push_back(::open(temporaries.back().constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fds.back() < 0 || ::write(fds.back(), "06.12.26;13:45:07\r\n", 19) != 19)
            fail("per-file write failed");
    }
    for (const int fd : fds)
        ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    for (const int fd : fds) {
        if (::fdatasync(fd) != 0 || ::close(fd) != 0)
            fail("per-file sync failed");
    }
    for (const QByteArray& tmp : temporaries) {
        const QByteArray target = folder + "/perfile_" + QByteArray::number(serial++) + ".csv";
        if (::renameat2(AT_FDCWD, tmp.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) != 0)
            fail("per-file rename failed");
    }
    syncFolder(folder, "per-file");
}

// The group with one sync of the whole file system in place of a data sync per file.
void sharedSyncBurst(const QString& dir, long& serial) {
    const QByteArray folder = QFile::encodeName(dir);
    std::vector<int> fds;
    for (int i = 0; i < kBurst; ++i) {
        fds.push_back(::open(folder.constData(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666));
        if (fds.back() < 0 || ::write(fds.back(), "06.12.26;13:45:07\r\n", 19) != 19)
            fail("shared-sync write failed");
    }
    if (::syncfs(fds.front()) != 0)
        fail("syncfs failed");
    for (const int fd : fds)
        linkNameless(fd, folder + "/shared_" + QByteArray::number(serial++) + ".csv", "shared-sync");
    syncFolder(folder, "shared-sync");
}

// Another program's writes, left in the cache for whoever syncs next.
void dirtyTheCache(const QString& dir) {
    const QByteArray block(1 << 20, 'x');
    const int fd = ::open(QFile::encodeName(dir + QStringLiteral("/other")).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (int i = 0; i < 32; ++i) {
        if (fd < 0 || ::write(fd, block.constData(), size_t(block.size())) != block.size())
            fail("cannot write the other program's data");
    }
    ::close(fd);
}

struct Kind {
    const char* name;
    std::function<void(const QString& dir, long& serial)> writeBurst;
    bool busy = false;
    double seconds = 0;
    long events = 0;
    double rate() const { return events / seconds; }
};

} // namespace

int main(int argc, char** argv) {
    const Options o = parseOptions(argc, argv);
    if (!QDir().mkpath(o.dir))
        fail("cannot create " + o.dir.toStdString());
    QTemporaryDir root(o.dir + QStringLiteral("/event-batch-XXXXXX"));
    if (!root.isValid())
        fail("cannot create a folder in " + o.dir.toStdString());
    struct statfs fs {};
    if (::statfs(QFile::encodeName(root.path()).constData(), &fs) == 0 && fs.f_type == TMPFS_MAGIC)
        std::printf("warning: %s is a tmpfs, syncs cost nothing there\n", qPrintable(root.path()));

    std::vector<Kind> kinds{
        {"single",
         [](const QString& dir, long& serial) {
             for (const EventWriteRequest& r : burstOf(dir, serial))
                 check({writeEventFile(r.directory, r.name)});
         }},
        {"burst", [](const QString& dir, long& serial) { check(writeEventFiles(burstOf(dir, serial))); }},
        {"per-file", perFileBurst},
        {"8 folders", [](const QString& dir, long& serial) { check(writeEventFiles(burstOf(dir, serial, true))); }},
        {"cached", [](const QString& dir, long& serial) { check(writeEventFiles(burstOf(dir, serial), false)); }},
        {"syncfs", sharedSyncBurst},
        {"burst, busy", [](const QString& dir, long& serial) { check(writeEventFiles(burstOf(dir, serial))); }, true},
        {"per-file, busy", perFileBurst, true},
        {"bare",
         [](const QString& dir, long& serial) {
             const QByteArray folder = QFile::encodeName(dir);
             for (int i = 0; i < kBurst; ++i, ++serial) {
                 const QByteArray tmp = folder + "/.event.bare.tmp";
                 const QByteArray target = folder + "/bare_" + QByteArray::number(serial) + ".csv";
                 const int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
                 if (fd < 0 || ::write(fd, "06.12.26;13:45:07\r\n", 19) != 19 || ::fdatasync(fd) != 0 ||
                     ::close(fd) != 0)
                     fail("bare write failed");
                 if (::renameat2(AT_FDCWD, tmp.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) != 0)
                     fail("bare rename failed");
                 syncFolder(folder, "bare");
             }
         }},
        {"bare, nameless",
         [](const QString& dir, long& serial) {
             const QByteArray folder = QFile::encodeName(dir);
             for (int i = 0; i < kBurst; ++i, ++serial) {
                 const QByteArray target = folder + "/nameless_" + QByteArray::number(serial) + ".csv";
                 const int fd = ::open(folder.constData(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
                 if (fd < 0 || ::write(fd, "06.12.26;13:45:07\r\n", 19) != 19 || ::fdatasync(fd) != 0)
                     fail("nameless bare write failed");
                 linkNameless(fd, target, "nameless bare");
                 syncFolder(folder, "nameless bare");
             }
         }},
    };

    long serial = 0;
    int run = 0;
    for (int round = 0; round < o.rounds; ++round) {
        for (size_t k = 0; k < kinds.size(); ++k) {
            Kind& kind = kinds[(k + size_t(round)) % kinds.size()];
            const QString dir = root.filePath(QStringLiteral("run%1").arg(run++));
            for (int input = 0; input < 8; ++input) {
                if (!QDir().mkpath(dir + QStringLiteral("/in%1").arg(input)))
                    fail("cannot create " + dir.toStdString());
            }
            ::sync(); // what an earlier run left in the cache is not this run's to write
            if (kind.busy)
                dirtyTheCache(dir);
            const auto start = std::chrono::steady_clock::now();
            for (int b = 0; b < o.bursts; ++b)
                kind.writeBurst(dir, serial);
            kind.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            kind.events += long(o.bursts) * kBurst;
        }
    }

    const auto kind = [&](const char* name) -> const Kind& {
        for (const Kind& k : kinds) {
            if (std::strcmp(k.name, name) == 0)
                return k;
        }
        fail(std::string("no kind ") + name);
    };
    const Kind& single = kind("single");
    const Kind& bare = kind("bare");
    const Kind& burst = kind("burst");
    const Kind& perFile = kind("per-file");
    const Kind& folders = kind("8 folders");
    const Kind& burstBusy = kind("burst, busy");
    const Kind& perFileBusy = kind("per-file, busy");
    std::printf("%d rounds of %d bursts of %d durable event files per kind, in %s\n", o.rounds, o.bursts, kBurst,
                qPrintable(root.path()));
    for (const Kind& k : kinds)
        std::printf("%-15s %7.0f us per event\n", k.name, 1e6 / k.rate());
    std::printf("target burst >= 6x single: %s\n", burst.rate() >= 6 * single.rate() ? "met" : "MISSED");
    std::printf("target burst >= 1.5x per-file syncs, other writes pending: %s\n",
                burstBusy.rate() >= 1.5 * perFileBusy.rate() ? "met" : "MISSED");
    std::printf("burst throughput: %.0f events/s (floor: %.0f files/s, ratio %.2f)\n", burst.rate(), single.rate(),
                burst.rate() / single.rate());
    std::printf("burst into 8 folders: %.0f events/s (floor: %.0f files/s, ratio %.2f)\n", folders.rate(),
                single.rate(), folders.rate() / single.rate());
    std::printf("single throughput: %.0f files/s (floor: %.0f files/s, ratio %.2f)\n", single.rate(), bare.rate(),
                single.rate() / bare.rate());
    // The floor above makes each file under a temporary name, as a plain program would; the writer makes it without
    // a name, which spares the folder two changes per file. This line shows single against a floor doing the same.
    std::printf("single throughput, nameless floor: %.0f files/s (floor: %.0f files/s, ratio %.2f)\n", single.rate(),
                kind("bare, nameless").rate(), single.rate() / kind("bare, nameless").rate());
    std::printf("burst vs per-file syncs: %.0f events/s (floor: %.0f events/s, ratio %.2f)\n", burst.rate(),
                perFile.rate(), burst.rate() / perFile.rate());
    // How much of a group's time its syncs take at all: on a loaded machine creating the files can cost more.
    std::printf("burst vs no syncs: %.0f events/s (floor: %.0f events/s, ratio %.2f)\n", burst.rate(),
                kind("cached").rate(), burst.rate() / kind("cached").rate());
    std::printf("burst vs per-file syncs, other writes pending: %.0f events/s (floor: %.0f events/s, ratio %.2f)\n",
                burstBusy.rate(), perFileBusy.rate(), burstBusy.rate() / perFileBusy.rate());
    // What one shared sync of the whole file system gives over single on this disk, where nothing else writes.
    std::printf("one shared syncfs vs single: %.0f events/s (floor: %.0f files/s, ratio %.2f)\n", kind("syncfs").rate(),
                single.rate(), kind("syncfs").rate() / single.rate());
    return 0;
}
