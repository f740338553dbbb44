// The gateway's IEC 60870-5-104 controlled station: the server set up from
// the configuration, its handlers, and the connection events with their slot
// bookkeeping and communication log entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "lib/iec104/server.h"

namespace outstation {

// Creates, configures and starts the server on the configured port (at most
// 5 open connections, every connection its own redundancy group). False when
// it does not run; the reason is printed on standard error.
bool server_setup(const config::config& cfg);
bool server_is_running();
uint16_t server_bound_port();  // the port it listens on, 0 when none
// The masters connected now (none without a server).
std::vector<iec104::ConnectionPtr> server_connections();
// Closes every connection (their closed events are logged) and stops
// listening. Harmless when repeated or without a server.
void server_stop();
// Frees the server; the communication log entries still queued are written.
void server_destroy();

bool connection_request_handler(const std::string& peer);
void connection_event_handler(const iec104::ConnectionPtr& c, iec104::ConnectionEvent event);

}  // namespace outstation
