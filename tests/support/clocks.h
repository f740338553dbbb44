// The clocks as the gateway sees them, replaced for a test (the machine's
// clock is never set), and local time pinned to UTC.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <cstdint>

#include "core/clock.h"

namespace test_support {

// Local time is UTC, whatever the machine's zone.
inline void use_utc() {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
}

// 2024-06-05 12:34:56.789 UTC
inline constexpr int64_t fake_epoch_ms = 1717590896789;

// The wall clock; setting it only records the time.
struct fake_wall_clock {
    static inline std::atomic<int64_t> now{fake_epoch_ms};
    static inline std::atomic<int64_t> set_to{-1};
    static inline std::atomic<int> set_error{0};  // errno the setter fails with, 0: succeeds
    static int64_t now_ms() { return now; }
    static int set_ms(int64_t ms) {
        if (set_error) return set_error;
        set_to = ms;
        now = ms;  // as a real clock would
        return 0;
    }
    core::wall_clock_hooks saved = core::wall_clock;
    fake_wall_clock() {
        now = fake_epoch_ms;
        set_to = -1;
        set_error = 0;
        core::wall_clock = {now_ms, set_ms};
    }
    ~fake_wall_clock() { core::wall_clock = saved; }
};

// The monotonic clock, moved by the test.
struct fake_monotonic_clock {
    static inline std::atomic<uint64_t> now{10'000'000};
    core::monotonic_clock_hooks saved = core::monotonic_clock;
    static uint64_t now_ms() { return now; }
    fake_monotonic_clock() {
        now = 10'000'000;
        core::monotonic_clock = {now_ms};
    }
    ~fake_monotonic_clock() { core::monotonic_clock = saved; }
    static void advance(uint64_t ms) { now += ms; }
};

}  // namespace test_support
