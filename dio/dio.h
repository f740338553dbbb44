// The gateway's digital inputs and outputs as data points: the DI scanning
// pass (publish, then log changes in the system event log), the DO toggling
// pass that ends timed output pulses, and the DCU reset pulse.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "config/config.h"
#include "dio/gpio.h"
#include "dio/state.h"
#include "outstation/station.h"

namespace dio {

struct scanner_state {
    std::array<int32_t, input_count> inputs{};
    std::array<int32_t, output_count> outputs{};
    std::array<bool, input_count> inputs_known{};  // from the first pass that read the line
    std::array<bool, output_count> outputs_known{};
};

// One scan: DI1-DI5 (inverted when invert_di_values is set) and DO1-DO5 are
// published to io.station under its value_store_lock, then every change
// since the previous pass goes to the system event log of io.stores. The first
// pass only establishes the previous values. Missing lines are neither
// published nor logged.
void di_scan_pass(dio_state& io, scanner_state& s);

// Hands the values to the station's value store: value k to the k-th entry
// of that gpio_type, k up to 5. The caller holds station.value_store_lock.
void publish_digital_inputs(const config::config& cfg, outstation::station& station,
                            const std::array<int32_t, input_count>& v, const std::array<bool, input_count>& present);
void publish_digital_outputs(const config::config& cfg, outstation::station& station,
                             const std::array<int32_t, output_count>& v, const std::array<bool, output_count>& present);

// One pass of the DO toggling thread: every output whose toggle deadline has
// come gets its toggle action.
void do_toggle_pass(dio_state& io);

// Whether some output's toggle deadline is armed.
bool do_pulse_pending(const dio_state& io);

// For the DO toggling thread when no pulse is pending: waits until one is
// armed (true) or `running` is clear and do_toggling_wake is called (false).
bool do_wait_for_pulse(dio_state& io, const std::atomic<bool>& running);
void do_toggling_wake(dio_state& io);

// Drives output k (1 to 5) to `value` and arms its toggle deadline. False
// when its line is missing: nothing happens then.
bool drive_output(dio_state& io, int k, int32_t value);

// The DCU off for the configured pulse time, then on again, with its lines.
// False, with a line on standard error, when the DCU power line is missing.
bool dcu_reset_pulse(dio_state& io);

}  // namespace dio
