#pragma once

#include <QMutex>
#include <QObject>
#include <QString>

#include <functional>
#include <utility>

class IniFile;
class Settings;

// Where and how the recorder publishes to a plant's MQTT broker: the settings file's section [MQTT], apart from the
// monitor's own section, so older files and the tools that write [Po spusteni] never meet these keys. What is
// stored is what the operator typed: an empty ClientId or Prefix means the default made from the line number.
struct MqttConfig {
    QString server; // host name or address; empty means publishing is off
    int port = 1883;
    QString clientId;
    QString prefix;
    QString user;
    QString passwordFile; // the password stays in a file of its own, never in the settings file
    bool tls = false;
    QString caFile;

    static const QString Section;

    bool enabled() const { return !server.trimmed().isEmpty(); }
    // "impulz-<line>-<host name>" unless one is set.
    QString effectiveClientId(int lineNumber) const;
    // "impulz/<line, two digits>" unless one is set; never ends in "/".
    QString effectivePrefix(int lineNumber) const;

    static MqttConfig read(const IniFile& ini);
    QList<std::pair<QString, QString>> keyValues() const;

    bool operator==(const MqttConfig&) const = default;
};

// The [MQTT] keys as a model: loaded with the settings (it follows Settings::loaded), put by the settings dialog
// and written on the settings' own thread, the recorder's, like every other write of the settings file.
class MqttSettings : public QObject {
    Q_OBJECT
public:
    explicit MqttSettings(Settings& settings, QObject* parent = nullptr);

    MqttConfig config() const;
    // Puts the values without writing them; a different value emits changed().
    void setConfig(const MqttConfig& config);
    int lineNumber() const;

    // Reads the settings file on the settings' thread, whichever thread asks.
    void load();
    // Writes config to the settings file on the settings' thread without waiting for it, and puts it in force once
    // it is written; done then runs on context's thread with the error text, empty when it succeeded.
    void saveLater(const MqttConfig& config, QObject* context, std::function<void(const QString& error)> done);

signals:
    void changed();

private:
    Settings& m_settings;
    mutable QMutex m_mutex;
    MqttConfig m_config;
};
