#pragma once

// A heartbeat on the GUI thread, for the benches that measure how long the window's thread is held: a precise timer
// whose ticks should come every period, each gap between two ticks handed over as it ends. A gap longer than the
// period is how long something kept the thread from its event loop.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

class Heartbeat {
public:
    Heartbeat(int periodMs, std::function<void(qint64 gapNs)> onGap) : m_onGap(std::move(onGap)) {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_onGap(m_sinceTick.nsecsElapsed());
            m_sinceTick.restart();
        });
        m_timer.start(periodMs);
        m_sinceTick.start();
    }
    Heartbeat(const Heartbeat&) = delete;
    Heartbeat& operator=(const Heartbeat&) = delete;

    void stop() { m_timer.stop(); }

private:
    std::function<void(qint64)> m_onGap;
    QElapsedTimer m_sinceTick;
    QTimer m_timer;
};

// Runs the GUI thread's event loop for ms milliseconds.
inline void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
