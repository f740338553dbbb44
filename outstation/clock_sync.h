// Clock synchronisation: a master's C_CS_NA_1 sets the gateway's clock to the
// received time shifted by clocksync_time_offset minutes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "lib/iec104/server.h"

namespace outstation {

// "hh:mm:ss dd/mm/yyyy", no line end.
void print_cp56_time(FILE* out, const iec104::Cp56Time2a& t);

// A time marked invalid or with a field out of range is refused (negative
// ACT_CON) with a line naming the fault, and the clock is left alone.
// Otherwise sets the clock (core::wall_clock). On success `time` is replaced by the
// clock reading from before the change, which the confirmation carries; a
// clock that cannot be set is printed in the perror form and refused
// (negative ACT_CON).
bool clock_sync_handler(int32_t clocksync_time_offset, iec104::Cp56Time2a& time);

}  // namespace outstation
