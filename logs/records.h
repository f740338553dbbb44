// The record layouts of the three logs and the dio_event codes. Records are
// encoded and decoded field by field, little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "rf/records.h"

namespace logs {

// Digital input and output events of the system event log.
enum dio_event : uint32_t {
    AC_FAIL, CHARGER_FAIL, BATTERY_LOW, DOOR_OPEN, DI5_HIGH, DI6_HIGH,
    AC_OK, CHARGER_OK, BATTERY_OK, DOOR_CLOSE, DI5_LOW, DI6_LOW,
    DO1_HIGH, DO2_HIGH, DO3_HIGH, DO4_HIGH, DO5_HIGH,
    DO1_LOW, DO2_LOW, DO3_LOW, DO4_LOW, DO5_LOW,
};
constexpr uint32_t dio_event_max = DO5_LOW;  // 21

// The name the CSV export prints; "UNKNOWN_DIO_EVENT" above 21.
const char* dio_event_name(uint32_t code);

// rf_fpi_record: a 64-byte fixed part, then frame_len frame bytes and
// msg_len message bytes.
constexpr size_t rf_fpi_fixed_size = 64;
struct rf_fpi_fields {
    int64_t received_time = 0;
    int64_t frame_time = 0;
    uint8_t slave_id = 0;
    uint16_t cmd_type = 0;
    rf::fpi_measurement measured;
    uint16_t frame_len = 0;
    uint16_t msg_len = 0;
};
void encode_rf_fpi_fixed(const rf_fpi_fields& f, uint8_t out[rf_fpi_fixed_size]);
rf_fpi_fields decode_rf_fpi_fixed(const uint8_t in[rf_fpi_fixed_size]);

// system_event_record: time (8), code (4), reserved (4).
constexpr size_t system_event_size = 16;
void encode_system_event(int64_t time, uint32_t code, uint8_t out[system_event_size]);

// comm_event_record: time (8), rssi (4), status (1), reserved (1),
// text_len (2), then the text.
constexpr size_t comm_event_fixed_size = 16;
constexpr size_t comm_event_text_max = 255;
std::vector<uint8_t> encode_comm_event(int64_t time, std::string_view text, int32_t rssi,
                                       uint8_t status);

}  // namespace logs
