// The auxiliary points: the gateway's position from the configuration and
// the fault totals of the three FPI groups, handed in by their owner.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "config/config.h"

namespace outstation {

struct station;

// LATITUDE and LONGITUDE from their ioa_value; the walk ends at the first
// LONGITUDE point. Takes st.value_store_lock for the updates.
void publish_aux_position(station& st, std::span<const config::fpi_aux_iec104_ioa> aux, int32_t asdu_time_offset);

// The time of the auxiliary values: whole seconds of the wall clock shifted
// by asdu_time_offset minutes, in milliseconds.
int64_t aux_time(int32_t asdu_time_offset);

// The last-7-days and total fault count of one FPI group.
struct group_totals {
    uint32_t last_7_days = 0;
    uint32_t total = 0;
};

// The counts of groups 1 to 3 to every point named after them (the walk
// prints each named point). Takes st.value_store_lock for the updates; the
// caller must not hold it.
void publish_group_totals(station& st, std::span<const config::fpi_aux_iec104_ioa> aux, int64_t time,
                          const std::array<group_totals, 3>& totals);

}  // namespace outstation
