// RESET commands for FPIs, kept until the FPI's next flash-mode telegram (the
// only moment it listens for one) and dropped after an hour. Guarded by the
// fpi_state's pending_reset_lock. Slave ids outside 1 to 9 are ignored
// throughout.
#pragma once

#include <cstdint>

namespace fpi {

struct fpi_state;

constexpr uint64_t pending_reset_expiry_ms = 3600000;

struct pending_reset {
    uint8_t pending = 0;
    uint64_t stored_ms = 0;  // monotonic
};

void pending_reset_store(fpi_state& s, uint8_t slave_id);
// 1 when a reset at most an hour old waits for the FPI; an older one is dropped.
int pending_reset_check(fpi_state& s, int slave_id);
// The same question asked without dropping anything or printing: for
// diagnostics, which must leave the table as it is.
bool pending_reset_waiting(fpi_state& s, int slave_id);
void pending_reset_clear(fpi_state& s, int slave_id);
// At a flash-mode telegram of the FPI: sends a waiting reset as
// CMD_REMOTE_RESET and clears it once written; a failed write keeps it.
void pending_reset_process(fpi_state& s, int slave_id);

}  // namespace fpi
