// Frame synchroniser: finds frames in the byte stream of the serial port by
// their start byte, length byte and end byte, across as many reads as needed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "rf/frame.h"

namespace rf {

enum class rf_parser_state { WAIT_START, WAIT_LENGTH, WAIT_BODY };

// A frame must be complete within this time after its start byte.
constexpr uint32_t frame_timeout_ms = 1000;

struct rf_parser {
    rf_parser_state state = rf_parser_state::WAIT_START;
    std::array<uint8_t, max_frame_size> buffer{};  // the frame under assembly
    size_t fill = 0;                               // bytes in buffer
    size_t expected = 0;                           // length byte + 3
    uint32_t start_ms = 0;                         // monotonic ms of the start byte, modulo 2^32
    uint64_t (*now_ms)() = nullptr;                // the clock; nullptr = core::monotonic_ms
};

// WAIT_START, fill 0, expected 0, start time 0. The clock stays.
void rf_parser_reset(rf_parser& parser);

// Feeds bytes until a frame completes, a framing error occurs or the input ends.
// Returns the frame's length N > 0 (the frame is in parser.buffer[0..N)), 0
// when all bytes were taken without completing a frame, or -1 on a framing
// error: the partial frame timed out (more than 1000 ms since its start byte),
// a length byte above 253, or a last byte other than 0x04. The parser is then
// back in WAIT_START.
//
// `consumed` (optional) receives how many bytes were taken. Bytes behind a
// completed frame or an error are left for the caller to feed again, so two
// frames in one read both come out. A partial frame that timed out takes none
// of the new bytes: the byte that found it stale may start the next frame.
// Feeding from a WAIT_START parser always takes at least one byte or completes.
//
// The reading loop feeds one read like this:
//     size_t at = 0;
//     bool repaired = false;
//     while (at < n) {
//         size_t used = 0;
//         int rc = rf_parser_feed(parser, buf + at, n - at, &used);
//         at += used;
//         if (rc > 0) { /* frame in parser.buffer[0..rc) */ continue; }
//         if (rc == 0) break;
//         if (!repaired && fi_reset_length_repair(buf, n)) { repaired = true; rf_parser_reset(parser); at = 0; continue; }
//         /* record the framing error, then go on with the rest */
//     }
int rf_parser_feed(rf_parser& parser, const uint8_t* bytes, size_t count, size_t* consumed = nullptr);

// The repair of a CMD_FI_RESET frame whose length byte arrived damaged: when a
// read of exactly 16 bytes holds 0x01 ... 0x61 <reset type 0x88/0x90/0xA0/0xC0>
// ... 0x04, sets byte 1 to 0x0D, prints the repair and returns 1; else 0.
int fi_reset_length_repair(uint8_t* bytes, size_t count);

// This gateway's address on the radio.
struct rf_address {
    group_id group{};     // group_id_bytes of the configuration
    uint16_t rtu_id = 0;  // configured rtu_id
};

inline rf_address rf_address_from(const config::derived_settings& d) { return {d.group_id_bytes, d.rtu_id}; }

// Destination id every gateway accepts besides its own rtu_id.
constexpr uint8_t rtu_id_any = 21;

// 1 when the frame's group ID is ours and its destination is our rtu_id or 21.
int rf_frame_accepted(const rf_frame& frame, const rf_address& self);

// 1 when the destination id alone is ours (tells a group mismatch from an RTU id mismatch).
int rf_destination_accepted(const rf_frame& frame, const rf_address& self);

}  // namespace rf
