#include "core/clock.h"

#include <atomic>
#include <mutex>

namespace {
std::mutex g_mutex;
QDateTime g_fixed;
qint64 g_step = 0;
std::atomic<bool> g_pinned{false};
} // namespace

QDateTime Clock::now() {
    if (!g_pinned.load(std::memory_order_acquire))
        return QDateTime::currentDateTime();
    std::lock_guard lock(g_mutex);
    const QDateTime reading = g_fixed;
    g_fixed = g_fixed.addMSecs(g_step);
    return reading;
}

void Clock::setNow(const QDateTime& fixed) {
    std::lock_guard lock(g_mutex);
    g_fixed = fixed;
    g_pinned.store(true, std::memory_order_release);
}

void Clock::advance(qint64 msecs) {
    std::lock_guard lock(g_mutex);
    g_fixed = g_fixed.addMSecs(msecs);
}

void Clock::setStepPerReading(qint64 msecs) {
    std::lock_guard lock(g_mutex);
    g_step = msecs;
}

void Clock::reset() {
    {
        std::lock_guard lock(g_mutex);
        g_step = 0;
    }
    g_pinned.store(false, std::memory_order_release);
}
