// RESET commands for FPIs, kept until the FPI's next flash-mode telegram (the
// only moment it listens for one) and dropped after an hour. Guarded by
// core::pending_reset_lock. Slave ids outside 1 to 9 are ignored throughout.
#pragma once

#include <cstdint>

#include "rf/parser.h"
#include "rf/radio.h"

namespace fpi {

constexpr uint64_t pending_reset_expiry_ms = 3600000;

void pending_reset_store(uint8_t slave_id);
// 1 when a reset at most an hour old waits for the FPI; an older one is dropped.
int pending_reset_check(int slave_id);
// The same question asked without dropping anything or printing: for
// diagnostics, which must leave the table as it is.
bool pending_reset_waiting(int slave_id);
void pending_reset_clear(int slave_id);
// At a flash-mode telegram of the FPI: sends a waiting reset as
// CMD_REMOTE_RESET and clears it once written; a failed write keeps it.
void pending_reset_process(rf::radio& radio, const rf::rf_address& self, int slave_id);

}  // namespace fpi
