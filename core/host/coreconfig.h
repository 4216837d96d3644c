#pragma once

#include "core/recording/clock.h"

#include <QtGlobal>

#include <memory>

// The recorder's timings, limits and clock: one plain value handed to the host, which passes each part to the
// object that uses it. The defaults are the program's own; a test or a bench builds the value it needs (short
// waits, a clock it sets) and hands it in, so nothing that the recorder's threads read is changed under them.

// The monitor's blocking waits, in milliseconds; they block the core's thread only.
struct MonitorWaits {
    int startupMs = 1000; // before the automatic connection at start
    int watchdogMs = 600; // between the disconnect and the new connection of each watchdog firing
};

// The publisher's timings: no answer to CONNECT within connectTimeoutMs drops the attempt; retries start after
// retryMinMs and double up to retryMaxMs; the cursor is stored at most every cursorStoreMs; at most window events
// are in flight.
struct MqttTimings {
    int connectTimeoutMs = 10000;
    int retryMinMs = 1000;
    int retryMaxMs = 30000;
    int cursorStoreMs = 200;
    int window = 256;
};

// The outbox's journal starts over when it is longer than compactBytes and fully delivered.
struct OutboxLimits {
    qint64 compactBytes = 4 << 20;
};

// A window whose recorder ended looks for it to serve again every pollMs, and one look waits at most waitMs for it
// to answer.
struct ReattachTimings {
    int pollMs = 250;
    int waitMs = 1000;
};

struct CoreConfig {
    MonitorWaits monitor;
    MqttTimings mqtt;
    OutboxLimits outbox;
    ReattachTimings reattach;
    // Read by the recorder's threads and the windows alike; the settings model hands it on.
    std::shared_ptr<const Clock> clock = Clock::system();
};
