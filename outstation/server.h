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

struct station;

// Creates, configures and starts the station's server on the configured port
// (at most 5 open connections, every connection its own redundancy group).
// False when it does not run; the reason is printed on standard error.
bool server_setup(station& st, const config::config& cfg);
bool server_is_running(const station& st);
uint16_t server_bound_port(const station& st);  // the port it listens on, 0 when none
// The masters connected now (none without a server).
std::vector<iec104::ConnectionPtr> server_connections(const station& st);
// Closes every connection (their closed events are reported) and stops
// listening. Harmless when repeated or without a server.
void server_stop(station& st);
// Frees the server.
void server_destroy(station& st);

// Each connection event, refused requests included, goes to the station's
// connection_events sink with its time and text.
bool connection_request_handler(station& st, const std::string& peer);
void connection_event_handler(station& st, const iec104::ConnectionPtr& c, iec104::ConnectionEvent event);

}  // namespace outstation
