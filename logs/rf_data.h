// The recent RF data list: the 50 newest RF frames and FPI status lines,
// newest first, each also written to the RF FPI log. Collected as JSON by
// the get_rf_data method, which empties the list.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>

#include "rf/records.h"

namespace logs {

constexpr int32_t rf_data_capacity = 50;
constexpr size_t rf_data_frame_text_max = 511;  // 255 whole bytes as hex
constexpr size_t rf_data_msg_max = 255;

struct rf_data_entry {
    std::string timestamp;  // frame time, "%Y-%m-%d %H:%M:%S"
    std::string frame;      // frame bytes as upper-case hex, cut to whole bytes
    std::string error_msg;  // "OK", the refusal reason or a status line
    int32_t slave_id = 0;
    int32_t cmd_type = 0;
    rf::fpi_measurement measured;
};

// Newest entry first; count is always entries.size(). Guarded by
// log_stores::rf_data_lock.
struct rf_data_list {
    std::deque<rf_data_entry> entries;
    int32_t count = 0;
};

struct log_stores;

// Builds an entry, queues it for the RF FPI log, evicts the oldest entry of
// a full recent_rf_data list and puts the new one
// in front. The caller holds stores.rf_data_lock. The measured values besides
// fault and reset come from the wake-up or event record (rf::measurement_of).
void rf_data_add(log_stores& stores, std::span<const uint8_t> frame, int64_t frame_time,
                 uint8_t slave_id, uint16_t cmd_type, uint8_t fault, uint16_t reset,
                 const char* message, const rf::wakeup_data* wakeup, const rf::event_data* event);

// {"data":[...]} of every entry, newest first, compact; empties the list in
// any case. Takes stores.rf_data_lock.
std::optional<std::string> rf_data_to_json(log_stores& stores);

}  // namespace logs
