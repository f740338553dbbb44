// The FPI data points as the outstation sees them: the data point table keyed
// by (IOA, type id), and the RTU IOA mapping list that binds the n-th value an
// FPI reports to the n-th configured point of that FPI.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <unordered_map>
#include <vector>

#include "config/config.h"

namespace outstation {

constexpr int max_slave_points = 28;
constexpr int slave_count = 9;

struct data_point_table {
    // (ioa, type_id) -> the first configured FPI point with that key
    std::unordered_map<uint64_t, const config::fpi_iec104_ioa*> points;
};

inline uint64_t data_point_key(int32_t ioa, int32_t type_id) {
    return uint64_t(uint32_t(ioa)) << 32 | uint32_t(type_id);
}

// Enters every FPI point in list order. A key that is already taken keeps its
// first point; a line on `out` names each duplicate.
void data_point_table_build(data_point_table& t, std::span<const config::fpi_iec104_ioa> points, FILE* out);

struct slave_point {
    int32_t ioa = 0;
    int32_t type_id = 0;
};

// One FPI's points in configuration order, at most 28.
struct slave_node {
    int slave_id = 0;
    std::vector<slave_point> points;
};

struct rtu_ioa_mapping {
    std::array<slave_node, slave_count> nodes;  // slave ids 1 to 9
};

// "Creating RTU IOA mapping list", then a line per slave.
void rtu_ioa_mapping_build(rtu_ioa_mapping& m, std::span<const config::fpi_iec104_ioa> points, FILE* out);

struct station;

// Builds the station's list and then makes it visible to every thread (see
// station::rtu_ioa_map).
void rtu_ioa_map_publish(station& st, std::span<const config::fpi_iec104_ioa> points, FILE* out);

// The FPI point of the station's table with that key, or nullptr.
const config::fpi_iec104_ioa* data_point_lookup(const station& st, int32_t ioa, int32_t type_id);
// The node of slave 1..9 of the station's list, or nullptr for any other id
// or while the list is not built.
const slave_node* slave_point_list(const station& st, int slave_id);

}  // namespace outstation
