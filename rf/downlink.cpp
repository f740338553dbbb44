#include "rf/downlink.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/clock.h"
#include "rf/radio.h"
#include "rf/uart.h"

namespace rf {

int send_command_frame(radio& r, const group_id& group, uint8_t source_id, uint8_t destination_id, uint8_t command,
                       const rf_record& record) {
    int fd = r.rtu_fd.load();
    if (fd <= 0) {
        std::fputs("send_command_frame: serial port not open\n", stderr);
        return -1;
    }
    if (r.downlink.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.downlink.pause_ms));

    rf_frame frame;
    if (rf_frame_build(&frame, group, source_id, destination_id, command, record) != 0) {
        std::fprintf(stderr, "send_command_frame: record does not fit command 0x%02X\n", command);
        return -1;
    }
    uint8_t out[max_frame_size] = {};
    size_t length = 0;
    rf_frame_serialize(&frame, out, &length);

    std::printf("ACK (%zu): ", length);
    for (size_t i = 0; i < length; ++i) std::printf("%02X ", out[i]);
    std::printf("\n");
    int written = uart_write(r, fd, out, length);
    std::printf("rtu: Sending ACK wrote %d bytes\n", written);
    return written;
}

void rf_local_time_at(std::time_t when, rf_date* date, rf_day_time* day_time) {
    std::tm t{};
    localtime_r(&when, &t);
    if (date) {
        *date = {uint8_t(t.tm_year % 100), uint8_t(t.tm_mon + 1), uint8_t(t.tm_mday),
                 uint8_t(t.tm_hour),       uint8_t(t.tm_min),     uint8_t(t.tm_sec)};
    } else if (day_time) {
        *day_time = {uint8_t(t.tm_mday), uint8_t(t.tm_hour), uint8_t(t.tm_min), uint8_t(t.tm_sec)};
    }
}

void rf_local_time(const radio& r, rf_date* date, rf_day_time* day_time) {
    rf_local_time_at(r.downlink.now ? r.downlink.now() : std::time_t(core::wall_clock.now_ms() / 1000), date,
                     day_time);
}

int fi_reset_write(radio& r, const rf_address& self, int slave_id) {
    int written = -1;
    if (slave_id >= 1 && slave_id <= 9) {
        event_time_data reset;
        rf_local_time(r, nullptr, &reset.event_time);
        written = send_command_frame(r, self.group, uint8_t(self.rtu_id & 0xFF), uint8_t(slave_id), CMD_REMOTE_RESET,
                                     reset);
    }
    if (written > 0) {
        std::printf("FPI reset write operation successful for slave %d\n", slave_id);
        return 1;
    }
    std::printf("FPI reset write operation failed for slave %d\n", slave_id);
    return 0;
}

}  // namespace rf
