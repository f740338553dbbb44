// The thirteen RF commands: wire layout of every payload, its host record,
// and the command table that binds each code to its encoder, decoder and printer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "rf/records.h"

namespace rf {

// Wire payload sizes of the six layouts.
constexpr size_t wakeup_payload_size = 53;
constexpr size_t event_payload_size = 16;
constexpr size_t infoset_payload_size = 37;
constexpr size_t ack_payload_size = 6;
constexpr size_t event_time_payload_size = 4;
constexpr size_t fi_reset_payload_size = 5;
constexpr size_t max_payload_size = 64;  // room in an rf_frame

// One decoded payload, whichever command carried it.
using rf_record = std::variant<std::monostate, wakeup_data, event_data, infoset_data, ack_data,
                               event_time_data, fi_reset_data>;

// Encoder: host record to wire payload (out has room for max_payload_size bytes);
// returns the wire length, or -1 when the record is not of the row's layout.
using rf_encoder = int (*)(const rf_record& record, uint8_t* out);
// Decoder: wire payload to host record; returns 0, or -2 when the payload is
// shorter than the layout (nothing beyond `wire` is ever read).
using rf_decoder = int (*)(std::span<const uint8_t> wire, rf_record& out);
// Printer: the name line and one line per field on standard output.
using rf_printer = void (*)(const char* name, const rf_record& record);

struct rf_command {
    uint8_t code;
    const char* name;
    uint8_t payload_size;  // wire payload bytes of the layout
    rf_encoder encode;
    rf_decoder decode;
    rf_printer print;
};

// One row per command code, in lookup order.
extern const std::array<rf_command, 13> rf_command_table;

// The first row with this code, or nullptr.
const rf_command* rf_command_find(uint8_t code);

// The command's name, or nullptr for a code outside the table.
const char* rf_command_name(uint8_t code);

}  // namespace rf
