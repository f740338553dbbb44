// The ubus object rf.service (type "object_rf"): the recent RF frames, the
// three CSV exports, a channel command to the radio, an FPI reset and a DCU
// reset, for local clients on the gateway (the web interface, the ubus
// command line).
#pragma once

#include <atomic>
#include <string>

#include "lib/ubus/client.h"
#include "services/state.h"

namespace services {

// The object with its seven methods, in their order; the RF data and the
// exports come from s.stores, write_channel talks to s.radio, reset_fpi_slave
// stores its reset in s.fpis, dcu_reset_write posts s.io's dcu_reset_sem.
ubus::object rf_service_object(service_state& s);

// The ubus thread: connects to ubus_socket, registers rf.service (and the
// diagnostics object fpigate when the option diagnostics is set) and serves
// them. When the broker goes away (or is not there yet) it
// connects again with a back-off of at most 2 s and registers again, until
// `running` is cleared and rf_service_stop is called. `sleep_ms` waits and
// tells whether to go on.
void rf_service_thread(service_state& s, const std::atomic<bool>& running, bool (*sleep_ms)(int ms, void* user),
                       void* user);
// Ends the event loop of the thread (from any thread).
void rf_service_stop(service_state& s);

}  // namespace services
