// Frame fields of the fpi-sim script (key=value words) and the records and
// addresses they make.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "rf/codec.h"
#include "rf/frame.h"

namespace fpisim {

using fields = std::map<std::string, std::string>;

// Addressing in force while a script runs; `group`, `rtu` and `slave` lines change it.
struct addressing {
    rf::group_id group{1, 2, 3, 4, 5};
    uint8_t rtu = 21;
    uint8_t slave = 1;
};

// The record a frame step sends, with date and event time taken from `now`
// (local time) unless given. Returns false with a message on a bad field.
bool make_record(uint8_t code, const fields& values, std::time_t now, rf::rf_record& out, std::string& error);

// Source, destination and group of a frame step.
bool frame_address(const fields& values, const addressing& defaults, addressing& out, std::string& error);

// "0102030405" (10 hex digits) to a group ID.
bool parse_group(const std::string& text, rf::group_id& out);

// Hex bytes: "01 18 81", "0118 81" or "0x01 0x18".
bool parse_hex(const std::vector<std::string>& tokens, std::vector<uint8_t>& out);

// Command code by name ("CMD_EVENT_DATA" or "EVENT_DATA") or number ("0x65").
bool parse_code(const std::string& text, uint8_t& out);

// A decimal or 0x hex number no greater than max.
bool parse_number(const std::string& text, unsigned long max, unsigned long& out);

}  // namespace fpisim
