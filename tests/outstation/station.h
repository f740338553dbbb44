// Test support: the outstation running in this process on a free loopback
// port, with its stores in a temporary directory and the wall clock replaced,
// and a master (lib/iec104's client) that collects what it receives.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/clock.h"
#include "config/config.h"
#include "core/locks.h"
#include "fpi/fault_counter.h"
#include "outstation/comm_log.h"
#include "outstation/reporting.h"
#include "outstation/server.h"
#include "outstation/slots.h"
#include "logs/event_logs.h"
#include "tests/support/clocks.h"
#include "tests/support/master.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace station_test {

using test_support::fake_epoch_ms;
using test_support::fake_wall_clock;
using test_support::master;
using test_support::temp_dir;

// The sample configuration's server settings on a free port.
inline void sample_server_settings(config::iec104_slave& s) {
    s.port = 0;
    s.no_of_connections = 5;
    s.k = 12, s.w = 8, s.t0 = 10, s.t1 = 15, s.t2 = 10, s.t3 = 20;
    s.sizeof_cot = 2, s.oa = 0, s.ca = 1, s.sizeof_ca = 2, s.sizeof_ioa = 3, s.max_asdu_length = 249;
}

struct station {
    fake_wall_clock clock;
    temp_dir dir{"fpigate-station"};
    config::config cfg;
    logs::log_stores stores;

    station() {
        sample_server_settings(cfg.settings);
        cfg.settings.data_dir = dir.path.string();
        cfg.settings.export_dir = dir.path.string();
        cfg.settings.ubus_socket = (dir.path / "no-broker.sock").string();
    }
    // Start-up steps 7, 8 and 10.
    bool start() {
        fpi::fault_counter_load(cfg.settings.data_dir);
        logs::comm_event_db_init(stores, cfg.settings.data_dir);
        outstation::comm_logger_use_stores(&stores);
        outstation::slots_allocate(outstation::connection_slots, cfg.settings.no_of_connections,
                                    cfg.derived.event_buffer);
        return outstation::server_setup(cfg);
    }
    uint16_t port() const { return outstation::server_bound_port(); }
    ~station() {
        outstation::server_stop();
        outstation::server_destroy();
        outstation::comm_logger_use_stores(nullptr);
        std::lock_guard lk(core::value_store_lock);
        outstation::station_values.count = 0;
        outstation::station_values.highest_group = 0;
        outstation::station_values.refused.clear();
    }
    // value_update under value_store_lock, as the producers call it.
    static void update(int32_t ioa, outstation::point_value v, int32_t type_id, int64_t ts = fake_epoch_ms) {
        std::lock_guard lk(core::value_store_lock);
        outstation::value_update(ioa, v, type_id, ts);
    }
};

// Whether slot i holds an online connection (the opened event has run).
inline bool slot_online(int i = 0) {
    std::lock_guard lk(outstation::connection_slots.lock);
    return size_t(i) < outstation::connection_slots.slots.size() && outstation::connection_slots.slots[size_t(i)].online;
}

}  // namespace station_test
