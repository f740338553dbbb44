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
#include "lib/iec104/client.h"
#include "lib/iec104/commands.h"
#include "logs/event_logs.h"

namespace station_test {

// 2024-06-05 12:34:56.789 UTC
inline constexpr int64_t fake_epoch_ms = 1717590896789;

// The wall clock as the outstation sees it; setting it only records the time.
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

// Polls `cond` every millisecond for at most `limit`.
inline bool wait_for(const std::function<bool()>& cond, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct temp_dir {
    std::filesystem::path path;
    temp_dir() {
        std::string t = (std::filesystem::temp_directory_path() / "fpigate-station-XXXXXX").string();
        if (mkdtemp(t.data())) path = t;
    }
    ~temp_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

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
    temp_dir dir;
    config::config cfg;
    // Its connection events go to the log writer, as in the daemon.
    fpigate::comm_log_writer comm_log;
    outstation::station state;

    station() {
        sample_server_settings(cfg.settings);
        cfg.settings.data_dir = dir.path.string();
        cfg.settings.export_dir = dir.path.string();
        cfg.settings.ubus_socket = (dir.path / "no-broker.sock").string();
    }
    // Start-up steps 7, 8 and 10.
    bool start() {
        fpi::fault_counter_load(cfg.settings.data_dir);
        logs::comm_event_db_init(cfg.settings.data_dir);
        outstation::slots_allocate(state.connection_slots, cfg.settings.no_of_connections, cfg.derived.event_buffer);
        fpigate::comm_logger_start(comm_log, cfg.settings.ubus_socket);
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

// A master on the station's port that keeps every ASDU it receives.
struct master {
    iec104::AppLayerParameters app;
    iec104::ClientPtr client;
    mutable std::mutex m;
    std::vector<iec104::Asdu> asdus;
    std::atomic<bool> closed{false};

    // `local`: the address the master connects from (any loopback address).
    explicit master(uint16_t port, bool start_dt = true, const std::string& local = {}) {
        iec104::ClientConfig cc;
        cc.port = port;
        cc.local_address = local;
        iec104::ClientHandlers h;
        h.asdu = [this](const iec104::Asdu& a) {
            std::lock_guard lk(m);
            asdus.push_back(a);
        };
        h.closed = [this] { closed = true; };
        std::string error;
        client = iec104::client_connect(cc, std::move(h), error);
        if (client && start_dt) started = iec104::client_start_dt(*client, 5000);
    }
    bool started = false;
    // The client's thread calls into the members above: it ends first.
    ~master() { client.reset(); }

    std::vector<iec104::Asdu> received() const {
        std::lock_guard lk(m);
        return asdus;
    }
    size_t count(const std::function<bool(const iec104::Asdu&)>& pred) const {
        std::lock_guard lk(m);
        size_t n = 0;
        for (const iec104::Asdu& a : asdus) n += pred(a);
        return n;
    }
    void clear() {
        std::lock_guard lk(m);
        asdus.clear();
    }
    bool send(const iec104::Asdu& a) { return client && iec104::client_send(*client, a); }

    // Sends a station interrogation and waits for its end: ACT_TERM, or a
    // negative ACT_CON. Returns the ASDUs that arrived meanwhile.
    std::vector<iec104::Asdu> interrogate(uint8_t qoi = 20, int timeout_ms = 5000) {
        clear();
        if (!send(iec104::interrogation_command(app, 1, qoi))) return {};
        auto done = [this] {
            return count([](const iec104::Asdu& a) {
                       return a.type == iec104::C_IC_NA_1 &&
                              (a.cot == iec104::COT_ACTIVATION_TERMINATION ||
                               (a.cot == iec104::COT_ACTIVATION_CON && a.negative));
                   }) > 0;
        };
        wait_for(done, std::chrono::milliseconds(timeout_ms));
        return received();
    }
};

}  // namespace station_test
