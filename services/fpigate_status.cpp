#include "services/fpigate_status.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "dio/gpio.h"
#include "fpi/contacts.h"
#include "fpi/infoset.h"
#include "fpi/pending_reset.h"
#include "fpi/state.h"
#include "outstation/server.h"
#include "outstation/station.h"
#include "rf/radio.h"
#include "rf/reader.h"

namespace services {

namespace {

using ubus::value;

value count(uint64_t n) { return value::i64(int64_t(n)); }

value seconds(uint64_t ms) { return value::i64(int64_t(ms / 1000)); }

// One FPI. The contact record is read under supervision_lock; the pending
// reset and the infoset state take their own locks afterwards.
value fpi_entry(fpi::fpi_state& fs, int slave, uint64_t now) {
    bool online;
    int period;
    uint64_t last_contact_ms;
    {
        std::lock_guard lk(fs.supervision_lock);
        const fpi::fpi_contact& c = fs.contact_table[size_t(slave - 1)];
        online = c.online != 0;
        period = c.period_known ? c.period : 0;
        last_contact_ms = c.last_contact_ms;
    }
    // Only a telegram sets the last contact: 0 means never heard. A telegram
    // handled since `now` was read is younger than `now`: age 0, not a wrap.
    value age = value::null();
    if (last_contact_ms != 0) age = seconds(last_contact_ms < now ? now - last_contact_ms : 0);
    return value::table({
        {"slave_id", value::i32(slave)},
        {"online", value::boolean(online)},
        {"period_min", value::i32(period)},
        {"last_contact_age_s", age},
        {"pending_reset", value::boolean(fpi::pending_reset_waiting(fs, slave))},
        {"infoset", value::str(fpi::infoset_phase_name(fpi::infoset_phase_of(fs, slave)))},
        {"frames_ok", count(fpi::frames_ok_of(fs, slave))},
    });
}

// The server's list, then the slot table, then each connection's counters:
// one lock after the other.
value masters(outstation::station& station) {
    std::vector<value> out;
    for (const iec104::ConnectionPtr& c : outstation::server_connections(station)) {
        const int slot = outstation::slot_of(station.connection_slots, *c);
        const iec104::ConnectionStats st = iec104::stats(*c);
        out.push_back(value::table({
            {"peer", value::str(iec104::peer_endpoint(*c))},
            {"slot", slot < 0 ? value::null() : value::i32(slot)},
            {"active", value::boolean(iec104::is_active(*c))},
            {"queued", count(st.queued_high + st.queued_low)},
            {"sent", count(st.asdus_sent)},
            {"dropped", count(st.dropped_high + st.dropped_low)},
        }));
    }
    return value::array(std::move(out));
}

value radio(const rf::radio& r) {
    const rf::reader_statistics& s = r.reader_stats;
    auto get = [](const std::atomic<uint64_t>& n) { return count(n.load(std::memory_order_relaxed)); };
    return value::table({
        {"frames_ok", get(s.frames_ok)},
        {"framing_errors", get(s.framing_errors)},
        {"parse_errors", get(s.parse_errors)},
        {"refused_group", get(s.refused_group)},
        {"refused_rtu", get(s.refused_rtu)},
        {"unknown_command", get(s.unknown_command)},
        {"bytes_read", get(s.bytes)},
    });
}

value store(outstation::station& station) {
    int points;
    size_t refused;
    {
        std::lock_guard lk(station.value_store_lock);
        points = station.station_values.count;
        refused = station.station_values.refused.size();
    }
    return value::table({
        {"points", value::i32(points)},
        {"capacity", value::i32(outstation::value_store_capacity)},
        {"refused", count(refused)},
    });
}

int status(service_state& s, ubus::request& req) {
    if (!ubus::reply(req, fpigate_status(s))) {
        std::fprintf(stderr, "fpigate status: the reply could not be sent\n");
        return ubus::status::unknown_error;
    }
    return ubus::status::ok;
}

}  // namespace

ubus::table fpigate_status(service_state& s) {
    const uint64_t now = core::monotonic_ms();
    std::vector<value> fpis;
    for (int slave = 1; slave <= fpi::slave_count; ++slave) fpis.push_back(fpi_entry(s.fpis, slave, now));
    return {
        {"uptime_s", seconds(now - s.start_ms)},
        {"fpis", value::array(std::move(fpis))},
        {"masters", masters(s.station)},
        {"rf", radio(s.radio)},
        {"store", store(s.station)},
        {"gpio", value::table({
                     {"chip", value::str(s.cfg->settings.gpio_chip)},
                     {"ok", value::boolean(dio::gpio_all_present(s.io))},
                 })},
    };
}

ubus::object fpigate_status_object(service_state& s) {
    ubus::object o;
    o.path = "fpigate";
    o.type_name = "fpigate";
    o.methods = {
        {"status", {},
         [&s](ubus::request& req, const ubus::args&) { return status(s, req); }},
    };
    return o;
}

}  // namespace services
