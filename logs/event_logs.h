// The three logs of fpigate on the ring-buffer store: RF FPI frames, system
// (digital I/O) events and IEC 60870-5-104 communication events. Files live
// in the data directory (/root on the gateway).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "logs/records.h"
#include "logs/ring_log.h"

namespace logs {

struct rf_data_entry;

extern ring_log rf_fpi_db;        // guarded by core::rf_log_lock (taken by the callers)
extern ring_log system_event_db;  // guarded by core::system_log_lock
extern ring_log comm_event_db;    // guarded by core::comm_log_lock

// Open, validate or create each log. No lock is taken: each runs before any
// append to its log.
void rf_fpi_db_init(const std::string& data_dir);
void system_event_db_init(const std::string& data_dir);
void comm_event_db_init(const std::string& data_dir);

// Stores the frame bytes (all of them), the entry's fields and its message.
// The caller holds core::rf_log_lock. Failures are printed.
void rf_fpi_db_append(std::span<const uint8_t> frame, int64_t received_time, int64_t frame_time,
                      const rf_data_entry& entry);

// True when stored; a code (dio_event) above 21 is refused. Takes core::system_log_lock.
bool system_event_db_append(int64_t time, uint32_t code);

// True when stored; a status above 1 or no text is refused, the text is cut
// to 255 bytes. Takes core::comm_log_lock.
bool comm_event_db_append(int64_t time, const char* text, int32_t rssi, uint8_t status);

}  // namespace logs
