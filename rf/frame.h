// The RF frame: start 0x01, length L = payload + 8, five group ID bytes,
// source id, destination id, command code, payload, end 0x04 (L + 3 bytes).
// Group ID and ids are offset bytes on the wire; there is no checksum.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "rf/codec.h"

namespace rf {

constexpr uint8_t frame_start = 0x01;
constexpr uint8_t frame_end = 0x04;
constexpr size_t frame_overhead = 11;  // every byte but the payload
constexpr size_t max_frame_size = 256;  // length byte 253

using group_id = std::array<uint8_t, 5>;

// One frame in memory. Group ID and ids hold decoded values (whether the
// record came from rf_frame_decode or rf_frame_build); the payload stays in
// wire coding until rf_payload_decode turns it into the command's host record.
struct rf_frame {
    uint8_t start = 0;
    uint8_t length = 0;
    group_id group{};
    uint8_t source_id = 0;
    uint8_t destination_id = 0;
    uint8_t command = 0;
    std::array<uint8_t, max_payload_size> payload{};
    uint8_t payload_len = 0;
    uint8_t end = 0;
};

// Decodes one complete frame of `length` bytes. Returns 0; -1 when an argument
// is missing, length < 11 or the payload would exceed 64 bytes; -2 when the
// start byte is not 0x01 or the byte behind the payload is not 0x04.
int rf_frame_decode(const uint8_t* bytes, size_t length, rf_frame* out);

// Decodes the payload into the command's host record. Returns 0; -1 when the
// code is not in the command table or an argument is missing; -2 when the
// payload is shorter than the command's layout. `out` is untouched on failure.
int rf_payload_decode(const rf_frame& frame, rf_record& out);

// The same for a caller that knows the record it expects: -1 also when the
// command carries another record type.
template <class T>
int rf_payload_decode_as(const rf_frame& frame, T& out) {
    rf_record r;
    int rc = rf_payload_decode(frame, r);
    if (rc != 0) return rc;
    const T* t = std::get_if<T>(&r);
    if (!t) return -1;
    out = *t;
    return 0;
}

// Builds a frame; the first table row of `command` encodes the record into the
// payload (a code outside the table leaves it empty: length byte 0x08).
// Returns 0; -1 when no frame is given or the record does not fit the command.
int rf_frame_build(rf_frame* out, const group_id& group, uint8_t source_id, uint8_t destination_id,
                   uint8_t command, const rf_record& record);

// Writes the wire bytes (room for max_frame_size) and their count. Returns 0,
// or -1 when an argument is missing.
int rf_frame_serialize(const rf_frame* frame, uint8_t* out, size_t* length);

// Prints the decoded payload with the command's printer; nothing for a code
// outside the table. A payload too short for its command prints one line saying so.
void rf_frame_print(const rf_frame& frame);

}  // namespace rf
