// The outstation's state: the value store and its lock, the data point table
// and RTU IOA mapping list, the connection slots, the command targets, the
// server with its settings, and where connection events are reported. The
// gateway owns one; every outstation function is handed it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>

#include "config/config.h"
#include "lib/iec104/server.h"
#include "outstation/commands.h"
#include "outstation/data_points.h"
#include "outstation/slots.h"
#include "outstation/value_store.h"

namespace outstation {

// Application layer parameters and common address of the ASDUs we build,
// and whether interrogation and cyclic transmission pack them (asdu_packing).
struct report_settings {
    iec104::AppLayerParameters app;
    uint16_t ca = 0;
    bool asdu_packing = false;
};

// Where a connection event goes (opened, closed, activated, deactivated,
// refused): its time in seconds, already shifted by asdu_time_offset, its
// text, and whether the entry carries the modem's values. Called on the
// connection's thread: it must not wait.
using connection_event_sink = std::function<void(int64_t time, std::string text, bool with_modem)>;

struct station {
    // Locks: value_store_lock before connection_slots.lock. value_store_lock
    // is held while spontaneous and cyclic ASDUs go out to the masters, and
    // the slot table's lock is taken inside it. The lock of `unsendable` is
    // taken inside either.
    std::mutex value_store_lock;
    value_store station_values;  // guarded by value_store_lock

    slot_table connection_slots;

    // Built at start-up before the server runs; read-only afterwards.
    data_point_table fpi_data_points;
    // Built by the RF reader thread before it reads a frame (the server
    // already runs then); read-only once rtu_ioa_map_ready is set, and until
    // then slave_point_list finds nothing.
    rtu_ioa_mapping rtu_ioa_map;
    std::atomic<bool> rtu_ioa_map_ready{false};

    // What commands act on, filled in by the start-up wiring before the
    // server runs.
    command_targets commands;
    // Selects waiting for their execute (select_timeout_ms).
    command_selections selections;

    // Points whose object fits no ASDU, each named once.
    struct {
        std::mutex lock;
        std::unordered_set<uint64_t> reported;
    } unsendable;

    // Set before the server runs (server_setup).
    const config::config* station_config = nullptr;
    report_settings settings;
    connection_event_sink connection_events;  // none: the events are not logged

    // Last: its connection threads call into everything above, so it is
    // freed first.
    iec104::ServerPtr server;

    station() = default;
    station(const station&) = delete;
    station& operator=(const station&) = delete;
};

}  // namespace outstation
