#include "core/clock.h"

#include <sys/time.h>
#include <time.h>

#include <cerrno>

// Wall-clock seconds past 2038 (settimeofday, localtime_r of log and radio
// times) need a 64-bit time_t; 32-bit glibc gives one only with _TIME_BITS=64,
// which the top CMakeLists.txt sets for every target.
static_assert(sizeof(time_t) == 8 && sizeof(timespec::tv_sec) == 8, "time_t must be 64-bit (-D_TIME_BITS=64)");

namespace core {

uint64_t system_monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

int64_t wall_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + int64_t(ts.tv_nsec) / 1000000;
}

namespace {

int set_system_clock_ms(int64_t ms) {
    timeval tv{};
    tv.tv_sec = time_t(ms / 1000);
    tv.tv_usec = suseconds_t((ms % 1000) * 1000);
    return settimeofday(&tv, nullptr) == 0 ? 0 : errno;
}

}  // namespace

wall_clock_hooks wall_clock{wall_ms, set_system_clock_ms};
monotonic_clock_hooks monotonic_clock{system_monotonic_ms};

uint64_t monotonic_ms() { return monotonic_clock.now_ms(); }

}  // namespace core
