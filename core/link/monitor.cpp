#include "core/link/monitor.h"

#include "core/recording/counters.h"
#include "core/files/posixfile.h"
#include "core/recording/recorder.h"
#include "core/settings/settings.h"
#include "socket/clientsocket.h"

#include <QFileInfo>
#include <QMetaMethod>
#include <QSet>
#include <QThread>
#include <QTimer>

struct Monitor::PendingReport {
    quint8 subcommand;
    quint8 value;
    QString hex;    // the chunk up to the value byte, when the hex dump is on and the report is recorded
    QDateTime time; // when it was decoded: what its log line shows
};

const QString Monitor::LargeChunkWarning =
    QStringLiteral("Program expects packets of < about 254... but could be revised.");
const QString Monitor::AbortedWarning =
    QStringLiteral("Charon I disconnected after socket timeout.\r"
                   "If you wish to prevent this, turn on the \"NVT Keep connection\"\r"
                   "Charon feature and \"NVT filter\" in this program.");

namespace {
const QByteArray kAreYouThere = QByteArray::fromHex("FFF6");
const QByteArray kComPortRequest = QByteArray::fromHex("FFFA2C3200FFF0");
} // namespace

Monitor::Monitor(Settings& settings, Counters& counters, MonitorWaits waits, QObject* parent, ControllerLink* link)
    : QObject(parent), m_settings(settings), m_waits(waits), m_link(link ? link : new ClientSocket),
      m_watchdog(new QTimer(this)), m_recorder(new Recorder(settings, counters, this)) {
    connect(m_recorder, &Recorder::logLine, this, &Monitor::logLine);
    connect(m_recorder, &Recorder::sequenceNumberFallback, this, [this](const QString& text) {
        emit sequenceNumberFallback(text);
        emit notice(QStringLiteral("Pořadové číslo"), text); // the log line scrolls away; the tray keeps it in view
    });
    m_watchdog->setObjectName(QStringLiteral("Timer1"));
    // A coarse timer may fire up to 5 % early, and the watchdog would cut a link that is only slow.
    m_watchdog->setTimerType(Qt::PreciseTimer);
    connect(m_watchdog, &QTimer::timeout, this, &Monitor::onWatchdogTimeout);
    m_link->setParent(this);
    connect(m_link, &ControllerLink::sessionConnected, this, &Monitor::onSessionConnected);
    connect(m_link, &ControllerLink::errorOccurred, this, &Monitor::onLinkError);
    connect(m_link, &ControllerLink::dataAvailable, this, &Monitor::onDataAvailable);
}

Monitor::~Monitor() = default;

// ---- Connection and watchdog ----

void Monitor::toggleConnection() {
    if (m_link->state() == wsClosed) {
        m_link->open(m_settings.text(Settings::Address), m_settings.text(Settings::Port));
        emit connectionChanged(true);
        if (m_settings.flag(Settings::Reconnect) && !m_watchdog->isActive())
            m_watchdog->start();
    } else {
        m_watchdog->stop();
        emit connectionChanged(false);
        m_link->close();
    }
}

void Monitor::removeStaleEventFiles() {
    // Inputs often share a folder; each is read once.
    QSet<QString> folders;
    for (int n = 0; n < 8; ++n) {
        if (m_settings.watched(n))
            folders.insert(m_settings.outputDirectory(n));
    }
    for (const QString& folder : std::as_const(folders))
        removeStaleTemporaryFiles(folder, QStringLiteral(".event."));
}

void Monitor::startup() {
    emit busyChanged(true);
    removeStaleEventFiles();
    QThread::msleep(m_waits.startupMs);
    if (m_settings.flag(Settings::AutoConnect))
        toggleConnection();
    emit busyChanged(false);
}

void Monitor::onSessionConnected(quint16 errorCode) {
    // The greeting goes out even when the attempt failed: the failed sends are how the log learns of it.
    Q_UNUSED(errorCode);
    m_decoder.reset();
    // Nothing may leave a handler of the link's signals by an exception: a session that cannot be greeted is
    // closed here, and the log says why.
    try {
        m_link->send(kAreYouThere);
        m_link->send(kComPortRequest);
    } catch (const std::exception& e) {
        emit logLine(QStringLiteral("Chyba: spojení nelze zahájit, uzavírá se (%1)").arg(QString::fromUtf8(e.what())));
        m_link->close();
    }
}

void Monitor::onLinkError() {
    const int code = m_link->lastError();
    emit logLine(QStringLiteral("Socket error: %1").arg(code));
    if (code == WinsockError::ConnectionAborted)
        emit warning(AbortedWarning);
}

void Monitor::applyWatchdogInterval() {
    m_watchdog->setInterval(m_settings.number(Settings::WatchdogSeconds) * 1000);
}

void Monitor::restartWatchdog() {
    m_watchdog->stop();
    applyWatchdogInterval();
    m_watchdog->start();
}

void Monitor::onWatchdogTimeout() {
    emit busyChanged(true);
    m_watchdog->stop();
    if (m_link->state() != wsClosed)
        toggleConnection();
    const int count = ++m_reconnectCount;
    emit logLine(QStringLiteral("Chyba: obnoveni komunikace %1x !!!!").arg(count));
    emit reconnected(count);
    QThread::msleep(m_waits.watchdogMs);
    toggleConnection();
    // Started at the end of the tick, so the next firing comes one full period after it.
    m_watchdog->start();
    emit busyChanged(false);
}

QString Monitor::shutdown() {
    // What the controller has sent already is recorded first: a recorder waiting to take over opens a link of its
    // own and never sees these bytes, and the running number stored below counts their events.
    drainLink();
    try {
        m_settings.storeSequenceNumber(m_settings.sequenceNumber());
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    if (m_link->state() != wsClosed)
        toggleConnection();
    return {};
}

void Monitor::drainLink() {
    // Bounded: a controller that keeps sending must not keep the recorder from ending. What arrives after the last
    // read belongs to the next recorder's link.
    char buffer[255];
    for (int chunk = 0; chunk < 4096 && m_link->state() != wsClosed; ++chunk) {
        const int n = m_link->receive(buffer, int(sizeof buffer));
        if (n <= 0)
            break;
        handleChunk(QByteArrayView(buffer, n));
    }
}

// ---- Stream decoder ----

void Monitor::onDataAvailable() {
    // One chunk that cannot be read or recorded must not cost the connection; the log says why, and the next chunk
    // is read as usual. Nothing leaves this handler of the link's signal by an exception.
    char buffer[255];
    try {
        const int n = m_link->receive(buffer, int(sizeof buffer));
        // The warning is only shown: this chunk and every later one are decoded and recorded meanwhile.
        if (n > LargeChunk)
            emit warning(LargeChunkWarning);
        if (n <= 0) {
            emit dataEvent();
            return;
        }
        handleChunk(QByteArrayView(buffer, n));
    } catch (const std::exception& e) {
        emit logLine(QStringLiteral("Chyba: data nelze zpracovat (%1)").arg(QString::fromUtf8(e.what())));
        return;
    }
    restartWatchdog();
}

void Monitor::handleChunk(QByteArrayView chunk) {
    QList<PendingReport> reports;
    const bool hex = m_hexDump;
    // The reports of one chunk are decoded within microseconds: they share one reading of the clock.
    QDateTime decodedAt;
    const QString plain = m_decoder.feed(chunk, [&](const StreamDecoder::Report& r) {
        // The LEDs follow at once; the log lines wait until the chunk's events are on disk.
        emit reportDecoded(r.value);
        if (!decodedAt.isValid())
            decodedAt = m_settings.clock().now();
        const bool recorded = r.subcommand == StreamDecoder::RecordedSubcommand;
        reports.append(
            {r.subcommand, r.value, recorded && hex ? StreamDecoder::hexText(r.chunkSoFar) : QString(), decodedAt});
    });
    // The log limit applies before the chunk's first line, but after its LEDs: clearing the log must not delay them.
    emit dataEvent();
    recordReports(reports, true);
    if (!plain.isEmpty())
        emit logLine(plain);
}

void Monitor::recordInputEvents(quint8 v) {
    recordReports({{StreamDecoder::RecordedSubcommand, v, QString(), m_settings.clock().now()}}, false);
}

// ---- The recorder's events, as log lines and signals ----

void Monitor::recordReports(const QList<PendingReport>& reports, bool logReports) {
    QList<Recorder::Report> toRecord;
    toRecord.reserve(reports.size());
    for (const PendingReport& r : reports)
        toRecord.append({r.subcommand, r.value, r.time});
    std::array<bool, 8> levels = m_storedLevels;
    // The window has been woken to show the LEDs. When it was woken onto this thread's processor, it would wait for
    // the rest of the chunk's work (log lines, the watchdog's restart) before it could run, so this thread gives way
    // once. A chunk with files to write needs no such help: the first sync puts this thread to sleep.
    static const QMetaMethod decodedSignal = QMetaMethod::fromSignal(&Monitor::reportDecoded);
    if (logReports && !reports.isEmpty() && isSignalConnected(decodedSignal) &&
        !m_recorder->recordsAny(toRecord, m_storedLevels))
        QThread::yieldCurrentThread();

    const QList<Recorder::Event> events = m_recorder->record(toRecord, levels);
    if (logReports)
        m_storedLevels = levels;

    qsizetype next = 0;
    for (qsizetype i = 0; i < reports.size(); ++i) {
        const PendingReport& r = reports[i];
        if (!r.hex.isEmpty())
            emit logLine(r.hex);
        for (; next < events.size() && events[next].report == i; ++next) {
            const Recorder::Event& e = events[next];
            if (e.ok) {
                emit eventRecorded(e.input, e.path);
            } else {
                // The operator reads why, and the tray says it where the operator looks.
                emit logLine(writeFailureLine(e.path, e.error));
                emit writeFailed(e.input, e.path, e.error);
            }
        }
        if (logReports)
            emit logLine(StreamDecoder::reportLine(r.value, r.time));
    }
}
