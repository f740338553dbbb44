// Clocks. Every time-out and age is measured in monotonic milliseconds;
// time tags and log timestamps use the wall clock shifted by asdu_time_offset.
#pragma once

#include <cstdint>

namespace app {

// Milliseconds of CLOCK_MONOTONIC: seconds * 1000 + nanoseconds / 1000000.
uint64_t monotonic_ms();

// Milliseconds since 1970 of CLOCK_REALTIME.
int64_t wall_ms();

// Wall-clock milliseconds shifted by offset_minutes (data point time).
inline int64_t shifted_wall_ms(int64_t now_wall_ms, int32_t offset_minutes) {
    return now_wall_ms + int64_t(offset_minutes) * 60000;
}

}  // namespace app
