// Host records of the RF payloads: the decoded values of each command layout.
// Field order follows the wire layouts; every field is unsigned. Then the
// measured values one telegram leaves in the logs.
#pragma once

#include <array>
#include <cstdint>

namespace rf {

// Command codes, in the lookup order of the command table.
enum : uint8_t {
    CMD_WAKEUP_NOTSET = 0x62,
    CMD_EVENT_DATA = 0x65,
    CMD_JOIN_DATA = 0x6a,
    CMD_FLASH_MODE = 0x7a,
    CMD_WAKEUP_NOTSET_ACK = 0x42,
    CMD_JOIN_DATA_ACK = 0x4a,
    CMD_EVENT_DATA_ACK = 0x45,
    CMD_WAKEUP_SET = 0x6e,
    CMD_WAKEUP_SET_ACK = 0x4e,
    CMD_INFO_SET = 0x55,
    CMD_INFO_SET_ACK = 0x75,
    CMD_REMOTE_RESET = 0x4f,
    CMD_FI_RESET = 0x61,
};

using rf_date = std::array<uint8_t, 6>;      // year mod 100, month, day, hour, minute, second
using rf_day_time = std::array<uint8_t, 4>;  // day of month, hour, minute, second

// CMD_JOIN_DATA, CMD_WAKEUP_SET, CMD_WAKEUP_NOTSET.
struct wakeup_data {
    std::array<char, 20> location{};  // not terminated
    uint8_t di_dt_level = 0;
    uint16_t imax_level = 0;
    uint8_t auto_reset = 0;
    uint8_t flash_time = 0;
    uint8_t transient_on = 0;
    uint8_t validation = 0;
    uint16_t mv = 0;
    rf_date date{};
    uint8_t frequency = 0;
    uint8_t period = 0;
    uint8_t i_status = 0;
    uint16_t i_mean = 0;
    uint16_t i_min = 0;
    uint16_t i_max = 0;
    uint8_t v_status = 0;
    uint16_t v_inst = 0;
    uint8_t battery_v = 0;
    uint8_t rssi = 0;
    rf_day_time event_time{};

    friend bool operator==(const wakeup_data&, const wakeup_data&) = default;
};

// CMD_INFO_SET: the settings block, the first twelve fields of wakeup_data.
struct infoset_data {
    std::array<char, 20> location{};
    uint8_t di_dt_level = 0;
    uint16_t imax_level = 0;
    uint8_t auto_reset = 0;
    uint8_t flash_time = 0;
    uint8_t transient_on = 0;
    uint8_t validation = 0;
    uint16_t mv = 0;
    rf_date date{};
    uint8_t frequency = 0;
    uint8_t period = 0;

    friend bool operator==(const infoset_data&, const infoset_data&) = default;
};

// CMD_EVENT_DATA, CMD_FLASH_MODE.
struct event_data {
    uint8_t i_status = 0;
    uint16_t i_mean = 0;
    uint16_t i_min = 0;
    uint16_t i_max = 0;
    uint8_t v_status = 0;
    uint16_t v_inst = 0;
    uint8_t battery_v = 0;
    uint8_t rssi = 0;
    rf_day_time event_time{};

    friend bool operator==(const event_data&, const event_data&) = default;
};

// The four acknowledgements.
struct ack_data {
    rf_date date{};

    friend bool operator==(const ack_data&, const ack_data&) = default;
};

// CMD_INFO_SET_ACK, CMD_REMOTE_RESET.
struct event_time_data {
    rf_day_time event_time{};

    friend bool operator==(const event_time_data&, const event_time_data&) = default;
};

// CMD_FI_RESET.
struct fi_reset_data {
    uint8_t reset_type = 0;
    rf_day_time event_time{};

    friend bool operator==(const fi_reset_data&, const fi_reset_data&) = default;
};

// The measured values of an FPI telegram as the RF log and the recent RF data
// list keep them: fault and reset are the handler's, the rest come from the
// telegram's record (measurement_of).
struct fpi_measurement {
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

// From the wake-up record when given (every value), else from the event
// record (current, voltage, battery and signal), else all zero.
inline fpi_measurement measurement_of(const wakeup_data* wakeup, const event_data* event) {
    fpi_measurement m;
    const auto common = [&m](const auto& r) {
        m.i_status = r.i_status;
        m.i_mean = r.i_mean;
        m.i_min = r.i_min;
        m.i_max = r.i_max;
        m.v_status = r.v_status;
        m.v_inst = float(r.v_inst) * 0.1f;
        m.batt_v = float(r.battery_v) * 0.1f;
        m.rssi = r.rssi;
    };
    if (wakeup) {
        common(*wakeup);
        m.di_dt_level = wakeup->di_dt_level;
        m.imax_level = wakeup->imax_level;
        m.auto_reset = wakeup->auto_reset;
        m.flash_time = wakeup->flash_time;
        m.inrush = wakeup->transient_on;
        m.validation = wakeup->validation;
        m.voltage = float(wakeup->mv) * 0.1f;
        m.freq = wakeup->frequency;
        m.period = wakeup->period;
    } else if (event) {
        common(*event);
    }
    return m;
}

}  // namespace rf
