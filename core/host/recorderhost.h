#pragma once

#include "core/host/coreconfig.h"
#include "core/recording/counters.h"
#include "core/link/monitor.h"
#include "core/mqtt/mqttsettings.h"
#include "core/serving/recorderport.h"
#include "core/settings/settings.h"

#include <QThread>

#include <memory>

class MqttOutbox;
class MqttPublisher;
class RecorderService;

// Raises this process's soft limit of open descriptors to its hard limit, as a service does at its start: windows'
// connections come and go, and the event files and the controller's link must always find a descriptor.
void raiseDescriptorLimit();

// The one place that creates the recorder: the settings and counters models and the monitor core on a thread of
// its own. The windowed program, the headless recorder, the tests and the benches all start it here; it needs no
// widget library. Every file the recorder owns (the settings file, the running number, the event files) is
// written on the core's thread only: the settings model runs its loads and saves there, whoever asks.
class RecorderHost {
public:
    // settingsPath: the settings file, or empty for the one that belongs to the executable. config: the timings,
    // limits and clock the parts are made with (config).
    explicit RecorderHost(const QString& settingsPath = QString(), const CoreConfig& given = CoreConfig());
    ~RecorderHost(); // stops the service and the core's thread
    RecorderHost(const RecorderHost&) = delete;
    RecorderHost& operator=(const RecorderHost&) = delete;

    const CoreConfig config; // as the host was made; the settings hand its clock on
    Settings settings{config.clock};
    Counters counters;
    Monitor* monitor = nullptr;
    // The plant broker: its settings (the [MQTT] section, loaded with the settings) and the publisher, which runs
    // on a thread of its own and takes every recorded event through the outbox.
    MqttSettings mqttSettings{settings};
    MqttPublisher* mqtt = nullptr;
    // The in-process view of the core, living on the thread that created the host.
    RecorderPort* port() const { return m_port.get(); }

    // Runs f on the core's thread and waits for it.
    template <typename F> void onCore(F f) { QMetaObject::invokeMethod(monitor, f, Qt::BlockingQueuedConnection); }

    // Serves the recorder's state and takes commands over a local socket, for windows of other processes; false
    // with the reason in error when the socket cannot be opened (the recorder records all the same).
    bool serve(const QString& socketPath, QString* error);
    // The service, once serve() succeeded; it lives on the core's thread.
    RecorderService* service() const { return m_service; }

    // The exit: the running number is stored and the link closed, on the core's thread. Returns the error text of
    // a failed store, or an empty text.
    QString shutdown();

private:
    // A thread that is stopped and joined when it goes, so a failure half-way through the constructor never
    // leaves a running thread to be destroyed.
    class JoiningThread : public QThread {
    public:
        ~JoiningThread() override {
            quit();
            wait();
        }
    };
    JoiningThread m_coreThread;
    JoiningThread m_mqttThread;
    std::unique_ptr<MqttOutbox> m_outbox;
    QMetaObject::Connection connectLevelsFeed();

    QList<QMetaObject::Connection> m_mqttFeeds; // the core's direct calls into the publisher
    std::unique_ptr<RecorderPort> m_port;
    RecorderService* m_service = nullptr; // lives on the core's thread
};
