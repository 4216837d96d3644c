#include "core/mqtt/mqttpublisher.h"

#include "core/link/monitor.h"
#include "core/mqtt/mqttoutbox.h"
#include "core/settings/settings.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSocketNotifier>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <sys/socket.h>
#include <sys/stat.h>

namespace {

QByteArray jsonString(const QString& text) {
    // A one-element array is the shortest way to Qt's escaping; the brackets go.
    const QByteArray a = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return a.mid(1, a.size() - 2);
}

QString errorText(int rc) {
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

// The broker's refusal in its CONNACK, as the operator can act on it.
QString connackReason(int code) {
    switch (code) {
    case 1:
        return QStringLiteral("broker nepodporuje MQTT 3.1.1");
    case 2:
        return QStringLiteral("broker odmítl identifikátor klienta");
    case 3:
        return QStringLiteral("broker dočasně nepřijímá spojení");
    case 4:
        return QStringLiteral("přihlášení odmítnuto: chybné jméno nebo heslo");
    case 5:
        return QStringLiteral("přihlášení odmítnuto: klient nemá oprávnění");
    default:
        return QStringLiteral("broker odmítl spojení (kód %1)").arg(code);
    }
}

// A CONNACK is the first thing an MQTT 3.1.1 broker sends: packet type 2 with two bytes to follow.
bool startsLikeConnack(const unsigned char* bytes, ssize_t n) {
    return n <= 0 || (bytes[0] == 0x20 && (n < 2 || bytes[1] == 0x02));
}

} // namespace

// ---- Messages ----

QString MqttPayload::eventTime(const QByteArray& line) {
    // "dd.MM.yy;hh:mm:ss": the recorder writes nothing else, so anything else is not an event's time.
    if (line.size() < 17 || line[2] != '.' || line[5] != '.' || line[8] != ';' || line[11] != ':' || line[14] != ':')
        return {};
    auto two = [&](int at) {
        const char a = line[at], b = line[at + 1];
        return a >= '0' && a <= '9' && b >= '0' && b <= '9' ? (a - '0') * 10 + (b - '0') : -1;
    };
    const QDate date(2000 + two(6), two(3), two(0));
    const QTime time(two(9), two(12), two(15));
    if (!date.isValid() || !time.isValid())
        return {};
    const QDateTime local(date, time);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QByteArray MqttPayload::event(const MqttOutboxEntry& entry, const QString& id) {
    QFile file(entry.path);
    QString time;
    if (file.open(QIODevice::ReadOnly))
        time = eventTime(file.read(32));
    return "{\"line\": " + QByteArray::number(entry.line) + ", \"bit\": " + QByteArray::number(entry.bit) +
           ", \"time\": " + (time.isEmpty() ? QByteArray("null") : jsonString(time)) +
           ", \"number\": " + (entry.number ? QByteArray::number(*entry.number) : QByteArray("null")) +
           ", \"file\": " + jsonString(QFileInfo(entry.path).fileName()) + ", \"id\": " + jsonString(id) + "}";
}

QByteArray MqttPayload::levels(quint8 raw, const QDateTime& time) {
    QByteArray list;
    for (int n = 0; n < 8; ++n)
        list += QByteArray(n ? "," : "") + (raw >> n & 1 ? '0' : '1');
    return "{\"levels\": [" + list +
           "], \"time\": " + jsonString(time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate)) + "}";
}

QByteArray MqttPayload::controller(bool connected, int reconnects) {
    return QByteArray("{\"state\": \"") + (connected ? "connected" : "disconnected") +
           "\", \"reconnects\": " + QByteArray::number(reconnects) + "}";
}

// ---- Publisher ----

MqttPublisher::MqttPublisher(Settings& settings, MqttSettings& mqttSettings, MqttOutbox& outbox, const Monitor* monitor,
                             MqttTimings timings, QObject* parent)
    : QObject(parent), m_settings(settings), m_mqttSettings(mqttSettings), m_outbox(outbox), m_monitor(monitor),
      m_timings(timings), m_tick(this), m_retry(this) {
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    m_tick.setInterval(100);
    connect(&m_tick, &QTimer::timeout, this, &MqttPublisher::onTick);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttPublisher::connectNow);
}

MqttPublisher::~MqttPublisher() {
    if (m_mosq)
        mosquitto_destroy(m_mosq);
}

qint64 MqttPublisher::backlog() const {
    return m_outbox.backlog();
}

QString MqttPublisher::brokerText() const {
    return QStringLiteral("%1:%2").arg(m_config.server.trimmed()).arg(m_config.port);
}

void MqttPublisher::reportLevels(quint8 raw) {
    {
        QMutexLocker lock(&m_levelsMutex);
        if (m_levels && m_levels->first == raw)
            return;
        m_levels = std::make_pair(raw, m_settings.clock().now());
    }
    // Without a broker the levels wait here: the connection publishes them when it comes. A report costs the core's
    // thread no wake-up of this one meanwhile.
    if (m_connected)
        poke();
}

void MqttPublisher::poke() {
    if (!m_pokePending.exchange(true))
        QMetaObject::invokeMethod(this, &MqttPublisher::pump, Qt::QueuedConnection);
}

void MqttPublisher::reconfigure() {
    MqttConfig wanted = m_mqttSettings.config();
    const int line = m_settings.number(Settings::LineNumber);
    wanted.clientId = wanted.effectiveClientId(line);
    wanted.prefix = wanted.effectivePrefix(line);
    if (wanted == m_config && (m_mosq || m_retry.isActive()))
        return;
    if (m_mosq && m_connected) {
        // The broker that is left sees a clean exit, not a lost recorder.
        publish(m_prefix + QStringLiteral("/status"), "offline", true);
        mosquitto_disconnect(m_mosq);
    }
    const bool was = m_config.enabled();
    m_config = wanted;
    m_prefix = wanted.prefix;
    m_retry.stop();
    m_retryMs = 0;
    m_outageLogged = false;
    m_outageReason.clear();
    if (m_mosq)
        teardown(QString());
    m_retry.stop();
    if (!m_config.enabled()) {
        m_tick.stop();
        if (was)
            emit logLine(QStringLiteral("MQTT: odesílání vypnuto"));
        return;
    }
    m_tick.start();
    connectNow();
}

void MqttPublisher::connectNow() {
    if (!m_config.enabled() || m_mosq)
        return;
    m_connackSeen = false;
    m_mosq = mosquitto_new(m_config.clientId.toUtf8().constData(), true, this);
    if (!m_mosq) {
        teardown(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(m_mosq, 0); // the outbox's window is the limit
    mosquitto_connect_callback_set(m_mosq, &MqttPublisher::connectCallback);
    mosquitto_log_callback_set(m_mosq, &MqttPublisher::logCallback);
    m_lastLibraryError.clear();
    mosquitto_publish_callback_set(m_mosq, &MqttPublisher::publishCallback);
    if (!m_config.user.isEmpty()) {
        QByteArray password;
        if (!m_config.passwordFile.isEmpty()) {
            QFile file(m_config.passwordFile);
            if (!file.open(QIODevice::ReadOnly)) {
                teardown(QStringLiteral("heslo nelze číst z %1: %2").arg(m_config.passwordFile, file.errorString()));
                return;
            }
            // As ssh does for a key: a password that others may read is refused, not used.
            struct stat st {};
            if (::fstat(file.handle(), &st) == 0 && (st.st_mode & 077) != 0) {
                teardown(QStringLiteral("heslo v %1 nepoužito: soubor mohou číst i jiní uživatelé (práva %2), "
                                        "nastavte mu práva 600")
                             .arg(m_config.passwordFile)
                             .arg(st.st_mode & 0777, 3, 8, QLatin1Char('0')));
                return;
            }
            password = file.readLine().trimmed();
        }
        mosquitto_username_pw_set(m_mosq, m_config.user.toUtf8().constData(),
                                  m_config.passwordFile.isEmpty() ? nullptr : password.constData());
    }
    if (m_config.tls) {
        const QByteArray ca = QFile::encodeName(m_config.caFile);
        const int rc = mosquitto_tls_set(m_mosq, ca.isEmpty() ? nullptr : ca.constData(),
                                         ca.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            teardown(QStringLiteral("TLS: %1 (%2)").arg(errorText(rc), m_config.caFile));
            return;
        }
    }
    const QByteArray will = m_prefix.toUtf8() + "/status";
    mosquitto_will_set(m_mosq, will.constData(), 7, "offline", 1, true);
    m_connectStarted.start();
    const int rc = mosquitto_connect_async(m_mosq, m_config.server.trimmed().toUtf8().constData(), m_config.port,
                                           KeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        teardown(reasonFor(rc, errno));
        return;
    }
    service();
}

void MqttPublisher::teardown(const QString& reason) {
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
    for (QSocketNotifier* n : {m_readNotifier, m_writeNotifier}) {
        if (n) {
            n->setEnabled(false);
            n->deleteLater(); // this may run inside the notifier's own signal
        }
    }
    m_readNotifier = m_writeNotifier = nullptr;
    m_fd = -1;
    m_midToSeq.clear();
    m_outbox.rewind(); // what was in flight goes again, in order, on the next connection
    if (m_connected.exchange(false))
        emit connectedChanged(false);
    if (reason.isEmpty())
        return;
    m_outageReason = reason;
    if (!m_outageLogged) {
        emit logLine(QStringLiteral("MQTT: broker %1 nedostupný (%2)").arg(brokerText(), reason));
        m_outageLogged = true;
    }
    noteBacklog();
    m_retryMs = m_retryMs ? qMin(2 * m_retryMs, m_timings.retryMaxMs) : m_timings.retryMinMs;
    m_retry.start(m_retryMs);
}

void MqttPublisher::service() {
    const int fd = m_mosq ? mosquitto_socket(m_mosq) : -1;
    if (fd != m_fd) {
        for (QSocketNotifier* n : {m_readNotifier, m_writeNotifier}) {
            if (n) {
                n->setEnabled(false);
                n->deleteLater();
            }
        }
        m_readNotifier = m_writeNotifier = nullptr;
        m_fd = fd;
        if (fd >= 0) {
            m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            connect(m_readNotifier, &QSocketNotifier::activated, this, &MqttPublisher::onRead);
            m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
            connect(m_writeNotifier, &QSocketNotifier::activated, this, &MqttPublisher::onWrite);
        }
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(mosquitto_want_write(m_mosq));
}

void MqttPublisher::logCallback(mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text)
        static_cast<MqttPublisher*>(self)->m_lastLibraryError = QString::fromUtf8(text);
}

QString MqttPublisher::reasonFor(int rc, int err) const {
    const bool answered = m_connackSeen;
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        switch (err) {
        case ECONNREFUSED:
            return QStringLiteral("spojení odmítnuto, na portu %1 nic nenaslouchá").arg(m_config.port);
        case ETIMEDOUT:
            return QStringLiteral("bez odpovědi, spojení vypršelo");
        case EHOSTUNREACH:
        case ENETUNREACH:
            return QStringLiteral("server není dosažitelný (%1)").arg(QString::fromLocal8Bit(std::strerror(err)));
        case ECONNRESET:
        case EPIPE:
            return answered ? QStringLiteral("broker spojení přerušil")
                            : QStringLiteral("není to MQTT server: spojení ukončil bez odpovědi");
        case 0:
        case EPROTO:
            return answered ? QStringLiteral("broker porušil protokol MQTT") : QStringLiteral("není to MQTT server");
        default:
            return QString::fromLocal8Bit(std::strerror(err));
        }
    case MOSQ_ERR_CONN_REFUSED:
        return QStringLiteral("spojení odmítnuto");
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_LOOKUP:
        return QStringLiteral("název serveru „%1“ nelze přeložit").arg(m_config.server.trimmed());
    case MOSQ_ERR_KEEPALIVE:
        return QStringLiteral("broker přestal odpovídat, na ping neodpověděl do %1 s").arg(KeepAliveSeconds);
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
        return answered ? QStringLiteral("broker porušil protokol MQTT") : QStringLiteral("není to MQTT server");
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
        return answered ? QStringLiteral("broker spojení ukončil")
                        : QStringLiteral("není to MQTT server: spojení ukončil bez odpovědi");
    case MOSQ_ERR_TLS: {
        // libmosquitto says only that TLS failed; the detail is in what it logged last.
        const QString detail = m_lastLibraryError.section(QLatin1Char(':'), -1).trimmed();
        if (m_lastLibraryError.contains(QLatin1String("certificate verify failed")))
            return QStringLiteral("certifikát není důvěryhodný: neověřen CA %1")
                .arg(m_config.caFile.isEmpty() ? QStringLiteral("systému") : m_config.caFile);
        return detail.isEmpty() ? QStringLiteral("TLS selhalo") : QStringLiteral("TLS selhalo: %1").arg(detail);
    }
    default:
        return errorText(rc);
    }
}

void MqttPublisher::connectCallback(mosquitto*, void* self, int rc) {
    auto* p = static_cast<MqttPublisher*>(self);
    p->m_connackSeen = true;
    p->m_connackCode = rc;
}

void MqttPublisher::publishCallback(mosquitto*, void* self, int mid) {
    auto* p = static_cast<MqttPublisher*>(self);
    const auto it = p->m_midToSeq.find(mid);
    if (it == p->m_midToSeq.end())
        return; // a retained state message
    p->m_outbox.delivered(it.value());
    p->m_midToSeq.erase(it);
}

void MqttPublisher::onRead() {
    if (!m_mosq)
        return;
    // Before its CONNACK, what the server sends tells an MQTT broker from anything else that listens there (a web
    // server, a controller, a forgotten test program); libmosquitto would take it for bytes of a packet.
    if (!m_connackSeen && !m_config.tls && m_fd >= 0) {
        unsigned char first[2] = {};
        const ssize_t n = ::recv(m_fd, first, sizeof first, MSG_PEEK | MSG_DONTWAIT);
        if (!startsLikeConnack(first, n)) {
            teardown(QStringLiteral("není to MQTT server"));
            return;
        }
    }
    errno = 0;
    const int rc = mosquitto_loop_read(m_mosq, 64);
    const int err = errno;
    if (m_connackSeen && m_connackCode != 0) {
        teardown(connackReason(m_connackCode));
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        teardown(reasonFor(rc, err));
        return;
    }
    if (m_connackSeen && !m_connected) {
        m_connected = true;
        m_retryMs = 0;
        emit connectedChanged(true);
        emit logLine(QStringLiteral("MQTT: připojeno k %1").arg(brokerText()));
        m_outageLogged = false;
        m_outageReason.clear();
        m_outbox.rewind();
        publish(m_prefix + QStringLiteral("/status"), "online", true);
        publishState(true);
    }
    pump();
}

void MqttPublisher::onWrite() {
    if (!m_mosq)
        return;
    errno = 0;
    const int rc = mosquitto_loop_write(m_mosq, 64);
    if (rc != MOSQ_ERR_SUCCESS) {
        teardown(reasonFor(rc, errno));
        return;
    }
    service();
}

void MqttPublisher::onTick() {
    if (m_mosq) {
        if (!m_connected && m_connectStarted.hasExpired(m_timings.connectTimeoutMs)) {
            teardown(QStringLiteral("bez odpovědi do %1 s").arg(m_timings.connectTimeoutMs / 1000.0));
            return;
        }
        // Keep-alive pings, and a broker that stopped answering them is dropped: one ping after KeepAliveSeconds
        // without a word from it, and the link goes when the ping's answer has not come KeepAliveSeconds later.
        // Before the CONNACK the connect timeout alone decides.
        if (m_connected) {
            errno = 0;
            const int rc = mosquitto_loop_misc(m_mosq);
            if (rc != MOSQ_ERR_SUCCESS) {
                teardown(reasonFor(rc, errno));
                return;
            }
        }
        publishState(false);
        service();
    }
    if (!m_lastCursorStore.isValid() || m_lastCursorStore.hasExpired(m_timings.cursorStoreMs)) {
        m_lastCursorStore.start();
        QString error;
        if (!m_outbox.storeCursor(&error))
            emit logLine(QStringLiteral("MQTT: stav odesílání nelze uložit (%1)").arg(error));
    }
    noteBacklog();
}

void MqttPublisher::noteBacklog() {
    const qint64 count = m_outbox.backlog();
    if (count != m_lastBacklog) {
        m_lastBacklog = count;
        emit backlogChanged(count);
    }
    if (!m_connected && count > 0 && !m_backlogLogged) {
        m_backlogLogged = true;
        // An attempt still under way has no failure to name yet.
        const QString reason =
            !m_outageReason.isEmpty() ? m_outageReason
            : m_mosq ? QStringLiteral("zatím neodpověděl, čeká se nejvýš %1 s").arg(m_timings.connectTimeoutMs / 1000.0)
                     : QStringLiteral("odesílání neběží");
        emit logLine(QStringLiteral("MQTT: nedoručeno %1 událostí, broker %2 nedostupný (%3); čekají v záznamu")
                         .arg(count)
                         .arg(brokerText(), reason));
    } else if (m_connected && count == 0 && m_backlogLogged) {
        m_backlogLogged = false;
        emit logLine(QStringLiteral("MQTT: nedoručeno 0 událostí, vše předáno brokeru %1").arg(brokerText()));
    }
}

bool MqttPublisher::publish(const QString& topic, const QByteArray& payload, bool retain, int* mid) {
    const int rc =
        mosquitto_publish(m_mosq, mid, topic.toUtf8().constData(), int(payload.size()), payload.constData(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        teardown(reasonFor(rc, errno));
        return false;
    }
    return true;
}

void MqttPublisher::publishState(bool force) {
    if (!m_connected)
        return;
    std::optional<std::pair<quint8, QDateTime>> levels;
    {
        QMutexLocker lock(&m_levelsMutex);
        levels = m_levels;
    }
    if (levels && (force || m_publishedLevels != levels->first)) {
        if (!publish(m_prefix + QStringLiteral("/levels"), MqttPayload::levels(levels->first, levels->second), true))
            return;
        m_publishedLevels = levels->first;
    }
    if (m_monitor) {
        const std::pair<bool, int> state{m_monitor->socketState() == wsConnected, m_monitor->reconnectCount()};
        if (force || m_publishedController != state) {
            if (!publish(m_prefix + QStringLiteral("/controller"), MqttPayload::controller(state.first, state.second),
                         true))
                return;
            m_publishedController = state;
        }
    }
}

void MqttPublisher::pump() {
    m_pokePending = false;
    if (!m_mosq || !m_connected) {
        // An event recorded while the broker is away is said at once, not at the next tick: a reconnection may
        // come before that tick and deliver the backlog without a word of it in the log.
        if (!m_backlogLogged)
            noteBacklog();
        return;
    }
    publishState(false);
    while (m_connected && m_midToSeq.size() < m_timings.window) {
        const QList<MqttOutboxEntry> entries = m_outbox.next(m_timings.window - m_midToSeq.size());
        if (entries.isEmpty())
            break;
        for (const MqttOutboxEntry& e : entries) {
            int mid = 0;
            if (!publish(m_prefix + QStringLiteral("/bit%1/event").arg(e.bit),
                         MqttPayload::event(e, MqttOutbox::idOf(e)), false, &mid))
                return;
            m_midToSeq.insert(mid, e.seq);
        }
    }
    service();
    // The end of a backlog is said as soon as its last event is acknowledged, before anything reads the log.
    if (m_backlogLogged && m_outbox.backlog() == 0)
        noteBacklog();
}

void MqttPublisher::stop() {
    m_retry.stop();
    m_tick.stop();
    if (m_mosq && m_connected) {
        int mid = 0;
        if (publish(m_prefix + QStringLiteral("/status"), "offline", true, &mid)) {
            // The retained "offline" is acknowledged, or a second has passed; then the clean DISCONNECT.
            QElapsedTimer waited;
            waited.start();
            m_midToSeq.insert(mid, -1);
            while (m_mosq && m_midToSeq.contains(mid) && !waited.hasExpired(1000)) {
                if (mosquitto_loop(m_mosq, 50, 1) != MOSQ_ERR_SUCCESS)
                    break;
            }
            if (m_mosq) {
                mosquitto_disconnect(m_mosq);
                mosquitto_loop(m_mosq, 10, 1);
            }
        }
    }
    const bool wasConnected = m_connected;
    m_config = MqttConfig();
    if (m_mosq || wasConnected)
        teardown(QString());
    m_outbox.storeCursor();
}
