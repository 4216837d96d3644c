#pragma once

#include "core/host/coreconfig.h"
#include "core/recording/counters.h"
#include "core/serving/recorderport.h"
#include "core/settings/settings.h"

#include <QString>
#include <QTimer>

#include <memory>

class QLocalSocket;
class QRemoteObjectNode;
class RecorderReplica;

// A window's view of a recorder that runs in another process (the headless recorder, or another window that
// records), reached over its local socket. The settings and counters here are mirrors: they show the recorder's
// values, and what the operator changes in them goes to the recorder, which alone writes its files.
class RemoteRecorder : public RecorderPort {
    Q_OBJECT
public:
    ~RemoteRecorder() override;

    // Attaches to the recorder serving at socketPath, waiting at most timeoutMs for it and for its state. Gives
    // null with the reason in error when no recorder answers there. Once the recorder ends, the window looks for
    // it to serve again at the same socket as reattach says.
    static std::unique_ptr<RemoteRecorder> attach(const QString& socketPath, int timeoutMs, QString* error,
                                                  ReattachTimings reattach = {});

    Settings& settings();
    Counters& counters();

    void toggleConnection() override;
    void setHexDump(bool on) override;
    bool attached() const override { return true; }
    bool available() const override { return m_available; }

    // What the recorder had when the window attached: the levels of its last report (-1 before the first), its
    // recent log lines, whether it is connected or busy, its reconnect count and its hex dump switch.
    int initialLevels() const { return m_initialLevels; }
    QStringList initialLog() const { return m_initialLog; }
    bool initialConnecting() const { return m_initialConnecting; }
    bool initialBusy() const { return m_initialBusy; }
    int initialReconnects() const { return m_initialReconnects; }
    bool initialHexDump() const { return m_initialHexDump; }

signals:
    // The recorder serves again (restarted by its service manager, or started anew) and this window is its view
    // once more: available() is true, and the initial values above are the new recorder's.
    void reattached();

private:
    class SettingsMirror;
    class CountersMirror;

    explicit RemoteRecorder(ReattachTimings reattach);
    bool start(const QString& socketPath, int timeoutMs, QString* error);
    void recorderGone();
    void tryReattach();

    std::unique_ptr<QRemoteObjectNode> m_node;
    QLocalSocket* m_socket = nullptr;
    std::unique_ptr<RecorderReplica> m_replica;
    std::unique_ptr<SettingsMirror> m_settings;
    std::unique_ptr<CountersMirror> m_counters;
    QString m_origin; // this window, so the recorder's echo of its own edits is not applied again
    QString m_socketPath;
    const ReattachTimings m_reattach;
    QTimer m_watch; // while the recorder is gone: looks for it to return
    bool m_available = true;
    int m_initialLevels = -1;
    QStringList m_initialLog;
    bool m_initialConnecting = false;
    bool m_initialBusy = false;
    int m_initialReconnects = 0;
    bool m_initialHexDump = false;
};
