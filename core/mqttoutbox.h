#pragma once

#include <QMutex>
#include <QRegularExpression>
#include <QString>

#include <atomic>
#include <map>
#include <optional>

// One recorded event waiting for the broker: which file it is, and what the name template made of it.
struct MqttOutboxEntry {
    qint64 seq = 0; // counts every event of this settings file's outbox, 1, 2, ...; never reused
    int line = 0;
    int bit = 0;
    std::optional<qint32> number; // the running number in the file's name, when the template has one
    QString path;                 // the event file: the message's time is read back from it
    qint64 end = 0;               // the journal offset after this entry
};

// The event files are the outbox; this is their order. Every event recorded while publishing is on gets one line
// in a journal in the user's state folder, and a cursor beside it says up to where the broker has acknowledged.
// A restart, a crash or a broker outage of any length resumes at the cursor: an event is published at least once,
// and in recording order. The journal holds references only (a line of about 60 bytes per event), so a backlog
// costs disk, never memory; once everything is delivered the journal starts over.
//
// append() is for the recorder's thread; everything else for the publisher's one thread.
class MqttOutbox {
public:
    // The journal and cursor that belong to one settings file (a hash of its path names them).
    explicit MqttOutbox(const QString& settingsPath);
    ~MqttOutbox();
    MqttOutbox(const MqttOutbox&) = delete;
    MqttOutbox& operator=(const MqttOutbox&) = delete;

    QString journalPath() const { return m_journalPath; }
    QString cursorPath() const { return m_cursorPath; }

    // Adds an event after its file is durable. One write of one line, left to the system's cache: a killed
    // process loses nothing, and the publisher syncs the journal with every cursor it stores. False with the
    // system's reason when the state folder cannot take it.
    bool append(int line, int bit, const QString& nameTemplate, const QString& path, QString* error = nullptr);

    // The entries after those handed out so far, at most max, in order.
    QList<MqttOutboxEntry> next(qsizetype max);
    // After a lost connection: the entries not yet acknowledged are handed out again, from the cursor.
    void rewind();
    // The broker acknowledged entry seq; the cursor moves over every acknowledged entry at its front.
    void delivered(qint64 seq);
    // Stores the cursor when it moved (journal synced first). When everything is delivered and the journal has
    // grown, it starts over. False with the system's reason when the state folder refuses.
    bool storeCursor(QString* error = nullptr);

    // Recorded and not yet acknowledged.
    qint64 backlog() const { return m_lastSeq.load() - m_cursorSeq.load() + 1; }
    // A consumer drops duplicates by it: unique per line, also across a lost state folder (the epoch changes).
    QString idOf(qint64 seq) const { return m_epoch + QLatin1Char('-') + QString::number(seq); }

    // The running number in an event file's name made by a template; nothing when the template has no %numco%.
    static std::optional<qint32> runningNumber(const QString& nameTemplate, const QString& fileName);

    // The journal starts over when it is longer than this and fully delivered.
    static inline qint64 CompactBytes = 4 << 20;

private:
    static QRegularExpression numberPattern(const QString& nameTemplate);
    static std::optional<qint32> numberIn(const QRegularExpression& pattern, const QString& fileName);
    void open();
    bool openJournal(QString* error);

    QString m_journalPath;
    QString m_cursorPath;
    QString m_epoch;

    QMutex m_appendMutex; // appends against the journal's start-over
    int m_fd = -1;        // the journal, O_APPEND
    std::atomic<qint64> m_lastSeq{0};
    QString m_cachedTemplate;
    QRegularExpression m_numberPattern;

    // Publisher side.
    std::atomic<qint64> m_cursorSeq{1}; // the first entry not yet acknowledged
    qint64 m_cursorOffset = 0;
    qint64 m_storedSeq = 0;
    qint64 m_readSeq = 1; // the next entry to hand out
    qint64 m_readOffset = 0;
    std::map<qint64, std::pair<qint64, bool>> m_inFlight; // seq -> (end offset, acknowledged)
};
