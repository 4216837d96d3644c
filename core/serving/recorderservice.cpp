#include "core/serving/recorderservice.h"

#include "core/recording/counters.h"
#include "core/link/monitor.h"
#include "core/settings/settings.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QRemoteObjectHost>
#include <QTimer>
#include <QtRemoteObjects/qconnectionfactories.h>

#include <algorithm>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errorText(const std::exception& e) {
    return QString::fromUtf8(e.what());
}

} // namespace

QString recorderSocketPath(const QString& resolvedSettingsPath) {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder))
        folder = QDir::tempPath() + QStringLiteral("/impulz-%1").arg(::getuid());
    else
        folder += QStringLiteral("/impulz");
    const QByteArray id =
        QCryptographicHash::hash(QFile::encodeName(resolvedSettingsPath), QCryptographicHash::Sha256).toHex().left(20);
    return folder + QStringLiteral("/rec-") + QString::fromLatin1(id) + QStringLiteral(".sock");
}

qint64 peerUid(qintptr socketDescriptor) {
    struct ucred cred {};
    socklen_t length = sizeof cred;
    if (::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return -1;
    return qint64(cred.uid);
}

RecorderService::RecorderService(Settings& settings, Counters& counters, Monitor& monitor, QObject* parent)
    : RecorderSimpleSource(parent), m_settings(settings), m_counters(counters), m_monitor(monitor) {
    // The monitor lives on this thread: its signals arrive here directly, in the order it sends them, and go out to
    // the windows in that order.
    connect(&monitor, &Monitor::reportDecoded, this, [this](quint8 value) {
        m_levels = value;
        emit reportDecoded(value);
        // The LEDs go out now, not when the core's thread is next idle, after the rest of the chunk's work (its
        // files, its log lines). A window that went may be dropped by its flush, so the list is walked from the end.
        for (size_t i = m_connections.size(); i-- > 0;) {
            if (i < m_connections.size() && m_connections[i].attached)
                m_connections[i].socket->flush();
        }
        dropStalled();
    });
    // The log lines are the other stream that can come at the rate of the reports (the hex dump of each one).
    connect(&monitor, &Monitor::logLine, this, [this](const QString& line) {
        addLine(line);
        emit logLine(line);
        dropStalled();
    });
    connect(&monitor, &Monitor::dataEvent, this, &RecorderService::dataEvent);
    connect(&monitor, &Monitor::connectionChanged, this, [this](bool connecting) {
        m_connecting = connecting;
        emit connectionChanged(connecting);
    });
    connect(&monitor, &Monitor::busyChanged, this, [this](bool busy) {
        m_busy = busy;
        emit busyChanged(busy);
    });
    connect(&monitor, &Monitor::reconnected, this, &RecorderService::reconnected);
    connect(&monitor, &Monitor::warning, this, &RecorderService::warning);
    connect(&monitor, &Monitor::writeFailed, this, &RecorderService::writeFailed);
    connect(&monitor, &Monitor::notice, this, &RecorderService::notice);
    connect(&settings, &Settings::changed, this,
            [this](Settings::Key key) { emit settingChanged(int(key), m_settings.value(key), m_origin); });
    connect(&settings, &Settings::loaded, this, &RecorderService::settingsLoaded);
    connect(&counters, &Counters::changed, this, [this] { emit countersChanged(m_counters.state()); });
}

RecorderService::~RecorderService() = default;

bool RecorderService::listen(const QString& socketPath, QString* error) {
    const QString folder = QFileInfo(socketPath).absolutePath();
    if (!QDir().mkpath(folder) || ::chmod(QFile::encodeName(folder).constData(), 0700) != 0) {
        if (error)
            *error = QStringLiteral("Nelze vytvořit složku %1").arg(folder);
        return false;
    }
    // The connections are accepted here, where each peer's user is checked, and handed to the host; the host's
    // own address is only a name.
    m_host = std::make_unique<QRemoteObjectHost>(QUrl(QStringLiteral("impulzlocal:recorder")), QUrl(),
                                                 QRemoteObjectHost::AllowExternalRegistration);
    connect(&m_listener, &LocalListener::accepted, this, &RecorderService::take);
    m_handshakes.setInterval(HandshakeMs / 5);
    connect(&m_handshakes, &QTimer::timeout, this, &RecorderService::closeOverdueHandshakes);
    if (!m_listener.listen(socketPath, error))
        return false;
    if (!m_host->enableRemoting(this, QStringLiteral("Recorder"))) {
        if (error)
            *error = QStringLiteral("Nelze zveřejnit stav záznamu (chyba %1)").arg(int(m_host->lastError()));
        return false;
    }
    return true;
}

void RecorderService::take(int fd) {
    const auto handshaking =
        std::count_if(m_connections.begin(), m_connections.end(), [](const Connection& c) { return !c.attached; });
    if (peerUid(fd) != qint64(::getuid()) || m_connections.size() >= size_t(MaxWindows) ||
        handshaking >= MaxHandshakes) {
        ::close(fd);
        return;
    }
    auto* socket = new QLocalSocket(this);
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        delete socket;
        return;
    }
    // The socket reads no more than a message may hold: the host waits for a message's announced length to be there
    // before it reads any of it, so a longer one fills the buffer and is cut off below instead of being gathered.
    socket->setReadBufferSize(MaxMessage);
    // Around the host's reading: the state it hands out tells which connection asked (see snapshot()), and what is
    // left unread after it can only be the start of a message.
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { m_reading = socket; });
    m_host->addHostSideConnection(socket);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        m_reading = nullptr;
        if (socket->bytesAvailable() >= MaxMessage)
            drop(socket);
    });
    connect(socket, &QLocalSocket::disconnected, this, [this, socket] { drop(socket); });
    Connection connection{socket, nullptr, false, QDeadlineTimer(HandshakeMs)};
    for (QtROIoDeviceBase* device : m_host->findChildren<QtROIoDeviceBase*>()) {
        if (device->connection() == socket)
            connection.device = device;
    }
    m_connections.push_back(connection);
    // One sweep for all the connections still attaching, not a timer each: a timer outlives the connection it
    // watches, and a crowd of short connections would leave a crowd of timers behind.
    if (!m_handshakes.isActive())
        m_handshakes.start();
}

void RecorderService::closeOverdueHandshakes() {
    std::vector<QLocalSocket*> overdue;
    bool waiting = false;
    for (const Connection& c : m_connections) {
        if (!c.attached && c.handshakeDue.hasExpired())
            overdue.push_back(c.socket);
        else
            waiting = waiting || !c.attached;
    }
    for (QLocalSocket* socket : overdue)
        drop(socket);
    if (!waiting)
        m_handshakes.stop();
}

void RecorderService::dropStalled() {
    // What a socket could not send waits in its buffer, so a window that does not read grows it by every message.
    // The window sees the connection end once it reads what reached it, and attaches again as after a restart.
    std::vector<QLocalSocket*> stalled;
    for (const Connection& c : std::as_const(m_connections)) {
        if (c.socket->bytesToWrite() > MaxUnsent)
            stalled.push_back(c.socket);
    }
    for (QLocalSocket* socket : stalled)
        drop(socket);
}

void RecorderService::drop(QLocalSocket* socket) {
    const auto it = std::find_if(m_connections.begin(), m_connections.end(),
                                 [socket](const Connection& c) { return c.socket == socket; });
    if (it == m_connections.end())
        return;
    const QPointer<QtROIoDeviceBase> device = it->device;
    m_connections.erase(it);
    // The host does not hear a socket it was handed close: told, it stops sending through it and lets its side go.
    // Only then does the socket go, so the host never writes through one that is gone.
    if (device)
        emit device->disconnected();
    socket->abort();
    socket->deleteLater();
}

void RecorderService::announceEnd() {
    emit ending();
    // The message leaves before the recorder does.
    for (const Connection& c : std::as_const(m_connections))
        c.socket->flush();
}

void RecorderService::addLine(const QString& line) {
    m_recent.append(line);
    if (m_recent.size() > RecentLines)
        m_recent.removeFirst();
}

QVariantMap RecorderService::snapshot() {
    // A window asks for the state as the last step of attaching.
    for (Connection& c : m_connections) {
        if (c.socket == m_reading)
            c.attached = true;
    }
    QVariantList values;
    for (int key = 0; key < Settings::KeyCount; ++key)
        values.append(m_settings.value(Settings::Key(key)));
    return {
        {QStringLiteral("levels"), m_levels},
        {QStringLiteral("log"), m_recent},
        {QStringLiteral("connecting"), m_connecting},
        {QStringLiteral("busy"), m_busy},
        {QStringLiteral("reconnects"), m_monitor.reconnectCount()},
        {QStringLiteral("hexDump"), m_hexDump},
        {QStringLiteral("settings"), values},
        {QStringLiteral("settingsPath"), m_settings.filePath()},
        {QStringLiteral("counters"), m_counters.state()},
    };
}

void RecorderService::toggleConnection() {
    m_monitor.toggleConnection();
}

void RecorderService::setHexDump(bool on) {
    m_hexDump = on;
    m_monitor.setHexDump(on);
}

void RecorderService::setSetting(int key, QVariant value, QString origin) {
    if (key < 0 || key >= Settings::KeyCount)
        return;
    // The window applied the autostart entry itself when its operator changed the box.
    m_origin = origin;
    m_settings.setApplied(Settings::Key(key), value);
    m_origin.clear();
}

QString RecorderService::loadSettings() {
    try {
        m_settings.load(); // the watchdog's period follows the load through the host's wiring
    } catch (const std::exception& e) {
        return errorText(e);
    }
    return {};
}

QString RecorderService::saveSettings() {
    try {
        m_settings.save();
    } catch (const std::exception& e) {
        return errorText(e);
    }
    return {};
}

void RecorderService::resetCounter(int input) {
    m_counters.reset(input);
}

void RecorderService::resetPeriodSum() {
    m_counters.resetPeriodSum();
}

void RecorderService::setPeriod(QDateTime from, QDateTime to) {
    m_counters.setPeriod(from, to);
}

void RecorderService::setPeriodInput(int input) {
    m_counters.setPeriodInput(input);
}
