#include "core/archiveindex.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace archive {
namespace {

constexpr char Magic[8] = {'I', 'M', 'P', 'Z', 'I', 'D', 'X', '\n'};
constexpr quint32 Version = 1;

struct Header {
    char magic[8];
    quint32 version;
    qint32 year;
    quint64 folderBytes;
    quint64 directories;
    quint64 entries;
    quint64 checksum;
};
static_assert(sizeof(Header) == 48);

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
    bool atEnd() const { return m_p == m_end; }

private:
    const char* m_p;
    const char* m_end;
};

bool writeAll(int fd, const char* data, size_t size) {
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
    if (position < entries.size() && entries[position].id == id)
        return &entries[position];
    std::call_once(m_sortedOnce, [this] {
        m_byInode.reserve(entries.size());
        for (size_t i = 0; i < entries.size(); ++i)
            m_byInode.emplace_back(entries[i].id.inode, quint32(i));
        std::sort(m_byInode.begin(), m_byInode.end());
    });
    auto it = std::lower_bound(m_byInode.begin(), m_byInode.end(), std::pair<quint64, quint32>(id.inode, 0));
    for (; it != m_byInode.end() && it->first == id.inode; ++it) {
        if (entries[it->second].id == id)
            return &entries[it->second];
    }
    return nullptr;
}

ArchiveIndex ArchiveIndex::load(const QString& file, const QString& folder, int currentYear) {
    ArchiveIndex index;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return index;
    const QByteArray bytes = f.readAll();
    f.close();

    Reader r(bytes.constData(), size_t(bytes.size()));
    Header h;
    if (!r.take(&h, sizeof h) || std::memcmp(h.magic, Magic, sizeof Magic) != 0 || h.version != Version ||
        h.year != currentYear)
        return index;
    const size_t bodySize = size_t(bytes.size()) - sizeof h;
    if (bodySize % 8 != 0 || checksum(bytes.constData() + sizeof h, bodySize) != h.checksum)
        return index;
    const QByteArray key = folderKey(folder);
    const char* storedFolder = r.skip(padded(h.folderBytes));
    if (!storedFolder || h.folderBytes != quint64(key.size()) ||
        std::memcmp(storedFolder, key.constData(), size_t(key.size())) != 0)
        return index;

    ArchiveIndex loaded;
    for (quint64 d = 0; d < h.directories; ++d) {
        quint64 nameBytes = 0, count = 0;
        if (!r.take(&nameBytes, 8) || !r.take(&count, 8) || nameBytes > size_t(bytes.size()) ||
            count > size_t(bytes.size()) / sizeof(IndexEntry))
            return index;
        const char* name = r.skip(padded(nameBytes));
        const char* entries = r.skip(count * sizeof(IndexEntry));
        if (!name || !entries)
            return index;
        auto dir = std::make_unique<Directory>();
        dir->entries.resize(count);
        std::memcpy(static_cast<void*>(dir->entries.data()), entries, count * sizeof(IndexEntry));
        loaded.m_entries += count;
        if (!loaded.m_directories.emplace(std::string(name, nameBytes), std::move(dir)).second)
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

bool ArchiveIndex::save(const QString& file, const QString& folder, int currentYear,
                        const std::vector<std::pair<std::string, const std::vector<IndexEntry>*>>& directories) {
    const QByteArray key = folderKey(folder);
    std::string body;
    body.append(key.constData(), size_t(key.size()));
    body.resize(padded(body.size()), '\0');
    quint64 total = 0;
    for (const auto& [name, entries] : directories) {
        quint64 count = 0;
        for (const IndexEntry& e : *entries)
            count += e.empty() ? 0 : 1;
        const quint64 nameBytes = name.size();
        body.append(reinterpret_cast<const char*>(&nameBytes), 8);
        body.append(reinterpret_cast<const char*>(&count), 8);
        body.append(name);
        body.resize(padded(body.size()), '\0');
        for (const IndexEntry& e : *entries) {
            if (!e.empty())
                body.append(reinterpret_cast<const char*>(&e), sizeof e);
        }
        total += count;
    }

    Header h{};
    std::memcpy(h.magic, Magic, sizeof Magic);
    h.version = Version;
    h.year = currentYear;
    h.folderBytes = quint64(key.size());
    h.directories = directories.size();
    h.entries = total;
    h.checksum = checksum(body.data(), body.size());

    const QString dir = QFileInfo(file).absolutePath();
    if (!QDir().mkpath(dir))
        return false;
    const QByteArray target = QFile::encodeName(file);
    const QByteArray temp = target + ".tmp." + QByteArray::number(qint64(::getpid())) + '.' +
                            QByteArray::number(quintptr(&directories), 16);
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written =
        writeAll(fd, reinterpret_cast<const char*>(&h), sizeof h) && writeAll(fd, body.data(), body.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.constData(), target.constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    return true;
}

} // namespace archive
