#pragma once

// The recorder's configuration as the tests make it: no start-up wait (nothing in a test waits for a network to
// come up), the program's other timings, and the clock the test hands in.

#include "pinnedclock.h"

#include "core/host/coreconfig.h"

#include <memory>

inline CoreConfig testConfig(std::shared_ptr<const Clock> clock = Clock::system()) {
    CoreConfig config;
    config.monitor.startupMs = 0;
    config.clock = std::move(clock);
    return config;
}
