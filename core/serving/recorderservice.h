#pragma once

#include "core/serving/locallistener.h"
#include "rep_recorder_source.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

class Counters;
class Monitor;
class QLocalSocket;
class QRemoteObjectHost;
class QtROIoDeviceBase;
class Settings;

// The recorder's state and commands for windows of other processes, over a local socket that only this user may
// reach: the socket lies in a folder of mode 0700 and every peer's user is checked again when it connects. Lives
// on the core's thread, beside the monitor it serves.
//
// Any process of this user may connect, so what one connection can cost is bounded: at most MaxWindows at once, of
// which at most MaxHandshakes not yet attached; a connection that has not asked for the recorder's state within
// HandshakeMs is closed, and so is one that sends a message longer than MaxMessage, before more of it is read. A
// window that stops reading is closed once more than MaxUnsent waits for it here, instead of the recorder keeping
// every report for it; it attaches again by itself when it reads again. A connection that goes takes everything it
// held with it.
class RecorderService : public RecorderSimpleSource {
    Q_OBJECT
public:
    // How many of the latest log lines a window that attaches is shown.
    static constexpr int RecentLines = 200;
    static constexpr int MaxWindows = 32;
    static constexpr int MaxHandshakes = 8;
    static constexpr int HandshakeMs = 5000;
    // A window sends commands and settings values, none near this long.
    static constexpr qint64 MaxMessage = 256 * 1024;
    // Seconds of levels at thousands of reports a second: only a window that has stopped reading falls this far
    // behind.
    static constexpr qint64 MaxUnsent = 4 * 1024 * 1024;

    RecorderService(Settings& settings, Counters& counters, Monitor& monitor, QObject* parent = nullptr);
    ~RecorderService() override;

    // Listens at socketPath (its folder is made with mode 0700). A socket left by a recorder that no longer runs is
    // replaced; false with the reason in error otherwise.
    bool listen(const QString& socketPath, QString* error);
    // Tells the attached windows that the recorder is ending.
    void announceEnd();
    // The windows' connections open now, attached or not yet.
    int connectionCount() const { return int(m_connections.size()); }

    // What a window attaching now is shown, as snapshot() gives it.
    QVariantMap snapshot() override;
    void toggleConnection() override;
    void setHexDump(bool on) override;
    void setSetting(int key, QVariant value, QString origin) override;
    QString loadSettings() override;
    QString saveSettings() override;
    void resetCounter(int input) override;
    void resetPeriodSum() override;
    void setPeriod(QDateTime from, QDateTime to) override;
    void setPeriodInput(int input) override;

private:
    struct Connection {
        QLocalSocket* socket = nullptr;
        QPointer<QtROIoDeviceBase> device; // the host's side of it
        bool attached = false;             // it has asked for the state
        QDeadlineTimer handshakeDue;       // when it is closed unless attached by then
    };
    void addLine(const QString& line);
    void take(int fd);
    void drop(QLocalSocket* socket);
    void closeOverdueHandshakes();
    void dropStalled();

    Settings& m_settings;
    Counters& m_counters;
    Monitor& m_monitor;
    std::unique_ptr<QRemoteObjectHost> m_host;
    LocalListener m_listener;
    QTimer m_handshakes;
    std::vector<Connection> m_connections;
    QLocalSocket* m_reading = nullptr; // the connection whose messages the host is handling
    QStringList m_recent;
    int m_levels = -1;
    bool m_connecting = false;
    bool m_busy = false;
    bool m_hexDump = false;
    QString m_origin; // the window whose edit is being applied, so it is not sent back to it
};

// Where the recorder of a settings file serves its windows: $XDG_RUNTIME_DIR/impulz/ (or a private folder under
// the temporary folder when there is none), one socket per settings file, named after its resolved path.
QString recorderSocketPath(const QString& resolvedSettingsPath);
// The user id of a local socket's peer, or -1 when it cannot be told.
qint64 peerUid(qintptr socketDescriptor);
