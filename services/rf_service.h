// The ubus object rf.service (type "object_rf"): the recent RF frames, the
// three CSV exports, a channel command to the radio, an FPI reset and a DCU
// reset, for local clients on the gateway (the web interface, the ubus
// command line).
#pragma once

#include <atomic>
#include <string>

#include "config/config.h"
#include "fpi/state.h"
#include "lib/ubus/client.h"
#include "logs/stores.h"
#include "outstation/station.h"
#include "rf/radio.h"

namespace services {

// The object with its seven methods, in their order; the RF data and the
// exports come from `stores`, write_channel talks to `radio` (the gateway's),
// reset_fpi_slave stores its reset in `fpis`.
ubus::object rf_service_object(const config::config& cfg, rf::radio& radio, logs::log_stores& stores,
                               fpi::fpi_state& fpis);

// The ubus thread: connects to ubus_socket, registers rf.service (and the
// diagnostics object fpigate over `station` and `fpis` when the option
// diagnostics is set) and serves them. When the broker goes away (or is not
// there yet) it connects again with a back-off of at most 2 s and registers again, until
// `running` is cleared and rf_service_stop is called. `sleep_ms` waits and
// tells whether to go on. `start_ms` is the monotonic ms the gateway started
// at (the uptime's base).
void rf_service_thread(const config::config& cfg, rf::radio& radio, logs::log_stores& stores,
                       outstation::station& station, fpi::fpi_state& fpis, uint64_t start_ms,
                       const std::atomic<bool>& running, bool (*sleep_ms)(int ms, void* user), void* user);
// Ends the event loop of the thread (from any thread).
void rf_service_stop();

}  // namespace services
