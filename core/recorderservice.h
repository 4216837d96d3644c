#pragma once

#include "core/levelschannel.h"
#include "rep_recorder_source.h"

#include <QString>
#include <QStringList>

#include <memory>

class Counters;
class Monitor;
class QLocalServer;
class QLocalSocket;
class QRemoteObjectHost;
class Settings;

// The recorder's state and commands for windows of other processes, over a local socket that only this user may
// reach: the socket lies in a folder of mode 0700 and every peer's user is checked again when it connects. Lives
// on the core's thread, beside the monitor it serves.
class RecorderService : public RecorderSimpleSource {
    Q_OBJECT
public:
    // How many of the latest log lines a window that attaches is shown.
    static constexpr int RecentLines = 200;

    RecorderService(Settings& settings, Counters& counters, Monitor& monitor, QObject* parent = nullptr);
    ~RecorderService() override;

    // Listens at socketPath (its folder is made with mode 0700). A socket left by a recorder that no longer runs is
    // replaced; false with the reason in error otherwise.
    bool listen(const QString& socketPath, QString* error);
    // Tells the attached windows that the recorder is ending.
    void announceEnd();

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
    void addLine(const QString& line);

    Settings& m_settings;
    Counters& m_counters;
    Monitor& m_monitor;
    std::unique_ptr<QRemoteObjectHost> m_host;
    QLocalServer* m_server = nullptr;
    QList<QLocalSocket*> m_sockets; // the windows' connections that are open
    LevelsServer m_levelsServer;
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
