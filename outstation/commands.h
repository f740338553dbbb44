// Commands from the masters: single and double commands and set-points, each
// with and without time tag, switch a digital output, reset the DCU, queue an
// FPI reset or store an FPI parameter. Only an activation (cause 6) that is
// not a select executes; a select is confirmed without acting, a
// deactivation is confirmed with cause 9, any other cause is refused. A
// double command state other than OFF (1) or ON (2) is refused.
//
// With select_timeout_ms, a command to an output, the DCU or an FPI reset
// executes only after a select of the same IOA, type and value from the
// same connection at most that long ago, and once; a deactivation cancels
// the selection. With command_max_age_s, a time-tagged command whose tag is
// further than that from the clock (shifted by asdu_time_offset) is refused.
//
// A read (C_RD_NA_1) is answered with the point's value as an interrogation
// carries it, with cause 5.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "config/config.h"
#include "lib/iec104/server.h"

namespace outstation {

// What commands act on, bound by the start-up wiring to the subsystems
// behind them (they build on this one). A target that is not set counts as
// missing.
struct command_targets {
    // Drives output k (1-5) to the value and arms its pulse; false when its line is missing.
    std::function<bool(int k, int32_t value)> drive_output;
    std::function<void(uint8_t slave_id)> pending_reset_store;
    // 3 when stored, -1 when refused.
    std::function<int(uint32_t ioa, uint32_t type_id, uint64_t time_ms, float value)> infoset_store_parameter;
    std::function<bool(const config::fpi_iec104_ioa& point)> is_infoset_parameter;
    // 3 when a parameter write would be stored (the checks of a select).
    std::function<int(uint32_t ioa, uint32_t type_id, float value)> infoset_check_parameter;
    // Whether output k (1-5) or, for 6, the DCU power line can be driven.
    std::function<bool(int k)> output_present;
    // Asks for a DCU power pulse (output 6).
    std::function<void()> reset_dcu;
};

// A select waiting for its execute.
struct command_selection {
    std::weak_ptr<iec104::Connection> connection;  // expired: that master has gone
    uint8_t type = 0;
    uint32_t ioa = 0;
    int32_t value = 0;       // SCS, DCS, normalized or scaled value
    uint32_t real_bits = 0;  // short floating-point value
    uint64_t deadline_ms = 0;  // monotonic; the execute must come by then
};

struct command_selections {
    std::mutex lock;
    std::vector<command_selection> held;  // guarded by lock
};

struct station;

enum command_result { no_target = -1, refused = 0, executed = 1, accepted = 2 };

// Acts on (ioa, lookup type) of the station's configuration (no_target
// without one). With select_only the target is checked but nothing is done
// (a select): executed then means "would execute".
int execute_command(station& st, uint32_t ioa, uint32_t type_id, int32_t value, bool select_only = false);

// ACT_CON / ACT_TERM / cause 47 for the result.
void send_command_reply(iec104::Asdu& asdu, int result, iec104::Connection& c);

// The server's handler for process commands: true when the type is one of
// the ten command types (answered), false to leave the ASDU to the stack.
bool asdu_handler(station& st, const iec104::ConnectionPtr& c, iec104::Asdu& asdu);

// The server's handler for a read (cause 5): the point's object, or the
// request back with cause 47 when the IOA holds no value.
bool read_handler(station& st, const iec104::ConnectionPtr& c, iec104::Asdu& asdu, uint32_t ioa);

}  // namespace outstation
