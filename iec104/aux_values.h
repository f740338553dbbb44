// The auxiliary points: the gateway's position from the configuration and
// the fault totals of the three FPI groups from the fault counter database.
#pragma once

#include <span>

#include "app/config.h"

namespace outstation {

// LATITUDE and LONGITUDE from their ioa_value; the walk ends at the first
// LONGITUDE point. Takes app::value_store_lock for the updates.
void publish_aux_position(std::span<const app::fpi_aux_iec104_ioa> aux, int32_t asdu_time_offset);

// The last-7-days and total fault counts of groups 1 to 3, to every point
// named after them. Takes app::value_store_lock for the updates; the caller
// must not hold it.
void publish_fault_totals(std::span<const app::fpi_aux_iec104_ioa> aux, int32_t asdu_time_offset);

}  // namespace outstation
