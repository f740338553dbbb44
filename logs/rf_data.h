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
    uint8_t fault = 0;
    uint16_t reset = 0;
    uint8_t i_status = 0;
    uint16_t i_mean = 0;
    uint16_t i_min = 0;
    uint16_t i_max = 0;
    uint8_t v_status = 0;
    float v_inst = 0;  // V inst x 0.1
    float batt_v = 0;  // battery V x 0.1
    uint8_t rssi = 0;
    uint8_t di_dt_level = 0;
    uint16_t imax_level = 0;
    uint8_t auto_reset = 0;
    uint8_t flash_time = 0;
    uint8_t inrush = 0;
    uint8_t validation = 0;
    float voltage = 0;  // mV x 0.1
    uint8_t freq = 0;
    uint8_t period = 0;
};

// Newest entry first; count is always entries.size(). Guarded by
// core::rf_data_lock.
struct rf_data_list {
    std::deque<rf_data_entry> entries;
    int32_t count = 0;
};

// The process-wide list.
extern rf_data_list recent_rf_data;

// Builds an entry, appends it to the RF FPI log (taking core::rf_log_lock),
// evicts the oldest entry of a full list and puts the new one in front. The
// caller holds core::rf_data_lock. The measured fields come from the wake-up
// record when given, else from the event record, else they are zero.
void rf_data_add(rf_data_list& list, std::span<const uint8_t> frame, int64_t frame_time,
                 uint8_t slave_id, uint16_t cmd_type, uint8_t fault, uint16_t reset,
                 const char* message, const rf::wakeup_data* wakeup, const rf::event_data* event);

// {"data":[...]} of every entry, newest first, compact; empties the list in
// any case. Takes core::rf_data_lock.
std::optional<std::string> rf_data_to_json(rf_data_list& list);

}  // namespace logs
