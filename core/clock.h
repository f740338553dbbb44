// Clocks. Every time-out and age is measured in monotonic milliseconds;
// time tags and log timestamps use the wall clock shifted by asdu_time_offset.
#pragma once

#include <cstdint>

namespace core {

// Milliseconds of CLOCK_MONOTONIC: seconds * 1000 + nanoseconds / 1000000,
// read through monotonic_clock.
uint64_t monotonic_ms();
uint64_t system_monotonic_ms();

// The monotonic clock every time-out and age is measured with. Tests replace
// it before any thread starts, so that an hour passes in a millisecond.
struct monotonic_clock_hooks {
    uint64_t (*now_ms)();  // default: system_monotonic_ms
};
extern monotonic_clock_hooks monotonic_clock;

// Milliseconds since 1970 of CLOCK_REALTIME.
int64_t wall_ms();

// The wall clock as the daemon reads and sets it. Tests replace these before
// any thread starts, so that no test ever moves the clock of its machine.
struct wall_clock_hooks {
    int64_t (*now_ms)();          // default: wall_ms
    int (*set_ms)(int64_t ms);    // default: settimeofday; 0, or the errno value
};
extern wall_clock_hooks wall_clock;

// Wall-clock milliseconds shifted by offset_minutes (data point time).
inline int64_t shifted_wall_ms(int64_t now_wall_ms, int32_t offset_minutes) {
    return now_wall_ms + int64_t(offset_minutes) * 60000;
}

}  // namespace core
