// The digital I/O's mutable state, one per gateway: the GPIO chip and its
// lines, the outputs' pulse deadlines with the locks and the wake-up of the
// DO toggling thread, and the DCU reset semaphore. Locks: an output's lock
// before the chip's lock (gpio.lock); pulse_wake_lock is taken alone.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "config/config.h"
#include "core/semaphore.h"
#include "dio/gpio.h"
#include "logs/stores.h"
#include "outstation/station.h"

namespace dio {

constexpr int input_count = 5;
constexpr int output_count = 5;

struct dio_state {
    dio_state(logs::log_stores& stores, outstation::station& station) : stores(stores), station(station) {}
    dio_state(const dio_state&) = delete;
    dio_state& operator=(const dio_state&) = delete;

    logs::log_stores& stores;      // the system event log of the DI scan
    outstation::station& station;  // where the inputs and outputs are published
    const config::config* cfg = nullptr;  // set at start-up (dio_configure)

    gpio_chip gpio;

    // Setting an output and arming its pulse, against ending a pulse.
    std::array<std::mutex, output_count> output_locks;
    std::array<std::atomic<uint64_t>, output_count> pulse_deadlines{};  // monotonic ms, 0 = none

    // Wakes the DO toggling thread from its wait for a pulse.
    std::mutex pulse_wake_lock;
    std::condition_variable pulse_wake;

    core::semaphore dcu_reset_sem{0};  // posted for a DCU power pulse
};

// Makes the configuration known and disarms every pulse (before the threads start).
void dio_configure(dio_state& io, const config::config& cfg);

}  // namespace dio
