#include "core/mqtt/mqttoutbox.h"
#include "core/files/privatefolder.h"

#include "core/files/posixfile.h"
#include "core/settings/statefile.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString identityOf(const QString& settingsPath) {
    const QFileInfo file(settingsPath);
    const QString canonical = file.canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(file.absoluteFilePath()) : canonical;
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// "seq \t line \t bit \t number \t path \t epoch": the path percent-encoded, so no name can break a line. Lines
// written before they carried the epoch end at the path; theirs is the cursor's.
std::optional<MqttOutboxEntry> parseLine(QByteArrayView line) {
    const QList<QByteArray> f = line.toByteArray().split('\t');
    if (f.size() != 5 && f.size() != 6)
        return std::nullopt;
    MqttOutboxEntry e;
    bool ok = false;
    e.seq = f[0].toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    e.line = f[1].toInt();
    e.bit = f[2].toInt();
    if (!f[3].isEmpty())
        e.number = f[3].toInt();
    e.path = QString::fromUtf8(QByteArray::fromPercentEncoding(f[4]));
    if (f.size() == 6)
        e.epoch = QString::fromLatin1(f[5]);
    return e;
}

// The milliseconds since 1970 in base 36 and four random characters: no two starts share it, also when the clock
// was set back.
QString newEpoch() {
    QString epoch = QString::number(QDateTime::currentMSecsSinceEpoch(), 36);
    for (int i = 0; i < 4; ++i)
        epoch += QLatin1Char("0123456789abcdefghijklmnopqrstuvwxyz"[QRandomGenerator::system()->bounded(36)]);
    return epoch;
}

// Replaces the file through a synced temporary file, so a crash leaves the old cursor or the new one.
bool replaceFile(const QString& path, const QByteArray& data, QString* error) {
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temp = target + ".tmp";
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && writeAllToFd(fd, data) && ::fsync(fd) == 0;
    if (!ok && error)
        *error = systemError();
    if (fd >= 0)
        ::close(fd);
    if (ok && ::rename(temp.constData(), target.constData()) != 0) {
        ok = false;
        if (error)
            *error = systemError();
    }
    if (!ok) {
        ::unlink(temp.constData());
        return false;
    }
    const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), O_RDONLY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace

MqttOutbox::MqttOutbox(const QString& settingsPath, OutboxLimits limits) : m_limits(limits) {
    const QByteArray hash =
        QCryptographicHash::hash(identityOf(settingsPath).toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
    const QString base = userStateFolder() + QStringLiteral("/impulz/mqtt-") + QString::fromLatin1(hash);
    m_journalPath = base + QStringLiteral(".outbox");
    m_cursorPath = base + QStringLiteral(".cursor");
    open();
}

MqttOutbox::~MqttOutbox() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void MqttOutbox::open() {
    // The cursor: "epoch seq offset". The offset is a hint only; the journal is searched for the seq.
    QFile cursor(m_cursorPath);
    qint64 cursorSeq = 1;
    if (cursor.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> f = cursor.readAll().trimmed().split(' ');
        if (f.size() >= 2 && !f[0].isEmpty()) {
            m_epoch = QString::fromLatin1(f[0]);
            cursorSeq = qMax<qint64>(1, f[1].toLongLong());
        }
    }
    m_runEpoch = newEpoch();
    if (m_epoch.isEmpty())
        m_epoch = m_runEpoch;

    // One pass over the journal: where the cursor's entry starts, the last seq, and a torn last line (a power cut
    // in the middle of an append) to cut off.
    qint64 first = -1;
    qint64 last = cursorSeq - 1;
    qint64 goodEnd = 0;
    QFile journal(m_journalPath);
    if (journal.open(QIODevice::ReadOnly)) {
        qint64 offset = 0;
        while (!journal.atEnd()) {
            const QByteArray line = journal.readLine();
            if (!line.endsWith('\n'))
                break;
            const qint64 start = offset;
            offset += line.size();
            const auto e = parseLine(QByteArrayView(line).chopped(1));
            if (!e)
                continue;
            goodEnd = offset;
            last = qMax(last, e->seq);
            if (first < 0 && e->seq >= cursorSeq) {
                first = start;
                cursorSeq = e->seq; // an entry lost with the page cache leaves a gap in the seqs, never a stop
            }
        }
        // A half-written last line is cut off, so the next entry starts on a line of its own.
        if (goodEnd < journal.size() && ::truncate(QFile::encodeName(m_journalPath).constData(), goodEnd) != 0)
            qWarning("MQTT outbox: %s cannot be cut to its last whole line", qPrintable(m_journalPath));
    }
    m_cursorSeq = cursorSeq;
    m_storedSeq = cursorSeq;
    m_cursorOffset = first >= 0 ? first : goodEnd;
    m_readSeq = cursorSeq;
    m_readOffset = m_cursorOffset;
    m_lastSeq = qMax(last, cursorSeq - 1);
    m_committedSeq = m_lastSeq;
    // A journal left by an earlier run is opened now, so what it holds is handed out; a new one is made with the
    // first event, so a settings file that never publishes leaves no files behind.
    if (QFileInfo::exists(m_journalPath))
        openJournal(nullptr);
}

bool MqttOutbox::openJournal(QString* error) {
    if (m_fd >= 0)
        return true;
    makePrivateFolder(QFileInfo(m_journalPath).absolutePath());
    m_fd = ::open(QFile::encodeName(m_journalPath).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(m_journalPath, systemError());
        return false;
    }
    // Nothing is staged while the journal is closed: whatever it holds is handed out.
    struct stat st {};
    m_stagedEnd = ::fstat(m_fd, &st) == 0 ? st.st_size : 0;
    m_committedEnd = m_stagedEnd;
    return true;
}

QRegularExpression MqttOutbox::numberPattern(const QString& nameTemplate) {
    QString pattern;
    bool numbered = false;
    QStringView rest = QStringView(nameTemplate).first(qMin<qsizetype>(nameTemplate.size(), 255));
    while (!rest.isEmpty()) {
        const qsizetype percent = rest.indexOf(u'%');
        if (percent != 0) {
            const QStringView plain = percent < 0 ? rest : rest.first(percent);
            pattern += QRegularExpression::escape(plain.toString());
            rest = rest.sliced(plain.size());
            continue;
        }
        rest = rest.sliced(1);
        const qsizetype close = rest.indexOf(u'%');
        if (close < 0)
            continue;
        const QStringView keyword = rest.first(close);
        rest = rest.sliced(close + 1);
        if (keyword == u"numl" || keyword == u"nbit")
            pattern += QStringLiteral("\\d+");
        else if (keyword == u"date" || keyword == u"time")
            pattern += QStringLiteral("\\d{6}");
        else if (keyword == u"numco") {
            // The first one is the event's number; a second one in the same name took the next.
            pattern += numbered ? QStringLiteral("-?\\d{5,}") : QStringLiteral("(-?\\d{5,})");
            numbered = true;
        }
    }
    if (!numbered)
        return QRegularExpression();
    return QRegularExpression(QStringLiteral("^") + pattern + QStringLiteral("(?:_\\d+)?\\.csv$"));
}

std::optional<qint32> MqttOutbox::runningNumber(const QString& nameTemplate, const QString& fileName) {
    return numberIn(numberPattern(nameTemplate), fileName);
}

std::optional<qint32> MqttOutbox::numberIn(const QRegularExpression& pattern, const QString& fileName) {
    if (pattern.pattern().isEmpty())
        return std::nullopt;
    const QRegularExpressionMatch m = pattern.match(fileName);
    if (!m.hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint32 n = m.captured(1).toInt(&ok);
    return ok ? std::optional<qint32>(n) : std::nullopt;
}

int MqttOutbox::stage(const QList<MqttOutboxEvent>& events, const QString& nameTemplate, QList<qint64>* seqs,
                      QString* error) {
    QMutexLocker lock(&m_appendMutex);
    if (nameTemplate != m_cachedTemplate) {
        m_cachedTemplate = nameTemplate;
        m_numberPattern = numberPattern(nameTemplate);
    }
    if (!openJournal(error))
        return -1;
    const QByteArray epoch = m_runEpoch.toLatin1();
    QByteArray text;
    qint64 seq = m_lastSeq;
    for (const MqttOutboxEvent& e : events) {
        const std::optional<qint32> number = numberIn(m_numberPattern, QFileInfo(e.path).fileName());
        text += QByteArray::number(++seq) + '\t' + QByteArray::number(e.line) + '\t' + QByteArray::number(e.bit) +
                '\t' + (number ? QByteArray::number(*number) : QByteArray()) + '\t' +
                e.path.toUtf8().toPercentEncoding("/") + '\t' + epoch + '\n';
    }
    // One write for the group. Should it fail half-way, the torn line is cut off at the next start, and the lines
    // before it are published as the journal's own.
    if (!writeAllToFd(m_fd, text)) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(m_journalPath, systemError());
        return -1;
    }
    if (seqs) {
        for (qint64 s = m_lastSeq + 1; s <= seq; ++s)
            seqs->append(s);
    }
    m_lastSeq = seq;
    m_stagedEnd += text.size();
    return m_fd;
}

void MqttOutbox::cancel(qint64 seq) {
    QMutexLocker lock(&m_cancelMutex);
    m_cancelled.insert(seq);
}

void MqttOutbox::commit() {
    QMutexLocker lock(&m_appendMutex);
    m_committedEnd = m_stagedEnd;
    m_committedSeq = m_lastSeq;
}

bool MqttOutbox::append(int line, int bit, const QString& nameTemplate, const QString& path, QString* error) {
    if (stage({MqttOutboxEvent{line, bit, path}}, nameTemplate, nullptr, error) < 0)
        return false;
    commit();
    return true;
}

int MqttOutbox::sync() {
    QMutexLocker lock(&m_appendMutex);
    return m_fd < 0 || ::fdatasync(m_fd) == 0 ? 0 : errno;
}

QList<MqttOutboxEntry> MqttOutbox::next(qsizetype max) {
    QList<MqttOutboxEntry> out;
    const qint64 committedEnd = m_committedEnd.load();
    if (max <= 0 || m_readSeq > m_committedSeq.load() || m_readOffset >= committedEnd)
        return out;
    const int fd = ::open(QFile::encodeName(m_journalPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return out;
    QByteArray buffer;
    bool skipped = false;
    QSet<qint64> cancelled;
    {
        QMutexLocker lock(&m_cancelMutex);
        cancelled = m_cancelled;
    }
    while (out.size() < max) {
        const qsizetype had = buffer.size();
        // Lines past the committed end belong to a group whose files may not have their names yet.
        const qsizetype chunk = qMin<qint64>(64 * 1024, committedEnd - m_readOffset - had);
        if (chunk <= 0)
            break;
        buffer.resize(had + chunk);
        const ssize_t n = ::pread(fd, buffer.data() + had, chunk, m_readOffset + had);
        buffer.resize(had + qMax<ssize_t>(n, 0));
        qsizetype pos = 0;
        while (out.size() < max) {
            const qsizetype eol = buffer.indexOf('\n', pos);
            if (eol < 0)
                break;
            const auto e = parseLine(QByteArrayView(buffer).sliced(pos, eol - pos));
            pos = eol + 1;
            if (!e || e->seq < m_readSeq)
                continue;
            MqttOutboxEntry entry = *e;
            entry.end = m_readOffset + pos;
            if (entry.epoch.isEmpty())
                entry.epoch = m_epoch;
            m_readSeq = entry.seq + 1;
            // A cancelled entry counts as delivered: the cursor moves over it with its neighbours.
            const bool cancel = cancelled.contains(entry.seq);
            m_inFlight[entry.seq] = {entry.end, cancel};
            skipped = skipped || cancel;
            if (!cancel)
                out.append(entry);
        }
        m_readOffset += pos;
        buffer.remove(0, pos);
        if (n <= 0)
            break;
    }
    ::close(fd);
    if (skipped)
        moveCursor();
    return out;
}

void MqttOutbox::rewind() {
    m_inFlight.clear();
    m_readSeq = m_cursorSeq;
    m_readOffset = m_cursorOffset;
}

void MqttOutbox::delivered(qint64 seq) {
    const auto it = m_inFlight.find(seq);
    if (it == m_inFlight.end())
        return; // acknowledged before a rewind handed it out again
    it->second.second = true;
    moveCursor();
}

void MqttOutbox::moveCursor() {
    while (!m_inFlight.empty() && m_inFlight.begin()->second.second) {
        m_cursorSeq = m_inFlight.begin()->first + 1;
        m_cursorOffset = m_inFlight.begin()->second.first;
        m_inFlight.erase(m_inFlight.begin());
    }
}

bool MqttOutbox::storeCursor(QString* error) {
    // The lines behind the cursor are on disk already: they were synced before they were handed out.
    if (m_cursorSeq == m_storedSeq)
        return true;
    const QByteArray text = m_epoch.toLatin1() + ' ' + QByteArray::number(m_cursorSeq.load()) + ' ' +
                            QByteArray::number(m_cursorOffset) + '\n';
    if (!replaceFile(m_cursorPath, text, error))
        return false;
    m_storedSeq = m_cursorSeq;
    // Everything delivered: the journal starts over rather than grow for ever. The cursor keeps the seq.
    if (m_cursorSeq > m_committedSeq && m_inFlight.empty() && m_cursorOffset >= m_limits.compactBytes) {
        QMutexLocker lock(&m_appendMutex);
        if (m_cursorSeq > m_lastSeq && m_fd >= 0 && ::ftruncate(m_fd, 0) == 0) {
            m_cursorOffset = 0;
            m_readOffset = 0;
            m_stagedEnd = 0;
            m_committedEnd = 0;
            QMutexLocker cancelLock(&m_cancelMutex);
            m_cancelled.clear();
        }
    }
    return true;
}
