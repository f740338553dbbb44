#include "outstation/reporting.h"

#include <cstdio>
#include <mutex>

#include "core/locks.h"
#include "outstation/slots.h"

namespace outstation {

value_store station_values;

namespace {

struct report_settings {
    iec104::AppLayerParameters app;
    uint16_t ca = 0;
};
report_settings settings;

bool pass_type(int32_t type_id, bool measured_pass) {
    return measured_pass ? measured_type(type_id) : point_type(type_id);
}

void send_to_online_slots(const iec104::Asdu& asdu) {
    for_each_online(connection_slots, [&](iec104::Connection& c) { iec104::send_asdu(c, asdu); });
}

}  // namespace

void reporting_configure(const iec104::AppLayerParameters& app, uint16_t ca) {
    settings.app = app;
    settings.ca = ca;
}

void value_update(int32_t ioa, point_value value, int32_t type_id, int64_t timestamp) {
    value_record* r = store_find(station_values, ioa, type_id, value);
    if (!r) {
        store_insert(station_values, ioa, value, type_id, timestamp, stdout);
        return;
    }
    r->timestamp = timestamp;
    if (const int32_t* i = std::get_if<int32_t>(&value)) {
        if (r->integer_value == *i) return;
        r->integer_value = *i;
    } else {
        const double d = std::get<double>(value);
        if (double(r->real_value) == d) return;
        r->real_value = to_float32(d);
    }
    report_spontaneous(ioa, value, type_id, timestamp);
}

void report_spontaneous(int32_t ioa, const point_value& value, int32_t type_id, int64_t timestamp) {
    if (!reported_type(type_id)) return;
    iec104::Asdu asdu =
        iec104::make_asdu(settings.app, wire_type(type_id, true), false, iec104::COT_SPONTANEOUS, settings.ca);
    if (!iec104::add_object(asdu, settings.app, value_object(ioa, value, type_id, timestamp, true))) {
        report_unsendable(ioa, type_id);
        return;
    }
    send_spontaneous(connection_slots, asdu);
}

void build_group_asdus(const value_store& s, bool measured_pass, bool with_time, uint8_t cot,
                       const iec104::AppLayerParameters& app, uint16_t ca,
                       const std::function<void(const iec104::Asdu&)>& send) {
    iec104::Asdu asdu;
    int group = -1;  // group of the ASDU being filled
    auto flush = [&] {
        if (group >= 0 && asdu.count > 0) send(asdu);
        group = -1;
    };
    // Groups are runs in store order, so one walk meets them in group order.
    for (int i = 0; i < s.count; ++i) {
        const value_record& r = s.records[size_t(i)];
        if (!pass_type(r.type_id, measured_pass)) continue;
        if (r.group != group) {
            flush();
            group = r.group;
            asdu = iec104::make_asdu(app, wire_type(r.type_id, with_time), true, cot, ca);
        }
        const iec104::InformationObject o = record_object(r, with_time);
        if (iec104::add_object(asdu, app, o)) continue;
        // Full: the rest of the group follows in the next ASDU. An object
        // that fits no ASDU at all (its IOA too wide for the IOA octets) is
        // left out rather than holding up the others.
        const int g = group;
        flush();
        group = g;
        asdu = iec104::make_asdu(app, wire_type(r.type_id, with_time), true, cot, ca);
        if (!iec104::add_object(asdu, app, o)) report_unsendable(r.ioa, r.type_id);
    }
    flush();
}

bool interrogation_handler(const iec104::ConnectionPtr& c, iec104::Asdu& asdu, uint8_t qoi) {
    std::printf("Received interrogation for group %i\n", int(qoi));
    if (qoi != 20) {
        iec104::send_act_con(*c, asdu, true);
        return true;
    }
    const iec104::AppLayerParameters app = iec104::app_parameters(*c);
    iec104::send_act_con(*c, asdu, false);
    {
        std::lock_guard lk(core::value_store_lock);
        auto send = [&](const iec104::Asdu& a) { iec104::send_asdu(*c, a); };
        build_group_asdus(station_values, false, false, iec104::COT_INTERROGATED_BY_STATION, app, settings.ca, send);
        build_group_asdus(station_values, true, false, iec104::COT_INTERROGATED_BY_STATION, app, settings.ca, send);
    }
    iec104::send_act_term(*c, asdu);
    return true;
}

void cyclic_transmission() {
    std::lock_guard lk(core::value_store_lock);
    for (bool measured_pass : {false, true})
        build_group_asdus(station_values, measured_pass, true, iec104::COT_PERIODIC, settings.app, settings.ca,
                          send_to_online_slots);
}

}  // namespace outstation
