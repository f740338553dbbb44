// IEC 60870-5-104 controlling station (client), for the command-line master
// and the tests. One thread serves the connection; received ASDUs are handed
// to a callback on that thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "lib/iec104/asdu.h"
#include "lib/iec104/apci.h"
#include "lib/iec104/link.h"

namespace iec104 {

struct ClientConfig {
    std::string host = "127.0.0.1";
    uint16_t port = kDefaultPort;
    std::string local_address;  // bind to it before connecting; empty: any
    AppLayerParameters app;
    ApciParameters apci;
};

struct ClientHandlers {
    std::function<void(const Asdu&)> asdu;
    // Every APDU as it is written (outgoing) or as it was received.
    std::function<void(bool outgoing, std::span<const uint8_t> apdu)> tap;
    std::function<void()> closed;
};

struct Client;
struct ClientDeleter {
    void operator()(Client* c) const;  // closes first
};
using ClientPtr = std::unique_ptr<Client, ClientDeleter>;

// Connects within t0; nullptr with `error` set on failure.
ClientPtr client_connect(const ClientConfig& config, ClientHandlers handlers, std::string& error);
// STARTDT / STOPDT act, waiting for the con; false on time-out or close.
bool client_start_dt(Client& c, int timeout_ms);
bool client_stop_dt(Client& c, int timeout_ms);
// Queues an ASDU; it goes out as the k window allows. False when closed.
bool client_send(Client& c, const Asdu& asdu);
bool client_connected(const Client& c);
// Waits until every queued ASDU is sent and acknowledged; false on time-out or close.
bool client_wait_acknowledged(Client& c, int timeout_ms);
// Acknowledges what was received and closes the connection.
void client_close(Client& c);
const AppLayerParameters& client_app_parameters(const Client& c);

}  // namespace iec104
