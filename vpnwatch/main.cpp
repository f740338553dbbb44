// vpnwatch [-s SOCKET]: the ubus object "vpnwatch", whose methods "status" and
// "statusall" return the output of `ipsec status` and `ipsec statusall`.
// When the broker goes away (procd restarting ubusd), it connects again with
// a back-off of 100 ms doubling to 2 s and registers the object anew.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "lib/ubus/client.h"
#include "vpnwatch/command.h"

namespace {

constexpr int first_backoff_ms = 100;
constexpr int max_backoff_ms = 2000;
constexpr int sleep_slice_ms = 50;

// Touched by the signal handler: both lock-free atomics.
std::atomic<ubus::connection*> the_connection{nullptr};
std::atomic<bool> quit{false};
static_assert(std::atomic<ubus::connection*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

void on_signal(int)
{
    quit.store(true);
    if (ubus::connection* c = the_connection.load()) ubus::stop(*c);
}

// Waits `ms`, in short slices so that a signal ends the wait promptly.
// False when the program is to end.
bool back_off(int ms)
{
    for (int waited = 0; waited < ms && !quit.load(); waited += sleep_slice_ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(sleep_slice_ms, ms - waited)));
    return !quit.load();
}

// Both methods: run the command, reply "message" with its whole output.
ubus::handler ipsec_method(const char* cmd, std::size_t capacity)
{
    return [cmd, capacity](ubus::request& req, const ubus::args&) {
        auto out = vpnwatch::run_command(cmd, capacity);
        if (!out) {
            std::perror("popen");
            std::exit(1);
        }
        ubus::reply(req, {{"message", ubus::value::str(*out)}});
        return ubus::status::ok;
    };
}

void register_object(ubus::connection& conn)
{
    ubus::object obj;
    obj.path = "vpnwatch";
    obj.type_name = "vpnwatch";
    obj.methods = {
        {"status", {}, ipsec_method("ipsec status", 4024)},
        {"statusall", {}, ipsec_method("ipsec statusall", 4096)},
    };
    int st = ubus::add_object(conn, std::move(obj));
    if (st != ubus::status::ok)
        std::fprintf(stderr, "Failed to add object: %s\n", ubus::status::text(st).c_str());
}

// Serves `conn` until a signal (true) or until the connection is lost (false).
bool serve(std::unique_ptr<ubus::connection> conn)
{
    the_connection.store(conn.get());
    // A signal that came before the pointer was published stops here.
    if (quit.load()) ubus::stop(*conn);
    register_object(*conn);
    const bool lost = ubus::run(*conn) < 0 && !quit.load();
    the_connection.store(nullptr);
    return !lost;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string path = ubus::default_socket;
    int opt;
    while ((opt = ::getopt(argc, argv, "s:")) != -1) {
        if (opt != 's') {
            std::fprintf(stderr, "Usage: %s [-s SOCKET]\n", argv[0]);
            return 1;
        }
        path = optarg;
    }
    std::signal(SIGPIPE, SIG_IGN);

    auto conn = ubus::connect(path);
    if (!conn) {
        std::fprintf(stderr, "Failed to connect to ubus\n");
        return -1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    while (!serve(std::move(conn))) {
        std::fprintf(stderr, "Lost the ubus connection, connecting again\n");
        int backoff_ms = first_backoff_ms;
        for (;;) {
            if (!back_off(backoff_ms)) return 0;
            conn = ubus::connect(path);
            if (conn) break;
            backoff_ms = std::min(backoff_ms * 2, max_backoff_ms);
        }
    }
    return 0;
}
