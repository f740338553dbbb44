// Frames from the gateway to an FPI: acknowledgements, parameter sets and
// remote resets. Sent on the RF reader thread, right after the FPI was heard.
#pragma once

#include <cstdint>
#include <ctime>

#include "rf/frame.h"
#include "rf/parser.h"

namespace rf {

struct radio;

// What the downlink takes from its surroundings (the radio's `downlink`);
// tests may replace them.
struct downlink_env {
    int pause_ms = 100;                // quiet time before every frame
    std::time_t (*now)() = nullptr;    // wall clock for the time fields; nullptr = core::wall_clock
};

// Waits r.downlink.pause_ms, builds the frame, prints "ACK (%zu): " with its
// bytes, writes it to r.rtu_fd and prints "rtu: Sending ACK wrote %d bytes\n".
// Returns the bytes written, or -1 (write error, no port open, or a record
// that does not fit the command).
int send_command_frame(radio& r, const group_id& group, uint8_t source_id, uint8_t destination_id, uint8_t command,
                       const rf_record& record);

// Fills the RF date from local time (r.downlink.now); when no date is given,
// the RF day-time.
void rf_local_time(const radio& r, rf_date* date, rf_day_time* day_time);
// The same for a given moment.
void rf_local_time_at(std::time_t when, rf_date* date, rf_day_time* day_time);

// Sends CMD_REMOTE_RESET with the current day-time to `slave_id` (1 to 9) from
// our group and rtu_id. Returns 1 when it was written, else 0.
int fi_reset_write(radio& r, const rf_address& self, int slave_id);

}  // namespace rf
