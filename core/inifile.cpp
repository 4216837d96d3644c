#include "core/inifile.h"

#include "core/posixfile.h"

#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <limits>
#include <optional>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

namespace {

constexpr qsizetype kMaxValueLength = 2047;

enum class LineKind { Other, Section, Key };

struct Line {
    LineKind kind = LineKind::Other;
    QString name; // section or key name, trimmed
    QString value;
};

Line classify(const QByteArray& raw, bool firstLine) {
    QByteArrayView bytes(raw);
    if (firstLine && bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    const QString text = QString::fromUtf8(bytes).trimmed();
    Line line;
    if (text.isEmpty() || text.startsWith(u';') || text.startsWith(u'#'))
        return line;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        line.kind = LineKind::Section;
        line.name = text.mid(1, close < 0 ? -1 : close - 1).trimmed();
        return line;
    }
    const qsizetype eq = text.indexOf(u'=');
    if (eq <= 0)
        return line;
    line.name = text.left(eq).trimmed();
    if (line.name.isEmpty())
        return line;
    line.kind = LineKind::Key;
    line.value = text.mid(eq + 1).trimmed();
    return line;
}

bool isBlank(const QByteArray& raw) {
    return QByteArrayView(raw).trimmed().isEmpty();
}

struct Location {
    qsizetype header = -1;   // line of the section header, -1 when the section is missing
    qsizetype key = -1;      // line of the key, -1 when missing
    qsizetype insertAt = -1; // where a new key of the section goes
};

Location locate(const QList<QByteArray>& lines, const QString& section, const QString& key) {
    Location loc;
    const QString wantedKey = key.trimmed();
    const QString wantedSection = section.trimmed();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Line line = classify(lines[i], i == 0);
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

std::optional<QString> lookup(const QList<QByteArray>& lines, const QString& section, const QString& key) {
    const Location loc = locate(lines, section, key);
    if (loc.key < 0)
        return std::nullopt;
    QString value = classify(lines[loc.key], loc.key == 0).value;
    if (value.size() > kMaxValueLength) {
        value.truncate(kMaxValueLength);
        if (value.back().isHighSurrogate())
            value.chop(1);
    }
    return value;
}

QList<QByteArray> splitLines(const QByteArray& data) {
    QList<QByteArray> lines = data.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the final line end does not start another line
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

QByteArray joinLines(const QList<QByteArray>& lines) {
    QByteArray data;
    for (const QByteArray& line : lines) {
        data += line;
        data += '\n';
    }
    return data;
}

// std::nullopt when the file exists but cannot be read: its contents are then unknown and must not be replaced.
std::optional<QList<QByteArray>> readLines(const QString& path) {
    QFile file(path);
    if (!file.exists())
        return QList<QByteArray>{};
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return splitLines(file.readAll());
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

#ifdef Q_OS_UNIX

// Used when the folder refuses new files but the file itself is writable.
bool rewriteInPlace(const QByteArray& target, const QByteArray& data) {
    const int fd = ::open(target.constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::pwrite(fd, data.constData(), size_t(data.size()), 0) == ssize_t(data.size()) &&
              ::ftruncate(fd, off_t(data.size())) == 0 && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    return ok;
}

bool replaceFile(const QString& path, const QByteArray& data) {
    static std::atomic<unsigned> counter{0};

    QString targetPath = path;
    const QFileInfo info(path);
    if (info.isSymLink())
        targetPath = info.symLinkTarget();
    const QFileInfo target(targetPath);
    const QByteArray nativeTarget = QFile::encodeName(target.absoluteFilePath());
    const QByteArray nativeDir = QFile::encodeName(target.absolutePath());

    struct stat st {};
    const bool exists = ::stat(nativeTarget.constData(), &st) == 0;
    if (!exists && errno != ENOENT)
        return false;
    if (exists) {
        if (!S_ISREG(st.st_mode))
            return false;
        // The rename below needs only the folder's permission, so it would happily replace a write-protected
        // file; opening it for writing asks the file itself (with the effective ids, ACLs and read-only mounts).
        const int probe = ::open(nativeTarget.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (probe < 0)
            return false;
        ::close(probe);
    }

    const QByteArray tmp = nativeDir + "/." + QFile::encodeName(target.fileName()) + '.' +
                           QByteArray::number(qint64(::getpid())) + '.' + QByteArray::number(counter++) + ".tmp";
    const int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
    if (fd < 0)
        return exists && rewriteInPlace(nativeTarget, data);

    bool ok = true;
    if (exists) {
        [[maybe_unused]] const int owned = ::fchown(fd, st.st_uid, st.st_gid); // only root may give a file away
        ok = ::fchmod(fd, st.st_mode & 07777) == 0;
    }
    ok = ok && writeAllToFd(fd, data) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tmp.constData(), nativeTarget.constData()) == 0;
    if (!ok) {
        ::unlink(tmp.constData());
        return false;
    }
    // The folder is not synced: a crash may bring back the previous file, which is complete too, and the write
    // after every recorded event stays cheap.
    return true;
}

#else

bool replaceFile(const QString& path, const QByteArray& data) {
    const QFileInfo info(path);
    if (info.exists() && (!info.isFile() || !info.isWritable()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(data);
    return file.commit();
}

#endif

} // namespace

IniWriteError::IniWriteError(const QString& fullPath)
    : std::runtime_error(QStringLiteral("Unable to write to %1").arg(fullPath).toStdString()), m_path(fullPath) {}

IniFile::IniFile(const QString& path) : m_path(QFileInfo(path).absoluteFilePath()) {
    m_lines = readLines(m_path).value_or(QList<QByteArray>{});
}

QString IniFile::readString(const QString& section, const QString& key, const QString& def) const {
    return lookup(m_lines, section, key).value_or(def);
}

qint32 IniFile::readInteger(const QString& section, const QString& key, qint32 def) const {
    const std::optional<QString> text = lookup(m_lines, section, key);
    return text ? parseInteger(*text).value_or(def) : def;
}

bool IniFile::readBool(const QString& section, const QString& key, bool def) const {
    return readInteger(section, key, def ? 1 : 0) != 0;
}

void IniFile::writeString(const QString& section, const QString& key, const QString& value) {
    std::optional<QList<QByteArray>> current = readLines(m_path);
    if (!current)
        throw IniWriteError(m_path);
    QList<QByteArray> lines = std::move(*current);

    QString clean = value;
    clean.replace(u'\r', u' ').replace(u'\n', u' ');
    const QByteArray keyLine = key.trimmed().toUtf8() + '=' + clean.toUtf8();

    const Location loc = locate(lines, section, key);
    if (loc.key >= 0) {
        lines[loc.key] = keyLine;
    } else if (loc.header >= 0) {
        lines.insert(loc.insertAt, keyLine);
    } else {
        if (!lines.isEmpty() && !isBlank(lines.last()))
            lines.append(QByteArray());
        lines.append('[' + section.trimmed().toUtf8() + ']');
        lines.append(keyLine);
    }

    if (!replaceFile(m_path, joinLines(lines)))
        throw IniWriteError(m_path);
    m_lines = std::move(lines);
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
