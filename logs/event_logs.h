// The three logs of fpigate on the ring-buffer store: RF FPI frames, system
// (digital I/O) events and IEC 60870-5-104 communication events, held in
// log_stores (logs/stores.h). Files live in the data directory (/root on the
// gateway).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "logs/records.h"
#include "logs/stores.h"

namespace logs {

// Open, validate or create each log of the stores. No lock is taken: each
// runs before any append to its log.
void rf_fpi_db_init(log_stores& stores, const std::string& data_dir);
void system_event_db_init(log_stores& stores, const std::string& data_dir);
void comm_event_db_init(log_stores& stores, const std::string& data_dir);

// Stores the frame bytes (all of them), the entry's fields and its message.
// The caller holds stores.rf_log_lock. Failures are printed.
void rf_fpi_db_append(log_stores& stores, std::span<const uint8_t> frame, int64_t received_time,
                      int64_t frame_time, const rf_data_entry& entry);

// True when stored; a code (dio_event) above 21 is refused. Takes stores.system_log_lock.
bool system_event_db_append(log_stores& stores, int64_t time, uint32_t code);

// True when stored; a status above 1 or no text is refused, the text is cut
// to 255 bytes. Takes stores.comm_log_lock.
bool comm_event_db_append(log_stores& stores, int64_t time, const char* text, int32_t rssi, uint8_t status);

}  // namespace logs
