#include "core/settings/inifile.h"
#include "core/files/privatefolder.h"

#include "core/files/posixfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QThread>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <limits>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr qsizetype kMaxValueLength = 2047;

// Windows-1250 bytes 0x80..0xFF; 0 where the code page defines no character.
constexpr char16_t kWindows1250[128] = {
    0x20AC, 0,      0x201A, 0,      0x201E, 0x2026, 0x2020, 0x2021, 0,      0x2030, 0x0160, 0x2039, 0x015A,
    0x0164, 0x017D, 0x0179, 0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0,      0x2122,
    0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B, 0x00B0, 0x00B1, 0x02DB, 0x0142,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C, 0x0154,
    0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7, 0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD,
    0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA,
    0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF, 0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4,
    0x0151, 0x00F6, 0x00F7, 0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

// Sets undefined to the first byte the code page leaves undefined, when there is one.
std::optional<QString> fromWindows1250(QByteArrayView bytes, unsigned char* undefined) {
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data(); // written through a pointer: operator[] checks for sharing on every character
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const char16_t c = b < 0x80 ? char16_t(b) : kWindows1250[b - 0x80];
        if (c == 0 && b != 0) {
            *undefined = b;
            return std::nullopt;
        }
        out[i] = QChar(c);
    }
    return text;
}

// The character that does not fit, when one does not.
std::optional<QChar> toWindows1250(const QString& text, QByteArray& out) {
    // The table turned around once: every character of the code page lies below U+2200.
    static const std::array<unsigned char, 0x2200> byteOf = [] {
        std::array<unsigned char, 0x2200> table{};
        for (int b = 0; b < 128; ++b) {
            if (kWindows1250[b] != 0)
                table[kWindows1250[b]] = static_cast<unsigned char>(0x80 + b);
        }
        return table;
    }();
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() < 0x80) {
            out += char(c.unicode());
            continue;
        }
        const unsigned char b = c.unicode() < byteOf.size() ? byteOf[c.unicode()] : 0;
        if (b == 0)
            return c;
        out += char(b);
    }
    return std::nullopt;
}

std::optional<QString> fromUtf16(QByteArrayView bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0)
        return std::nullopt;
    QString text(bytes.size() / 2, Qt::Uninitialized);
    QChar* out = text.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const auto hi = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 0 : 1)]);
        const auto lo = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 1 : 0)]);
        out[i] = QChar(char16_t(hi << 8 | lo));
    }
    // Unpaired surrogates could not be written back as they were.
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return std::nullopt;
    }
    return text;
}

QByteArray toUtf16(const QString& text, bool bigEndian) {
    QByteArray out;
    out.reserve(2 * text.size() + 2);
    auto put = [&](char16_t c) {
        out += char(bigEndian ? c >> 8 : c & 0xFF);
        out += char(bigEndian ? c & 0xFF : c >> 8);
    };
    put(0xFEFF);
    for (const QChar c : text)
        put(c.unicode());
    return out;
}

// Valid UTF-8 only: what decodes and encodes back to the same bytes (no overlong forms, no surrogates). A
// byte-order mark that the caller did not take off is text, not something to drop.
std::optional<QString> fromUtf8(QByteArrayView bytes) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError() || text.toUtf8() != bytes)
        return std::nullopt;
    return text;
}

const QString kNotText = QStringLiteral(
    "the file is not text in UTF-8, UTF-16 with a byte-order mark or Windows-1250, so it is left as it is");

enum class LineKind { Other, Section, Key };

struct Line {
    LineKind kind = LineKind::Other;
    // Views into the line: a file's every line is classified for every read, and copies would cost more than the
    // search.
    QStringView name; // section or key name, trimmed
    QStringView value;
};

Line classify(const QString& raw) {
    const QStringView text = QStringView(raw).trimmed();
    Line line;
    if (text.isEmpty() || text.startsWith(u';') || text.startsWith(u'#'))
        return line;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        line.kind = LineKind::Section;
        line.name = (close < 0 ? text.sliced(1) : text.sliced(1, close - 1)).trimmed();
        return line;
    }
    const qsizetype eq = text.indexOf(u'=');
    if (eq <= 0)
        return line;
    line.name = text.first(eq).trimmed();
    if (line.name.isEmpty())
        return line;
    line.kind = LineKind::Key;
    line.value = text.sliced(eq + 1).trimmed();
    if (line.value.size() >= 2 && line.value.front() == u'"' && line.value.back() == u'"')
        line.value = line.value.sliced(1, line.value.size() - 2);
    return line;
}

// The value as it stands after the "=": quoted when reading would otherwise lose its blanks or its own quotes.
QString storedValue(const QString& value) {
    QString clean = value;
    clean.replace(u'\r', u' ').replace(u'\n', u' ').replace(QChar(0), u' ');
    const bool blankEnds = !clean.isEmpty() && (clean.front().isSpace() || clean.back().isSpace());
    const bool quoted = clean.size() >= 2 && clean.front() == u'"' && clean.back() == u'"';
    return blankEnds || quoted ? u'"' + clean + u'"' : clean;
}

bool isBlank(const QString& raw) {
    return QStringView(raw).trimmed().isEmpty();
}

struct Location {
    qsizetype header = -1;   // line of the section header, -1 when the section is missing
    qsizetype key = -1;      // line of the key, -1 when missing
    qsizetype insertAt = -1; // where a new key of the section goes
};

Location locate(const QStringList& lines, const QString& section, const QString& key) {
    Location loc;
    const QString wantedKey = key.trimmed();
    const QString wantedSection = section.trimmed();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Line line = classify(lines[i]);
        if (line.kind == LineKind::Section) {
            if (loc.header >= 0)
                break; // the section ended; only its first occurrence counts
            if (line.name.compare(wantedSection, Qt::CaseInsensitive) == 0) {
                loc.header = i;
                loc.insertAt = i + 1;
            }
            continue;
        }
        if (loc.header < 0)
            continue;
        if (!isBlank(lines[i]))
            loc.insertAt = i + 1;
        if (loc.key < 0 && line.kind == LineKind::Key && line.name.compare(wantedKey, Qt::CaseInsensitive) == 0)
            loc.key = i;
    }
    return loc;
}

std::optional<QString> lookup(const QStringList& lines, const QString& section, const QString& key) {
    const Location loc = locate(lines, section, key);
    if (loc.key < 0)
        return std::nullopt;
    QString value = classify(lines[loc.key]).value.toString();
    if (value.size() > kMaxValueLength) {
        value.truncate(kMaxValueLength);
        if (value.back().isHighSurrogate())
            value.chop(1);
    }
    return value;
}

std::optional<qint32> parseInteger(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
        base = 16;
        i += 1;
    } else if (i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return std::nullopt;
    constexpr qint64 limit = qint64(std::numeric_limits<qint32>::max()) + 1; // the magnitude of the minimum
    qint64 magnitude = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        int d = -1;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (base == 16 && c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (base == 16 && c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        if (d < 0)
            return std::nullopt;
        magnitude = magnitude * base + d;
        if (magnitude > limit)
            return std::nullopt;
    }
    if (!negative && magnitude == limit)
        return std::nullopt;
    return qint32(negative ? -magnitude : magnitude);
}

} // namespace

// Bytes that are not text leave the object empty, with the reason for a write's error (English, as the rest of that
// message) and for the operator at the start (Czech, as the windows).
IniText::IniText(const QByteArray& data) {
    auto notText = [this](const QString& why) {
        m_problem = kNotText;
        m_detail = QStringLiteral("neznámé kódování textu (%1)").arg(why);
    };
    std::optional<QString> all;
    const QByteArrayView bytes(data);
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        m_encoding = Encoding::Utf8Bom;
        all = fromUtf8(bytes.sliced(3));
        if (!all) {
            notText(QStringLiteral("za značkou UTF-8 bajty, které nejsou UTF-8"));
            return;
        }
    } else if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        const bool bigEndian = bytes.startsWith("\xFE\xFF");
        m_encoding = bigEndian ? Encoding::Utf16BE : Encoding::Utf16LE;
        all = fromUtf16(bytes.sliced(2), bigEndian);
        if (!all) {
            notText(QStringLiteral("neplatné UTF-16"));
            return;
        }
    } else if (bytes.contains('\0')) { // UTF-16 without a mark is full of NUL bytes, and valid UTF-8 as well
        notText(QStringLiteral("bajt NUL"));
        return;
    } else {
        all = fromUtf8(bytes);
        if (!all) {
            m_encoding = Encoding::Windows1250;
            unsigned char undefined = 0;
            all = fromWindows1250(bytes, &undefined);
            if (!all) {
                notText(QStringLiteral("bajt 0x%1 není UTF-8 ani Windows-1250")
                            .arg(QString::number(undefined, 16).toUpper()));
                return;
            }
        }
    }
    if (all->contains(QChar(0))) {
        notText(QStringLiteral("znak NUL"));
        return;
    }

    const QStringList pieces = all->split(u'\n');
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        QString line = pieces[i];
        if (i == pieces.size() - 1) {
            // The text after the last line end: a last line without an end of its own, when there is any. A CR
            // there ends no line, so it stays in the line.
            if (!line.isEmpty()) {
                m_lines.append(line);
                m_ends.append(QString());
            }
            break;
        }
        const bool crlf = line.endsWith(u'\r');
        if (crlf)
            line.chop(1);
        m_lines.append(line);
        m_ends.append(crlf ? QStringLiteral("\r\n") : QStringLiteral("\n"));
    }
}

QString IniText::readString(const QString& section, const QString& key, const QString& def) const {
    return lookup(m_lines, section, key).value_or(def);
}

qint32 IniText::readInteger(const QString& section, const QString& key, qint32 def) const {
    const std::optional<QString> text = lookup(m_lines, section, key);
    return text ? parseInteger(*text).value_or(def) : def;
}

bool IniText::readBool(const QString& section, const QString& key, bool def) const {
    return readInteger(section, key, def ? 1 : 0) != 0;
}

QString IniText::usualEnd() const {
    return m_ends.isEmpty() || m_ends.first().isEmpty() ? QStringLiteral("\n") : m_ends.first();
}

void IniText::insert(qsizetype at, const QString& line) {
    QString end = at > 0 ? m_ends[at - 1] : usualEnd();
    // After a last line without an end: that line gets one, and the new last line goes without, as the file did.
    if (end.isEmpty())
        m_ends[at - 1] = usualEnd();
    m_lines.insert(at, line);
    m_ends.insert(at, end);
}

void IniText::setValue(const QString& section, const QString& key, const QString& value) {
    const QString keyLine = key.trimmed() + u'=' + storedValue(value);
    const Location loc = locate(m_lines, section, key);
    if (loc.key >= 0) {
        m_lines[loc.key] = keyLine; // its end stays
    } else if (loc.header >= 0) {
        insert(loc.insertAt, keyLine);
    } else {
        if (!m_lines.isEmpty() && !isBlank(m_lines.last()))
            insert(m_lines.size(), QString());
        insert(m_lines.size(), u'[' + section.trimmed() + u']');
        insert(m_lines.size(), keyLine);
    }
}

std::optional<QByteArray> IniText::encode(QString& problem) const {
    QString all;
    for (qsizetype i = 0; i < m_lines.size(); ++i)
        all += m_lines[i] + m_ends[i];
    switch (m_encoding) {
    case Encoding::Utf8:
        return all.toUtf8();
    case Encoding::Utf8Bom:
        return "\xEF\xBB\xBF" + all.toUtf8();
    case Encoding::Utf16LE:
        return toUtf16(all, false);
    case Encoding::Utf16BE:
        return toUtf16(all, true);
    case Encoding::Windows1250: {
        QByteArray out;
        if (const std::optional<QChar> bad = toWindows1250(all, out)) {
            problem = QStringLiteral("\"%1\" cannot be stored in the file's Windows-1250 encoding").arg(*bad);
            return std::nullopt;
        }
        return out;
    }
    }
    return std::nullopt;
}

std::optional<QByteArray> IniText::write(const QString& section, const QList<std::pair<QString, QString>>& keyValues,
                                         QString& problem) {
    if (!m_problem.isEmpty()) {
        problem = m_problem;
        return std::nullopt;
    }
    // Names are the program's own; one that could break the file's lines is a programming error, refused whole.
    auto breaksLines = [](const QString& name) { return name.contains(u'\n') || name.contains(QChar(0)); };
    if (breaksLines(section)) {
        problem = QStringLiteral("the section name holds a line break or NUL");
        return std::nullopt;
    }
    for (const auto& [key, value] : keyValues) {
        if (breaksLines(key)) {
            problem = QStringLiteral("the key name holds a line break or NUL");
            return std::nullopt;
        }
    }
    IniText changed = *this;
    for (const auto& [key, value] : keyValues)
        changed.setValue(section, key, value);
    std::optional<QByteArray> bytes = changed.encode(problem);
    if (bytes)
        *this = std::move(changed);
    return bytes;
}

namespace {

// The file's bytes, or the reason why they cannot be read: problem for a write's error, detail for the operator.
struct FileRead {
    std::optional<QByteArray> bytes;
    QString problem;
    QString detail;
    // The bytes are the whole file as it stood, unchanged while it was read. Another program's save (an editor, a
    // shell redirection) truncates the file and then writes it, so a read between the two sees an empty or a short
    // file; such a read may show what the file holds, but is never written back.
    bool whole = true;
    bool justEmptied = false; // empty and changed a moment ago: the only reason the read is not whole
#ifdef Q_OS_UNIX
    bool exists = false;
    struct stat st {}; // as it stood after the read, for the write's check that nobody changed it since
#endif
};

FileRead unreadable(const QString& reason) {
    return {std::nullopt, reason, QStringLiteral("nelze číst (%1)").arg(reason)};
}

const QString kChanging =
    QStringLiteral("another program kept changing the file while it was read, so it is left as it is");

#ifdef Q_OS_UNIX

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The same file with the same contents, as far as the system tells: one inode, one length, no change since.
bool unchanged(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && sameTime(a.st_mtim, b.st_mtim) &&
           sameTime(a.st_ctim, b.st_ctim);
}

// An empty file changed within the last second is taken for a save in progress (truncated, not yet written); one
// that has stayed empty longer is empty.
bool recentlyEmptied(const struct stat& st) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const qint64 ageMs = (qint64(now.tv_sec) - st.st_ctim.tv_sec) * 1000 + (now.tv_nsec - st.st_ctim.tv_nsec) / 1000000;
    return st.st_size == 0 && ageMs > -1000 && ageMs < 1000;
}

#endif

// One look at the file. A missing file reads as no bytes, which is an empty UTF-8 text; a file that exists but
// cannot be read has unknown contents.
FileRead readOnce(const QString& path) {
    // Not blocking: a FIFO put where the settings file belongs must not hang the start.
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? FileRead{QByteArray(), {}, {}} : unreadable(qt_error_string(errno));
    struct stat before {};
    if (::fstat(fd, &before) == 0 && !S_ISREG(before.st_mode)) {
        ::close(fd);
        if (S_ISDIR(before.st_mode))
            return {std::nullopt, qt_error_string(EISDIR), QStringLiteral("je to adresář")};
        return {std::nullopt, qt_error_string(EINVAL), QStringLiteral("není obyčejný soubor")};
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return unreadable(file.errorString());
    }
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return unreadable(file.errorString());
    FileRead read{std::move(data), {}, {}};
#ifdef Q_OS_UNIX
    // Two looks through the descriptor around the read, and one through the name: the bytes are the file's whole
    // contents only when nothing moved in between and the name still leads to the same file.
    struct stat after {};
    struct stat named {};
    read.exists = true;
    read.whole = ::fstat(int(file.handle()), &after) == 0 && ::stat(native.constData(), &named) == 0 &&
                 unchanged(before, after) && unchanged(after, named) && read.bytes->size() == after.st_size;
    read.justEmptied = read.whole && recentlyEmptied(after);
    read.whole = read.whole && !read.justEmptied;
    read.st = after;
#endif
    return read;
}

// A read that is not whole is tried again a few times, a little later each time (about half a second in all):
// another program's save takes far less, even on a loaded machine. A file that stayed empty and untouched all that time
// is empty. What the last look gave comes back, whole or not.
FileRead readFile(const QString& path) {
    constexpr int kAttempts = 10;
    FileRead read = readOnce(path);
#ifdef Q_OS_UNIX
    const FileRead first = read;
#endif
    for (int attempt = 1; attempt < kAttempts && read.bytes && !read.whole; ++attempt) {
        QThread::msleep(1UL << (attempt - 1));
        read = readOnce(path);
    }
#ifdef Q_OS_UNIX
    if (read.justEmptied && first.justEmptied && unchanged(read.st, first.st))
        read.whole = true;
#endif
    if (read.bytes && !read.whole)
        read.problem = kChanging;
    return read;
}


// What a write of the whole file did.
struct Written {
    QString problem;      // empty when the file now holds the data
    bool changed = false; // another program changed the file after it was read: nothing was written, read it again
};

Written failed(int error) {
    return {qt_error_string(error), false};
}

// The file rewritten through one descriptor: the new bytes from the first one that differs from what was read (the
// bytes before it are never touched, so they survive anything), then cut to the new length and synced. A power cut
// during a change of length may leave the bytes after that point torn.
Written writeInPlace(const QByteArray& target, const QByteArray& data, const FileRead& read) {
    const int fd = ::open(target.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return failed(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !unchanged(st, read.st)) {
        ::close(fd);
        return {{}, true};
    }
    const QByteArray& old = *read.bytes;
    qsizetype first = 0;
    while (first < old.size() && first < data.size() && old[first] == data[first])
        ++first;
    bool ok = ::lseek(fd, off_t(first), SEEK_SET) == off_t(first) &&
              writeAllToFd(fd, data.constData() + first, size_t(data.size() - first)) &&
              ::ftruncate(fd, off_t(data.size())) == 0 && ::fdatasync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    return ok ? Written{} : failed(error);
}

// Whether the name still leads to the file as it was read (or still to no file).
bool stillAsRead(const QByteArray& target, const FileRead& read) {
    struct stat st {};
    if (::stat(target.constData(), &st) != 0)
        return errno == ENOENT && !read.exists;
    return read.exists && unchanged(st, read.st);
}

// Puts data in the file that read came from, unless another program changed the file since: a write over a save
// in progress would drop it (the other program goes on writing to a file that no name shows any more).
Written replaceFile(const QString& path, const QByteArray& data, const FileRead& read) {
    static std::atomic<unsigned> counter{0};

    // The end of the whole chain of links: replacing a link in the middle would turn it into a file of its own
    // and leave the file the others read behind.
    const QFileInfo target(resolvedFilePath(path));
    const QByteArray nativeTarget = QFile::encodeName(target.absoluteFilePath());
    const QByteArray nativeDir = QFile::encodeName(target.absolutePath());

    struct stat st {};
    const bool exists = ::stat(nativeTarget.constData(), &st) == 0;
    if (!exists && errno != ENOENT)
        return failed(errno);
    if (exists) {
        if (!S_ISREG(st.st_mode))
            return failed(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
        // The rename below needs only the folder's permission, so it would happily replace a write-protected
        // file; opening it for writing asks the file itself (with the effective ids, ACLs and read-only mounts).
        const int probe = ::open(nativeTarget.constData(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0)
            return failed(errno);
        ::close(probe);
    }
    if (exists != read.exists || (exists && !unchanged(st, read.st)))
        return {{}, true};
    // A file with several names stays one file: a new inode would take this name only.
    if (exists && st.st_nlink > 1)
        return writeInPlace(nativeTarget, data, read);

    const QByteArray tmp = nativeDir + "/." + QFile::encodeName(target.fileName()) + '.' +
                           QByteArray::number(qint64(::getpid())) + '.' + QByteArray::number(counter++) + ".tmp";
    const int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        // The folder takes no new file, but the file itself may be writable.
        const int error = errno;
        return exists ? writeInPlace(nativeTarget, data, read) : failed(error);
    }

    bool ok = true;
    if (exists) {
        [[maybe_unused]] const int owned = ::fchown(fd, st.st_uid, st.st_gid); // only root may give a file away
        ok = ::fchmod(fd, st.st_mode & 07777) == 0;
    }
    ok = ok && writeAllToFd(fd, data) && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    // The last look before the rename: the sync above takes long enough for another save to start meanwhile.
    if (ok && !stillAsRead(nativeTarget, read)) {
        ::unlink(tmp.constData());
        return {{}, true};
    }
    if (ok && ::rename(tmp.constData(), nativeTarget.constData()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(tmp.constData());
        return failed(error);
    }
    // The rename itself lives in the folder: without this sync a power cut could bring back the previous file,
    // and with it a running number that was already issued. A file system that cannot sync folders is no error.
    const int dirFd = ::open(nativeDir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return {};
}

} // namespace

// The user's configuration folder may not exist yet on a fresh account; anywhere else a missing folder is more
// likely a typing error or a drive that is not mounted, and is not created behind the operator's back.
void createConfigFolderFor(const QString& filePath) {
    const QString folder = QFileInfo(filePath).absolutePath();
    const QString config = QDir::cleanPath(userConfigFolder());
    if (QFileInfo::exists(folder) || !(folder == config || folder.startsWith(config + u'/')))
        return;
    makePrivateFolder(folder); // a failure shows in the write that follows
}

IniWriteError::IniWriteError(const QString& fullPath, const QString& reason)
    : std::runtime_error(QStringLiteral("Unable to write to %1").arg(fullPath).toStdString()), m_path(fullPath),
      m_reason(reason) {}

namespace {

// The path as the kernel takes it, made absolute. QFileInfo::absoluteFilePath() also drops "dir/..", which names
// another folder than the kernel's when dir is a link; that cleaned form only names the file in messages.
QString absoluteAsGiven(const QString& path) {
    return QDir::isAbsolutePath(path) ? path : QDir::currentPath() + u'/' + path;
}

} // namespace

IniFile::IniFile(const QString& path) : m_path(QFileInfo(path).absoluteFilePath()), m_file(absoluteAsGiven(path)) {
    const FileRead read = readFile(m_file);
    if (read.bytes)
        m_text = IniText(*read.bytes);
}

QString IniFile::readString(const QString& section, const QString& key, const QString& def) const {
    return m_text.readString(section, key, def);
}

qint32 IniFile::readInteger(const QString& section, const QString& key, qint32 def) const {
    return m_text.readInteger(section, key, def);
}

bool IniFile::readBool(const QString& section, const QString& key, bool def) const {
    return m_text.readBool(section, key, def);
}

namespace {

#ifdef Q_OS_UNIX

// A disk writes a sector whole, so bytes written over within one sector are, after a power cut, all old or all new.
constexpr qsizetype kSector = 512;

// A write that changes bytes within one sector and keeps the file's length (the running number's next value, nine
// times in ten) is written over the file in place and synced with its data alone: no name changes, so the folder
// needs no sync, and the store costs the disk one flush instead of two. Gives the file's new text, or nothing when
// the write is not of that kind, or the file was replaced meanwhile, and the file must be replaced as a whole.
std::optional<IniText> overwriteInPlace(const QString& file, const QString& section,
                                        const QList<std::pair<QString, QString>>& keyValues) {
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    const auto done = [fd](std::optional<IniText> result) {
        ::close(fd);
        return result;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > (1 << 20))
        return done(std::nullopt);
    QFile reader;
    if (!reader.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return done(std::nullopt);
    const QByteArray bytes = reader.readAll();
    // The file changed meanwhile (another program is saving it), or cannot be read: the careful way decides.
    struct stat after {};
    if (bytes.size() != st.st_size || ::fstat(fd, &after) != 0 || !unchanged(st, after))
        return done(std::nullopt);
    IniText text(bytes);
    QString problem;
    const std::optional<QByteArray> data = text.write(section, keyValues, problem);
    if (!data || data->size() != bytes.size())
        return done(std::nullopt);
    qsizetype first = 0;
    while (first < bytes.size() && bytes[first] == (*data)[first])
        ++first;
    qsizetype end = bytes.size();
    while (end > first && bytes[end - 1] == (*data)[end - 1])
        --end;
    if (end > first && (first / kSector != (end - 1) / kSector))
        return done(std::nullopt);
    // The last look before the write: bytes put over another program's new text would land in its lines.
    if (::fstat(fd, &after) != 0 || !unchanged(st, after))
        return done(std::nullopt);
    if (end > first && ::pwrite(fd, data->constData() + first, size_t(end - first), off_t(first)) != end - first)
        return done(std::nullopt);
    // Synced even when nothing changed: the bytes may be another writer's that are not on the disk yet.
    if (::fdatasync(fd) != 0)
        return done(std::nullopt);
    // Replaced by another program between the open and now: the write went to a file no name shows any more.
    struct stat now {};
    if (::stat(QFile::encodeName(file).constData(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)
        return done(std::nullopt);
    return done(std::move(text));
}

#endif

// One write of the pairs to the file at the absolute path file (path names it in errors): the file is read again,
// changed as text, and written over in place when that is as safe, or else replaced. The file's text as it now is.
IniText writeValuesTo(const QString& path, const QString& file, const QString& section,
                      const QList<std::pair<QString, QString>>& keyValues) {
    // Another program's save that lands between the read and the write sends it back to the read, a few times.
    constexpr int kAttempts = 4;
    for (int attempt = 1;; ++attempt) {
#ifdef Q_OS_UNIX
        if (std::optional<IniText> patched = overwriteInPlace(file, section, keyValues))
            return std::move(*patched);
#endif
        const FileRead current = readFile(file);
        if (!current.bytes || !current.whole)
            throw IniWriteError(path, current.problem);
        IniText text(*current.bytes);
        QString problem;
        const std::optional<QByteArray> data = text.write(section, keyValues, problem);
        if (!data)
            throw IniWriteError(path, problem);
        createConfigFolderFor(file);
        const Written written = replaceFile(file, *data, current);
        if (written.changed && attempt < kAttempts)
            continue;
        if (written.changed)
            throw IniWriteError(path, kChanging);
        if (!written.problem.isEmpty())
            throw IniWriteError(path, written.problem);
        return text;
    }
}

} // namespace

void IniFile::update(const QString& path, const QString& section, const QList<std::pair<QString, QString>>& keyValues) {
    writeValuesTo(QFileInfo(path).absoluteFilePath(), absoluteAsGiven(path), section, keyValues);
}

void IniFile::writeValues(const QString& section, const QList<std::pair<QString, QString>>& keyValues) {
    m_text = writeValuesTo(m_path, m_file, section, keyValues);
}

void IniFile::writeString(const QString& section, const QString& key, const QString& value) {
    writeValues(section, {{key, value}});
}

void IniFile::writeInteger(const QString& section, const QString& key, qint32 value) {
    writeString(section, key, QString::number(value));
}

void IniFile::writeBool(const QString& section, const QString& key, bool value) {
    writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

QString settingsPathFor(const QString& executablePath) {
    qsizetype nameStart = executablePath.lastIndexOf(u'/') + 1;
#ifdef Q_OS_WIN
    nameStart = qMax(nameStart, executablePath.lastIndexOf(u'\\') + 1);
#endif
    const qsizetype dot = executablePath.lastIndexOf(u'.');
    // A dot that leads the name (".impulz") or stands in a folder name is no extension.
    if (dot > nameStart)
        return executablePath.left(dot) + QStringLiteral(".ini");
    return executablePath + QStringLiteral(".ini");
}

#ifndef IMPULZ_INSTALL_PREFIX
#define IMPULZ_INSTALL_PREFIX "/usr/local"
#endif

bool isSystemInstall(const QString& executablePath, const QString& installPrefix, const QString& optFolder) {
    const QString folder = QFileInfo(QDir::cleanPath(executablePath)).absolutePath();
    const QString name = QFileInfo(folder).fileName();
    const QString parent = QFileInfo(folder).absolutePath();
    QStringList prefixes{QStringLiteral("/usr"), QStringLiteral("/usr/local")};
    if (QDir::isAbsolutePath(installPrefix))
        prefixes.append(QDir::cleanPath(installPrefix));
    for (const QString& prefix : prefixes) {
        const QString below = prefix == u'/' ? prefix : prefix + u'/';
        if (parent == prefix && (name == u"bin" || name == u"sbin" || name == u"games" || name == u"libexec"))
            return true;
        // A helper's folder such as /usr/lib/impulz or /usr/libexec/impulz.
        if (folder.startsWith(below + QStringLiteral("lib")) && folder.indexOf(u'/', below.size()) > 0)
            return true;
    }
#ifdef Q_OS_UNIX
    // /opt/<package>/bin of a package that root installed; an operator's own unpacked copy belongs to the operator.
    struct stat st {};
    if (name == u"bin" && QFileInfo(parent).absolutePath() == QDir::cleanPath(optFolder) &&
        ::stat(QFile::encodeName(folder).constData(), &st) == 0 && st.st_uid == 0)
        return true;
#endif
    return false;
}

QString resolveSettingsPath(const QString& executablePath) {
    const QString config = userConfigFolder() + QStringLiteral("/impulz/impulz.ini");
    // Root may write /usr/bin, but a file there would be every user's settings: installed, each user (root too)
    // keeps their own.
    if (isSystemInstall(executablePath, QStringLiteral(IMPULZ_INSTALL_PREFIX)))
        return config;
    const QString beside = settingsPathFor(executablePath);
    const QFileInfo file(beside);
    if (file.exists())
        return beside;
    // The effective ids decide, as for the write itself.
    if (::faccessat(AT_FDCWD, QFile::encodeName(file.absolutePath()).constData(), W_OK, AT_EACCESS) == 0)
        return beside;
    return config;
}

QString userConfigFolder() {
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!config.isEmpty() && QDir::isAbsolutePath(config))
        return config;
    return QDir::homePath() + QStringLiteral("/.config");
}

QString settingsFileProblem(const QString& path, bool missingIsFine) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0) {
        const int err = errno;
        if (err != ENOENT)
            return QStringLiteral("nelze číst (%1)").arg(qt_error_string(err));
        if (missingIsFine)
            return {};
        struct stat link {};
        if (::lstat(native.constData(), &link) == 0 && S_ISLNK(link.st_mode))
            return QStringLiteral("odkaz vede na soubor, který neexistuje");
        return QStringLiteral("soubor neexistuje");
    }
    // Told before trying to read, which needs permissions that the type does not.
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("je to adresář");
    if (!S_ISREG(st.st_mode))
        return QStringLiteral("není obyčejný soubor");
    const FileRead read = readFile(path);
    return read.bytes ? IniText(*read.bytes).detail() : read.detail;
}
