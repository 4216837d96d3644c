// Archive scan speed: a display with the archive index against a bare single-threaded walker that reads every
// file, warm (a repeat display) and cold (the first display after a reboot: the page cache dropped before each
// contender, the index on disk from an earlier display), the threaded full scan without an index against the
// walker and find + head, and the GUI thread's longest stall while the statistics window displays. The trees are
// built once and reused: creating a million files takes minutes, and deleting and recreating a large tree right
// before timing would measure the file system's cleanup instead. Keep them on a disk, not on tmpfs.
//
//   archive_scan [--files N] [--cold-files N] [--rounds R] [--dir PATH]   (PATH also from IMPULZ_ARCHIVE_BENCH_DIR)
//
// Defaults: 1,000,000 files warm, 200,000 cold, 3 rounds, /var/tmp/impulz-bench. --files 20000 --cold-files 20000
// makes a quick run. Dropping the page cache needs root; without it the cold figure is skipped with a note.

#include "bench/heartbeat.h"
#include "components/messagebox.h"
#include "core/archive/archive.h"
#include "impulz.h"
#include "main.h"
#include "nastaveni.h"
#include "pocitadla.h"
#include "statistika.h"

#include <QApplication>
#include <QByteArray>
#include <QDate>
#include <QDateEdit>
#include <QEventLoop>
#include <QLineEdit>
#include <QListWidget>
#include <QString>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int Inputs = 8;
constexpr int Months = 24;
const QDate FirstMonth(2024, 1, 1);

struct Options {
    long files = 1000000;
    long coldFiles = 200000;
    int rounds = 3;
    std::string dir = "/var/tmp/impulz-bench";
};

Options parseOptions(int argc, char** argv) {
    Options o;
    if (const char* env = std::getenv("IMPULZ_ARCHIVE_BENCH_DIR"); env && *env)
        o.dir = env;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--files" && i + 1 < argc) {
            o.files = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--cold-files" && i + 1 < argc) {
            o.coldFiles = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--rounds" && i + 1 < argc) {
            o.rounds = int(std::strtol(argv[++i], nullptr, 10));
        } else if (arg == "--dir" && i + 1 < argc) {
            o.dir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--files N] [--cold-files N] [--rounds R] [--dir PATH]\n", argv[0]);
            std::exit(2);
        }
    }
    if (o.files < 1 || o.coldFiles < 1 || o.rounds < 1) {
        std::fprintf(stderr, "--files, --cold-files and --rounds must be at least 1\n");
        std::exit(2);
    }
    return o;
}

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU seconds of this process and of its finished children: on a shared machine the wall clock also measures the
// neighbours, the CPU time only what each contender itself spent.
double cpuSeconds() {
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    auto sum = [](const rusage& r) {
        return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    return sum(self) + sum(children);
}

struct Timing {
    std::vector<double> wall;
    std::vector<double> cpu;

    template <typename F> void measure(F&& f) {
        const double cpuStart = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        f();
        wall.push_back(seconds(start));
        cpu.push_back(cpuSeconds() - cpuStart);
    }
};

void makeDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

// File i belongs to input i % 8 and lands in one of 24 monthly folders, as the recorder's dated names would.
void buildTree(const std::string& root, long files) {
    const std::string marker = root + "/.complete";
    if (::access(marker.c_str(), F_OK) == 0)
        return;
    std::fprintf(stderr, "building %ld event files under %s (once) ...\n", files, root.c_str());
    makeDir(root);
    for (int b = 0; b < Inputs; ++b) {
        makeDir(root + "/bit" + std::to_string(b));
        for (int m = 0; m < Months; ++m)
            makeDir(root + "/bit" + std::to_string(b) + "/" +
                    FirstMonth.addMonths(m).toString(u"yyyy-MM").toStdString());
    }
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < files; ++i) {
        const long k = i / Inputs;
        const QDate month = FirstMonth.addMonths(int(k % Months));
        const QDate day = month.addDays((k / Months) % month.daysInMonth());
        const long secs = (i * 7919) % 86400;
        char line[32];
        std::snprintf(line, sizeof line, "%02d.%02d.%02d;%02ld:%02ld:%02ld\r\n", day.day(), day.month(),
                      day.year() % 100, secs / 3600, secs / 60 % 60, secs % 60);
        char path[512];
        std::snprintf(path, sizeof path, "%s/bit%ld/%s/ev%07ld.csv", root.c_str(), i % Inputs,
                      month.toString(u"yyyy-MM").toLatin1().constData(), i);
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) // resumes an interrupted build
                continue;
            std::perror(path);
            std::exit(1);
        }
        const auto len = std::strlen(line);
        if (::write(fd, line, len) != ssize_t(len)) {
            std::perror(path);
            std::exit(1);
        }
        ::close(fd);
        if (i % 20000 == 19999)
            std::fprintf(stderr, "  %ld files, %.0f files/s\n", i + 1, double(i + 1) / seconds(start));
    }
    const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        ::close(fd);
}

// ---------------------------------------------------------------------------------------------------------------
// The bare walker: what one thread can do with the same system calls and no bookkeeping at all.

struct WalkResult {
    long files = 0;
    long valid = 0;
};

int digit2(const char* s) {
    return (s[0] - '0') * 10 + (s[1] - '0');
}

void walk(int parentFd, const char* name, WalkResult& r) {
    const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    std::vector<std::string> subdirs;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        if (e->d_type == DT_DIR) {
            subdirs.emplace_back(e->d_name);
            continue;
        }
        const size_t len = std::strlen(e->d_name);
        if (len < 4 || std::memcmp(e->d_name + len - 4, ".csv", 4) != 0)
            continue;
        const int file = ::openat(fd, e->d_name, O_RDONLY | O_CLOEXEC);
        if (file < 0)
            continue;
        char buf[64];
        const ssize_t got = ::read(file, buf, sizeof buf);
        ::close(file);
        ++r.files;
        if (got >= 17 && buf[2] == '.' && buf[5] == '.' && buf[8] == ';' && buf[11] == ':' && buf[14] == ':') {
            const int day = digit2(buf), month = digit2(buf + 3), hour = digit2(buf + 9);
            const int minute = digit2(buf + 12), second = digit2(buf + 15);
            if (day >= 1 && day <= 31 && month >= 1 && month <= 12 && hour < 24 && minute < 60 && second < 60)
                ++r.valid;
        }
    }
    for (const std::string& sub : subdirs)
        walk(fd, sub.c_str(), r);
    ::closedir(dir);
}

WalkResult walkAll(const std::string& root) {
    WalkResult r;
    for (int b = 0; b < Inputs; ++b)
        walk(AT_FDCWD, (root + "/bit" + std::to_string(b)).c_str(), r);
    return r;
}

// ---------------------------------------------------------------------------------------------------------------

// The scan as a display runs it, with or without the archive index (kept under the bench folder).
struct Scanner {
    archive::Tables tables;
    archive::Period period{FirstMonth, FirstMonth.addMonths(Months).addDays(-1), QTime(0, 0), QTime(23, 59, 59)};
    QList<archive::ScanJob> jobs;
    archive::ScanOptions options;
    qint64 filesRead = 0;

    Scanner(const std::string& root, const std::string& indexDirectory) {
        for (int b = 0; b < Inputs; ++b)
            jobs.append({QString::fromStdString(root + "/bit" + std::to_string(b)), b});
        options.indexDirectory = QString::fromStdString(indexDirectory);
    }

    long run() {
        archive::preparePeriodTables(tables, period);
        archive::ScanProgress progress;
        archive::scanInputs(tables, period, jobs, QStringLiteral("*.csv"), 2026, progress, options);
        filesRead = progress.filesRead.load();
        return std::accumulate(tables.hourCounts.begin(), tables.hourCounts.end(), 0L);
    }
};

// The state after a reboot: nothing of the archive or the index in the page cache.
bool dropCaches() {
    ::sync();
    const int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, "3\n", 2) == 2;
    ::close(fd);
    return ok;
}

void runFind(const std::string& root) {
    std::string quoted = "'";
    for (char c : root)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const std::string command = "find " + quoted + " -name '*.csv' -type f -exec head -qn1 {} + > /dev/null";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "find failed\n");
        std::exit(1);
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void check(long got, long files, const char* what) {
    if (got != files) {
        std::fprintf(stderr, "%s saw %ld of %ld files\n", what, got, files);
        std::exit(1);
    }
}

// The longest gaps between ticks of a 5 ms heartbeat on the GUI thread.
struct Stall {
    double scanMs = 0; // from the press until the counts are in: the press handler and the scan in its threads
    double fillMs = 0; // the charts filled and painted
};

// The same heartbeat with nothing else running: what the machine itself does to the GUI thread's ticks.
double idleStall() {
    qint64 longest = 0;
    Heartbeat heartbeat(5, [&](qint64 gap) { longest = std::max(longest, gap); });
    runFor(3000);
    return double(longest) / 1e6;
}

// The heartbeat while the statistics window displays the tree, the worst of three displays: the real window, the
// real worker, the real chart filling. The period decides only how many bars the charts get.
Stall guiStall(const std::string& root, const QDate& from, const QDate& to) {
    QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(settings.filePath(QStringLiteral("config"))));
    MessageBox::setAutoAnswer(true);
    Impulz app(settings.filePath(QStringLiteral("impulz.ini")));
    TfrmStatistika* frmStatistika = app.frmStatistika;
    for (int b = 0; b < Inputs; ++b) {
        app.settings.set(Settings::pathKey(b), QString::fromStdString(root) + QStringLiteral("/bit%1").arg(b));
        frmStatistika->CheckListBox1->item(b)->setCheckState(Qt::Checked);
    }
    frmStatistika->DateTimePicker1->setDate(from);
    frmStatistika->DateTimePicker3->setDate(to);
    frmStatistika->DateTimePicker2->setTime(QTime(0, 0, 0));
    frmStatistika->DateTimePicker4->setTime(QTime(23, 59, 59));
    frmStatistika->show();
    // The window's first layout and paint are not part of a display.
    runFor(300);

    Stall worst;
    for (int round = 0; round < 3; ++round) {
        qint64 longestScan = 0, longestFill = 0;
        bool started = false;
        QEventLoop loop;
        QObject::connect(frmStatistika, &TfrmStatistika::displayFinished, &loop, &QEventLoop::quit);
        Heartbeat heartbeat(5, [&](qint64 gap) {
            // A gap that ends while the display runs belongs to the scan; the charts are filled after it.
            const bool running = frmStatistika->displayRunning();
            started = started || running;
            qint64& longest = running ? longestScan : longestFill;
            if (started)
                longest = std::max(longest, gap);
        });
        QTimer::singleShot(20, frmStatistika, [frmStatistika] { frmStatistika->btnNactiClick(); });
        loop.exec();
        // The chart filling after the worker finishes is part of the display.
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
        heartbeat.stop();
        worst.scanMs = std::max(worst.scanMs, double(longestScan) / 1e6);
        worst.fillMs = std::max(worst.fillMs, double(longestFill) / 1e6);
        std::fprintf(stderr, "display %d: longest GUI gap %.1f ms in the scan, %.1f ms in the chart fill\n", round + 1,
                     double(longestScan) / 1e6, double(longestFill) / 1e6);
    }
    return worst;
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parseOptions(argc, argv);
    makeDir(o.dir);
    // The statistics window keeps its index under $XDG_CACHE_HOME/impulz: the bench's scans use the same one.
    const std::string cacheHome = o.dir + "/xdg-cache";
    const std::string indexDir = cacheHome + "/impulz";
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(cacheHome));
    const std::string root = o.dir + "/n" + std::to_string(o.files);
    const std::string coldRoot = o.dir + "/n" + std::to_string(o.coldFiles);
    buildTree(root, o.files);
    buildTree(coldRoot, o.coldFiles);

    auto report = [](const char* name, const Timing& t, long files) {
        std::string ms;
        for (double w : t.wall) {
            // Two appends rather than " " + to_string(...): GCC 12 at -O3 warns falsely (-Wrestrict) on the latter.
            ms += ' ';
            ms += std::to_string(int(w * 1000 + 0.5));
        }
        std::printf("%-16s %.0f files/s, %.2f us CPU per file (wall ms:%s)\n", name, double(files) / median(t.wall),
                    median(t.cpu) * 1e6 / double(files), ms.c_str());
    };
    std::printf("files: %ld warm, %ld cold, in %d inputs, %u hardware threads, median of %d rounds\n", o.files,
                o.coldFiles, Inputs, std::max(1u, std::thread::hardware_concurrency()), o.rounds);

    // A repeat display, everything warm: the index holds every file, so the display stats and does not read.
    Scanner indexed(root, indexDir);
    check(indexed.run(), o.files, "indexed scan"); // makes the index when there is none yet
    check(indexed.run(), o.files, "indexed scan");
    check(walkAll(root).valid, o.files, "walker");
    Timing repeatTimes, walkTimes;
    for (int round = 0; round < o.rounds; ++round) { // interleaved, so a noisy neighbour hits both alike
        repeatTimes.measure([&] { check(indexed.run(), o.files, "indexed scan"); });
        walkTimes.measure([&] { check(walkAll(root).valid, o.files, "walker"); });
    }
    if (indexed.filesRead != 0)
        std::fprintf(stderr, "note: the repeat display read %lld files\n", static_cast<long long>(indexed.filesRead));
    report("repeat display:", repeatTimes, o.files);
    report("walker:", walkTimes, o.files);

    // The threaded scan without an index, warm, against the walker and find + head on the smaller tree.
    Scanner full(coldRoot, std::string());
    check(full.run(), o.coldFiles, "scan");
    check(walkAll(coldRoot).valid, o.coldFiles, "walker");
    runFind(coldRoot);
    Timing scanTimes, smallWalkTimes, findTimes;
    for (int round = 0; round < o.rounds; ++round) {
        scanTimes.measure([&] { check(full.run(), o.coldFiles, "scan"); });
        smallWalkTimes.measure([&] { check(walkAll(coldRoot).valid, o.coldFiles, "walker"); });
        findTimes.measure([&] { runFind(coldRoot); });
    }
    report("full scan:", scanTimes, o.coldFiles);
    report("walker:", smallWalkTimes, o.coldFiles);
    report("find:", findTimes, o.coldFiles);

    // The first display after a reboot: the index was written by an earlier display, nothing is cached.
    Scanner coldIndexed(coldRoot, indexDir);
    check(coldIndexed.run(), o.coldFiles, "indexed scan");
    Timing coldTimes, coldWalkTimes;
    bool cold = true;
    for (int round = 0; round < o.rounds && cold; ++round) {
        cold = dropCaches();
        if (cold)
            coldTimes.measure([&] { check(coldIndexed.run(), o.coldFiles, "indexed scan"); });
        cold = cold && dropCaches();
        if (cold)
            coldWalkTimes.measure([&] { check(walkAll(coldRoot).valid, o.coldFiles, "walker"); });
    }
    if (cold) {
        report("cold display:", coldTimes, o.coldFiles);
        report("cold walker:", coldWalkTimes, o.coldFiles);
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double idleMs = idleStall();
    // A month of daily bars, as an operator looks at them, and the whole two years (5,848 bars) for comparison.
    const Stall stall = guiStall(root, FirstMonth.addMonths(Months - 1), FirstMonth.addMonths(Months).addDays(-1));
    const Stall stallAll = guiStall(root, FirstMonth, FirstMonth.addMonths(Months).addDays(-1));

    // Targets: a repeat display at least 5 times the walker, the first display after a reboot at least 1.5 times
    // the cold walker, the full scan at least 1.5 times the walker, no GUI stall over 16 ms (one frame).
    const auto rate = [](long files, const Timing& t) { return double(files) / median(t.wall); };
    const double repeatRate = rate(o.files, repeatTimes), walkRate = rate(o.files, walkTimes);
    std::printf("repeat display vs walker: %.0f files/s (floor: %.0f files/s, ratio %.2f)\n", repeatRate, walkRate,
                repeatRate / walkRate);
    if (cold) {
        const double coldRate = rate(o.coldFiles, coldTimes), coldWalkRate = rate(o.coldFiles, coldWalkTimes);
        std::printf("first display after reboot vs cold walker: %.0f files/s (floor: %.0f files/s, ratio %.2f)\n",
                    coldRate, coldWalkRate, coldRate / coldWalkRate);
    } else {
        std::printf("note: first display after reboot skipped: the page cache cannot be dropped (needs root)\n");
    }
    const double scanRate = rate(o.coldFiles, scanTimes);
    const double smallWalkRate = rate(o.coldFiles, smallWalkTimes), findRate = rate(o.coldFiles, findTimes);
    std::printf("scan vs walker: %.0f files/s (floor: %.0f files/s, ratio %.2f)\n", scanRate, smallWalkRate,
                scanRate / smallWalkRate);
    std::printf("scan vs find: %.0f files/s (floor: %.0f files/s, ratio %.2f)\n", scanRate, findRate,
                scanRate / findRate);
    const auto stallLine = [](const char* name, double ms) {
        std::printf("%s: %.1f ms (floor: 16 ms, ratio %.2f)\n", name, ms, ms / 16.0);
    };
    stallLine("gui stall scan", std::max(stall.scanMs, stallAll.scanMs));
    stallLine("gui stall chart fill", stall.fillMs);
    stallLine("gui stall chart fill two years of bars", stallAll.fillMs);
    stallLine("gui stall idle", idleMs); // the machine's own share of the figures above
    return 0;
}
