// The fpi-sim script: one command per line, parsed in full before anything is
// sent, so a mistake is reported with its line number before the first byte.
#pragma once

#include <string>
#include <vector>

#include "fields.h"

namespace fpisim {

struct step {
    enum kind_t { frame, raw, wait, await, repeat, group, rtu, slave, auto_ack, exit } kind = frame;
    int line = 0;
    uint8_t code = 0;          // frame: command code; await: code, or 0 for a channel command
    fields values;             // frame: key=value fields
    std::vector<uint8_t> bytes;  // raw bytes; group ID
    long number = 0;           // wait/await ms, repeat count, rtu/slave id, auto_ack on (1)/off (0)
    std::vector<step> body;    // repeat
};

// Parses script text (lines separated by new lines). On error returns false
// and sets `error` to "line N: ...".
bool parse_script(const std::string& text, int first_line, std::vector<step>& out, std::string& error);

}  // namespace fpisim
