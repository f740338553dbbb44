// Commands from the masters: single and double commands and set-points, each
// with and without time tag, switch a digital output, reset the DCU, queue an
// FPI reset or store an FPI parameter. Only an activation (cause 6) that is
// not a select executes; a select is confirmed without acting, a
// deactivation is confirmed with cause 9, any other cause is refused.
#pragma once

#include <cstdint>

#include "config/config.h"
#include "lib/iec104/server.h"

namespace outstation {

// What commands act on, filled in by the start-up wiring before the server
// runs (the subsystems behind them build on this one).
struct command_targets {
    // Drives output k (1-5) to the value and arms its pulse; false when its line is missing.
    bool (*drive_output)(int k, int32_t value) = nullptr;
    void (*pending_reset_store)(uint8_t slave_id) = nullptr;
    // 3 when stored, -1 when refused.
    int (*infoset_store_parameter)(uint32_t ioa, uint32_t type_id, uint64_t time_ms, float value) = nullptr;
    bool (*is_infoset_parameter)(const config::fpi_iec104_ioa& point) = nullptr;
    // 3 when a parameter write would be stored (the checks of a select).
    int (*infoset_check_parameter)(uint32_t ioa, uint32_t type_id, float value) = nullptr;
    // Whether output k (1-5) or, for 6, the DCU power line can be driven.
    bool (*output_present)(int k) = nullptr;
};
extern command_targets commands;

// The configuration the handler reads (set by server_setup).
void commands_configure(const config::config& cfg);

enum command_result { no_target = -1, refused = 0, executed = 1, accepted = 2 };

// Acts on (ioa, lookup type). With select_only the target is checked but
// nothing is done (a select): executed then means "would execute".
int execute_command(uint32_t ioa, uint32_t type_id, int32_t value, bool select_only = false);

// ACT_CON / ACT_TERM / cause 47 for the result.
void send_command_reply(iec104::Asdu& asdu, int result, iec104::Connection& c);

// The server's handler for process commands: true when the type is one of
// the ten command types (answered), false to leave the ASDU to the stack.
bool asdu_handler(const iec104::ConnectionPtr& c, iec104::Asdu& asdu);

}  // namespace outstation
