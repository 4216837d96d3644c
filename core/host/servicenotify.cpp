#include "core/host/servicenotify.h"

#include "core/mqtt/mqttpublisher.h"
#include "core/host/recorderhost.h"

#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

bool ServiceNotify::send(const QByteArray& message) {
    const QByteArray name = qgetenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    // A path must be absolute; an abstract name ("@...") is sent with a leading NUL and without a terminating one.
    if (name.size() < 2 || (name[0] != '/' && name[0] != '@') || size_t(name.size()) >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    if (name[0] == '@')
        address.sun_path[0] = '\0';
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()) + (name[0] == '/' ? 1 : 0));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ssize_t sent;
    do {
        sent = ::sendto(fd, message.constData(), size_t(message.size()), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), length);
    } while (sent < 0 && errno == EINTR);
    ::close(fd);
    return sent == message.size();
}

qint64 ServiceNotify::watchdogUsec() {
    bool ok = false;
    const qint64 usec = qgetenv("WATCHDOG_USEC").toLongLong(&ok);
    if (!ok || usec <= 0)
        return 0;
    // The manager sets the pid when the variable could reach other processes than the one it watches.
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    if (!pid.isEmpty() && pid.toLongLong() != qint64(::getpid()))
        return 0;
    return usec;
}

void ServiceNotify::waiting(const QString& reason) {
    // The manager's start-up timeout runs from now on for another 30 s; the caller says it again every few seconds.
    send("STATUS=" + QStringLiteral("Čekám na konec jiného záznamu: %1").arg(reason).toUtf8() +
         "\nEXTEND_TIMEOUT_USEC=30000000");
}

// The timers on the core's thread: the pings, and the status looked at once a second and sent when it changed.
class ServiceWatch : public QObject {
public:
    explicit ServiceWatch(RecorderHost& host) : m_host(host) {
        if (const qint64 usec = ServiceNotify::watchdogUsec(); usec > 0) {
            m_ping.setInterval(int(std::clamp<qint64>(usec / 2000, 1, 24 * 3600 * 1000)));
            connect(&m_ping, &QTimer::timeout, this, [] { ServiceNotify::send("WATCHDOG=1"); });
            m_ping.start();
        }
        m_poll.setInterval(1000);
        connect(&m_poll, &QTimer::timeout, this, &ServiceWatch::update);
        m_poll.start();
        // A change of connection is said at once; the backlog, which may change with every event, at most once a
        // second.
        connect(host.monitor->link(), &ControllerLink::sessionConnected, this, &ServiceWatch::update);
        connect(host.monitor, &Monitor::connectionChanged, this, &ServiceWatch::update);
        connect(host.monitor, &Monitor::reconnected, this, &ServiceWatch::update);
        connect(host.mqtt, &MqttPublisher::connectedChanged, this, &ServiceWatch::update);
        m_status = ServiceNotifier::statusText(host);
        ServiceNotify::send("READY=1\nSTATUS=" + m_status.toUtf8());
    }

private:
    void update() {
        const QString status = ServiceNotifier::statusText(m_host);
        if (status != m_status && ServiceNotify::send("STATUS=" + status.toUtf8()))
            m_status = status;
    }

    RecorderHost& m_host;
    QTimer m_ping;
    QTimer m_poll;
    QString m_status;
};

ServiceNotifier::ServiceNotifier(RecorderHost& host) : m_host(host) {
    host.onCore([this, &host] { m_watch = new ServiceWatch(host); });
}

ServiceNotifier::~ServiceNotifier() {
    m_host.onCore([this] { delete m_watch; });
}

void ServiceNotifier::stopping() {
    // Once the stop is said, nothing follows it: the manager stops watching the pings when it hears it, and the
    // link's closing must not put a connection state back in place of the stop.
    m_host.onCore([this] {
        delete m_watch;
        m_watch = nullptr;
    });
    ServiceNotify::send("STOPPING=1\nSTATUS=" + QStringLiteral("Ukončuji záznam").toUtf8());
}

QString ServiceNotifier::statusText(const RecorderHost& host) {
    const Settings& settings = host.settings;
    QString text = QStringLiteral("Řídicí jednotka %1:%2 %3")
                       .arg(settings.text(Settings::Address), settings.text(Settings::Port),
                            host.monitor->socketState() == wsConnected ? QStringLiteral("připojena")
                                                                       : QStringLiteral("nepřipojena"));
    if (const int count = host.monitor->reconnectCount(); count > 0)
        text += QStringLiteral(", obnovení komunikace %1×").arg(count);
    if (const MqttConfig mqtt = host.mqttSettings.config(); mqtt.enabled())
        text += QStringLiteral("; MQTT %1:%2 %3, nedoručeno %4 událostí")
                    .arg(mqtt.server)
                    .arg(mqtt.port)
                    .arg(host.mqtt->isConnected() ? QStringLiteral("připojen") : QStringLiteral("nepřipojen"))
                    .arg(host.mqtt->backlog());
    return text;
}
