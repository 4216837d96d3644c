#pragma once

// A clock a test sets: the real time until setNow() pins it, then the pinned time, moved on by advance() and, with
// a step, by every reading as the real one moves between two readings. Safe from any thread: the test sets it while
// the recorder's threads read it.

#include "core/recording/clock.h"

#include <QDateTime>

#include <memory>
#include <mutex>

class PinnedClock : public Clock {
public:
    QDateTime now() const override {
        const std::lock_guard lock(m_mutex);
        if (!m_pinned)
            return QDateTime::currentDateTime();
        const QDateTime reading = m_fixed;
        m_fixed = m_fixed.addMSecs(m_step);
        return reading;
    }

    // Pins the clock; now() returns this value (plus whatever advance() and the step added) until reset().
    void setNow(const QDateTime& fixed) {
        const std::lock_guard lock(m_mutex);
        m_fixed = fixed;
        m_pinned = true;
    }
    void advance(qint64 msecs) {
        const std::lock_guard lock(m_mutex);
        m_fixed = m_fixed.addMSecs(msecs);
    }
    void setStepPerReading(qint64 msecs) {
        const std::lock_guard lock(m_mutex);
        m_step = msecs;
    }
    // The real time again, without a step.
    void reset() {
        const std::lock_guard lock(m_mutex);
        m_pinned = false;
        m_step = 0;
    }

private:
    mutable std::mutex m_mutex;
    mutable QDateTime m_fixed;
    qint64 m_step = 0;
    bool m_pinned = false;
};

// A clock pinned at a moment, to hand to a configuration or a settings model.
inline std::shared_ptr<PinnedClock> pinnedClock(const QDateTime& at) {
    auto clock = std::make_shared<PinnedClock>();
    clock->setNow(at);
    return clock;
}
