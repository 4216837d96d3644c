#include "core/archive/archiveindex.h"
#include "core/files/privatefolder.h"

#include "core/files/posixfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace archive {
namespace {

constexpr char Magic[8] = {'I', 'M', 'P', 'Z', 'I', 'D', 'X', '\n'};
constexpr quint32 Version = 2;

struct Header {
    char magic[8];
    quint32 version;
    qint32 year;
    quint64 folderBytes;
    quint64 maskBytes;
    quint64 directories;
    quint64 entries;
    quint64 checksum;
};
static_assert(sizeof(Header) == 56);

// Per folder: its path, identity, flags and the sizes of what follows (path, subfolder names, file names, each
// padded to 8 bytes, then one entry per file name).
struct FolderHeader {
    FileIdentity self;
    quint64 flags;
    quint64 pathBytes;
    quint64 subdirectoryBytes;
    quint64 nameBytes;
    quint64 files;
};
static_assert(sizeof(FolderHeader) == 80);
constexpr quint64 ListingReusable = 1;

size_t padded(size_t n) {
    return (n + 7) & ~size_t(7);
}

// A damaged index must not pass for a good one: a flipped bit in a stored time would change a chart. The body is
// always a whole number of 8-byte words.
quint64 checksum(const char* data, size_t size) {
    quint64 h = 0x243F6A8885A308D3ull ^ size;
    for (size_t i = 0; i + 8 <= size; i += 8) {
        quint64 w;
        std::memcpy(&w, data + i, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    return h;
}

QByteArray folderKey(const QString& folder) {
    return QFile::encodeName(QFileInfo(folder).absoluteFilePath());
}

// Names joined by NULs, each followed by one.
std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) {
        out += n;
        out += '\0';
    }
    return out;
}

std::vector<std::string> split(const char* data, size_t size) {
    std::vector<std::string> out;
    for (size_t begin = 0; begin < size;) {
        const size_t end = std::string_view(data + begin, size - begin).find('\0');
        if (end == std::string_view::npos)
            break;
        out.emplace_back(data + begin, end);
        begin += end + 1;
    }
    return out;
}

void appendPadded(std::string& out, const char* data, size_t size) {
    out.append(data, size);
    out.resize(padded(out.size()), '\0');
}

class Reader {
public:
    Reader(const char* data, size_t size) : m_p(data), m_end(data + size) {}
    bool take(void* out, size_t n) {
        if (size_t(m_end - m_p) < n)
            return false;
        std::memcpy(out, m_p, n);
        m_p += n;
        return true;
    }
    const char* skip(size_t n) {
        if (size_t(m_end - m_p) < n)
            return nullptr;
        const char* at = m_p;
        m_p += n;
        return at;
    }
    // n bytes, then the padding to 8.
    const char* text(quint64 n) {
        if (n > quint64(m_end - m_p))
            return nullptr;
        return skip(padded(size_t(n)));
    }
    bool atEnd() const { return m_p == m_end; }

private:
    const char* m_p;
    const char* m_end;
};

} // namespace

QString defaultIndexDirectory() {
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) // a relative value is invalid and ignored
        base = QDir::homePath() + QStringLiteral("/.cache");
    return base + QStringLiteral("/impulz");
}

QString indexFilePath(const QString& indexDirectory, const QString& folder) {
    const QByteArray hash = QCryptographicHash::hash(folderKey(folder), QCryptographicHash::Sha1).toHex();
    return indexDirectory + QLatin1Char('/') + QString::fromLatin1(hash) + QStringLiteral(".idx");
}

const IndexEntry* ArchiveIndex::Directory::find(const FileIdentity& id, size_t position) const {
    const std::vector<IndexEntry>& entries = snapshot.entries;
    if (position < entries.size() && !entries[position].empty() && entries[position].id == id)
        return &entries[position];
    std::call_once(m_sortedOnce, [this, &entries] {
        m_byInode.reserve(entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            if (!entries[i].empty())
                m_byInode.emplace_back(entries[i].id.inode, quint32(i));
        }
        std::sort(m_byInode.begin(), m_byInode.end());
    });
    auto it = std::lower_bound(m_byInode.begin(), m_byInode.end(), std::pair<quint64, quint32>(id.inode, 0));
    for (; it != m_byInode.end() && it->first == id.inode; ++it) {
        if (entries[it->second].id == id)
            return &entries[it->second];
    }
    return nullptr;
}

ArchiveIndex ArchiveIndex::load(const QString& file, const QString& folder, const QString& mask, int currentYear) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return parse(f.readAll(), folder, mask, currentYear);
}

ArchiveIndex ArchiveIndex::parse(const QByteArray& bytes, const QString& folder, const QString& mask, int currentYear) {
    ArchiveIndex index;
    Reader r(bytes.constData(), size_t(bytes.size()));
    Header h;
    if (!r.take(&h, sizeof h) || std::memcmp(h.magic, Magic, sizeof Magic) != 0 || h.version != Version ||
        h.year != currentYear)
        return index;
    const size_t bodySize = size_t(bytes.size()) - sizeof h;
    if (bodySize % 8 != 0 || checksum(bytes.constData() + sizeof h, bodySize) != h.checksum)
        return index;
    const QByteArray key = folderKey(folder);
    const QByteArray maskBytes = mask.toUtf8();
    const char* storedFolder = r.text(h.folderBytes);
    const char* storedMask = r.text(h.maskBytes);
    if (!storedFolder || !storedMask || h.folderBytes != quint64(key.size()) ||
        std::memcmp(storedFolder, key.constData(), size_t(key.size())) != 0 ||
        h.maskBytes != quint64(maskBytes.size()) ||
        std::memcmp(storedMask, maskBytes.constData(), size_t(maskBytes.size())) != 0)
        return index;

    ArchiveIndex loaded;
    for (quint64 d = 0; d < h.directories; ++d) {
        FolderHeader fh;
        if (!r.take(&fh, sizeof fh) || fh.files > quint64(bytes.size()) / sizeof(IndexEntry))
            return index;
        const char* path = r.text(fh.pathBytes);
        const char* subdirectories = r.text(fh.subdirectoryBytes);
        const char* names = r.text(fh.nameBytes);
        const char* entries = r.skip(size_t(fh.files) * sizeof(IndexEntry));
        if (!path || !subdirectories || !names || !entries)
            return index;
        auto dir = std::make_unique<Directory>();
        FolderSnapshot& snap = dir->snapshot;
        snap.relativePath.assign(path, size_t(fh.pathBytes));
        snap.self = fh.self;
        snap.listingReusable = (fh.flags & ListingReusable) != 0;
        snap.subdirectories = split(subdirectories, size_t(fh.subdirectoryBytes));
        snap.names.assign(names, size_t(fh.nameBytes));
        for (size_t begin = 0; begin < snap.names.size();) {
            dir->nameOffsets.push_back(quint32(begin));
            const size_t end = snap.names.find('\0', begin);
            if (end == std::string::npos)
                return index;
            begin = end + 1;
        }
        if (dir->nameOffsets.size() != fh.files)
            return index;
        snap.entries.resize(size_t(fh.files));
        if (fh.files > 0)
            std::memcpy(static_cast<void*>(snap.entries.data()), entries, size_t(fh.files) * sizeof(IndexEntry));
        for (const IndexEntry& e : snap.entries)
            loaded.m_entries += e.empty() ? 0 : 1;
        const std::string name = snap.relativePath;
        if (!loaded.m_directories.emplace(name, std::move(dir)).second)
            return index; // the same folder twice is not an index this program wrote
    }
    if (!r.atEnd() || loaded.m_entries != h.entries)
        return index;
    return loaded;
}

const ArchiveIndex::Directory* ArchiveIndex::directory(const std::string& relativePath) const {
    const auto it = m_directories.find(relativePath);
    return it == m_directories.end() ? nullptr : it->second.get();
}

QByteArray ArchiveIndex::serialize(const QString& folder, const QString& mask, int currentYear,
                                   const std::vector<const FolderSnapshot*>& folders) {
    const QByteArray key = folderKey(folder);
    const QByteArray maskBytes = mask.toUtf8();
    std::string body;
    appendPadded(body, key.constData(), size_t(key.size()));
    appendPadded(body, maskBytes.constData(), size_t(maskBytes.size()));
    quint64 total = 0;
    for (const FolderSnapshot* snap : folders) {
        const std::string subdirectories = joined(snap->subdirectories);
        const FolderHeader fh{snap->self,
                              snap->listingReusable ? ListingReusable : 0,
                              snap->relativePath.size(),
                              subdirectories.size(),
                              snap->names.size(),
                              snap->entries.size()};
        body.append(reinterpret_cast<const char*>(&fh), sizeof fh);
        appendPadded(body, snap->relativePath.data(), snap->relativePath.size());
        appendPadded(body, subdirectories.data(), subdirectories.size());
        appendPadded(body, snap->names.data(), snap->names.size());
        if (!snap->entries.empty())
            body.append(reinterpret_cast<const char*>(snap->entries.data()), snap->entries.size() * sizeof(IndexEntry));
        for (const IndexEntry& e : snap->entries)
            total += e.empty() ? 0 : 1;
    }

    Header h{};
    std::memcpy(h.magic, Magic, sizeof Magic);
    h.version = Version;
    h.year = currentYear;
    h.folderBytes = quint64(key.size());
    h.maskBytes = quint64(maskBytes.size());
    h.directories = folders.size();
    h.entries = total;
    h.checksum = checksum(body.data(), body.size());
    QByteArray out(reinterpret_cast<const char*>(&h), sizeof h);
    out.append(body.data(), qsizetype(body.size()));
    return out;
}

bool ArchiveIndex::save(const QString& file, const QString& folder, const QString& mask, int currentYear,
                        const std::vector<const FolderSnapshot*>& folders) {
    const QByteArray bytes = serialize(folder, mask, currentYear, folders);
    const QString dir = QFileInfo(file).absolutePath();
    if (!makePrivateFolder(dir))
        return false;
    // The temporary file is named the way the program's other files are, so a save cut short by a crash is swept
    // at the next one.
    const QString prefix = QLatin1Char('.') + QFileInfo(file).fileName() + QLatin1Char('.');
    removeStaleTemporaryFiles(dir, prefix);
    static std::atomic<quint64> saves{0};
    const QByteArray target = QFile::encodeName(file);
    const QByteArray temp = QFile::encodeName(dir + QLatin1Char('/') + prefix) +
                            QByteArray::number(qint64(::getpid())) + '.' + QByteArray::number(++saves) + ".tmp";
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = writeAllToFd(fd, bytes.constData(), size_t(bytes.size()));
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.constData(), target.constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    return true;
}

} // namespace archive
