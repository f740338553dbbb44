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

// Open, validate or create each log of the stores, with its data file's bound
// (0: the log's default). No lock is taken: each runs before the writer
// writes to its log.
void rf_fpi_db_init(log_stores& stores, const std::string& data_dir, uint32_t limit_kb = 0);
void system_event_db_init(log_stores& stores, const std::string& data_dir, uint32_t limit_kb = 0);
void comm_event_db_init(log_stores& stores, const std::string& data_dir, uint32_t limit_kb = 0);

// The appends encode the record and queue it for the writer (log_flush
// waits until it is written); failures to write are printed by the writer.

// The frame bytes (all of them), the entry's fields and its message.
void rf_fpi_db_append(log_stores& stores, std::span<const uint8_t> frame, int64_t received_time,
                      int64_t frame_time, const rf_data_entry& entry);

// True when queued; a code (dio_event) above 21 is refused.
bool system_event_db_append(log_stores& stores, int64_t time, uint32_t code);

// True when queued; a status above 1 or no text is refused, the text is cut
// to 255 bytes.
bool comm_event_db_append(log_stores& stores, int64_t time, const char* text, int32_t rssi, uint8_t status);

}  // namespace logs
