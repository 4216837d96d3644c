#pragma once

// Every static seam of the core, put back as it was found when the guard goes, however the test ended: a failed
// assertion returns from the test function and would otherwise leave a short wait, a hook or a pinned clock to
// the next test.

#include "core/clock.h"
#include "core/monitor.h"
#include "core/recorder.h"
#include "core/mqttoutbox.h"
#include "core/mqttpublisher.h"

#include <functional>

class CoreSeams {
public:
    CoreSeams() = default;
    ~CoreSeams() {
        Monitor::StartupWaitMs = m_startupWaitMs;
        Monitor::WatchdogWaitMs = m_watchdogWaitMs;
        Recorder::beforeEventWrites = m_beforeEventWrites;
        MqttPublisher::ConnectTimeoutMs = m_connectTimeoutMs;
        MqttPublisher::RetryMinMs = m_retryMinMs;
        MqttPublisher::RetryMaxMs = m_retryMaxMs;
        MqttPublisher::CursorStoreMs = m_cursorStoreMs;
        MqttPublisher::Window = m_window;
        MqttOutbox::CompactBytes = m_compactBytes;
        Clock::reset();
    }
    CoreSeams(const CoreSeams&) = delete;
    CoreSeams& operator=(const CoreSeams&) = delete;

private:
    int m_startupWaitMs = Monitor::StartupWaitMs;
    int m_watchdogWaitMs = Monitor::WatchdogWaitMs;
    std::function<void()> m_beforeEventWrites = Recorder::beforeEventWrites;
    int m_connectTimeoutMs = MqttPublisher::ConnectTimeoutMs;
    int m_retryMinMs = MqttPublisher::RetryMinMs;
    int m_retryMaxMs = MqttPublisher::RetryMaxMs;
    int m_cursorStoreMs = MqttPublisher::CursorStoreMs;
    int m_window = MqttPublisher::Window;
    qint64 m_compactBytes = MqttOutbox::CompactBytes;
};
