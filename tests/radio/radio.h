// Test support for the radio road end to end: the gateway running in this
// process with its RF reader on a pseudo-terminal and its server on a free
// loopback port, the clocks replaced, and helpers that play the radio side.
// Supervision and infoset passes are run by the tests themselves, so that
// their time-outs can be stepped through with the fake monotonic clock.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "daemon/gateway.h"
#include "daemon/workers.h"
#include "fpi/state.h"
#include "fpi/uplink.h"
#include "logs/rf_data.h"
#include "rf/downlink.h"
#include "rf/frame.h"
#include "rf/radio.h"
#include "rf/reader.h"
#include "tests/outstation/station.h"
#include "tests/support/clocks.h"
#include "tests/support/gateway.h"
#include "tests/support/pty.h"

namespace radio_test {

using test_support::bytes;
using test_support::fake_monotonic_clock;

inline const rf::group_id group{1, 2, 3, 4, 5};
constexpr uint8_t gateway_rtu_id = 10;

inline bytes frame_bytes(uint8_t command, const rf::rf_record& record, uint8_t from, uint8_t to = gateway_rtu_id,
                         const rf::group_id& g = group) {
    rf::rf_frame f;
    rf::rf_frame_build(&f, g, from, to, command, record);
    uint8_t out[rf::max_frame_size];
    size_t n = 0;
    rf::rf_frame_serialize(&f, out, &n);
    return bytes(out, out + n);
}

// An event telegram's record with ordinary values (no fault).
inline rf::event_data ordinary_event() {
    rf::event_data e;
    e.i_status = 0;
    e.i_mean = 10;
    e.v_status = 1;
    e.v_inst = 2300;
    e.battery_v = 36;
    e.rssi = 70;
    e.event_time = {5, 12, 34, 50};
    return e;
}

inline const fpigate::worker rf_reader_only[] = {{"RF reader", fpigate::rf_reader_thread, false}};

// The gateway on the sample configuration with only its RF reader thread
// (or the workers given).
struct radio_gateway : test_support::gateway_on_pty {
    station_test::fake_wall_clock wall;
    fake_monotonic_clock mono;
    bool ok = false;

    explicit radio_gateway(const std::function<void(config::config&)>& tweak = {},
                           std::span<const fpigate::worker> workers = rf_reader_only) {
        test_support::use_utc();
        if (!problem.empty()) return;
        if (tweak) tweak(*cfg);
        g.radio.downlink.pause_ms = 0;
        g.fpis.fault_pause_ms = 0;
        start(workers);
        ok = test_support::wait_until([this] { return g.radio.rtu_fd.load() > 0; });
    }
    ~radio_gateway() { stop(); }
    uint16_t port() const { return outstation::server_bound_port(g.station); }

    // The radio side of the line.
    void send(const bytes& b) { test_support::write_all(radio.master.get(), b); }

    // The next frame the gateway writes, or nothing within timeout_ms.
    std::optional<rf::rf_frame> next_downlink(int timeout_ms = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            while (pending_at < pending.size()) {
                size_t used = 0;
                const int rc = rf::rf_parser_feed(downlink_parser, pending.data() + pending_at,
                                                  pending.size() - pending_at, &used);
                pending_at += used;
                if (rc > 0) {
                    rf::rf_frame f;
                    if (rf::rf_frame_decode(downlink_parser.buffer.data(), size_t(rc), &f) == 0) return f;
                }
                if (rc == 0) break;
            }
            pending.erase(pending.begin(), pending.begin() + long(pending_at));
            pending_at = 0;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            const bytes more = test_support::read_bytes(radio.master.get(), 1, int(left.count()));
            if (more.empty()) return std::nullopt;
            pending.insert(pending.end(), more.begin(), more.end());
        }
    }

    // Entries of the recent RF data list, newest first.
    std::vector<logs::rf_data_entry> recent() {
        std::lock_guard lk(g.stores.rf_data_lock);
        return {g.stores.recent_rf_data.entries.begin(), g.stores.recent_rf_data.entries.end()};
    }
    size_t recent_count() {
        std::lock_guard lk(g.stores.rf_data_lock);
        return g.stores.recent_rf_data.entries.size();
    }
    void forget_recent() {
        std::lock_guard lk(g.stores.rf_data_lock);
        g.stores.recent_rf_data = {};
    }
    // Waits until `n` more entries than `before` were recorded.
    bool recorded(size_t before, size_t n = 1) {
        return test_support::wait_until([&] { return recent_count() >= before + n; });
    }
    // Bytes the reader has read since start, and a wait until it has read `n`.
    uint64_t bytes_read() const { return g.radio.reader_stats.bytes.load(); }
    bool reader_has_read(uint64_t n) {
        return test_support::wait_until([&] { return bytes_read() >= n; });
    }

private:
    rf::rf_parser downlink_parser;  // real clock: the test's own reads
    bytes pending;
    size_t pending_at = 0;
};

}  // namespace radio_test

namespace radio_test {

// Every value of a station interrogation by IOA (single points and scaled
// values as integers, short floats as they are).
inline std::map<uint32_t, double> interrogated_values(station_test::master& m) {
    std::map<uint32_t, double> out;
    for (const iec104::Asdu& a : m.interrogate()) {
        if (a.cot != iec104::COT_INTERROGATED_BY_STATION) continue;
        for (int i = 0; i < a.count; ++i) {
            const auto o = iec104::get_object(a, m.app, i);
            if (!o) continue;
            out[o->ioa] = a.type == iec104::M_ME_NC_1 ? double(o->real) : double(o->value);
        }
    }
    return out;
}

}  // namespace radio_test
