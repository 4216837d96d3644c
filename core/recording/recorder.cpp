#include "core/recording/recorder.h"

#include "core/recording/counters.h"
#include "core/recording/eventfile.h"
#include "core/settings/inifile.h"
#include "core/mqtt/mqttoutbox.h"
#include "core/mqtt/mqttsettings.h"
#include "core/settings/settings.h"
#include "core/link/streamdecoder.h"

#include <QFileInfo>

#include <cstring>

QString writeFailureLine(const QString& path, const QString& reason) {
    return QStringLiteral("Chyba zápisu: %1 (%2)").arg(path, reason);
}

Recorder::Recorder(Settings& settings, Counters& counters, QObject* parent)
    : QObject(parent), m_settings(settings), m_counters(counters) {}

void Recorder::setOutbox(MqttOutbox* outbox, const MqttSettings* mqttSettings) {
    m_outbox = outbox;
    m_mqttSettings = mqttSettings;
}

void Recorder::journalFailed(const QString& reason) {
    // Said once until the journal takes events again.
    if (!m_journalFailureLogged)
        emit logLine(QStringLiteral("MQTT: událost nelze zařadit k odeslání (%1)").arg(reason));
    m_journalFailureLogged = true;
}

quint8 Recorder::transitions(const std::array<bool, 8>& previous, quint8 v, quint8 watched) {
    quint8 result = 0;
    for (int n = 0; n < 8; ++n) {
        if ((watched >> n & 1) && previous[n] && StreamDecoder::isLog1(v, n))
            result |= quint8(1u << n);
    }
    return result;
}

std::array<bool, 8> Recorder::levelsOf(quint8 v) {
    std::array<bool, 8> levels{};
    for (int n = 0; n < 8; ++n)
        levels[size_t(n)] = !StreamDecoder::isLog1(v, n);
    return levels;
}

void Recorder::storeSequenceNumber() {
    try {
        QString reason;
        const bool inStateCopy =
            m_settings.storeSequenceNumber(m_settings.sequenceNumber(), &reason) == Settings::SequenceCopy::StateCopy;
        // Told when numbering moves over, not again for every number the state copy then takes.
        if (inStateCopy && !m_numberingInStateCopy) {
            const QString text =
                QStringLiteral("Pořadové číslo nelze uložit do %1 (%2), číslování pokračuje z %3")
                    .arg(QFileInfo(m_settings.filePath()).absoluteFilePath(), reason, m_settings.sequenceStatePath());
            emit logLine(text);
            emit sequenceNumberFallback(text);
        }
        m_numberingInStateCopy = inStateCopy;
    } catch (const IniWriteError& e) {
        m_numberingInStateCopy = false;
        emit logLine(writeFailureLine(e.path(), e.reason()));
    }
}

quint8 Recorder::watchedInputs() const {
    quint8 watched = 0;
    for (int n = 0; n < 8; ++n)
        watched |= quint8(m_settings.watched(n) ? 1u << n : 0u);
    return watched;
}

bool Recorder::recordsAny(const QList<Report>& reports, std::array<bool, 8> levels) const {
    const quint8 watched = watchedInputs();
    for (const Report& r : reports) {
        if (r.subcommand == StreamDecoder::RecordedSubcommand && transitions(levels, r.value, watched))
            return true;
        levels = levelsOf(r.value);
    }
    return false;
}

QList<Recorder::Event> Recorder::record(const QList<Report>& reports, std::array<bool, 8>& levels) {
    QList<Event> events;
    QList<EventWriteRequest> requests;
    QList<bool> inPeriod;
    bool advanced = false;
    const quint8 watched = watchedInputs();
    for (qsizetype i = 0; i < reports.size(); ++i) {
        const Report& r = reports[i];
        if (r.subcommand == StreamDecoder::RecordedSubcommand) {
            const quint8 due = transitions(levels, r.value, watched);
            const bool counts = due != 0 && m_counters.inPeriod(r.time);
            for (int n = 0; n < 8; ++n) {
                if (!(due >> n & 1))
                    continue;
                bool moved = false;
                // Every recorded event takes a number of its own, whatever window is open.
                const QString name = m_settings.expandName(n, false, &moved);
                advanced = advanced || moved;
                events.append({i, n, false, QString(), QString()});
                inPeriod.append(counts);
                requests.append({m_settings.outputDirectory(n), name});
            }
        }
        levels = levelsOf(r.value);
    }
    if (events.isEmpty())
        return events;

    // The advanced number reaches the settings file before any file that used it takes its name: a crash in between
    // may skip a number, never issue one twice. Its store runs while the files' data syncs do.
    // A group without a number to store syncs as before: one file alone is synced directly, without the ring (with
    // its journal line's sync beside it in the ring while publishing is on).
    EventGroupWork work;
    if (advanced)
        work.whileDataSyncs = [this] { storeSequenceNumber(); };
    // The events' journal lines are written under the names the files are about to take, and synced with them.
    const bool publishing = m_outbox && m_mqttSettings && m_mqttSettings->config().enabled();
    QStringList expected;
    QList<qint64> seqs(events.size(), 0); // per event: its journal entry, 0 for none
    bool staged = false;
    if (publishing) {
        work.beforeDataSyncs = [&](const QStringList& paths) {
            expected = paths;
            QList<MqttOutboxEvent> lines;
            for (qsizetype k = 0; k < events.size(); ++k) {
                if (!paths[k].isEmpty())
                    lines.append({m_settings.number(Settings::LineNumber), events[k].input, paths[k]});
            }
            QList<qint64> given;
            QString error;
            const int fd = m_outbox->stage(lines, m_settings.text(Settings::NameTemplate), &given, &error);
            if (fd < 0) {
                journalFailed(error);
                return -1;
            }
            staged = true;
            qsizetype next = 0;
            for (qsizetype k = 0; k < events.size(); ++k) {
                if (!paths[k].isEmpty())
                    seqs[k] = given.value(next++);
            }
            return fd;
        };
    }
    const QList<EventWriteResult> written = writeEventFiles(requests, true, work, m_settings.clock());
    if (staged) {
        const auto syncFailure = [this](int err) {
            return QStringLiteral("%1: %2").arg(m_outbox->journalPath(), QString::fromLocal8Bit(std::strerror(err)));
        };
        QString failure = work.syncError != 0 ? syncFailure(work.syncError) : QString();
        QList<MqttOutboxEvent> moved;
        for (qsizetype k = 0; k < events.size(); ++k) {
            if (seqs[k] == 0 || (written[k].ok && written[k].path == expected[k]))
                continue;
            // The file failed, or another program took its name in between: the entry names a file that is not
            // the event's. The event's own file gets an entry of its own.
            m_outbox->cancel(seqs[k]);
            if (written[k].ok)
                moved.append({m_settings.number(Settings::LineNumber), events[k].input, written[k].path});
        }
        if (!moved.isEmpty()) {
            QString error;
            if (m_outbox->stage(moved, m_settings.text(Settings::NameTemplate), nullptr, &error) < 0)
                failure = error;
            else if (const int err = m_outbox->sync(); err != 0)
                failure = syncFailure(err);
        }
        if (failure.isEmpty())
            m_journalFailureLogged = false;
        else
            journalFailed(failure);
        m_outbox->commit();
        emit journaled();
    }
    // The counters window is told once per chunk, not once per event.
    QList<std::pair<int, bool>> counted;
    for (qsizetype k = 0; k < events.size(); ++k) {
        Event& e = events[k];
        e.ok = written[k].ok;
        e.path = written[k].path;
        e.error = written[k].error;
        if (e.ok)
            counted.append({e.input, inPeriod[k]});
        else
            m_counters.countFailure(e.input, e.error); // one file that cannot be written costs its own event only
    }
    if (!counted.isEmpty())
        m_counters.countEvents(counted);
    return events;
}
