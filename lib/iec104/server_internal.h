// The records behind Server and Connection, shared by the server's files.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "lib/iec104/server.h"
#include "lib/iec104/socket.h"

namespace iec104 {

// Encoded ASDUs waiting for the k window, bounded by octets.
struct AsduQueue {
    std::deque<std::vector<uint8_t>> entries;
    size_t bytes = 0;  // charged: size + kEntryOverhead each
    size_t limit = 0;
};
constexpr size_t kEntryOverhead = 64;

struct Connection {
    std::string peer;
    std::string peer_endpoint;
    AppLayerParameters app;
    Fd event;  // wakes the connection thread
    std::atomic<bool> wake_pending{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> finished{false};
    std::atomic<bool> active{false};

    mutable std::mutex mutex;  // guards what follows
    bool open = true;
    AsduQueue high, low;
    ConnectionStats counters;

    // Owned by the connection thread.
    Fd socket;
    std::thread thread;
};

struct Server {
    ServerConfig config;
    ServerHandlers handlers;
    std::string error;
    uint16_t port = 0;
    Fd listener;
    Fd event;  // wakes the accept thread: stop, or a connection finished
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    std::thread accept_thread;
    std::mutex mutex;  // guards connections
    std::vector<ConnectionPtr> connections;
};

// Body of a connection thread.
void run_connection(Server& server, const ConnectionPtr& c);
// Answers a received ASDU as the handlers and the automatic rules say; false
// means the ASDU is unusable and the connection must close.
bool dispatch_asdu(const ServerHandlers& h, const ConnectionPtr& c, Asdu& asdu, bool known_type);

}  // namespace iec104
