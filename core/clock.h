#pragma once

#include <QDateTime>

// The program's one clock. Everything that stamps an event, names a file or checks a period reads it here,
// so a test can pin the time (KeePassXC's Clock/MockClock idea).
class Clock {
public:
    // Local wall-clock time, or the pinned time while one is set.
    static QDateTime now();

    // Pins the clock; now() returns this value (plus whatever advance() added) until reset().
    static void setNow(const QDateTime& fixed);
    static void advance(qint64 msecs);
    // A pinned clock that moves on by msecs with every reading, as the real one does between two readings.
    static void setStepPerReading(qint64 msecs);
    static void reset();
};
