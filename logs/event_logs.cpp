#include "logs/event_logs.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "logs/records.h"
#include "logs/rf_data.h"

namespace logs {

void rf_fpi_db_init(log_stores& stores, const std::string& data_dir, uint32_t limit_kb) {
    ring_log_open(stores.rf_fpi_db, rf_fpi_kind, data_dir, limit_kb);
}

void system_event_db_init(log_stores& stores, const std::string& data_dir, uint32_t limit_kb) {
    ring_log_open(stores.system_event_db, system_event_kind, data_dir, limit_kb);
}

void comm_event_db_init(log_stores& stores, const std::string& data_dir, uint32_t limit_kb) {
    ring_log_open(stores.comm_event_db, comm_event_kind, data_dir, limit_kb);
}

void rf_fpi_db_append(log_stores& stores, std::span<const uint8_t> frame, int64_t received_time,
                      int64_t frame_time, const rf_data_entry& e) {
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
    log_queue(stores, log_id::rf_fpi, std::move(record));
}

bool system_event_db_append(log_stores& stores, int64_t time, uint32_t code) {
    if (code > dio_event_max) return false;
    std::vector<uint8_t> record(system_event_size);
    encode_system_event(time, code, record.data());
    log_queue(stores, log_id::system_event, std::move(record));
    return true;
}

bool comm_event_db_append(log_stores& stores, int64_t time, const char* text, int32_t rssi, uint8_t status) {
    if (status > 1 || !text) return false;
    log_queue(stores, log_id::comm_event, encode_comm_event(time, text, rssi, status));
    return true;
}

}  // namespace logs
