// The value store: the current value of every data point that has received
// one, ordered and grouped into runs of consecutive IOAs of one type, and the
// conversion of a stored value into an information object.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <unordered_set>
#include <variant>

#include "lib/iec104/asdu.h"

namespace outstation {

constexpr int value_store_capacity = 1000;
constexpr int max_group_run = 127;  // objects of one sequence ASDU

// A value as a producer hands it in: an integer or a real number.
using point_value = std::variant<int32_t, double>;

enum value_kind : int32_t { kind_integer = 1, kind_real = 2 };

struct value_record {
    int32_t ioa = 0;
    int32_t group = 0;
    int32_t type_id = 0;
    int32_t kind = kind_integer;
    int32_t integer_value = 0;
    float real_value = 0;
    int64_t timestamp = 0;  // ms since 1970, shifted by asdu_time_offset
    uint8_t quality = 0;    // NT or 0: what its objects carry (SIQ/DIQ/QDS bits)
};

constexpr uint8_t quality_not_topical = 0x40;  // NT

struct value_store {
    std::array<value_record, value_store_capacity> records{};
    int count = 0;
    int highest_group = 0;
    // Points refused because the store was full, each reported once.
    std::unordered_set<uint64_t> refused;
};

// Record of (ioa, type_id) of the value's kind, or nullptr.
value_record* store_find(value_store& s, int32_t ioa, int32_t type_id, const point_value& v);

// Appends a record and re-orders and re-groups the store. When the store is
// full the point is refused (false); the first refusal of each point prints
// one line on `out`.
bool store_insert(value_store& s, int32_t ioa, const point_value& v, int32_t type_id, int64_t timestamp,
                  FILE* out);

// Types that are reported; any other is stored but never sent.
bool reported_type(int32_t type_id);
bool point_type(int32_t type_id);     // single and double points (30, 31)
bool measured_type(int32_t type_id);  // measured values (34, 35, 36)

// The monitoring type an object of that stored type is sent as.
uint8_t wire_type(int32_t type_id, bool with_time);

// A real number cut to its integer part (saturating; NaN gives 0).
int32_t integer_part(double v);
// A real number as the float32 it is stored and sent as (beyond the float
// range: infinity).
float to_float32(double v);

// A point whose object fits no ASDU (its IOA wider than the IOA octets, or
// max_asdu_length too small for one object) is never sent; the first time
// for each point one line says so.
struct station;
void report_unsendable(station& st, int32_t ioa, int32_t type_id);

// The information object of a stored record, with its quality, or of an
// updating value, with quality 0; when with_time, with the CP56Time2a of the
// timestamp.
iec104::InformationObject record_object(const value_record& r, bool with_time);
iec104::InformationObject value_object(int32_t ioa, const point_value& v, int32_t type_id, int64_t timestamp,
                                       bool with_time);

}  // namespace outstation
