#include "core/clock.h"

#include <atomic>
#include <mutex>

namespace {
std::mutex g_mutex;
QDateTime g_fixed;
std::atomic<bool> g_pinned{false};
} // namespace

QDateTime Clock::now() {
    if (!g_pinned.load(std::memory_order_acquire))
        return QDateTime::currentDateTime();
    std::lock_guard lock(g_mutex);
    return g_fixed;
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

void Clock::reset() {
    g_pinned.store(false, std::memory_order_release);
}
