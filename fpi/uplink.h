// What each accepted uplink telegram does: the FPI's contact record, the RF
// log entry, its data points, a pending reset, fault counting, and the
// acknowledgement (or a pending parameter set in its place). All of it runs
// on the RF reader thread, one frame at a time.
#pragma once

#include <cstdint>
#include <span>

#include "config/config.h"
#include "core/locks.h"
#include "logs/stores.h"
#include "outstation/station.h"
#include "rf/frame.h"
#include "rf/reader.h"

namespace fpi {

struct fpi_settings {
    const config::config* cfg = nullptr;
    rf::radio* radio = nullptr;  // the gateway's: frame times, downlink frames, the reader's counters
    logs::log_stores* stores = nullptr;  // where frames and status lines are recorded
    outstation::station* station = nullptr;  // where the FPIs' values go
    int fault_pause_ms = 500;  // after a counted fault, before the totals are republished
    core::semaphore* dcu_reset_sem = nullptr;  // posted when every supervised FPI went offline
};
extern fpi_settings fpi_env;

// Makes the configuration, the radio, the log stores and the outstation known
// to FPI processing (before the first frame), and sets the radio's reader
// settings from the configuration.
void fpi_configure(const config::config& cfg, rf::radio& radio, logs::log_stores& stores,
                   outstation::station& station);

void handle_wakeup(const rf::rf_frame& frame, std::span<const uint8_t> bytes);
void handle_event(const rf::rf_frame& frame, std::span<const uint8_t> bytes);
void handle_fi_reset(const rf::rf_frame& frame, std::span<const uint8_t> bytes);
void handle_infoset_ack(const rf::rf_frame& frame, std::span<const uint8_t> bytes);

// Records a frame in the recent RF data list and the RF log (takes the
// stores' rf_data_lock): the reader's recorder.
void record_rf_frame(std::span<const uint8_t> bytes, int64_t frame_time, const rf::rf_frame* frame, const char* text,
                     uint8_t fault, uint16_t reset, const rf::wakeup_data* wakeup, const rf::event_data* event);

// The four handlers and the recorder, for the reading loop.
const rf::uplink_handlers& uplink_handler_table();

}  // namespace fpi
