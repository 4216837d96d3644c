#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

#include <array>

class Counters;
class MqttOutbox;
class MqttSettings;
class Settings;

// The input event recorder: from a chunk's reports, every transition of a watched input into LOG1 becomes an event
// file named by the template, with the running number stored before any file that used it, the chunk's files
// written as one group, and the events counted once their files are on disk. A plain object of the core's thread;
// the monitor feeds it decoded reports and turns what comes back into log lines and signals.
class Recorder : public QObject {
    Q_OBJECT
public:
    Recorder(Settings& settings, Counters& counters, QObject* parent = nullptr);

    struct Report {
        quint8 subcommand;
        quint8 value;
        QDateTime time; // when it was decoded: the event's time
    };
    struct Event {
        qsizetype report; // index of the report that brought it
        int input;
        bool ok;       // its file is on disk and it was counted
        QString path;  // the file's path
        QString error; // why it could not be written
    };

    // Records the events of the reports in their order, starting from the raw levels of the report before them;
    // levels then hold those of the last report. Returns every event, in order.
    QList<Event> record(const QList<Report>& reports, std::array<bool, 8>& levels);
    // Publishing: while mqttSettings name a broker, each group's events are journaled in the outbox before their
    // files take their names, the journal's sync riding with the files' data syncs, and handed out (then
    // journaled() is emitted) once the group's folders are synced. A null outbox stops it.
    void setOutbox(MqttOutbox* outbox, const MqttSettings* mqttSettings);

    // Whether record() would write any file for these reports.
    bool recordsAny(const QList<Report>& reports, std::array<bool, 8> levels) const;

    // The transitions into LOG1 that a report of value v records: watched inputs whose previous level was raw 1
    // and whose new level is raw 0. Bit n of the result is input n.
    static quint8 transitions(const std::array<bool, 8>& previous, quint8 v, quint8 watched);
    // The raw levels of a report, as the stored levels keep them (true = raw 1).
    static std::array<bool, 8> levelsOf(quint8 v);

signals:
    void logLine(const QString& line);
    void sequenceNumberFallback(const QString& text); // numbering moved to the state copy
    // A group's events are in the outbox for the publisher to take; on this object's thread, within record().
    void journaled();

private:
    void storeSequenceNumber();
    void journalFailed(const QString& reason);
    quint8 watchedInputs() const;

    Settings& m_settings;
    Counters& m_counters;
    MqttOutbox* m_outbox = nullptr;
    const MqttSettings* m_mqttSettings = nullptr;
    bool m_journalFailureLogged = false;
    bool m_numberingInStateCopy = false; // the last store of the running number went to the state copy
};

// The log line of an event file that could not be written.
QString writeFailureLine(const QString& path, const QString& reason);
