#pragma once

#include <QByteArrayView>
#include <QDate>
#include <QList>
#include <QString>
#include <QTime>

#include <array>
#include <atomic>
#include <optional>
#include <stdexcept>
#include <vector>

// Reads the recorded event files back into per-day/per-input and per-hour counts for the statistics window.
// Widget-free: the window asks which directories are missing, shows its boxes, and then runs scanInputs()
// in a worker thread while the GUI thread stays responsive.
namespace archive {

constexpr int MaxDays = 65536;
constexpr int InputCount = 8;
constexpr int HourSlots = 25;

// From/To date are whole days; From/To time are a window of the day applied to every day separately.
struct Period {
    QDate fromDate;
    QDate toDate;
    QTime fromTime;
    QTime toTime;
};

// A null or invalid date or time cannot be ordered and is reported as ToBeforeFrom.
enum class PeriodProblem { None, ToBeforeFrom, TooLong };
PeriodProblem checkPeriod(const Period& p);

// Fixed sizes, allocated once for the whole run, so a display never allocates per period length.
struct Tables {
    Tables();
    std::vector<qint64> periodDays;                        // MaxDays slots, Julian day numbers; 0 after the period
    std::vector<std::array<qint32, InputCount>> dayCounts; // MaxDays rows x 8 inputs
    std::array<qint32, HourSlots> hourCounts{};            // slot 24 is never counted
    std::array<QString, HourSlots> HourLabels;             // never cleared; slot 24 always empty
};

// Clears every row of periodDays/dayCounts and the hour counts, lists the period's days and labels the hours of
// the day window. Returns the number of days (1 or more). Throws std::invalid_argument, before touching the
// tables, when checkPeriod(p) != None.
int preparePeriodTables(Tables& t, const Period& p);

struct EventStamp {
    QDate date;
    QTime time;
};

// A file that stops a display. reason is Czech, for the operator; what() is path + ": " + reason in UTF-8.
class ArchiveError : public std::runtime_error {
public:
    ArchiveError(const QString& filePath, const QString& why);
    QString path;
    QString reason;
};

// Parses an event line "dd.mm.yy;hh:nn:ss". Only the text up to the first LF counts and a trailing CR is dropped.
// The date is the first 8 characters and must be exactly dd.mm.yy (one-digit fields such as "1.3.26" are refused:
// the recorder always writes two digits, and a lenient reader would accept text that is not an event line).
// The two-digit year lies in the 100-year window around currentYear (2026: 76..99 -> 1976..1999,
// 00..75 -> 2000..2075). The time is the first 8 characters after the first ';', exactly hh:nn:ss.
// Returns nullopt and, when asked, a Czech reason for anything else.
std::optional<EventStamp> parseEventLine(QByteArrayView firstLine, int currentYear, QString* reason = nullptr);

// Reads the first line of one file. Throws ArchiveError naming the file.
EventStamp readEventFile(const QString& path, int currentYear);

// True for an existing directory (a symlink to one included); "" and plain files give false.
bool directoryExists(const QString& dir);

struct ScanJob {
    QString directory;
    int bit; // 0..7
};

// The jobs whose directory does not exist, in input order, so the window can show its boxes before scanning.
QList<ScanJob> missingDirectories(const QList<ScanJob>& jobs);

struct ScanProgress {
    std::atomic<qint64> filesRead{0};      // files opened and read so far; a shared directory is read once
    std::atomic<qint64> filesFromIndex{0}; // files whose time came from the archive index, unopened
    std::atomic<bool> cancel{false};
};

// A folder of the archive that could not be opened or listed; reason is the system's text.
struct UnreadableFolder {
    QString path;
    QString reason;
};

struct ScanOptions {
    // Where the archive index is kept (see core/archive/archiveindex.h); empty: no index, every file is read.
    QString indexDirectory;
    // A file changed less than this long before the scan is read again next time rather than taken from the
    // index: a rewrite within the same time stamp tick would keep its identity.
    qint64 settleNs = 3'000'000'000;
};

// The event files' mask: ".csv" in any letter case, as the archives' own system matches it ("U.CSV" counts).
inline constexpr char EventFileMask[] = "*.[cC][sS][vV]";

// Counts into t every file matching mask under each job's directory, recursively, following symlinked folders
// (each folder of a job's tree is listed once, however many links lead to it). Meant to run off the GUI thread;
// nothing else may touch t meanwhile. Several threads each count into their own tables, which are added into t
// only when the whole scan succeeded: on cancel (returns false) or on an error (throws ArchiveError for one bad
// file) t keeps what it held before. A folder that cannot be opened or listed is left out and added to
// *unreadable (sorted by path, each once); the rest is counted. Jobs whose directory does not exist are skipped.
// Jobs with the same directory text read each file once and count it for each of their inputs.
// With options.indexDirectory set, a file whose identity (device, inode, size, mtime, ctime) is in the job's index
// is not opened, and the index is rewritten when the scan found the archive changed; the counts are the same
// as without it. currentYear comes from the clock's now().date().year() on the caller's side. Throws
// std::invalid_argument for a period that checkPeriod() refuses or a bit outside 0..7.
bool scanInputs(Tables& t, const Period& p, const QList<ScanJob>& jobs, const QString& mask, int currentYear,
                ScanProgress& progress, const ScanOptions& options = {}, QList<UnreadableFolder>* unreadable = nullptr);

// The plain sequential walk, one directory after another with subdirectories before a directory's own files,
// counting straight into t (counts added before an error stay), every file read. A missing directory counts
// nothing; unreadable folders as in scanInputs().
void scanEventDirectory(Tables& t, const Period& p, const QString& dir, const QString& mask, int bit, int currentYear,
                        QList<UnreadableFolder>* unreadable = nullptr);

} // namespace archive
