// ubus-call [-s SOCKET] [-t TIMEOUT] [-S] [-v] list [PATTERN]
// ubus-call [-s SOCKET] [-t TIMEOUT] [-S] call OBJECT METHOD [JSON]
// The list and call commands of the ubus command line, with its output,
// error texts and exit codes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lib/ubus/client.h"
#include "tools/ubus-call/json.h"

namespace {

struct options {
    std::string socket = ubus::default_socket;
    int timeout_s = 30;
    bool simple = false;
    bool verbose = false;
};

// The exit code of bad usage is also the one of a status 2 in script mode,
// which is why such a failure prints the usage text as well.
constexpr int usage_exit = 254;

int usage(const char* prog)
{
    std::fprintf(stderr,
                 "Usage: %s [<options>] <command> [arguments...]\n"
                 "Options:\n"
                 " -s <socket>:\t\tSet the unix domain socket to connect to\n"
                 " -t <timeout>:\t\tSet the timeout (in seconds) for a command to complete\n"
                 " -S:\t\t\tUse simplified output (for scripts)\n"
                 " -v:\t\t\tMore verbose output\n"
                 "\n"
                 "Commands:\n"
                 " - list [<path>]\t\t\tList objects\n"
                 " - call <path> <method> [<message>]\tCall an object method\n",
                 prog);
    return usage_exit;
}

// Reports a failed command the way the ubus command line does: the status
// text alone on a terminal, the echoed command line in scripts, nothing with -S.
int fail(const options& o, const char* prog, const std::vector<std::string>& words, int st)
{
    if (o.simple) return st;
    if (::isatty(STDERR_FILENO)) {
        std::fprintf(stderr, "Command failed: %s\n", ubus::status::text(st).c_str());
        return st;
    }
    std::string line = "ubus ";
    for (const auto& w : words) line += w + " ";
    std::fprintf(stderr, "Command failed: %s(%s)\n", line.c_str(), ubus::status::text(st).c_str());
    if (st == ubus::status::invalid_argument) usage(prog);
    return 256 - st;
}

// A failed lookup (an unknown path above all) is reported with the status
// text alone, terminal or not, and the status as exit code.
int lookup_failed(const options& o, int st)
{
    if (!o.simple) std::fprintf(stderr, "Command failed: %s\n", ubus::status::text(st).c_str());
    return st;
}

int cmd_list(ubus::connection& c, const options& o, const std::vector<std::string>& a)
{
    std::vector<ubus::object_info> objs;
    int st = ubus::lookup(c, a.empty() ? "" : a[0], objs, o.timeout_s * 1000);
    if (st != ubus::status::ok) return lookup_failed(o, st);
    for (const auto& obj : objs) {
        if (!o.verbose) {
            std::printf("%s\n", obj.path.c_str());
            continue;
        }
        std::printf("'%s' @%08x\n", obj.path.c_str(), obj.id);
        ubus::attr_reader r{obj.signature};
        while (auto at = r.next()) {
            ubus::member m;
            if (!ubus::decode_element(*at, m)) break;
            std::printf("\t%s\n", ubus_call::format_signature_method(m).c_str());
        }
    }
    return 0;
}

int cmd_call(ubus::connection& c, const options& o, const char* prog, const std::vector<std::string>& a)
{
    std::vector<std::string> words{"call"};
    words.insert(words.end(), a.begin(), a.end());
    ubus::table args;
    if (a.size() == 3) {
        auto parsed = ubus_call::parse_args(a[2]);
        if (!parsed) return fail(o, prog, words, ubus::status::parse_error);
        args = std::move(*parsed);
    }
    std::uint32_t id = 0;
    int st = ubus::lookup_id(c, a[0], id);
    if (st != ubus::status::ok) return lookup_failed(o, st);
    auto r = ubus::invoke(c, id, a[1], args, o.timeout_s * 1000);
    for (const auto& body : r.data) std::printf("%s\n", ubus_call::format_table(body, o.simple).c_str());
    std::fflush(stdout);
    if (r.status != ubus::status::ok) return fail(o, prog, words, r.status);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    options o;
    int opt;
    while ((opt = ::getopt(argc, argv, "s:t:Sv")) != -1) {
        switch (opt) {
        case 's': o.socket = optarg; break;
        case 't': o.timeout_s = std::atoi(optarg); break;
        case 'S': o.simple = true; break;
        case 'v': o.verbose = true; break;
        default: return usage(argv[0]);
        }
    }
    if (optind >= argc) return usage(argv[0]);
    std::string cmd = argv[optind];
    std::vector<std::string> rest(argv + optind + 1, argv + argc);
    bool list = cmd == "list" && rest.size() <= 1;
    bool call = cmd == "call" && rest.size() >= 2 && rest.size() <= 3;
    if (!list && !call) return usage(argv[0]);

    auto c = ubus::connect(o.socket);
    if (!c) {
        std::fprintf(stderr, "Failed to connect to ubus\n");
        return 255;
    }
    return list ? cmd_list(*c, o, rest) : cmd_call(*c, o, argv[0], rest);
}
