#include "outstation/value_store.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <utility>

#include "lib/iec104/types.h"
#include "outstation/station.h"

namespace outstation {

namespace {

constexpr size_t max_refusals_remembered = 4096;

uint64_t point_key(int32_t ioa, int32_t type_id) { return uint64_t(uint32_t(ioa)) << 32 | uint32_t(type_id); }

// Selection order: each position keeps the type it had, and the records of
// one type come to stand in ascending IOA order over their positions.
void order(value_store& s) {
    for (int i = 0; i + 1 < s.count; ++i) {
        int m = i;
        for (int j = i + 1; j < s.count; ++j)
            if (s.records[size_t(j)].ioa < s.records[size_t(m)].ioa &&
                s.records[size_t(j)].type_id == s.records[size_t(m)].type_id)
                m = j;
        std::swap(s.records[size_t(i)], s.records[size_t(m)]);
    }
}

// Runs of consecutive IOAs of one type, at most 127 records each.
void group(value_store& s) {
    int g = 0, run = 0;
    for (int i = 0; i < s.count; ++i) {
        value_record& r = s.records[size_t(i)];
        if (i == 0) {
            run = 1;
        } else {
            const value_record& prev = s.records[size_t(i - 1)];
            if (r.ioa == prev.ioa + 1 && r.type_id == prev.type_id) {
                if (run == max_group_run) {
                    ++g;
                    run = 0;
                }
                ++run;
            } else {
                ++g;
                run = 1;
            }
        }
        r.group = g;
    }
    s.highest_group = g;
}

float measured(const value_record& r) { return r.kind == kind_integer ? float(r.integer_value) : r.real_value; }

float measured(const point_value& v) {
    if (const int32_t* i = std::get_if<int32_t>(&v)) return float(*i);
    return to_float32(std::get<double>(v));
}

int32_t point_state(const value_record& r) {
    return r.kind == kind_integer ? r.integer_value : integer_part(r.real_value);
}

// A real value is cut as the float32 the store holds, so that a spontaneous
// report and a later interrogation agree.
int32_t point_state(const point_value& v) {
    if (const int32_t* i = std::get_if<int32_t>(&v)) return *i;
    return integer_part(to_float32(std::get<double>(v)));
}

iec104::InformationObject make_object(int32_t ioa, int32_t type_id, int32_t state, float measured_value,
                                      int64_t timestamp, bool with_time, uint8_t quality) {
    iec104::InformationObject o;
    o.ioa = uint32_t(ioa);
    o.quality = quality;
    switch (type_id) {
    case 30: o.value = state != 0; break;
    case 31: o.value = state & 3; break;
    case 34: o.value = iec104::normalized_from_float(measured_value); break;
    case 35: o.value = int16_t(integer_part(measured_value)); break;
    case 36: o.real = measured_value; break;
    default: break;
    }
    if (with_time) o.time = iec104::cp56_from_ms(timestamp);
    return o;
}

}  // namespace

int32_t integer_part(double v) {
    if (std::isnan(v)) return 0;
    if (v >= double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (v <= double(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return int32_t(v);
}

float to_float32(double v) {
    constexpr double largest = std::numeric_limits<float>::max();
    if (v > largest) return std::numeric_limits<float>::infinity();
    if (v < -largest) return -std::numeric_limits<float>::infinity();
    return float(v);  // NaN stays NaN
}

void report_unsendable(station& st, int32_t ioa, int32_t type_id) {
    std::lock_guard lk(st.unsendable.lock);
    std::unordered_set<uint64_t>& reported = st.unsendable.reported;
    if (reported.size() >= max_refusals_remembered || !reported.insert(point_key(ioa, type_id)).second) return;
    std::printf("Data point IOA %d type %d does not fit an ASDU and is not sent\n", ioa, type_id);
}

bool point_type(int32_t type_id) { return type_id == 30 || type_id == 31; }
bool measured_type(int32_t type_id) { return type_id == 34 || type_id == 35 || type_id == 36; }
bool reported_type(int32_t type_id) { return point_type(type_id) || measured_type(type_id); }

uint8_t wire_type(int32_t type_id, bool with_time) {
    switch (type_id) {
    case 30: return with_time ? iec104::M_SP_TB_1 : iec104::M_SP_NA_1;
    case 31: return with_time ? iec104::M_DP_TB_1 : iec104::M_DP_NA_1;
    case 34: return with_time ? iec104::M_ME_TD_1 : iec104::M_ME_NA_1;
    case 35: return with_time ? iec104::M_ME_TE_1 : iec104::M_ME_NB_1;
    case 36: return with_time ? iec104::M_ME_TF_1 : iec104::M_ME_NC_1;
    default: return 0;
    }
}

value_record* store_find(value_store& s, int32_t ioa, int32_t type_id, const point_value& v) {
    const int32_t kind = std::holds_alternative<int32_t>(v) ? kind_integer : kind_real;
    for (int i = 0; i < s.count; ++i) {
        value_record& r = s.records[size_t(i)];
        if (r.ioa == ioa && r.type_id == type_id && r.kind == kind) return &r;
    }
    return nullptr;
}

bool store_insert(value_store& s, int32_t ioa, const point_value& v, int32_t type_id, int64_t timestamp,
                  FILE* out) {
    if (s.count == value_store_capacity) {
        if (s.refused.size() < max_refusals_remembered && s.refused.insert(point_key(ioa, type_id)).second)
            std::fprintf(out, "Value store full (%d points): IOA %d type %d refused\n", value_store_capacity, ioa,
                         type_id);
        return false;
    }
    value_record& r = s.records[size_t(s.count)];
    r = value_record{};
    r.ioa = ioa;
    r.type_id = type_id;
    r.timestamp = timestamp;
    if (const int32_t* i = std::get_if<int32_t>(&v)) {
        r.kind = kind_integer;
        r.integer_value = *i;
    } else {
        r.kind = kind_real;
        r.real_value = to_float32(std::get<double>(v));
    }
    ++s.count;
    order(s);
    group(s);
    return true;
}

iec104::InformationObject record_object(const value_record& r, bool with_time) {
    return make_object(r.ioa, r.type_id, point_state(r), measured(r), r.timestamp, with_time, r.quality);
}

iec104::InformationObject value_object(int32_t ioa, const point_value& v, int32_t type_id, int64_t timestamp,
                                       bool with_time) {
    return make_object(ioa, type_id, point_state(v), measured(v), timestamp, with_time, 0);
}

}  // namespace outstation
