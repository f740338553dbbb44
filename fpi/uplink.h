// What each accepted uplink telegram does: the FPI's contact record, its data
// points, a pending reset, the RF log entry, fault counting, and the
// acknowledgement (or a pending parameter set in its place). All of it runs
// on the RF reader thread, one frame at a time, except what a counted fault
// costs: the fault worker counts it, saves the database and, after a pause,
// republishes the totals.
#pragma once

#include <cstdint>
#include <span>

#include "config/config.h"
#include "rf/frame.h"
#include "rf/reader.h"

namespace fpi {

struct fpi_state;

// Makes the configuration known to FPI processing (before the first frame or
// command), and sets the radio's reader settings from it.
void fpi_configure(fpi_state& s, const config::config& cfg);

void handle_wakeup(fpi_state& s, const rf::rf_frame& frame, std::span<const uint8_t> bytes);
void handle_event(fpi_state& s, const rf::rf_frame& frame, std::span<const uint8_t> bytes);
void handle_fi_reset(fpi_state& s, const rf::rf_frame& frame, std::span<const uint8_t> bytes);
void handle_infoset_ack(fpi_state& s, const rf::rf_frame& frame, std::span<const uint8_t> bytes);

// Records a frame in the recent RF data list and the RF log (takes the
// stores' rf_data_lock): the reader's recorder.
void record_rf_frame(fpi_state& s, std::span<const uint8_t> bytes, int64_t frame_time, const rf::rf_frame* frame,
                     const char* text, uint8_t fault, uint16_t reset, const rf::wakeup_data* wakeup,
                     const rf::event_data* event);

// Starts the fault worker. Without it a counted fault is handled on the
// caller's thread, pause included.
void fault_worker_start(fpi_state& s);
// Counts the faults still queued (without the pause) and ends the worker.
void fault_worker_stop(fpi_state& s);
// Waits until no counted fault is queued or being handled.
void fault_worker_wait_idle(fpi_state& s);

// The four handlers and the recorder on `s`, for the reading loop.
rf::uplink_handlers uplink_handler_table(fpi_state& s);

}  // namespace fpi
