#include "core/recorderhost.h"

#include "core/recorderservice.h"

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
        connect(monitor, &Monitor::sequenceNumberFallback, this,
                [this](const QString& text) { emit notice(QStringLiteral("Pořadové číslo"), text); });
    }
    void toggleConnection() override {
        QMetaObject::invokeMethod(m_monitor, &Monitor::btnPripojClick, Qt::QueuedConnection);
    }
    void setHexDump(bool on) override { m_monitor->setHexDump(on); }

private:
    Monitor* m_monitor;
};

} // namespace

RecorderHost::RecorderHost(const QString& settingsPath) {
    if (!settingsPath.isEmpty())
        settings.setFilePath(settingsPath);
    settings.removeStaleTemporaryFiles();
    monitor = new Monitor(settings, counters);
    monitor->moveToThread(&m_coreThread);
    // Loads, saves and the running number's stores run where the recorder runs, one after another.
    settings.moveToThread(&m_coreThread);
    m_coreThread.setObjectName(QStringLiteral("impulz-core"));
    m_coreThread.start();
    m_port = std::make_unique<LocalRecorder>(monitor);
    // A load sets the watchdog's period.
    QObject::connect(&settings, &Settings::loaded, monitor, &Monitor::applyWatchdogInterval);
}

RecorderHost::~RecorderHost() {
    m_port.reset();
    // The core's objects go back to this thread to be destroyed here, once their own thread has stopped.
    QThread* here = QThread::currentThread();
    onCore([this, here] {
        delete m_service;
        m_service = nullptr;
        settings.moveToThread(here);
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
        if (ok)
            m_service = service;
        else
            delete service;
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
