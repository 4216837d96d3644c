#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// The archive index: for one output folder, what every event file under it held when it was last read, keyed by
// the file's identity. A display then stats the files and reads only those whose identity is new or changed.
// The index lives in the user's cache folder, never in the archive; anything wrong with it (missing, cut short,
// damaged, another version, another year window) makes it empty, and the display reads everything again.
namespace archive {

struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 mtimeNs = 0;
    qint64 ctimeNs = 0; // a rewrite that puts the old mtime back still moves the ctime

    bool operator==(const FileIdentity&) const = default;
};

struct IndexEntry {
    FileIdentity id;
    qint32 julianDay = 0;
    qint32 msecs = -1; // -1: no entry (a slot left empty)

    bool empty() const { return msecs < 0; }
};
static_assert(sizeof(IndexEntry) == 48, "the index file stores entries as they are in memory");

// What one scan learnt of one folder: the folder's own identity, its listing (subfolders and the names of the files
// that match the mask, in the order the folder listed them) and one entry per file name.
struct FolderSnapshot {
    std::string relativePath; // "" for the output folder itself, else "2026/03"
    FileIdentity self;
    // The listing may stand in for reading the folder again while the folder's identity is unchanged: a name
    // added, removed or renamed moves the folder's mtime. Never for a folder that holds links or special files,
    // or that changed within the last moments.
    bool listingReusable = false;
    std::vector<std::string> subdirectories;
    std::string names; // each followed by its NUL
    std::vector<IndexEntry> entries;

    bool sameListing(const FolderSnapshot& o) const {
        return self == o.self && listingReusable == o.listingReusable && subdirectories == o.subdirectories &&
               names == o.names;
    }
};

// $XDG_CACHE_HOME/impulz (an absolute XDG_CACHE_HOME only), else ~/.cache/impulz.
QString defaultIndexDirectory();

// The index file of one output folder: named by a hash of the folder's absolute path.
QString indexFilePath(const QString& indexDirectory, const QString& folder);

class ArchiveIndex {
public:
    struct Directory {
        FolderSnapshot snapshot;
        std::vector<quint32> nameOffsets; // where each file's name starts in snapshot.names

        // The entry of this identity; `position` is the file's place in today's listing, which is where an
        // unchanged folder has it. Safe to call from several threads.
        const IndexEntry* find(const FileIdentity& id, size_t position) const;

    private:
        mutable std::once_flag m_sortedOnce;
        mutable std::vector<std::pair<quint64, quint32>> m_byInode;
    };

    // An empty index when the file is missing or anything in it is wrong. The year window of two-digit years
    // and the file mask are part of what the index holds, so one made for another year or mask is not used.
    static ArchiveIndex load(const QString& file, const QString& folder, const QString& mask, int currentYear);
    // The same from the file's bytes.
    static ArchiveIndex parse(const QByteArray& bytes, const QString& folder, const QString& mask, int currentYear);

    const Directory* directory(const std::string& relativePath) const;
    size_t directoryCount() const { return m_directories.size(); }
    size_t entryCount() const { return m_entries; } // remembered files

    // Written to a temporary file beside it and renamed over it, so a reader sees the old index or the new one.
    // Returns false when it could not be written (the display goes on without it).
    static bool save(const QString& file, const QString& folder, const QString& mask, int currentYear,
                     const std::vector<const FolderSnapshot*>& folders);
    // The bytes save() writes.
    static QByteArray serialize(const QString& folder, const QString& mask, int currentYear,
                                const std::vector<const FolderSnapshot*>& folders);

private:
    std::unordered_map<std::string, std::unique_ptr<Directory>> m_directories;
    size_t m_entries = 0;
};

} // namespace archive
