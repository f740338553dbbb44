// A client of the ubus broker: registers objects and serves their methods,
// looks up and invokes other objects.
//
// One thread runs `run`, the event loop; method handlers run on it. Calls
// (`invoke`, `lookup`, ...) may be made from any thread. While no other
// thread reads the socket, the calling thread reads it itself and serves
// incoming method calls as they come, so a handler that calls another object
// keeps serving its own objects until the answer or the time-out. While the
// loop runs on another thread, callers wait for it to deliver their answer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "lib/ubus/blobmsg.h"
#include "lib/ubus/fd.h"
#include "lib/ubus/message.h"
#include "lib/ubus/status.h"

namespace ubus {

inline constexpr const char* default_socket = "/var/run/ubus/ubus.sock";
// Time-out of the requests answered by the broker itself (register, lookup).
inline constexpr int broker_timeout_ms = 10000;

struct connection;

// One incoming method call, as a handler sees it.
struct request {
    connection& conn;
    std::uint32_t object_id;
    std::uint16_t seq;
    std::uint32_t peer;  // the caller's client id
    std::string method;
    std::string user, group;  // the caller, when the broker names it
    byte_view data;           // the raw argument list
};

// Sends one reply body (a DATA frame). A handler may send any number before
// it returns its status. Returns false when the connection is lost or the
// body is too large for one message (1 MiB); nothing is sent then.
bool reply(request& req, const table& body);

// A handler returns the status code of the call.
using handler = std::function<int(request& req, const args& a)>;

struct method {
    std::string name;
    std::vector<policy> pol;
    handler fn;
};

struct object {
    std::string path;
    std::string type_name;  // objects sharing a type name share one broker type
    std::vector<method> methods;
    std::uint32_t id = 0;       // given by the broker
    std::uint32_t type_id = 0;  // given by the broker
};

struct result {
    int status = status::unknown_error;
    std::vector<table> data;  // one table per DATA reply
};

struct object_info {
    std::string path;
    std::uint32_t id = 0;
    std::uint32_t type_id = 0;
    bytes signature;  // the method tables as registered
};

struct pending;

struct connection {
    unique_fd sock;
    unique_fd wake;  // eventfd written by `stop`
    std::uint32_t id = 0;

    std::mutex m;  // guards everything below
    std::condition_variable cv;
    std::uint16_t seq = 0;
    bool reading = false;
    std::thread::id reader;
    bool lost = false;
    std::map<std::pair<std::uint16_t, std::uint32_t>, pending*> waiting;
    std::vector<std::shared_ptr<object>> objects;
    std::map<std::string, std::uint32_t> types;

    std::mutex send_m;
    std::atomic<bool> stopping{false};
    frame_reader in;  // touched only by the reading thread
};

// Connects and takes the broker's HELLO. Null on failure (errno tells why).
std::unique_ptr<connection> connect(const std::string& path = default_socket);

// Registers an object; the connection keeps it. Returns a status code; on 0
// `*id_out` (if given) holds the broker's object id.
int add_object(connection& c, object obj, std::uint32_t* id_out = nullptr);
int remove_object(connection& c, std::uint32_t id);
// The method tables an object is registered with: one table per method, one
// int32 per argument holding its type number.
bytes encode_signature(const object& o);

// Objects whose path equals `pattern`, or starts with its prefix when it ends
// in '*'; every object when `pattern` is empty.
int lookup(connection& c, std::string_view pattern, std::vector<object_info>& out,
           int timeout_ms = broker_timeout_ms);
int lookup_id(connection& c, std::string_view path, std::uint32_t& id,
              int timeout_ms = broker_timeout_ms);

// Calls a method. A time-out of 0 waits for ever; when it expires the status
// is status::timeout, `data` holds what came before, and a late answer is
// dropped. Arguments too large for
// one message give status::invalid_argument and nothing is sent.
result invoke(connection& c, std::uint32_t id, std::string_view method, const table& args,
              int timeout_ms);
// lookup_id, then invoke.
result call(connection& c, std::string_view path, std::string_view method, const table& args,
            int timeout_ms);
int ping(connection& c, int timeout_ms = broker_timeout_ms);

// The event loop: serves incoming calls until `stop` or until the broker goes
// away. Returns 0 after `stop`, -1 when the connection was lost.
int run(connection& c);
// Ends `run` (at once if it has not started yet). Safe from any thread and
// from a signal handler.
void stop(connection& c);

}  // namespace ubus
