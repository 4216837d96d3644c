// The archive index's reader: index files that another version, a crash or a damaged disk left behind must give an
// empty index or a sound one, never a crash or a read past the end. Three ways in, chosen by the first byte:
// - the input as the whole file;
// - the input as the file's body, behind a header that matches (magic, version, year, folder, mask, checksum), so
//   the folder records themselves are what the fuzzer varies;
// - folders built from the input and written by the index's own writer, read back unchanged, then one byte of the
//   file changed (and the checksum made to match again), read once more.
// Every index the reader accepts holds together: each folder one name per entry, the entry count its header's, and
// every remembered file found again by its identity.

#include "core/archive/archiveindex.h"

#include "check.h"

#include <QByteArray>
#include <QString>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using archive::ArchiveIndex;
using archive::FileIdentity;
using archive::FolderSnapshot;
using archive::IndexEntry;

namespace {

const QString kFolder = QStringLiteral("/srv/udalosti");
const QString kMask = QStringLiteral("*.csv");
constexpr int kYear = 2026;
constexpr size_t kHeaderSize = 56;
constexpr size_t kChecksumAt = 48;

// The reader's checksum written out once more, so the fuzzer can make a changed file pass it. The round trip below
// checks that it still matches the writer's.
quint64 referenceChecksum(const char* data, size_t size) {
    quint64 h = 0x243F6A8885A308D3ull ^ size;
    for (size_t i = 0; i + 8 <= size; i += 8) {
        quint64 w;
        std::memcpy(&w, data + i, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    return h;
}

void sealChecksum(QByteArray& file) {
    if (size_t(file.size()) < kHeaderSize)
        return;
    const quint64 sum = referenceChecksum(file.constData() + kHeaderSize, size_t(file.size()) - kHeaderSize);
    std::memcpy(file.data() + kChecksumAt, &sum, sizeof sum);
}

void appendPadded(QByteArray& out, const QByteArray& text) {
    out += text;
    out.append(QByteArray((8 - out.size() % 8) % 8, '\0'));
}

void checkDirectory(const ArchiveIndex::Directory& dir) {
    const FolderSnapshot& snap = dir.snapshot;
    FUZZ_CHECK(dir.nameOffsets.size() == snap.entries.size());
    for (const quint32 offset : dir.nameOffsets) {
        FUZZ_CHECK(offset < snap.names.size());
        FUZZ_CHECK(offset == 0 || snap.names[offset - 1] == '\0');
    }
    FUZZ_CHECK(snap.names.empty() || snap.names.back() == '\0');
    for (size_t i = 0; i < snap.entries.size(); ++i) {
        const IndexEntry& e = snap.entries[i];
        if (e.empty())
            continue;
        const IndexEntry* found = dir.find(e.id, i);
        FUZZ_CHECK(found && found->id == e.id);
        // Found from another place in the listing too (a file moved within the folder).
        found = dir.find(e.id, snap.entries.size());
        FUZZ_CHECK(found && found->id == e.id);
    }
}

size_t remembered(const FolderSnapshot& snap) {
    size_t n = 0;
    for (const IndexEntry& e : snap.entries)
        n += e.empty() ? 0 : 1;
    return n;
}

// A file the reader accepted: its folders' own consistency, for the folders the caller knows by name.
void checkAccepted(const ArchiveIndex& index, const std::vector<std::string>& paths) {
    size_t entries = 0;
    size_t seen = 0;
    for (const std::string& path : paths) {
        if (const ArchiveIndex::Directory* dir = index.directory(path)) {
            checkDirectory(*dir);
            entries += remembered(dir->snapshot);
            ++seen;
        }
    }
    FUZZ_CHECK(seen <= index.directoryCount());
    if (seen == index.directoryCount())
        FUZZ_CHECK(entries == index.entryCount());
}

std::string takeName(FuzzedDataProvider& fdp) {
    std::string s = fdp.ConsumeRandomLengthString(12);
    std::replace(s.begin(), s.end(), '\0', '_');
    return s;
}

FileIdentity takeIdentity(FuzzedDataProvider& fdp) {
    FileIdentity id;
    id.device = fdp.ConsumeIntegral<quint64>();
    id.inode = fdp.ConsumeIntegralInRange<quint64>(0, 40); // few inodes, so identities meet in the lookup
    id.size = fdp.ConsumeIntegral<qint64>();
    id.mtimeNs = fdp.ConsumeIntegral<qint64>();
    id.ctimeNs = fdp.ConsumeIntegral<qint64>();
    return id;
}

void roundTrip(FuzzedDataProvider& fdp) {
    std::vector<FolderSnapshot> folders(fdp.ConsumeIntegralInRange<size_t>(0, 4));
    std::vector<std::string> paths;
    for (size_t f = 0; f < folders.size(); ++f) {
        FolderSnapshot& snap = folders[f];
        snap.relativePath = f == 0 ? std::string() : std::to_string(f) + '/' + takeName(fdp);
        paths.push_back(snap.relativePath);
        snap.self = takeIdentity(fdp);
        snap.listingReusable = fdp.ConsumeBool();
        for (size_t i = fdp.ConsumeIntegralInRange<size_t>(0, 3); i > 0; --i)
            snap.subdirectories.push_back(takeName(fdp));
        for (size_t i = fdp.ConsumeIntegralInRange<size_t>(0, 8); i > 0; --i) {
            snap.names += takeName(fdp);
            snap.names += '\0';
            IndexEntry e;
            e.id = takeIdentity(fdp);
            e.julianDay = fdp.ConsumeIntegral<qint32>();
            e.msecs = fdp.ConsumeIntegralInRange<qint32>(-1, 86'399'999);
            snap.entries.push_back(e);
        }
    }
    std::vector<const FolderSnapshot*> pointers;
    for (const FolderSnapshot& snap : folders)
        pointers.push_back(&snap);

    QByteArray file = ArchiveIndex::serialize(kFolder, kMask, kYear, pointers);
    quint64 stored;
    std::memcpy(&stored, file.constData() + kChecksumAt, sizeof stored);
    FUZZ_CHECK(stored == referenceChecksum(file.constData() + kHeaderSize, size_t(file.size()) - kHeaderSize));

    const ArchiveIndex index = ArchiveIndex::parse(file, kFolder, kMask, kYear);
    FUZZ_CHECK(index.directoryCount() == folders.size());
    size_t total = 0;
    for (const FolderSnapshot& snap : folders) {
        const ArchiveIndex::Directory* dir = index.directory(snap.relativePath);
        FUZZ_CHECK(dir && dir->snapshot.sameListing(snap));
        FUZZ_CHECK(dir->snapshot.entries.size() == snap.entries.size());
        FUZZ_CHECK(snap.entries.empty() || std::memcmp(dir->snapshot.entries.data(), snap.entries.data(),
                                                       snap.entries.size() * sizeof(IndexEntry)) == 0);
        total += remembered(snap);
    }
    FUZZ_CHECK(index.entryCount() == total);
    checkAccepted(index, paths);

    // Another folder, mask or year window: not this index.
    FUZZ_CHECK(ArchiveIndex::parse(file, kFolder + u'x', kMask, kYear).directoryCount() == 0);
    FUZZ_CHECK(ArchiveIndex::parse(file, kFolder, QStringLiteral("*.txt"), kYear).directoryCount() == 0);
    FUZZ_CHECK(ArchiveIndex::parse(file, kFolder, kMask, kYear + 1).directoryCount() == 0);
    // Cut short anywhere: nothing.
    const qsizetype cut = fdp.ConsumeIntegralInRange<qsizetype>(0, file.size() - 1);
    FUZZ_CHECK(ArchiveIndex::parse(file.left(cut), kFolder, kMask, kYear).directoryCount() == 0);

    // One byte changed and the checksum sealed again: the reader sees a file whose damage the checksum missed.
    if (fdp.remaining_bytes() > 0) {
        const qsizetype at = fdp.ConsumeIntegralInRange<qsizetype>(0, file.size() - 1);
        file[at] = char(fdp.ConsumeIntegral<quint8>());
        sealChecksum(file);
        checkAccepted(ArchiveIndex::parse(file, kFolder, kMask, kYear), paths);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const QByteArray rest(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    switch (data[0] % 3) {
    case 0: // the whole file
        checkAccepted(ArchiveIndex::parse(rest, kFolder, kMask, kYear), {std::string()});
        break;
    case 1: { // a matching header in front of the input
        FuzzedDataProvider fdp(data + 1, size - 1);
        const quint64 directories = fdp.ConsumeIntegralInRange<quint64>(0, 6);
        const quint64 entries = fdp.ConsumeIntegralInRange<quint64>(0, 64);
        const std::vector<uint8_t> body = fdp.ConsumeRemainingBytes<uint8_t>();
        const QByteArray folder = kFolder.toUtf8();
        const QByteArray mask = kMask.toUtf8();
        QByteArray file(qsizetype(kHeaderSize), '\0');
        std::memcpy(file.data(), "IMPZIDX\n", 8);
        const quint32 version = 2;
        const qint32 year = kYear;
        const quint64 sizes[4] = {quint64(folder.size()), quint64(mask.size()), directories, entries};
        std::memcpy(file.data() + 8, &version, 4);
        std::memcpy(file.data() + 12, &year, 4);
        std::memcpy(file.data() + 16, sizes, sizeof sizes);
        appendPadded(file, folder);
        appendPadded(file, mask);
        file.append(reinterpret_cast<const char*>(body.data()), qsizetype(body.size()));
        sealChecksum(file);
        checkAccepted(ArchiveIndex::parse(file, kFolder, kMask, kYear), {std::string()});
        break;
    }
    default: {
        FuzzedDataProvider fdp(data + 1, size - 1);
        roundTrip(fdp);
        break;
    }
    }
    return 0;
}
