#include "rf/parser.h"

#include <cstdio>

#include "core/clock.h"

namespace rf {

void rf_parser_reset(rf_parser& p) {
    p.state = rf_parser_state::WAIT_START;
    p.fill = 0;
    p.expected = 0;
    p.start_ms = 0;
}

int rf_parser_feed(rf_parser& p, const uint8_t* bytes, size_t count, size_t* consumed) {
    size_t taken = 0;
    int result = 0;
    if (bytes && count > 0) {
        // Every byte of one read arrived at the same moment: one clock reading serves them all.
        uint32_t now = uint32_t(p.now_ms ? p.now_ms() : core::monotonic_ms());
        if (p.state != rf_parser_state::WAIT_START && uint32_t(now - p.start_ms) > frame_timeout_ms) {
            rf_parser_reset(p);
            result = -1;
        }
        while (result == 0 && taken < count) {
            uint8_t b = bytes[taken++];
            switch (p.state) {
            case rf_parser_state::WAIT_START:
                if (b == frame_start) {
                    p.buffer[0] = b;
                    p.fill = 1;
                    p.start_ms = now;
                    p.state = rf_parser_state::WAIT_LENGTH;
                }
                break;
            case rf_parser_state::WAIT_LENGTH:
                p.buffer[p.fill++] = b;
                p.expected = size_t(b) + 3;
                if (p.expected > max_frame_size) {
                    rf_parser_reset(p);
                    result = -1;
                } else {
                    p.state = rf_parser_state::WAIT_BODY;
                }
                break;
            case rf_parser_state::WAIT_BODY:
                p.buffer[p.fill++] = b;
                if (p.fill == p.expected) {
                    result = b == frame_end ? int(p.expected) : -1;
                    rf_parser_reset(p);
                }
                break;
            }
        }
    }
    if (consumed) *consumed = taken;
    return result;
}

int fi_reset_length_repair(uint8_t* bytes, size_t count) {
    if (!bytes || count != 16) return 0;
    if (bytes[0] != frame_start || bytes[15] != frame_end || bytes[9] != CMD_FI_RESET) return 0;
    uint8_t type = bytes[10];
    if (type != 0x88 && type != 0x90 && type != 0xA0 && type != 0xC0) return 0;
    std::printf("Repairing FI reset frame length byte from 0x%02X to 0x0D\n", bytes[1]);
    bytes[1] = 0x0D;
    return 1;
}

int rf_destination_accepted(const rf_frame& frame, const rf_address& self) {
    return frame.destination_id == self.rtu_id || frame.destination_id == rtu_id_any;
}

int rf_frame_accepted(const rf_frame& frame, const rf_address& self) {
    return frame.group == self.group && rf_destination_accepted(frame, self);
}

}  // namespace rf
