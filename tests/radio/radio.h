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
// (or the workers given). The radio's pause and the pause after a counted
// fault are 0 unless a test gives one.
struct radio_gateway : test_support::gateway_on_pty {
    station_test::fake_wall_clock wall;
    fake_monotonic_clock mono;
    bool ok = false;

    explicit radio_gateway(const std::function<void(config::config&)>& tweak = {},
                           std::span<const fpigate::worker> workers = rf_reader_only, int fault_pause_ms = 0) {
        test_support::use_utc();
        if (!problem.empty()) return;
        if (tweak) tweak(*cfg);
        g.radio.downlink.pause_ms = 0;
        g.fpis.fault_pause_ms = fault_pause_ms;
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
    // Nothing was written since the last downlink read, and every telegram
    // sent before has been handled to its end: an event of FPI `witness` is
    // answered, and its ACK is the next frame on the line (the reader takes
    // one frame at a time).
    bool quiet_since(int witness = 5) {
        send(frame_bytes(rf::CMD_EVENT_DATA, ordinary_event(), uint8_t(witness)));
        const auto next = next_downlink();
        return next && next->command == rf::CMD_EVENT_DATA_ACK && next->destination_id == witness;
    }
    // No counted fault is queued for the fault worker or being handled by it.
    bool fault_work_idle() {
        std::lock_guard lk(g.fpis.fault_work.m);
        return g.fpis.fault_work.queue.empty() && !g.fpis.fault_work.busy;
    }
    // As quiet_since, and the faults those telegrams counted are counted,
    // saved and their totals republished (the fault worker's part).
    bool faults_counted(int witness = 5) {
        return quiet_since(witness) && test_support::wait_until([this] { return fault_work_idle(); });
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

// Waits (bounded) until a master is online in one of the station's slots.
inline bool master_online(outstation::station& st) {
    return test_support::wait_until([&] {
        std::lock_guard lk(st.connection_slots.lock);
        for (const auto& s : st.connection_slots.slots)
            if (s.online) return true;
        return false;
    });
}

// Values of the spontaneous objects at `ioa`, in arrival order.
inline std::vector<int32_t> spontaneous(const station_test::master& m, uint32_t ioa) {
    std::vector<int32_t> out;
    for (const iec104::Asdu& a : m.received()) {
        if (a.cot != iec104::COT_SPONTANEOUS) continue;
        for (int i = 0; i < a.count; ++i)
            if (const auto o = iec104::get_object(a, m.app, i); o && o->ioa == ioa) out.push_back(o->value);
    }
    return out;
}

inline bool spontaneous_reaches(const station_test::master& m, uint32_t ioa, const std::vector<int32_t>& values) {
    return test_support::wait_until([&] { return spontaneous(m, ioa) == values; });
}

// The stored record of (ioa, type id), if any.
inline std::optional<outstation::value_record> stored(outstation::station& st, int32_t ioa, int32_t type_id) {
    std::lock_guard lk(st.value_store_lock);
    for (int i = 0; i < st.station_values.count; ++i) {
        const outstation::value_record& r = st.station_values.records[size_t(i)];
        if (r.ioa == ioa && r.type_id == type_id) return r;
    }
    return std::nullopt;
}

// Where each line appears in `text`, npos when it does not.
inline std::vector<size_t> positions(const std::string& text, const std::vector<std::string>& lines) {
    std::vector<size_t> at;
    for (const std::string& l : lines) at.push_back(text.find(l));
    return at;
}

// Whether every line was found, each after the one before.
inline bool in_order(const std::vector<size_t>& at) {
    for (size_t i = 0; i < at.size(); ++i)
        if (at[i] == std::string::npos || (i > 0 && at[i] <= at[i - 1])) return false;
    return true;
}

inline size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace radio_test
