#pragma once

#include <QDateTime>

#include <memory>

// The program's one clock. Everything that stamps an event, names a file or checks a period reads now() from the
// clock the recorder's configuration was given, so a test can hand in one that it sets (KeePassXC's
// Clock/MockClock idea) without anything static changing under the recorder's threads.
class Clock {
public:
    Clock() = default;
    virtual ~Clock() = default;
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;

    // Local wall-clock time. Safe from any thread.
    virtual QDateTime now() const;

    // The real clock, the one every configuration has unless it is given another.
    static std::shared_ptr<const Clock> system();
};
