#include "logs/event_logs.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/locks.h"
#include "logs/records.h"
#include "logs/rf_data.h"

namespace logs {

// Not open until their init: an append before it is refused with the log's
// own message.
ring_log rf_fpi_db{.kind = &rf_fpi_kind};
ring_log system_event_db{.kind = &system_event_kind};
ring_log comm_event_db{.kind = &comm_event_kind};

void rf_fpi_db_init(const std::string& data_dir) { ring_log_open(rf_fpi_db, rf_fpi_kind, data_dir); }

void system_event_db_init(const std::string& data_dir) {
    ring_log_open(system_event_db, system_event_kind, data_dir);
}

void comm_event_db_init(const std::string& data_dir) {
    ring_log_open(comm_event_db, comm_event_kind, data_dir);
}

void rf_fpi_db_append(std::span<const uint8_t> frame, int64_t received_time, int64_t frame_time,
                      const rf_data_entry& e) {
    size_t frame_len = std::min<size_t>(frame.size(), UINT16_MAX);
    size_t msg_len = std::min<size_t>(e.error_msg.size(), UINT16_MAX);
    rf_fpi_fields f;
    f.received_time = received_time;
    f.frame_time = frame_time;
    f.slave_id = uint8_t(e.slave_id);
    f.cmd_type = uint16_t(e.cmd_type);
    f.measured = e.measured;
    f.frame_len = uint16_t(frame_len);
    f.msg_len = uint16_t(msg_len);

    std::vector<uint8_t> record(rf_fpi_fixed_size + frame_len + msg_len);
    encode_rf_fpi_fixed(f, record.data());
    if (frame_len > 0) std::memcpy(record.data() + rf_fpi_fixed_size, frame.data(), frame_len);
    if (msg_len > 0)
        std::memcpy(record.data() + rf_fpi_fixed_size + frame_len, e.error_msg.data(), msg_len);
    ring_log_append(rf_fpi_db, record);
}

bool system_event_db_append(int64_t time, uint32_t code) {
    if (code > dio_event_max) return false;
    uint8_t record[system_event_size];
    encode_system_event(time, code, record);
    std::lock_guard lock(core::system_log_lock);
    return ring_log_append(system_event_db, record);
}

bool comm_event_db_append(int64_t time, const char* text, int32_t rssi, uint8_t status) {
    if (status > 1 || !text) return false;
    std::vector<uint8_t> record = encode_comm_event(time, text, rssi, status);
    std::lock_guard lock(core::comm_log_lock);
    return ring_log_append(comm_event_db, record);
}

}  // namespace logs
