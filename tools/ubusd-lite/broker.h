// ubusd-lite: the small ubus broker for host runs and tests. It speaks the
// same wire protocol as ubusd: HELLO, PING, ADD_OBJECT / REMOVE_OBJECT with
// signatures, LOOKUP, INVOKE routing with DATA and STATUS passed back.
#pragma once

#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "lib/ubus/fd.h"
#include "lib/ubus/message.h"

namespace ubusd {

struct client {
    std::uint32_t id = 0;
    ubus::unique_fd fd;
    ubus::frame_reader in;
    ubus::bytes out;  // queued output not yet taken by the socket
    std::string user, group;
};

struct object {
    std::uint32_t id = 0;
    std::uint32_t owner = 0;    // client id
    std::uint32_t type_id = 0;  // 0: no type, never listed
    std::string path;           // empty: anonymous
    bool has_path = false;
};

struct object_type {
    ubus::bytes signature;
    int users = 0;
};

struct broker {
    ubus::unique_fd listener;
    std::string path;
    std::map<std::uint32_t, std::unique_ptr<client>> clients;
    std::map<std::uint32_t, object> objects;
    std::map<std::string, std::uint32_t> paths;  // strcmp order
    std::map<std::uint32_t, object_type> types;
    std::mt19937 rng{std::random_device{}()};
};

// Creates the listening socket (a stale socket file is replaced). False with
// errno set on failure.
bool listen_on(broker& b, const std::string& path);

// Serves until one of the signals in `stop_signals` arrives (they must be
// blocked by the caller). Removes the socket file on the way out.
void serve(broker& b, const sigset_t& stop_signals);

}  // namespace ubusd
