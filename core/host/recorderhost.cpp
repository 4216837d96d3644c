#include "core/host/recorderhost.h"

#include "core/mqtt/mqttoutbox.h"
#include "core/mqtt/mqttpublisher.h"
#include "core/recording/recorder.h"
#include "core/serving/recorderservice.h"

#include <sys/resource.h>

namespace {

// The in-process view: the core's signals, queued from its thread, and the commands posted to it.
class LocalRecorder : public RecorderPort {
public:
    explicit LocalRecorder(Monitor* monitor) : m_monitor(monitor) {
        connect(monitor, &Monitor::reportDecoded, this, &RecorderPort::reportDecoded);
        connect(monitor, &Monitor::logLine, this, &RecorderPort::logLine);
        connect(monitor, &Monitor::dataEvent, this, &RecorderPort::dataEvent);
        connect(monitor, &Monitor::connectionChanged, this, &RecorderPort::connectionChanged);
        connect(monitor, &Monitor::busyChanged, this, &RecorderPort::busyChanged);
        connect(monitor, &Monitor::reconnected, this, &RecorderPort::reconnected);
        connect(monitor, &Monitor::warning, this, &RecorderPort::warning);
        connect(monitor, &Monitor::writeFailed, this, &RecorderPort::writeFailed);
        connect(monitor, &Monitor::notice, this, &RecorderPort::notice);
    }
    void toggleConnection() override {
        QMetaObject::invokeMethod(m_monitor, &Monitor::toggleConnection, Qt::QueuedConnection);
    }
    void setHexDump(bool on) override { m_monitor->setHexDump(on); }

private:
    Monitor* m_monitor;
};

} // namespace

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

RecorderHost::RecorderHost(const QString& settingsPath, const CoreConfig& given) : config(given) {
    if (!settingsPath.isEmpty())
        settings.setFilePath(settingsPath);
    settings.removeStaleTemporaryFiles();
    monitor = new Monitor(settings, counters, config.monitor);
    monitor->moveToThread(&m_coreThread);
    // Loads, saves and the running number's stores run where the recorder runs, one after another.
    settings.moveToThread(&m_coreThread);
    m_coreThread.setObjectName(QStringLiteral("impulz-core"));
    m_coreThread.start();
    m_port = std::make_unique<LocalRecorder>(monitor);
    // A load sets the watchdog's period.
    QObject::connect(&settings, &Settings::loaded, monitor, &Monitor::applyWatchdogInterval);
    QObject::connect(&settings, &Settings::logLine, monitor, &Monitor::logLine);

    // Publishing hangs off the recorder: on the core's thread a group's events are journaled in the outbox with
    // the group's own syncs, and the publisher, on its own thread, takes them from there once the files are durable.
    mqttSettings.moveToThread(&m_coreThread);
    m_outbox = std::make_unique<MqttOutbox>(settings.filePath(), config.outbox);
    mqtt = new MqttPublisher(settings, mqttSettings, *m_outbox, monitor, config.mqtt);
    mqtt->moveToThread(&m_mqttThread);
    m_mqttThread.setObjectName(QStringLiteral("impulz-mqtt"));
    m_mqttThread.start();
    MqttPublisher* publisher = mqtt;
    MqttOutbox* outbox = m_outbox.get();
    onCore([this, outbox] { monitor->recorder()->setOutbox(outbox, &mqttSettings); });
    m_mqttFeeds = {connectLevelsFeed(), QObject::connect(
                                            monitor->recorder(), &Recorder::journaled, monitor->recorder(),
                                            [publisher] { publisher->journaled(); }, Qt::DirectConnection)};
    QObject::connect(&mqttSettings, &MqttSettings::changed, mqtt, &MqttPublisher::reconfigure);
    QObject::connect(&settings, &Settings::loaded, mqtt, &MqttPublisher::reconfigure);
    QObject::connect(mqtt, &MqttPublisher::logLine, monitor, &Monitor::logLine);
}

QMetaObject::Connection RecorderHost::connectLevelsFeed() {
    MqttPublisher* publisher = mqtt;
    return QObject::connect(
        monitor, &Monitor::reportDecoded, monitor, [publisher](quint8 value) { publisher->reportLevels(value); },
        Qt::DirectConnection);
}

RecorderHost::~RecorderHost() {
    m_port.reset();
    onCore([this] {
        monitor->recorder()->setOutbox(nullptr, nullptr);
        for (const QMetaObject::Connection& c : std::as_const(m_mqttFeeds))
            QObject::disconnect(c);
    });
    // A clean exit says "offline" to the broker itself and keeps the cursor; the outbox outlives the publisher.
    QMetaObject::invokeMethod(
        mqtt,
        [this] {
            mqtt->stop();
            delete mqtt;
        },
        Qt::BlockingQueuedConnection);
    mqtt = nullptr;
    m_mqttThread.quit();
    m_mqttThread.wait();
    // The core's objects go back to this thread to be destroyed here, once their own thread has stopped.
    QThread* here = QThread::currentThread();
    onCore([this, here] {
        delete m_service;
        m_service = nullptr;
        settings.moveToThread(here);
        mqttSettings.moveToThread(here);
        monitor->moveToThread(here);
    });
    m_coreThread.quit();
    m_coreThread.wait();
    delete monitor;
}

bool RecorderHost::serve(const QString& socketPath, QString* error) {
    bool ok = false;
    onCore([&] {
        auto* service = new RecorderService(settings, counters, *monitor);
        ok = service->listen(socketPath, error);
        if (ok) {
            m_service = service;
            // Slots run in the order they were connected: the windows' LEDs go before the publisher's levels.
            QObject::disconnect(m_mqttFeeds[0]);
            m_mqttFeeds[0] = connectLevelsFeed();
        } else {
            delete service;
        }
    });
    return ok;
}

QString RecorderHost::shutdown() {
    QString error;
    onCore([this, &error] {
        if (m_service)
            m_service->announceEnd();
        error = monitor->shutdown();
    });
    return error;
}
