// Commands from the masters: single and double commands and set-points, each
// with and without time tag, switch a digital output, reset the DCU, queue an
// FPI reset or store an FPI parameter. Only an activation (cause 6) that is
// not a select executes; a select is confirmed without acting, a
// deactivation is confirmed with cause 9, any other cause is refused.
#pragma once

#include <cstdint>
#include <functional>

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

}  // namespace outstation
