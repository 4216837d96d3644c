#pragma once

#include "core/link/controllerlink.h"
#include "core/host/coreconfig.h"
#include "core/link/streamdecoder.h"

#include <QObject>
#include <QString>

#include <array>
#include <atomic>

class Counters;
class Recorder;
class QTimer;
class Settings;

// The recording path: the controller connection and its watchdog, the stream decoder, the recorder, the running
// number, the counters and the log lines. It lives on a thread of its own, so nothing a window does (a box, a
// chart, a print dialog) can delay decoding, recording or the watchdog; the windows only see its signals.
// It never shows a box and never reads a widget: what it needs comes from the settings model at the moment of use.
class Monitor : public QObject {
    Q_OBJECT
public:
    // The link is the controller's TCP client unless one is given (a test's fake link); the monitor owns it. The
    // waits are those of the start-up sequence and of each watchdog firing. Time is read from the settings' clock.
    Monitor(Settings& settings, Counters& counters, MonitorWaits waits = {}, QObject* parent = nullptr,
            ControllerLink* link = nullptr);
    ~Monitor() override;

    // A chunk longer than this brings the large-packet warning.
    static constexpr int LargeChunk = 252;

    static const QString LargeChunkWarning;
    static const QString AbortedWarning;

    // Safe from any thread.
    void setHexDump(bool on) { m_hexDump = on; }
    TSocketState socketState() const { return m_link->state(); }
    int reconnectCount() const { return m_reconnectCount; }

    // For tests and the owner; use them on this object's thread.
    ControllerLink* link() const { return m_link; }
    QTimer* watchdog() const { return m_watchdog; }
    std::array<bool, 8> storedLevels() const { return m_storedLevels; }
    Recorder* recorder() const { return m_recorder; }

public slots:
    // The connect and disconnect toggle: connects when the socket is closed, disconnects in every other state.
    void toggleConnection();
    // The start-up wait, then the automatic connection when it is on.
    void startup();
    // A crash can leave an event's temporary file behind; it never became an event. Removes those of processes
    // that no longer run from the watched inputs' folders.
    void removeStaleEventFiles();
    void restartWatchdog();
    // After a load: the watchdog's interval follows the loaded period.
    void applyWatchdogInterval();
    // Decodes and records one chunk as if it had come from the socket (also the data path's own entry).
    void handleChunk(QByteArrayView chunk);
    // Records the events of one report of subcommand 52 (before StoredLevels take its levels).
    void recordInputEvents(quint8 v);
    // At exit: stores the running number, then disconnects when the socket is not closed. Returns the error text
    // of a failed store (the disconnect is then skipped), or an empty text.
    QString shutdown();

signals:
    void reportDecoded(quint8 value); // the eight levels of a report, for the LEDs
    void logLine(const QString& line);
    void dataEvent();                        // a data event, before any of its log lines: the log limit
    void connectionChanged(bool connecting); // the toggle took its connect (true) or disconnect (false) branch
    // True from the start of the start-up wait, or of a watchdog firing, until its connection decision is made:
    // the settings must not change under the core meanwhile.
    void busyChanged(bool busy);
    void notice(const QString& title, const QString& text); // for the tray, where the operator looks
    void reconnected(int count);                            // the watchdog fired for the count-th time
    void warning(const QString& text); // a box for the windows to show, without holding anything back
    void eventRecorded(int input, const QString& path);
    void writeFailed(int input, const QString& path, const QString& reason);
    // The settings file stopped taking the running number and numbering goes on from the state copy: the log line,
    // once per move, for a tray message.
    void sequenceNumberFallback(const QString& text);

private:
    struct PendingReport;
    void onSessionConnected(quint16 errorCode);
    void onLinkError();
    void onDataAvailable();
    void onWatchdogTimeout();
    // Decodes and records every chunk that has arrived and was not read yet.
    void drainLink();
    void recordReports(const QList<PendingReport>& reports, bool logReports);

    Settings& m_settings;
    const MonitorWaits m_waits;
    ControllerLink* m_link;
    QTimer* m_watchdog;
    Recorder* m_recorder; // the transitions, their names and files, the running number, the counting
    StreamDecoder m_decoder;
    std::array<bool, 8> m_storedLevels{}; // raw levels of the previous report; all 0 at start, so it records nothing
    std::atomic<bool> m_hexDump{false};
    std::atomic<int> m_reconnectCount{0};
};
