// vpnwatch [-s SOCKET]: the ubus object "vpnwatch", whose methods "status" and
// "statusall" return the output of `ipsec status` and `ipsec statusall`.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/ubus/client.h"
#include "vpnwatch/command.h"

namespace {

ubus::connection* the_connection;

void on_signal(int)
{
    if (the_connection) ubus::stop(*the_connection);
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
    the_connection = conn.get();
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);

    ubus::object obj;
    obj.path = "vpnwatch";
    obj.type_name = "vpnwatch";
    obj.methods = {
        {"status", {}, ipsec_method("ipsec status", 4024)},
        {"statusall", {}, ipsec_method("ipsec statusall", 4096)},
    };
    int st = ubus::add_object(*conn, std::move(obj));
    if (st != ubus::status::ok)
        std::fprintf(stderr, "Failed to add object: %s\n", ubus::status::text(st).c_str());

    ubus::run(*conn);
    the_connection = nullptr;
    return 0;
}
