// The fpi-sim script: one command per line, parsed in full before anything is
// sent, so a mistake is reported with its line number before the first byte.
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

struct step {
    enum kind_t { frame, raw, wait, await, repeat, group, rtu, slave, auto_ack, exit } kind = frame;
    int line = 0;
    uint8_t code = 0;          // frame: command code; await: code, or 0 for a channel command
    fields values;             // frame: key=value fields
    std::vector<uint8_t> bytes;  // raw bytes; group ID
    long number = 0;           // wait/await ms, repeat count, rtu/slave id, auto_ack on (1)/off (0)
    std::vector<step> body;    // repeat
};

// Addressing in force while a script runs; `group`, `rtu` and `slave` lines change it.
struct addressing {
    rf::group_id group{1, 2, 3, 4, 5};
    uint8_t rtu = 21;
    uint8_t slave = 1;
};

// Parses script text (lines separated by new lines). On error returns false
// and sets `error` to "line N: ...".
bool parse_script(const std::string& text, int first_line, std::vector<step>& out, std::string& error);

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

}  // namespace fpisim
