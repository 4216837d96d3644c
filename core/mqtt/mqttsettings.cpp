#include "core/mqtt/mqttsettings.h"

#include "core/settings/inifile.h"
#include "core/settings/settings.h"

#include <QHostInfo>
#include <QThread>

#include <exception>

const QString MqttConfig::Section = QStringLiteral("MQTT");

namespace {
const QString kServer = QStringLiteral("Server");
const QString kPort = QStringLiteral("Port");
const QString kClientId = QStringLiteral("ClientId");
const QString kPrefix = QStringLiteral("Prefix");
const QString kUser = QStringLiteral("User");
const QString kPasswordFile = QStringLiteral("PasswordFile");
const QString kTls = QStringLiteral("TLS");
const QString kCaFile = QStringLiteral("CAFile");
} // namespace

QString MqttConfig::effectiveClientId(int lineNumber) const {
    if (!clientId.trimmed().isEmpty())
        return clientId.trimmed();
    return QStringLiteral("impulz-%1-%2").arg(lineNumber).arg(QHostInfo::localHostName());
}

QString MqttConfig::effectivePrefix(int lineNumber) const {
    QString p = prefix.trimmed();
    while (p.endsWith(QLatin1Char('/')))
        p.chop(1);
    if (!p.isEmpty())
        return p;
    return QStringLiteral("impulz/%1").arg(lineNumber, 2, 10, QLatin1Char('0'));
}

MqttConfig MqttConfig::read(const IniFile& ini) {
    MqttConfig c;
    c.server = ini.readString(Section, kServer, QString()).trimmed();
    const int port = ini.readInteger(Section, kPort, 1883);
    c.port = port >= 1 && port <= 65535 ? port : 1883; // a port out of range is a typing error, not a new default
    c.clientId = ini.readString(Section, kClientId, QString());
    c.prefix = ini.readString(Section, kPrefix, QString());
    c.user = ini.readString(Section, kUser, QString());
    c.passwordFile = ini.readString(Section, kPasswordFile, QString());
    c.tls = ini.readBool(Section, kTls, false);
    c.caFile = ini.readString(Section, kCaFile, QString());
    return c;
}

QList<std::pair<QString, QString>> MqttConfig::keyValues() const {
    return {{kServer, server},
            {kPort, QString::number(port)},
            {kClientId, clientId},
            {kPrefix, prefix},
            {kUser, user},
            {kPasswordFile, passwordFile},
            {kTls, tls ? QStringLiteral("1") : QStringLiteral("0")},
            {kCaFile, caFile}};
}

MqttSettings::MqttSettings(Settings& settings, QObject* parent) : QObject(parent), m_settings(settings) {
    // A load of the settings file (at start, or the operator's reload) brings this section with it.
    connect(&settings, &Settings::loaded, this, &MqttSettings::load);
}

MqttConfig MqttSettings::config() const {
    QMutexLocker lock(&m_mutex);
    return m_config;
}

void MqttSettings::setConfig(const MqttConfig& config) {
    {
        QMutexLocker lock(&m_mutex);
        if (m_config == config)
            return;
        m_config = config;
    }
    emit changed();
}

int MqttSettings::lineNumber() const {
    return m_settings.number(Settings::LineNumber);
}

void MqttSettings::load() {
    m_settings.runOnOwnThread([this] { setConfig(MqttConfig::read(IniFile(m_settings.filePath()))); });
}

void MqttSettings::saveLater(const MqttConfig& config, QObject* context,
                             std::function<void(const QString& error)> done) {
    m_settings.runOnOwnThreadLater(
        [this, config] {
            IniFile::update(m_settings.filePath(), MqttConfig::Section, config.keyValues());
            setConfig(config);
        },
        context, std::move(done));
}
