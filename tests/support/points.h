// Data points with values for the outstation's store, the sample
// configuration's points among them, and the check of what a master received
// for them: every reported point exactly once, with the value, quality and
// time tag of its stored record, the single and double points before the
// measured values, every ASDU within max_asdu_length.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "lib/iec104/asdu.h"
#include "outstation/value_store.h"
#include "tests/support/sample_config.h"

namespace test_support {

struct point {
    int32_t ioa = 0;
    int32_t type_id = 0;
    outstation::point_value value;
};

// A value of the point's type that tells points apart.
inline outstation::point_value value_for(int32_t ioa, int32_t type_id) {
    switch (type_id) {
    case 30: return int32_t(ioa & 1);
    case 31: return int32_t(1 + (ioa & 1));
    case 34: return double(ioa % 100) / 128.0;
    case 35: return int32_t(ioa % 10000);
    case 36: return double(ioa) * 0.25 + 0.125;
    default: return int32_t(ioa);
    }
}

// Every configured point of `cfg` with a value: the digital inputs and
// outputs, the FPI points and the auxiliary points (the position from its
// ioa_value), in configuration order.
inline std::vector<point> sample_points(const config::config& cfg) {
    std::vector<point> out;
    for (const config::iec104_ioa& p : cfg.dio_points) out.push_back({p.ioa, p.type_id, value_for(p.ioa, p.type_id)});
    for (const config::fpi_iec104_ioa& p : cfg.fpi_points)
        out.push_back({p.ioa, p.type_id, value_for(p.ioa, p.type_id)});
    for (const config::fpi_aux_iec104_ioa& p : cfg.aux_points) {
        outstation::point_value v = value_for(p.ioa, p.type_id);
        if (p.type_id == 36 && p.ioa_value) v = std::strtod(p.ioa_value->c_str(), nullptr);
        out.push_back({p.ioa, p.type_id, v});
    }
    return out;
}

// The points of the repository's sample configuration (config/fpigate),
// each with a value; empty with `problem` set when it does not load.
inline std::vector<point> repository_sample_points(std::string& problem) {
    config::config cfg;
    if (!load_config(std::string(FPIGATE_SOURCE_DIR) + "/config", cfg, problem)) return {};
    return sample_points(cfg);
}

inline bool measured_wire_type(uint8_t type) {
    return type == iec104::M_ME_NA_1 || type == iec104::M_ME_NB_1 || type == iec104::M_ME_NC_1 ||
           type == iec104::M_ME_TD_1 || type == iec104::M_ME_TE_1 || type == iec104::M_ME_TF_1;
}

// Checks the data ASDUs of one interrogation or cyclic transmission (without
// ACT_CON and ACT_TERM) against the points stored with `timestamp`. Returns
// what is wrong, empty when nothing is.
inline std::string check_reported(const std::vector<iec104::Asdu>& asdus, const std::vector<point>& points,
                                  const iec104::AppLayerParameters& app, bool with_time, int64_t timestamp) {
    auto describe = [](const iec104::InformationObject& o) {
        return "IOA " + std::to_string(o.ioa) + " value " + std::to_string(o.value) + " real " +
               std::to_string(o.real) + " quality " + std::to_string(o.quality);
    };
    // A point stored as an integer and as a real value is two records.
    std::multimap<std::pair<uint32_t, uint8_t>, iec104::InformationObject> expected;
    for (const point& p : points)
        if (outstation::reported_type(p.type_id))
            expected.insert({{uint32_t(p.ioa), outstation::wire_type(p.type_id, with_time)},
                             outstation::value_object(p.ioa, p.value, p.type_id, timestamp, with_time)});
    bool measured_seen = false;
    for (const iec104::Asdu& a : asdus) {
        const std::string where = "ASDU type " + std::to_string(a.type) + ": ";
        std::vector<uint8_t> bytes(static_cast<size_t>(iec104::kMaxAsduSize));
        const size_t size = iec104::encode_asdu(a, app, bytes);
        if (size == 0 || int(size) > app.max_size_of_asdu)
            return where + std::to_string(size) + " octets, more than max_asdu_length";
        const bool measured = measured_wire_type(a.type);
        if (!measured && measured_seen) return where + "a point ASDU after the measured values";
        measured_seen |= measured;
        for (int i = 0; i < a.count; ++i) {
            const std::optional<iec104::InformationObject> o = iec104::get_object(a, app, i);
            if (!o) return where + "undecodable object";
            auto [first, last] = expected.equal_range({o->ioa, a.type});
            auto it = first;
            while (it != last && !(it->second == *o)) ++it;
            if (it == last)
                return where + (first == last ? "unexpected or repeated " : "wrong ") + describe(*o) +
                       (first == last ? "" : ", stored " + describe(first->second));
            expected.erase(it);
        }
    }
    if (!expected.empty())
        return std::to_string(expected.size()) + " stored points missing, first " + describe(expected.begin()->second);
    return {};
}

}  // namespace test_support
