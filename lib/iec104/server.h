// IEC 60870-5-104 controlled station (server). Every connection is a
// redundancy group of its own: it has its own queues, any number of
// connections can be started at once, none replaces another.
//
// Threads: one accepts connections, one serves each connection. The handlers
// run on the thread of their connection. Sending from the application only
// queues and wakes that thread, so it never blocks on a slow or dead master.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/iec104/asdu.h"
#include "lib/iec104/apci.h"
#include "lib/iec104/link.h"

namespace iec104 {

struct ServerConfig {
    std::string local_address = "0.0.0.0";
    uint16_t port = kDefaultPort;  // 0 picks a free port, see server_port()
    int max_connections = 5;       // more are accepted and closed at once; <= 0: no limit
    AppLayerParameters app;
    ApciParameters apci;
    // Memory bound of each connection's queues: ASDU octets plus 64 per entry.
    size_t high_queue_bytes = 256 * 1024;
    size_t low_queue_bytes = 256 * 1024;
};

struct Connection;
using ConnectionPtr = std::shared_ptr<Connection>;

enum class ConnectionEvent { opened, closed, activated, deactivated };

// A handler that returns false leaves the ASDU to the next step; an ASDU that
// no handler takes is mirrored with cause 44 (unknown type) and P/N set.
struct ServerHandlers {
    // Peer IPv4 address without port; false refuses the connection.
    std::function<bool(const std::string& peer)> connection_request;
    std::function<void(const ConnectionPtr&, ConnectionEvent)> connection_event;
    // The common address check, asked first for every received ASDU. An
    // address it refuses is mirrored with cause 46 (unknown common address)
    // and P/N set, and nothing else sees the ASDU. The broadcast address
    // (all ones), when refused, still passes for C_IC_NA_1, C_CI_NA_1,
    // C_CS_NA_1 and C_RP_NA_1, the commands a station takes as a broadcast;
    // any other ASDU to it gets cause 46. Absent: every address passes.
    std::function<bool(const ConnectionPtr&, uint16_t ca)> common_address;
    // C_IC_NA_1 with cause 6 or 8 and IOA 0; the handler sends ACT_CON, data and ACT_TERM.
    std::function<bool(const ConnectionPtr&, Asdu&, uint8_t qoi)> interrogation;
    // C_CI_NA_1, the same way.
    std::function<bool(const ConnectionPtr&, Asdu&, uint8_t qcc)> counter_interrogation;
    // C_RD_NA_1 with cause 5; the handler sends the object (cause 5) or a negative reply.
    std::function<bool(const ConnectionPtr&, Asdu&, uint32_t ioa)> read;
    // C_CS_NA_1 with cause 6 and IOA 0. The handler may change `time`; true
    // sends a positive ACT_CON carrying it, false a negative one with the received time.
    std::function<bool(const ConnectionPtr&, Asdu&, Cp56Time2a& time)> clock_sync;
    // C_RP_NA_1 with cause 6 and IOA 0.
    std::function<bool(const ConnectionPtr&, Asdu&, uint8_t qrp)> reset_process;
    // Every other ASDU: process commands, unknown types, monitor types.
    std::function<bool(const ConnectionPtr&, Asdu&)> asdu;
};

struct Server;
struct ServerDeleter {
    void operator()(Server* s) const;  // stops the server first
};
using ServerPtr = std::unique_ptr<Server, ServerDeleter>;

ServerPtr server_create(const ServerConfig& config, ServerHandlers handlers);
// Binds and starts the threads; false with server_error() set on failure.
bool server_start(Server& s);
bool server_running(const Server& s);
// Closes every connection (each gets its closed event) and joins the threads.
void server_stop(Server& s);
const std::string& server_error(const Server& s);
uint16_t server_port(const Server& s);  // the bound port, also when 0 was asked for
const AppLayerParameters& server_app_parameters(const Server& s);
int server_open_connections(Server& s);
// The open connections, in the order they were accepted.
std::vector<ConnectionPtr> server_connections(Server& s);
// Queues the ASDU (low priority) on every open connection; returns how many took it.
int server_enqueue(Server& s, const Asdu& asdu);

// Sending to a connection. ASDUs queued before STARTDT: monitoring data waits
// for STARTDT, anything else is discarded by it. All return false when the
// connection is closed or its queue is full (dropped and counted), never wait.
enum class Priority { high, low };
// Monitor types (1..44) with cause 1, 2 or 3 go low, everything else high
// (command replies, interrogation answers), so an ACT_TERM never overtakes the
// data it terminates.
Priority priority_of(const Asdu& asdu);
bool send_asdu(Connection& c, const Asdu& asdu);
bool send_asdu(Connection& c, const Asdu& asdu, Priority priority);
// Sets cause 7 and P/N = negative on `asdu` itself, then queues it (high).
bool send_act_con(Connection& c, Asdu& asdu, bool negative);
// Sets cause 10 and clears P/N on `asdu` itself, then queues it (high).
bool send_act_term(Connection& c, Asdu& asdu);

const std::string& peer_address(const Connection& c);   // "10.0.0.5"
const std::string& peer_endpoint(const Connection& c);  // "10.0.0.5:51234"
const void* identity(const Connection& c);
const AppLayerParameters& app_parameters(const Connection& c);
bool is_open(const Connection& c);
bool is_active(const Connection& c);  // STARTDT received and not stopped

struct ConnectionStats {
    uint64_t asdus_sent = 0;
    uint64_t asdus_received = 0;
    uint64_t dropped_high = 0;  // refused: high-priority queue full
    uint64_t dropped_low = 0;   // oldest monitoring data pushed out of a full queue
    size_t queued_high = 0;
    size_t queued_low = 0;
    size_t queued_high_bytes = 0;  // charged as the queue bounds count them
    size_t queued_low_bytes = 0;
};
ConnectionStats stats(const Connection& c);

}  // namespace iec104
