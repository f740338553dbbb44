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
#include "daemon/comm_log.h"
#include "fpi/fault_counter.h"
#include "outstation/reporting.h"
#include "outstation/server.h"
#include "outstation/station.h"
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

// value_update under value_store_lock, as the producers call it.
inline void update(outstation::station& st, int32_t ioa, outstation::point_value v, int32_t type_id,
                   int64_t ts = fake_epoch_ms) {
    std::lock_guard lk(st.value_store_lock);
    outstation::value_update(st, ioa, v, type_id, ts);
}

// Whether slot i holds an online connection (the opened event has run).
inline bool slot_online(outstation::station& st, int i = 0) {
    std::lock_guard lk(st.connection_slots.lock);
    return size_t(i) < st.connection_slots.slots.size() && st.connection_slots.slots[size_t(i)].online;
}

struct station {
    fake_wall_clock clock;
    temp_dir dir{"fpigate-station"};
    config::config cfg;
    logs::log_stores stores;
    // Its connection events go to the log writer, as in the daemon.
    fpigate::comm_log_writer comm_log;
    outstation::station state;
    fpi::fault_counter faults;  // its file in the data directory, as at start-up

    station() {
        sample_server_settings(cfg.settings);
        cfg.settings.data_dir = dir.path.string();
        cfg.settings.export_dir = dir.path.string();
        cfg.settings.ubus_socket = (dir.path / "no-broker.sock").string();
    }
    // Start-up steps 7, 8 and 10.
    bool start() {
        fpi::fault_counter_load(faults, cfg.settings.data_dir);
        logs::comm_event_db_init(stores, cfg.settings.data_dir);
        outstation::slots_allocate(state.connection_slots, cfg.settings.no_of_connections, cfg.derived.event_buffer);
        fpigate::comm_logger_start(comm_log, stores, cfg.settings.ubus_socket);
        state.connection_events = fpigate::comm_logger_sink(comm_log);
        return outstation::server_setup(state, cfg);
    }
    // The server freed and the writer stopped, as the daemon's stop does.
    void stop() {
        outstation::server_stop(state);
        outstation::server_destroy(state);
        fpigate::comm_logger_stop(comm_log);
    }
    uint16_t port() const { return outstation::server_bound_port(state); }
    ~station() { stop(); }
    void update(int32_t ioa, outstation::point_value v, int32_t type_id, int64_t ts = fake_epoch_ms) {
        station_test::update(state, ioa, v, type_id, ts);
    }
    bool slot_online(int i = 0) { return station_test::slot_online(state, i); }
};

}  // namespace station_test
