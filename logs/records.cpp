#include "logs/records.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/le_bytes.h"

namespace logs {

const char* dio_event_name(uint32_t code) {
    static constexpr const char* names[] = {
        "AC_FAIL", "CHARGER_FAIL", "BATTERY_LOW", "DOOR_OPEN", "DI5_HIGH", "DI6_HIGH",
        "AC_OK", "CHARGER_OK", "BATTERY_OK", "DOOR_CLOSE", "DI5_LOW", "DI6_LOW",
        "DO1_HIGH", "DO2_HIGH", "DO3_HIGH", "DO4_HIGH", "DO5_HIGH",
        "DO1_LOW", "DO2_LOW", "DO3_LOW", "DO4_LOW", "DO5_LOW",
    };
    return code <= dio_event_max ? names[code] : "UNKNOWN_DIO_EVENT";
}

void encode_rf_fpi_fixed(const rf_fpi_fields& f, uint8_t out[rf_fpi_fixed_size]) {
    std::memset(out, 0, rf_fpi_fixed_size);
    core::put_le64(out + 0, uint64_t(f.received_time));
    core::put_le64(out + 8, uint64_t(f.frame_time));
    out[16] = f.slave_id;
    core::put_le16(out + 18, f.cmd_type);
    const rf::fpi_measurement& m = f.measured;
    out[20] = m.fault;
    core::put_le16(out + 22, m.reset);
    out[24] = m.i_status;
    core::put_le16(out + 26, m.i_mean);
    core::put_le16(out + 28, m.i_min);
    core::put_le16(out + 30, m.i_max);
    out[32] = m.v_status;
    core::put_le32(out + 36, std::bit_cast<uint32_t>(m.v_inst));
    core::put_le32(out + 40, std::bit_cast<uint32_t>(m.batt_v));
    out[44] = m.rssi;
    out[45] = m.di_dt_level;
    core::put_le16(out + 46, m.imax_level);
    out[48] = m.auto_reset;
    out[49] = m.flash_time;
    out[50] = m.inrush;
    out[51] = m.validation;
    core::put_le32(out + 52, std::bit_cast<uint32_t>(m.voltage));
    out[56] = m.freq;
    out[57] = m.period;
    core::put_le16(out + 58, f.frame_len);
    core::put_le16(out + 60, f.msg_len);
}

rf_fpi_fields decode_rf_fpi_fixed(const uint8_t in[rf_fpi_fixed_size]) {
    rf_fpi_fields f;
    f.received_time = int64_t(core::get_le64(in + 0));
    f.frame_time = int64_t(core::get_le64(in + 8));
    f.slave_id = in[16];
    f.cmd_type = core::get_le16(in + 18);
    rf::fpi_measurement& m = f.measured;
    m.fault = in[20];
    m.reset = core::get_le16(in + 22);
    m.i_status = in[24];
    m.i_mean = core::get_le16(in + 26);
    m.i_min = core::get_le16(in + 28);
    m.i_max = core::get_le16(in + 30);
    m.v_status = in[32];
    m.v_inst = std::bit_cast<float>(core::get_le32(in + 36));
    m.batt_v = std::bit_cast<float>(core::get_le32(in + 40));
    m.rssi = in[44];
    m.di_dt_level = in[45];
    m.imax_level = core::get_le16(in + 46);
    m.auto_reset = in[48];
    m.flash_time = in[49];
    m.inrush = in[50];
    m.validation = in[51];
    m.voltage = std::bit_cast<float>(core::get_le32(in + 52));
    m.freq = in[56];
    m.period = in[57];
    f.frame_len = core::get_le16(in + 58);
    f.msg_len = core::get_le16(in + 60);
    return f;
}

void encode_system_event(int64_t time, uint32_t code, uint8_t out[system_event_size]) {
    std::memset(out, 0, system_event_size);
    core::put_le64(out, uint64_t(time));
    core::put_le32(out + 8, code);
}

std::vector<uint8_t> encode_comm_event(int64_t time, std::string_view text, int32_t rssi,
                                       uint8_t status) {
    size_t len = std::min(text.size(), comm_event_text_max);
    std::vector<uint8_t> out(comm_event_fixed_size + len, 0);
    core::put_le64(out.data(), uint64_t(time));
    core::put_le32(out.data() + 8, uint32_t(rssi));
    out[12] = status;
    core::put_le16(out.data() + 14, uint16_t(len));
    std::memcpy(out.data() + comm_event_fixed_size, text.data(), len);
    return out;
}

}  // namespace logs
