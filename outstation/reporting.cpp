#include "outstation/reporting.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

#include "outstation/packing.h"
#include "outstation/station.h"

namespace outstation {

namespace {

bool pass_type(int32_t type_id, bool measured_pass) {
    return measured_pass ? measured_type(type_id) : point_type(type_id);
}

void send_spontaneous_object(station& st, int32_t type_id, const iec104::InformationObject& o) {
    if (!reported_type(type_id)) return;
    const report_settings& settings = st.settings;
    iec104::Asdu asdu =
        iec104::make_asdu(settings.app, wire_type(type_id, true), false, iec104::COT_SPONTANEOUS, settings.ca);
    if (!iec104::add_object(asdu, settings.app, o)) {
        report_unsendable(st, int32_t(o.ioa), type_id);
        return;
    }
    send_spontaneous(st.connection_slots, asdu);
}

}  // namespace

void reporting_configure(station& st, const iec104::AppLayerParameters& app, uint16_t ca) {
    st.settings.app = app;
    st.settings.ca = ca;
}

void value_update(station& st, int32_t ioa, point_value value, int32_t type_id, int64_t timestamp) {
    value_record* r = store_find(st.station_values, ioa, type_id, value);
    if (!r) {
        store_insert(st.station_values, ioa, value, type_id, timestamp, stdout);
        return;
    }
    r->timestamp = timestamp;
    // A fresh value ends a quality set meanwhile: reported even when equal.
    const bool quality_changes = r->quality != 0;
    r->quality = 0;
    if (const int32_t* i = std::get_if<int32_t>(&value)) {
        if (r->integer_value == *i && !quality_changes) return;
        r->integer_value = *i;
    } else {
        const double d = std::get<double>(value);
        if (double(r->real_value) == d && !quality_changes) return;
        r->real_value = to_float32(d);
    }
    report_spontaneous(st, ioa, value, type_id, timestamp);
}

void report_spontaneous(station& st, int32_t ioa, const point_value& value, int32_t type_id, int64_t timestamp) {
    send_spontaneous_object(st, type_id, value_object(ioa, value, type_id, timestamp, true));
}

void quality_update(station& st, int32_t ioa, int32_t type_id, uint8_t quality, int64_t timestamp) {
    value_store& s = st.station_values;
    for (int i = 0; i < s.count; ++i) {
        value_record& r = s.records[size_t(i)];
        if (r.ioa != ioa || r.type_id != type_id || r.quality == quality) continue;
        r.quality = quality;
        r.timestamp = timestamp;
        send_spontaneous_object(st, type_id, record_object(r, true));
    }
}

void build_group_asdus(station& st, bool measured_pass, bool with_time, uint8_t cot,
                       const iec104::AppLayerParameters& app,
                       const std::function<void(const iec104::Asdu&)>& send) {
    const value_store& s = st.station_values;
    const uint16_t ca = st.settings.ca;
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
        if (!iec104::add_object(asdu, app, o)) report_unsendable(st, r.ioa, r.type_id);
    }
    flush();
}

void build_packed_asdus(station& st, bool measured_pass, bool with_time, uint8_t cot,
                        const iec104::AppLayerParameters& app,
                        const std::function<void(const iec104::Asdu&)>& send) {
    const value_store& s = st.station_values;
    const uint16_t ca = st.settings.ca;
    // The pass's records by the type they go as, the types in the order the
    // store first holds them; within a type the store keeps ascending IOAs.
    struct type_records {
        uint8_t type;
        std::vector<const value_record*> records;
    };
    std::vector<type_records> by_type;
    for (int i = 0; i < s.count; ++i) {
        const value_record& r = s.records[size_t(i)];
        if (!pass_type(r.type_id, measured_pass)) continue;
        const uint8_t type = wire_type(r.type_id, with_time);
        iec104::Asdu alone = iec104::make_asdu(app, type, false, cot, ca);
        if (!iec104::add_object(alone, app, record_object(r, with_time))) {
            report_unsendable(st, r.ioa, r.type_id);
            continue;
        }
        auto t = std::find_if(by_type.begin(), by_type.end(), [&](const type_records& x) { return x.type == type; });
        if (t == by_type.end()) t = by_type.insert(by_type.end(), {type, {}});
        t->records.push_back(&r);
    }
    for (const type_records& t : by_type) {
        std::vector<uint32_t> ioas;
        for (const value_record* r : t.records) ioas.push_back(uint32_t(r->ioa));
        const std::vector<packed_asdu> plan = plan_packing(ioas, iec104::object_capacity(app, t.type, true),
                                                           iec104::object_capacity(app, t.type, false));
        for (const packed_asdu& p : plan) {
            iec104::Asdu asdu = iec104::make_asdu(app, t.type, p.sequence, cot, ca);
            for (int m : p.members) {
                const value_record& r = *t.records[size_t(m)];
                if (!iec104::add_object(asdu, app, record_object(r, with_time))) report_unsendable(st, r.ioa, r.type_id);
            }
            if (asdu.count > 0) send(asdu);
        }
    }
}

void build_pass_asdus(station& st, bool measured_pass, bool with_time, uint8_t cot,
                      const iec104::AppLayerParameters& app,
                      const std::function<void(const iec104::Asdu&)>& send) {
    if (st.settings.asdu_packing)
        build_packed_asdus(st, measured_pass, with_time, cot, app, send);
    else
        build_group_asdus(st, measured_pass, with_time, cot, app, send);
}

bool interrogation_handler(station& st, const iec104::ConnectionPtr& c, iec104::Asdu& asdu, uint8_t qoi) {
    std::printf("Received interrogation for group %i\n", int(qoi));
    if (qoi != 20) {
        iec104::send_act_con(*c, asdu, true);
        return true;
    }
    const iec104::AppLayerParameters app = iec104::app_parameters(*c);
    iec104::send_act_con(*c, asdu, false);
    {
        std::lock_guard lk(st.value_store_lock);
        auto send = [&](const iec104::Asdu& a) { iec104::send_asdu(*c, a); };
        build_pass_asdus(st, false, false, iec104::COT_INTERROGATED_BY_STATION, app, send);
        build_pass_asdus(st, true, false, iec104::COT_INTERROGATED_BY_STATION, app, send);
    }
    iec104::send_act_term(*c, asdu);
    return true;
}

void cyclic_transmission(station& st) {
    std::lock_guard lk(st.value_store_lock);
    auto send = [&](const iec104::Asdu& a) {
        for_each_online(st.connection_slots, [&](iec104::Connection& c) { iec104::send_asdu(c, a); });
    };
    for (bool measured_pass : {false, true})
        build_pass_asdus(st, measured_pass, true, iec104::COT_PERIODIC, st.settings.app, send);
}

}  // namespace outstation
