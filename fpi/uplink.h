// What each accepted uplink telegram does: the FPI's contact record, the RF
// log entry, its data points, a pending reset, fault counting, and the
// acknowledgement (or a pending parameter set in its place). All of it runs
// on the RF reader thread, one frame at a time.
#pragma once

#include <cstdint>
#include <span>

#include "app/config.h"
#include "rf/frame.h"
#include "rf/reader.h"

namespace fpi {

struct fpi_settings {
    const app::config* cfg = nullptr;
    int fault_pause_ms = 500;  // after a counted fault, before the totals are republished
};
extern fpi_settings fpi_env;

// Makes the configuration known to FPI processing (before the first frame).
void fpi_configure(const app::config& cfg);

void handle_wakeup(const rf::rf_frame& frame, std::span<const uint8_t> bytes);
void handle_event(const rf::rf_frame& frame, std::span<const uint8_t> bytes);
void handle_fi_reset(const rf::rf_frame& frame, std::span<const uint8_t> bytes);
void handle_infoset_ack(const rf::rf_frame& frame, std::span<const uint8_t> bytes);

// The four, for rf_dispatch.
const rf::uplink_handlers& uplink_handler_table();

}  // namespace fpi
