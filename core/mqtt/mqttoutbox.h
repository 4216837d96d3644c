#pragma once

#include "core/host/coreconfig.h"

#include <QMutex>
#include <QRegularExpression>
#include <QSet>
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
    QString epoch;                // of the run that journaled it: with seq, the event's id
    qint64 end = 0;               // the journal offset after this entry
};

// An event as the recorder journals it, before its file has its name.
struct MqttOutboxEvent {
    int line = 0;
    int bit = 0;
    QString path; // the name its file is expected to take
};

// The event files are the outbox; this is their order. Every event recorded while publishing is on gets one line
// in a journal in the user's state folder, and a cursor beside it says up to where the broker has acknowledged.
// A restart, a crash, a power cut or a broker outage of any length resumes at the cursor: an event is published at
// least once, and in recording order. The journal holds references only (a line of about 70 bytes per event), so a
// backlog costs disk, never memory; once everything is delivered the journal starts over.
//
// The recorder writes a group's lines while the group's files have no names yet, and their data sync runs together
// with the files' data syncs: a line is on disk no later than the name of the file it refers to, so no power cut
// leaves an event file the outbox does not know. The lines are handed out once the group is done (commit()); after
// a restart every line in the journal is. Each line carries the epoch of the run that wrote it (a new one at every
// start), and the event's id is that epoch with the line's seq: a journal whose tail a power cut took gives its seqs
// again, never its ids.
//
// stage(), commit(), cancel() and append() are for the recorder's thread; everything else for the publisher's one
// thread.
class MqttOutbox {
public:
    // The journal and cursor that belong to one settings file (a hash of its path names them).
    explicit MqttOutbox(const QString& settingsPath, OutboxLimits limits = {});
    ~MqttOutbox();
    MqttOutbox(const MqttOutbox&) = delete;
    MqttOutbox& operator=(const MqttOutbox&) = delete;

    QString journalPath() const { return m_journalPath; }
    QString cursorPath() const { return m_cursorPath; }

    // Journals the events of a group in one write, not yet handed out, and gives each its seq (in seqs, in order).
    // Returns the journal's descriptor, whose data the caller syncs together with the group's files, or -1 with the
    // system's reason when the state folder cannot take them.
    int stage(const QList<MqttOutboxEvent>& events, const QString& nameTemplate, QList<qint64>* seqs,
              QString* error = nullptr);
    // A staged entry whose file did not take the name it was journaled with: it is not handed out in this run.
    void cancel(qint64 seq);
    // The group is done: what was staged is handed out.
    void commit();
    // Journals one event and hands it out at once, without a sync: for a file already under its name.
    bool append(int line, int bit, const QString& nameTemplate, const QString& path, QString* error = nullptr);
    // Syncs the journal's data; 0 or the system's error.
    int sync();

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
    qint64 backlog() const { return qMax<qint64>(0, m_committedSeq.load() - m_cursorSeq.load() + 1); }
    // A consumer drops duplicates by it: one per event, the same at every delivery, never the same for two events
    // (the epoch changes at every start).
    static QString idOf(const MqttOutboxEntry& entry) {
        return entry.epoch + QLatin1Char('-') + QString::number(entry.seq);
    }

    // The running number in an event file's name made by a template; nothing when the template has no %numco%.
    static std::optional<qint32> runningNumber(const QString& nameTemplate, const QString& fileName);

private:
    static QRegularExpression numberPattern(const QString& nameTemplate);
    static std::optional<qint32> numberIn(const QRegularExpression& pattern, const QString& fileName);
    void open();
    bool openJournal(QString* error);
    void moveCursor();

    const OutboxLimits m_limits;
    QString m_journalPath;
    QString m_cursorPath;
    QString m_epoch;    // the cursor's: the epoch of lines written before lines carried one
    QString m_runEpoch; // this run's lines

    QMutex m_appendMutex;                  // appends against the journal's start-over
    int m_fd = -1;                         // the journal, O_APPEND
    qint64 m_lastSeq = 0;                  // the last seq journaled, staged or not
    qint64 m_stagedEnd = 0;                // the journal's end after it
    std::atomic<qint64> m_committedSeq{0}; // the last seq handed out
    std::atomic<qint64> m_committedEnd{0}; // the journal offset up to which lines are handed out
    QMutex m_cancelMutex;
    QSet<qint64> m_cancelled;
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
