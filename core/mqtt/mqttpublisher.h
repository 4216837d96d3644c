#pragma once

#include "core/host/coreconfig.h"
#include "core/mqtt/mqttsettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <optional>

class Monitor;
class MqttOutbox;
class QSocketNotifier;
class Settings;
struct MqttOutboxEntry;
struct mosquitto;

// The messages, as plain functions.
namespace MqttPayload {
// {"line": 3, "bit": 0, "time": "2026-12-07T10:00:00+01:00", "number": 42, "file": "L03_B0_00042.csv", "id": "…"}
// time is read from the event file's line; null when the file cannot be read any more.
QByteArray event(const MqttOutboxEntry& entry, const QString& id);
// {"levels": [0,1,0,0,0,0,0,0], "time": "…"}: 1 where the input is at LOG1 (raw bit 0).
QByteArray levels(quint8 raw, const QDateTime& time);
// {"state": "connected", "reconnects": 2}
QByteArray controller(bool connected, int reconnects);
// The local time of an event file's line "dd.MM.yy;hh:mm:ss" with its offset, or an empty text.
QString eventTime(const QByteArray& line);
} // namespace MqttPayload

// Publishes the recorder to a plant's MQTT broker with libmosquitto, on a thread of its own, so neither a slow
// name lookup nor a TLS handshake nor a broker that never answers can hold back the recorder's thread: the
// recorder only journals its events in the outbox and wakes this object. Events go out at QoS 1 from the outbox in
// recording order; the levels, the controller's connection and the recorder's presence are retained messages.
// Nothing here opens a box: what the operator should know comes as log lines.
class MqttPublisher : public QObject {
    Q_OBJECT
public:
    // monitor is read for the controller's state (its atomics only); it may be null. The levels' time is read from
    // the settings' clock.
    MqttPublisher(Settings& settings, MqttSettings& mqttSettings, MqttOutbox& outbox, const Monitor* monitor,
                  MqttTimings timings = {}, QObject* parent = nullptr);
    ~MqttPublisher() override;

    const MqttTimings& timings() const { return m_timings; }
    // A broker that stops answering is noticed within twice this (a ping after this long without a word, and no
    // answer to it in as long again).
    static constexpr int KeepAliveSeconds = 5;

    // Safe from any thread; the recorder's thread calls these.
    // The recorder handed out new outbox entries: they go on their way.
    void journaled() { poke(); }
    // The levels of a report; published when they differ from the last ones published.
    void reportLevels(quint8 raw);

    bool isConnected() const { return m_connected; }
    qint64 backlog() const;

public slots:
    // Takes the saved settings: connects, reconnects with new values, or stops publishing.
    void reconfigure();
    // Publishes "offline", disconnects and stores the cursor; waits about a second at most.
    void stop();

signals:
    void logLine(const QString& line);
    void connectedChanged(bool connected);
    // Recorded events the broker has not acknowledged yet, when it changes (at most every cursorStoreMs).
    void backlogChanged(qint64 count);

private:
    void poke();
    void pump();
    void connectNow();
    void teardown(const QString& reason);
    void scheduleRetry();
    void service();
    void onRead();
    void onWrite();
    void onTick();
    void publishState(bool force);
    bool publish(const QString& topic, const QByteArray& payload, bool retain, int* mid = nullptr);
    void noteBacklog();
    QString brokerText() const;

    // libmosquitto's callbacks, on this thread inside its loop calls.
    static void connectCallback(mosquitto*, void* self, int rc);
    static void publishCallback(mosquitto*, void* self, int mid);
    static void logCallback(mosquitto*, void* self, int level, const char* text);
    // Why the link failed, in words the operator can act on: libmosquitto's result and the errno that came with it.
    QString reasonFor(int rc, int err) const;

    Settings& m_settings;
    MqttSettings& m_mqttSettings;
    MqttOutbox& m_outbox;
    const Monitor* m_monitor;
    const MqttTimings m_timings;

    MqttConfig m_config; // as connected, with the defaults filled in
    QString m_prefix;
    mosquitto* m_mosq = nullptr;
    int m_fd = -1;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QTimer m_tick; // keep-alive, the connect timeout, the controller's state, the cursor
    QTimer m_retry;
    int m_retryMs = 0;
    QElapsedTimer m_connectStarted;
    QElapsedTimer m_lastCursorStore;
    std::atomic<bool> m_connected{false};
    bool m_connackSeen = false;
    int m_connackCode = -1;
    QHash<int, qint64> m_midToSeq;
    QString m_outageReason;
    QString m_lastLibraryError; // libmosquitto's last error log line of this connection
    bool m_outageLogged = false;
    bool m_backlogLogged = false;
    qint64 m_lastBacklog = -1;

    std::atomic<bool> m_pokePending{false};
    mutable QMutex m_levelsMutex;
    std::optional<std::pair<quint8, QDateTime>> m_levels; // the latest report
    std::optional<quint8> m_publishedLevels;
    std::optional<std::pair<bool, int>> m_publishedController;
};
