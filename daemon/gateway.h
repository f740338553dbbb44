// The running gateway as one start/stop-able unit: start-up steps 5 to 13
// (timer service, digital-output settings, stores, connection slots, data
// point table, IEC 60870-5-104 server, contact table, worker threads), the
// serving phase and an orderly stop that ends and joins every thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "config/config.h"
#include "core/timers.h"
#include "logs/stores.h"
#include "daemon/comm_log.h"
#include "fpi/state.h"
#include "dio/state.h"
#include "outstation/station.h"
#include "rf/radio.h"
#include "services/state.h"

namespace fpigate {

struct gateway;

// A worker thread: its body runs until the gateway stops (see gateway_sleep).
struct worker {
    const char* name;
    void (*body)(gateway& g);
    bool pause_after;  // wait the thread spacing before starting the next one
};

struct gateway_options {
    std::chrono::milliseconds thread_spacing{500};
    // How often serving looks at the running flag besides when SIGINT wakes it
    // (a flag cleared otherwise, as tests do, is seen within this time).
    std::chrono::milliseconds wait_step{1000};
    std::span<const worker> workers;           // empty: the standard worker table
};

struct gateway {
    config::config* cfg = nullptr;
    bool started = false;
    uint64_t start_ms = 0;  // monotonic ms at gateway_start; uptimes count from it
    std::atomic<bool> running{false};  // cleared by SIGINT or gateway_stop
    std::atomic<bool> server_running{false};  // set and cleared by gateway_serve
    std::atomic<core::timer*> cyclic_timer{nullptr};
    std::vector<std::thread> threads;

    core::timer_service timers;
    rf::radio radio;
    logs::log_stores stores;  // opened at start-up step 7

    std::mutex wake_lock;  // wakes gateway_sleep at stop
    std::condition_variable wake;

    // Before the station: its server's connection events are posted here.
    comm_log_writer comm_log;
    outstation::station station;
    // Over the radio, the stores and the station; configured before the
    // server starts (a master's parameter write may come at once).
    fpi::fpi_state fpis{radio, stores, station};
    dio::dio_state io{stores, station};
    services::service_state services{radio, stores, station, io, fpis};

    gateway() = default;
    gateway(const gateway&) = delete;
    gateway& operator=(const gateway&) = delete;
    ~gateway();  // stops a gateway still running
};

// Start-up steps 5 to 13 with cfg loaded (steps 1 to 4). Always leaves the
// gateway running; gateway_stop must follow.
void gateway_start(gateway& g, config::config& cfg, const gateway_options& opts);

// Step 15: when the server runs, publishes the start values, arms the cyclic
// transmission and waits until the running flag is cleared, then stops the
// server; otherwise prints "Starting server failed!".
void gateway_serve(gateway& g, const gateway_options& opts);

// Clears the running flag, wakes and joins every worker thread, stops the
// timer service and the server and closes the stores. Safe to call twice.
void gateway_stop(gateway& g);

// For worker bodies: waits up to d or until the gateway stops. Returns
// whether the gateway still runs.
bool gateway_sleep(gateway& g, std::chrono::milliseconds d);

// SIGINT (and SIGTERM, a supervisor's stop): prints "sigint_handler stop
// running" and clears the running flag of the gateway made active with
// sigint_install.
void sigint_handler(int signal_number);
void sigint_install(gateway* g);

}  // namespace fpigate
