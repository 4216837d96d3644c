#include "core/archive/archive.h"

#include "core/archive/archiveindex.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

namespace archive {
namespace {

// ---------------------------------------------------------------------------------------------------------------
// Event lines. Parsed by hand on bytes: a date-time parser that consults time zones costs more than the file read.

enum class LineFault { None, EmptyLine, BadDate, NoSemicolon, BadTime };

struct RawStamp {
    qint64 julianDay = 0;
    int msecs = 0;
};

int twoDigits(const char* s) {
    const unsigned hi = static_cast<unsigned char>(s[0]) - unsigned('0');
    const unsigned lo = static_cast<unsigned char>(s[1]) - unsigned('0');
    return hi < 10 && lo < 10 ? int(hi * 10 + lo) : -1;
}

bool isLeapYear(int y) {
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

int daysInMonth(int y, int m) {
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeapYear(y) ? 29 : days[m - 1];
}

// Fliegel & Van Flandern; gives the same day numbers as QDate::toJulianDay() for Gregorian dates.
qint64 julianDay(int y, int m, int d) {
    const int a = (14 - m) / 12;
    const qint64 yy = qint64(y) + 4800 - a;
    const int mm = m + 12 * a - 3;
    return d + (153 * mm + 2) / 5 + 365 * yy + yy / 4 - yy / 100 + yy / 400 - 32045;
}

int floorDiv(int a, int b) {
    const int q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Two-digit years fall into the 100 years from currentYear - 50.
int windowYear(int yy, int currentYear) {
    int year = yy + 100 * floorDiv(currentYear - 50, 100);
    if (year < currentYear - 50)
        year += 100;
    return year;
}

// The text up to the first LF, without a trailing CR.
std::string_view firstLineOf(const char* s, size_t n) {
    const auto* lf = static_cast<const char*>(std::memchr(s, '\n', n));
    size_t len = lf ? size_t(lf - s) : n;
    if (len > 0 && s[len - 1] == '\r')
        --len;
    return {s, len};
}

bool hasDateShape(const char* s) {
    return s[2] == '.' && s[5] == '.' && twoDigits(s) >= 0 && twoDigits(s + 3) >= 0 && twoDigits(s + 6) >= 0;
}

// The date is the first 8 characters; the time the first 8 after the first ';'. Text between the date and the
// ';' and after the time is ignored, as it always was.
LineFault parseLine(std::string_view line, int currentYear, RawStamp& out) {
    if (line.empty())
        return LineFault::EmptyLine;
    if (line.size() < 8 || !hasDateShape(line.data()))
        return LineFault::BadDate;
    const int day = twoDigits(line.data());
    const int month = twoDigits(line.data() + 3);
    const int year = windowYear(twoDigits(line.data() + 6), currentYear);
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
        return LineFault::BadDate;

    const size_t semicolon = line.find(';');
    if (semicolon == std::string_view::npos)
        return LineFault::NoSemicolon;
    const std::string_view rest = line.substr(semicolon + 1);
    if (rest.size() < 8 || rest[2] != ':' || rest[5] != ':')
        return LineFault::BadTime;
    const int hour = twoDigits(rest.data());
    const int minute = twoDigits(rest.data() + 3);
    const int second = twoDigits(rest.data() + 6);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return LineFault::BadTime;

    out.julianDay = julianDay(year, month, day);
    out.msecs = ((hour * 60 + minute) * 60 + second) * 1000;
    return LineFault::None;
}

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

// Bytes as a box can show them: UTF-8 as it is, every byte that is not part of a character and every control
// character as \xNN. A UTF-16 or NUL-filled file then reads "\xff\xfe0\x00", never as replacement characters.
QString printableBytes(std::string_view bytes) {
    QString out;
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const size_t length = lead < 0x80                    ? 1
                              : lead >= 0xC2 && lead <= 0xDF ? 2
                              : lead >= 0xE0 && lead <= 0xEF ? 3
                              : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                             : 0;
        if (length == 1 && lead >= 0x20 && lead != 0x7F) {
            out += QLatin1Char(char(lead));
            ++i;
            continue;
        }
        if (length > 1 && i + length <= bytes.size()) {
            // Overlong forms and surrogates decode to the replacement character: those bytes are escaped, too.
            const QString character = QString::fromUtf8(bytes.data() + i, qsizetype(length));
            if (!character.contains(QChar::ReplacementCharacter) && !character.contains(QChar(0x85))) {
                out += character;
                i += length;
                continue;
            }
        }
        out += QStringLiteral("\\x%1").arg(uint(lead), 2, 16, QLatin1Char('0'));
        ++i;
    }
    return out;
}

// The 8 characters that were read as a date or a time. A byte-order mark before them is invisible in a box, so
// it is left out of the quote and named after it instead.
QString quoted(std::string_view text) {
    const bool bom = text.substr(0, Utf8Bom.size()) == Utf8Bom;
    const std::string_view shown = text.substr(bom ? Utf8Bom.size() : 0, 8);
    const QString quote = QStringLiteral("„%1“").arg(printableBytes(shown));
    return bom ? quote + QStringLiteral(" (soubor začíná značkou BOM)") : quote;
}

QString faultReason(LineFault fault, std::string_view line) {
    switch (fault) {
    case LineFault::None:
        break;
    case LineFault::EmptyLine:
        return QStringLiteral("prázdný první řádek");
    case LineFault::BadDate:
        return QStringLiteral("neplatné datum %1").arg(quoted(line));
    case LineFault::NoSemicolon:
        return QStringLiteral("chybí ';'");
    case LineFault::BadTime:
        return QStringLiteral("neplatný čas %1").arg(quoted(line.substr(line.find(';') + 1)));
    }
    return {};
}

QString systemReason(const char* what, int err) {
    char text[256];
    const char* message = strerror_r(err, text, sizeof text); // GNU flavour: may return a static string
    return QStringLiteral("%1 (%2)").arg(QString::fromUtf8(what), QString::fromLocal8Bit(message));
}

// Enough of the first line to decide it: up to the LF, or until the ';' and the 8 characters after it are in, or
// as soon as the first 8 characters cannot be a date. A first line longer than this cap is cut there; no event
// file comes anywhere near it, and it keeps a stray huge file from being read whole.
constexpr size_t MaxLineBytes = 64 * 1024;

bool lineDecided(const char* s, size_t n) {
    if (n >= 8 && !hasDateShape(s))
        return true;
    const auto* semicolon = static_cast<const char*>(std::memchr(s, ';', n));
    return semicolon && size_t(s + n - semicolon) > 8;
}

// Returns 0 or the errno of a failed read. buf is reused from file to file, so it grows once and then stays.
int readFirstLine(int fd, std::string& buf, size_t& len) {
    len = 0;
    if (buf.size() < 128)
        buf.resize(128);
    for (;;) {
        if (len == buf.size()) {
            if (len >= MaxLineBytes)
                return 0;
            buf.resize(buf.size() * 2);
        }
        // pread, not read: in a threaded process read() locks the file position, pread() has none to lock.
        const ssize_t got = ::pread(fd, buf.data() + len, buf.size() - len, off_t(len));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            return 0;
        const size_t before = len;
        len += size_t(got);
        if (std::memchr(buf.data() + before, '\n', size_t(got)) || lineDecided(buf.data(), len))
            return 0;
    }
}

bool parseFileStart(const char* s, size_t n, int currentYear, RawStamp& out, QString& reason) {
    if (n == 0) {
        reason = QStringLiteral("prázdný soubor");
        return false;
    }
    const std::string_view line = firstLineOf(s, n);
    const LineFault fault = parseLine(line, currentYear, out);
    if (fault == LineFault::None)
        return true;
    reason = faultReason(fault, line);
    return false;
}

constexpr int FileOpenFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK; // a stray FIFO must not block the scan

// ---------------------------------------------------------------------------------------------------------------
// Directories, on POSIX calls: the entry type comes with readdir, and files are opened relative to their
// directory's descriptor, so neither a stat nor a path lookup is paid per file.

enum class EntryKind : quint8 { Regular, Special };

struct FileEntry {
    quint32 nameOffset;
    EntryKind kind;
};

struct Listing {
    bool plain = true; // no links, no special files, no entries of unknown type
    std::vector<QByteArray> subdirectories;
    std::string names; // matching file names, each followed by its NUL
    std::vector<FileEntry> files;

    const char* name(const FileEntry& f) const { return names.data() + f.nameOffset; }
};

class Mask {
public:
    explicit Mask(const QString& mask)
        : m_pattern(QFile::encodeName(mask)), m_csv(m_pattern == archive::EventFileMask) {}

    bool matches(const char* name, size_t len) const {
        if (m_csv) // ".csv" in any case, as on the system the archives come from
            return len >= 4 && strncasecmp(name + len - 4, ".csv", 4) == 0;
        return fnmatch(m_pattern.constData(), name, 0) == 0;
    }

private:
    QByteArray m_pattern;
    bool m_csv;
};

class DirHandle {
public:
    DirHandle() = default;
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    ~DirHandle() {
        if (m_dir)
            closedir(m_dir);
    }

    // Symlinked folders are followed (a year folder moved to another disk and linked back is part of the
    // archive); the visited set of the scan keeps loops and trees linked in twice out.
    int open(const char* path) {
        const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return errno;
        m_dir = fdopendir(fd);
        if (!m_dir) {
            const int err = errno;
            ::close(fd);
            return err;
        }
        return 0;
    }
    DIR* dir() const { return m_dir; }
    int fd() const { return dirfd(m_dir); }

private:
    DIR* m_dir = nullptr;
};

unsigned char typeAt(int dirFd, const char* name, bool followLink) {
    struct stat st;
    if (fstatat(dirFd, name, &st, followLink ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return DT_UNKNOWN;
    if (S_ISDIR(st.st_mode))
        return DT_DIR;
    if (S_ISREG(st.st_mode))
        return DT_REG;
    if (S_ISLNK(st.st_mode))
        return DT_LNK;
    return DT_FIFO; // any other special file
}

// Returns 0 or the errno of a failed readdir.
int listDirectory(const DirHandle& handle, const Mask& mask, Listing& out) {
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(handle.dir());
        if (!entry)
            return errno;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        const size_t len = std::strlen(name);
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) // some file systems leave the type out
            type = typeAt(handle.fd(), name, false);
        if (type == DT_LNK) { // a link to a folder is a folder, a link to a file counts like the file
            out.plain = false;
            type = typeAt(handle.fd(), name, true);
        }
        if (type == DT_DIR) {
            if (name[0] != '.') // hidden directories are not visited; hidden files are counted
                out.subdirectories.emplace_back(name, qsizetype(len));
            continue;
        }
        if (!mask.matches(name, len))
            continue;
        // DT_UNKNOWN here is a dangling link or an entry that vanished: opening it reports which.
        const EntryKind kind = type == DT_REG || type == DT_UNKNOWN ? EntryKind::Regular : EntryKind::Special;
        out.plain = out.plain && type == DT_REG;
        out.files.push_back({quint32(out.names.size()), kind});
        out.names.append(name, len + 1);
    }
}

QByteArray joinPath(const QByteArray& dir, const char* name) {
    QByteArray path = dir;
    if (!path.endsWith('/'))
        path += '/';
    path += name;
    return path;
}

// With `opened` given, it receives the file's fstat taken before the read.
bool readStampAt(int dirFd, const char* name, EntryKind kind, int currentYear, std::string& buf, RawStamp& out,
                 QString& reason, struct stat* opened = nullptr) {
    if (kind != EntryKind::Regular) {
        reason = QStringLiteral("není obyčejný soubor");
        return false;
    }
    const int fd = openat(dirFd, name, FileOpenFlags);
    if (fd < 0) {
        reason = systemReason("nelze otevřít soubor", errno);
        return false;
    }
    if (opened && fstat(fd, opened) != 0)
        *opened = {};
    size_t len = 0;
    const int err = readFirstLine(fd, buf, len);
    ::close(fd);
    if (err != 0) {
        reason = systemReason("nelze číst soubor", err);
        return false;
    }
    return parseFileStart(buf.data(), len, currentYear, out, reason);
}

QString systemText(int err) {
    char text[256];
    return QString::fromLocal8Bit(strerror_r(err, text, sizeof text));
}

// Folders that could not be opened or listed. They leave out what they hold and the display goes on; the window
// names them afterwards. Shared by the threads of one scan.
class UnreadableFolders {
public:
    void add(const QByteArray& path, int err) {
        std::lock_guard lock(m_mutex);
        m_list.append({QFile::decodeName(path), systemText(err)});
    }
    // Sorted by path, each folder once (two inputs may share a subfolder).
    QList<UnreadableFolder> take() {
        std::lock_guard lock(m_mutex);
        std::sort(m_list.begin(), m_list.end(),
                  [](const UnreadableFolder& a, const UnreadableFolder& b) { return a.path < b.path; });
        m_list.erase(std::unique(m_list.begin(), m_list.end(),
                                 [](const UnreadableFolder& a, const UnreadableFolder& b) { return a.path == b.path; }),
                     m_list.end());
        return std::exchange(m_list, {});
    }

private:
    std::mutex m_mutex;
    QList<UnreadableFolder> m_list;
};

// The folders of one input's tree met so far, by device and inode: with symlinked folders followed, a link back to
// an ancestor or a subtree linked in twice is listed only once.
class VisitedFolders {
public:
    bool firstVisit(int dirFd, struct stat& st) {
        if (fstat(dirFd, &st) != 0) {
            st = {};
            return true;
        }
        std::lock_guard lock(m_mutex);
        return m_seen.insert({quint64(st.st_dev), quint64(st.st_ino)}).second;
    }

private:
    std::mutex m_mutex;
    std::set<std::pair<quint64, quint64>> m_seen;
};

// ---------------------------------------------------------------------------------------------------------------
// Counting

using DayRow = std::array<qint32, InputCount>;
using HourTable = std::array<qint32, HourSlots>;

struct Window {
    qint64 fromDay;
    qint64 toDay;
    int fromMsecs;
    int toMsecs;
};

Window windowOf(const Period& p) {
    return {p.fromDate.toJulianDay(), p.toDate.toJulianDay(), p.fromTime.msecsSinceStartOfDay(),
            p.toTime.msecsSinceStartOfDay()};
}

struct Counter {
    DayRow* days; // row 0 is the From date
    HourTable* hours;

    void add(const Window& w, const RawStamp& s, unsigned bits) const {
        // Days and the time of day are tested separately: the period is a set of days crossed with a day window.
        if (s.julianDay < w.fromDay || s.julianDay > w.toDay || s.msecs < w.fromMsecs || s.msecs > w.toMsecs)
            return;
        DayRow& row = days[s.julianDay - w.fromDay];
        qint32& hour = (*hours)[s.msecs / 3600000];
        for (int b = 0; b < InputCount; ++b) {
            if (bits & (1u << b)) {
                ++row[size_t(b)];
                ++hour;
            }
        }
    }
};

// A period that does not fit would index past the tables; the window refuses it before any scan.
void requireFittingPeriod(const Period& p) {
    if (checkPeriod(p) != PeriodProblem::None)
        throw std::invalid_argument("archive: the period does not fit the statistics tables");
}

void requireInput(int bit) {
    if (bit < 0 || bit >= InputCount)
        throw std::invalid_argument("archive: input number out of range");
}

// The sequential walk: subdirectories before a directory's own files, counting straight into the tables.
struct TreeWalk {
    const Mask& mask;
    const Window& window;
    unsigned bits;
    Counter counter;
    int currentYear;
    UnreadableFolders& unreadable;
    VisitedFolders visited;
    std::string buf;

    void walk(const QByteArray& path) {
        DirHandle handle;
        if (const int err = handle.open(path.constData())) {
            unreadable.add(path, err);
            return;
        }
        struct stat st;
        if (!visited.firstVisit(handle.fd(), st))
            return;
        Listing listing;
        if (const int err = listDirectory(handle, mask, listing)) {
            unreadable.add(path, err);
            return;
        }
        for (const QByteArray& sub : listing.subdirectories)
            walk(joinPath(path, sub.constData()));
        for (const FileEntry& file : listing.files) {
            RawStamp stamp;
            QString reason;
            if (!readStampAt(handle.fd(), listing.name(file), file.kind, currentYear, buf, stamp, reason))
                throw ArchiveError(printableBytes(joinPath(path, listing.name(file)).toStdString()), reason);
            counter.add(window, stamp, bits);
        }
    }
};

// ---------------------------------------------------------------------------------------------------------------
// Parallel scan: a shared stack of tasks, each either "list this directory" or "read these files of a listed
// directory", so a flat directory of many files is shared between threads as well as a tree of many directories.

constexpr quint32 FilesPerTask = 128;

qint64 nanoseconds(const timespec& t) {
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

FileIdentity identityOf(const struct stat& st) {
    // The device number as statx() gives it, so identities from both compare.
    return {quint64(makedev(major(st.st_dev), minor(st.st_dev))), quint64(st.st_ino), qint64(st.st_size),
            nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
}

// The identity of a file by name, following a link; false when it has none to offer.
bool fileIdentityAt(int dirFd, const char* name, FileIdentity& id, bool& regular) {
    constexpr unsigned wanted = STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME;
    struct statx sx;
    if (statx(dirFd, name, 0, wanted, &sx) != 0 || (sx.stx_mask & wanted) != wanted)
        return false;
    regular = S_ISREG(sx.stx_mode);
    const auto ns = [](const statx_timestamp& t) { return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec; };
    id = {quint64(makedev(sx.stx_dev_major, sx.stx_dev_minor)), quint64(sx.stx_ino), qint64(sx.stx_size),
          ns(sx.stx_mtime), ns(sx.stx_ctime)};
    return true;
}

struct Group { // the jobs that share one directory text
    QString folder;
    QByteArray path;
    unsigned bits = 0;
    VisitedFolders visited;
    // The index, when the scan keeps one.
    bool indexed = false;
    QString indexFile;
    ArchiveIndex index;
    std::vector<std::shared_ptr<FolderSnapshot>> records; // under SharedState::mutex
    std::atomic<qint64> hits{0};
    std::atomic<qint64> misses{0};
    std::atomic<bool> listingChanged{false};
};

struct ListedDirectory {
    QByteArray path;
    DirHandle handle;
    Listing listing;
    const ArchiveIndex::Directory* known = nullptr; // this folder in the index, if it was there
    std::shared_ptr<FolderSnapshot> record;         // null when the scan keeps no index
};

struct Task {
    std::shared_ptr<ListedDirectory> listed; // null: list `path`
    QByteArray path;
    std::string relativePath;
    int group = 0;
    quint32 begin = 0;
    quint32 end = 0;
};

struct SharedState {
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<Task> stack;
    int busy = 0;
    std::atomic<bool> stop{false};
    bool cancelled = false;
    std::optional<ArchiveError> error;
    int errorGroup = INT_MAX;
    std::exception_ptr failure;
    UnreadableFolders unreadable;
};

class Worker {
public:
    Worker(SharedState& shared, std::vector<std::unique_ptr<Group>>& groups, const Mask& mask, const Window& w,
           int currentYear, qint64 settledBeforeNs, ScanProgress& progress, const Counter& counter)
        : m_shared(shared), m_groups(groups), m_mask(mask), m_window(w), m_year(currentYear),
          m_settledBefore(settledBeforeNs), m_progress(progress), m_counter(counter) {}

    void run() {
        std::vector<Task> produced;
        for (;;) {
            Task task;
            {
                std::unique_lock lock(m_shared.mutex);
                m_shared.wake.wait(
                    lock, [this] { return m_shared.stop.load() || !m_shared.stack.empty() || m_shared.busy == 0; });
                if (m_shared.stop.load() || m_shared.stack.empty())
                    break;
                task = std::move(m_shared.stack.back());
                m_shared.stack.pop_back();
                ++m_shared.busy;
            }
            produced.clear();
            try {
                if (task.listed)
                    readFiles(task);
                else
                    list(task, produced);
            } catch (const ArchiveError& e) {
                fail(task.group, e);
            } catch (...) {
                std::lock_guard lock(m_shared.mutex);
                if (!m_shared.failure)
                    m_shared.failure = std::current_exception();
                m_shared.stop = true;
            }
            {
                std::lock_guard lock(m_shared.mutex);
                --m_shared.busy;
                for (Task& t : produced)
                    m_shared.stack.push_back(std::move(t));
            }
            m_shared.wake.notify_all();
        }
        m_shared.wake.notify_all();
    }

private:
    bool shouldStop() {
        if (m_progress.cancel.load(std::memory_order_relaxed)) {
            std::lock_guard lock(m_shared.mutex);
            m_shared.cancelled = true;
            m_shared.stop = true;
            return true;
        }
        return m_shared.stop.load(std::memory_order_relaxed);
    }

    void fail(int group, const ArchiveError& e) {
        std::lock_guard lock(m_shared.mutex);
        // Any one bad file ends the scan; of those met, the one of the earliest input is the one reported.
        if (!m_shared.error || group < m_shared.errorGroup) {
            m_shared.error = e;
            m_shared.errorGroup = group;
        }
        m_shared.stop = true;
    }

    void list(const Task& task, std::vector<Task>& produced) {
        if (shouldStop())
            return;
        Group& group = *m_groups[size_t(task.group)];
        auto listed = std::make_shared<ListedDirectory>();
        listed->path = task.path;
        if (const int err = listed->handle.open(task.path.constData())) {
            m_shared.unreadable.add(task.path, err);
            return;
        }
        struct stat st;
        if (!group.visited.firstVisit(listed->handle.fd(), st))
            return;
        const FileIdentity self = identityOf(st);
        Listing& listing = listed->listing;
        listed->known = group.indexed ? group.index.directory(task.relativePath) : nullptr;
        const FolderSnapshot* known = listed->known ? &listed->known->snapshot : nullptr;
        // An unchanged folder has the same names as last time: its listing comes from the index.
        const bool reused = known && known->listingReusable && known->self == self;
        if (reused) {
            for (const std::string& sub : known->subdirectories)
                listing.subdirectories.emplace_back(sub.data(), qsizetype(sub.size()));
            listing.names = known->names;
            for (const quint32 offset : listed->known->nameOffsets)
                listing.files.push_back({offset, EntryKind::Regular});
        } else if (const int err = listDirectory(listed->handle, m_mask, listing)) {
            m_shared.unreadable.add(task.path, err);
            return;
        }
        if (group.indexed) {
            auto record = std::make_shared<FolderSnapshot>();
            record->relativePath = task.relativePath;
            record->self = self;
            record->listingReusable =
                reused || (listing.plain && std::max(self.mtimeNs, self.ctimeNs) < m_settledBefore);
            for (const QByteArray& sub : listing.subdirectories)
                record->subdirectories.emplace_back(sub.constData(), size_t(sub.size()));
            record->names = listing.names;
            record->entries.resize(listing.files.size());
            if (!reused && !(known && known->sameListing(*record)))
                group.listingChanged = true;
            listed->record = record;
            std::lock_guard lock(m_shared.mutex);
            group.records.push_back(std::move(record));
        }

        for (const QByteArray& sub : listed->listing.subdirectories) {
            std::string relative = task.relativePath;
            if (!relative.empty())
                relative += '/';
            relative.append(sub.constData(), size_t(sub.size()));
            produced.push_back({nullptr, joinPath(task.path, sub.constData()), std::move(relative), task.group, 0, 0});
        }
        listed->listing.subdirectories.clear();
        const auto count = quint32(listed->listing.files.size());
        // Pushed last, so taken first: a listed directory keeps its descriptor open only until its files are read.
        for (quint32 begin = 0; begin < count; begin += FilesPerTask)
            produced.push_back({listed, {}, {}, task.group, begin, std::min(count, begin + FilesPerTask)});
    }

    // The stamp of one file, from the index when the file is the one indexed, else read (and remembered).
    bool stampOf(const ListedDirectory& dir, quint32 i, Group& group, RawStamp& stamp, QString& reason,
                 bool& fromIndex) {
        const FileEntry& file = dir.listing.files[i];
        const char* name = dir.listing.name(file);
        fromIndex = false;
        if (!dir.record || file.kind != EntryKind::Regular)
            return readStampAt(dir.handle.fd(), name, file.kind, m_year, m_buffer, stamp, reason);

        IndexEntry& fresh = dir.record->entries[i];
        if (!dir.known) {
            // A folder the index does not know: every file is read, and the identity comes from the open file.
            group.misses.fetch_add(1, std::memory_order_relaxed);
            struct stat st;
            if (!readStampAt(dir.handle.fd(), name, file.kind, m_year, m_buffer, stamp, reason, &st))
                return false;
            remember(fresh, identityOf(st), S_ISREG(st.st_mode), stamp);
            return true;
        }
        FileIdentity id;
        bool regular = false;
        if (!fileIdentityAt(dir.handle.fd(), name, id, regular) || !regular)
            return readStampAt(dir.handle.fd(), name, file.kind, m_year, m_buffer, stamp, reason);
        if (const IndexEntry* known = dir.known->find(id, i)) {
            stamp.julianDay = known->julianDay;
            stamp.msecs = known->msecs;
            fresh = *known;
            fromIndex = true;
            group.hits.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        group.misses.fetch_add(1, std::memory_order_relaxed);
        if (!readStampAt(dir.handle.fd(), name, file.kind, m_year, m_buffer, stamp, reason))
            return false;
        remember(fresh, id, regular, stamp);
        return true;
    }

    // The identity was taken before the read. A file changed within the last moments could change again within
    // the same time stamp tick, after that, and keep its identity: it is only remembered once it has been quiet.
    void remember(IndexEntry& fresh, const FileIdentity& id, bool regular, const RawStamp& stamp) const {
        if (regular && id.inode != 0 && std::max(id.mtimeNs, id.ctimeNs) < m_settledBefore)
            fresh = {id, qint32(stamp.julianDay), stamp.msecs};
    }

    void readFiles(const Task& task) {
        const ListedDirectory& dir = *task.listed;
        Group& group = *m_groups[size_t(task.group)];
        qint64 read = 0;
        qint64 indexed = 0;
        struct Flush {
            ScanProgress& progress;
            qint64& read;
            qint64& indexed;
            ~Flush() {
                progress.filesRead.fetch_add(read, std::memory_order_relaxed);
                progress.filesFromIndex.fetch_add(indexed, std::memory_order_relaxed);
            }
        } flush{m_progress, read, indexed};
        for (quint32 i = task.begin; i < task.end; ++i) {
            if (shouldStop())
                return;
            RawStamp stamp;
            QString reason;
            bool fromIndex = false;
            const bool ok = stampOf(dir, i, group, stamp, reason, fromIndex);
            ++(fromIndex ? indexed : read);
            if (!ok)
                throw ArchiveError(
                    printableBytes(joinPath(dir.path, dir.listing.name(dir.listing.files[i])).toStdString()), reason);
            m_counter.add(m_window, stamp, group.bits);
        }
    }

    SharedState& m_shared;
    std::vector<std::unique_ptr<Group>>& m_groups;
    const Mask& m_mask;
    const Window& m_window;
    int m_year;
    qint64 m_settledBefore;
    ScanProgress& m_progress;
    Counter m_counter;
    std::string m_buffer;
};

// Writes a group's index when this scan found it different from the one loaded.
void saveIndex(const Group& group, const QString& mask, int currentYear) {
    const bool unchanged = group.misses.load() == 0 && group.hits.load() == qint64(group.index.entryCount()) &&
                           group.records.size() == group.index.directoryCount() && !group.listingChanged.load();
    if (unchanged)
        return;
    std::vector<const FolderSnapshot*> folders;
    folders.reserve(group.records.size());
    for (const auto& record : group.records)
        folders.push_back(record.get());
    std::sort(folders.begin(), folders.end(),
              [](const FolderSnapshot* a, const FolderSnapshot* b) { return a->relativePath < b->relativePath; });
    ArchiveIndex::save(group.indexFile, group.folder, mask, currentYear, folders); // else the next scan reads all
}

int threadCount() {
    const unsigned hardware = std::thread::hardware_concurrency();
    return int(std::clamp(hardware, 1u, 8u));
}

} // namespace

// -------------------------------------------------------------------------------------------------------------------

ArchiveError::ArchiveError(const QString& filePath, const QString& why)
    : std::runtime_error((filePath + QStringLiteral(": ") + why).toStdString()), path(filePath), reason(why) {}

PeriodProblem checkPeriod(const Period& p) {
    if (!p.fromDate.isValid() || !p.toDate.isValid() || !p.fromTime.isValid() || !p.toTime.isValid())
        return PeriodProblem::ToBeforeFrom;
    const qint64 span = p.fromDate.daysTo(p.toDate);
    if (span < 0)
        return PeriodProblem::ToBeforeFrom;
    if (span >= MaxDays)
        return PeriodProblem::TooLong;
    return PeriodProblem::None;
}

Tables::Tables() : periodDays(MaxDays, 0), dayCounts(MaxDays, DayRow{}) {}

int preparePeriodTables(Tables& t, const Period& p) {
    requireFittingPeriod(p);
    std::fill(t.periodDays.begin(), t.periodDays.end(), 0);
    std::fill(t.dayCounts.begin(), t.dayCounts.end(), DayRow{});
    t.hourCounts.fill(0);

    const qint64 from = p.fromDate.toJulianDay();
    const int n = int(p.fromDate.daysTo(p.toDate)) + 1;
    for (int i = 0; i < n; ++i)
        t.periodDays[size_t(i)] = from + i;

    const int firstHour = p.fromTime.hour();
    const int lastHour = p.toTime.hour();
    for (int h = firstHour; h <= lastHour; ++h) // an overnight window (22:00 to 06:00) labels nothing
        t.HourLabels[size_t(h)] = QString::number(h);
    return n;
}

std::optional<EventStamp> parseEventLine(QByteArrayView firstLine, int currentYear, QString* reason) {
    const std::string_view line = firstLineOf(firstLine.data(), size_t(firstLine.size()));
    RawStamp stamp;
    const LineFault fault = parseLine(line, currentYear, stamp);
    if (fault != LineFault::None) {
        if (reason)
            *reason = faultReason(fault, line);
        return std::nullopt;
    }
    return EventStamp{QDate::fromJulianDay(stamp.julianDay), QTime::fromMSecsSinceStartOfDay(stamp.msecs)};
}

EventStamp readEventFile(const QString& path, int currentYear) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), FileOpenFlags);
    if (fd < 0)
        throw ArchiveError(path, systemReason("nelze otevřít soubor", errno));
    struct stat st;
    if (fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw ArchiveError(path, QStringLiteral("není obyčejný soubor"));
    }
    std::string buf;
    size_t len = 0;
    const int err = readFirstLine(fd, buf, len);
    ::close(fd);
    if (err != 0)
        throw ArchiveError(path, systemReason("nelze číst soubor", err));
    RawStamp stamp;
    QString reason;
    if (!parseFileStart(buf.data(), len, currentYear, stamp, reason))
        throw ArchiveError(path, reason);
    return {QDate::fromJulianDay(stamp.julianDay), QTime::fromMSecsSinceStartOfDay(stamp.msecs)};
}

bool directoryExists(const QString& dir) {
    if (dir.isEmpty())
        return false;
    struct stat st;
    return ::stat(QFile::encodeName(dir).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

QList<ScanJob> missingDirectories(const QList<ScanJob>& jobs) {
    QList<ScanJob> missing;
    for (const ScanJob& job : jobs) {
        if (!directoryExists(job.directory))
            missing.append(job);
    }
    return missing;
}

void scanEventDirectory(Tables& t, const Period& p, const QString& dir, const QString& mask, int bit, int currentYear,
                        QList<UnreadableFolder>* unreadable) {
    requireFittingPeriod(p);
    requireInput(bit);
    if (!directoryExists(dir))
        return;
    UnreadableFolders folders;
    const Mask matcher(mask);
    const Window window = windowOf(p);
    TreeWalk walk{matcher, window, 1u << bit, Counter{t.dayCounts.data(), &t.hourCounts}, currentYear, folders, {}, {}};
    walk.walk(QFile::encodeName(dir));
    if (unreadable)
        unreadable->append(folders.take());
}

bool scanInputs(Tables& t, const Period& p, const QList<ScanJob>& jobs, const QString& mask, int currentYear,
                ScanProgress& progress, const ScanOptions& options, QList<UnreadableFolder>* unreadable) {
    requireFittingPeriod(p);
    for (const ScanJob& job : jobs)
        requireInput(job.bit);
    if (progress.cancel.load())
        return false;

    std::vector<std::unique_ptr<Group>> groups;
    for (const ScanJob& job : jobs) {
        if (!directoryExists(job.directory))
            continue;
        const QByteArray path = QFile::encodeName(job.directory);
        auto same = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g->path == path; });
        if (same != groups.end()) {
            (*same)->bits |= 1u << job.bit;
            continue;
        }
        auto group = std::make_unique<Group>();
        group->folder = job.directory;
        group->path = path;
        group->bits = 1u << job.bit;
        if (!options.indexDirectory.isEmpty()) {
            group->indexed = true;
            group->indexFile = indexFilePath(options.indexDirectory, job.directory);
            group->index = ArchiveIndex::load(group->indexFile, job.directory, mask, currentYear);
        }
        groups.push_back(std::move(group));
    }
    if (groups.empty())
        return true;

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const qint64 settledBefore = nanoseconds(now) - options.settleNs;
    const Window window = windowOf(p);
    const auto days = size_t(p.fromDate.daysTo(p.toDate) + 1);
    const Mask matcher(mask);
    const int threads = threadCount();
    std::vector<std::vector<DayRow>> dayCounts(size_t(threads), std::vector<DayRow>(days, DayRow{}));
    std::vector<HourTable> hourCounts(size_t(threads), HourTable{});

    SharedState shared;
    for (int g = int(groups.size()) - 1; g >= 0; --g) // the first input on top
        shared.stack.push_back({nullptr, groups[size_t(g)]->path, {}, g, 0, 0});

    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < threads; ++i) {
        const Counter counter{dayCounts[size_t(i)].data(), &hourCounts[size_t(i)]};
        workers.push_back(
            std::make_unique<Worker>(shared, groups, matcher, window, currentYear, settledBefore, progress, counter));
    }
    {
        std::vector<std::jthread> helpers;
        for (int i = 1; i < threads; ++i) {
            try {
                helpers.emplace_back([&worker = *workers[size_t(i)]] { worker.run(); });
            } catch (const std::system_error&) {
                break; // fewer threads only make it slower
            }
        }
        workers[0]->run(); // the calling thread is one of the workers
    }                      // joins the helpers

    if (shared.failure)
        std::rethrow_exception(shared.failure);
    if (shared.error)
        throw *shared.error;
    if (shared.cancelled)
        return false;

    for (int i = 0; i < threads; ++i) {
        for (size_t d = 0; d < days; ++d) {
            for (size_t b = 0; b < size_t(InputCount); ++b)
                t.dayCounts[d][b] += dayCounts[size_t(i)][d][b];
        }
        for (size_t h = 0; h < size_t(HourSlots); ++h)
            t.hourCounts[h] += hourCounts[size_t(i)][h];
    }
    for (const auto& group : groups) {
        if (group->indexed)
            saveIndex(*group, mask, currentYear);
    }
    if (unreadable)
        unreadable->append(shared.unreadable.take());
    return true;
}

} // namespace archive
