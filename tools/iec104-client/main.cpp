// iec104-client: a command-line IEC 60870-5-104 master for commissioning and tests.
//
//   iec104-client [-p PORT] [-a CA] [-t SECONDS] [-s COT,CA,IOA] [-o OA] HOST ACTION...
//
// Prints one line per received information object on standard output and the
// outcome of each action on standard error. Exit status: 0 every action
// confirmed, 1 a negative or missing confirmation, 2 usage, 3 connection failure.
#include <cerrno>
#include <climits>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "format.h"
#include "lib/iec104/client.h"
#include "lib/iec104/commands.h"

using namespace iec104;

namespace {

const char kUsage[] =
    "usage: iec104-client [-p PORT] [-a CA] [-t SECONDS] [-s COT,CA,IOA] [-o OA] HOST ACTION...\n"
    "actions:\n"
    "  gi                 station interrogation (waits for ACT_CON and ACT_TERM)\n"
    "  ci                 counter interrogation\n"
    "  rd IOA             read one object\n"
    "  watch SECONDS      print what arrives for that long\n"
    "  sc IOA 0|1 [@T]    single command\n"
    "  dc IOA 0..3 [@T]   double command\n"
    "  sen IOA F [@T]     normalized set-point (-1..1)\n"
    "  seb IOA N [@T]     scaled set-point (-32768..32767)\n"
    "  sef IOA F [@T]     short floating-point set-point\n"
    "  cs [EPOCH_MS]      clock synchronisation (default: now)\n"
    "  @T is a CP56Time2a time tag: @now or @EPOCH_MS (UTC)\n"
    "  EPOCH_MS is milliseconds since 1970 (UTC), within the years 2000..2099\n";

// CP56Time2a carries the year within the century and is read back as
// 2000 + year, so only these times arrive at the station as sent.
constexpr long long kCp56FirstMs = 946684800000LL;  // 2000-01-01T00:00:00.000Z
constexpr long long kCp56LastMs = 4102444799999LL;  // 2099-12-31T23:59:59.999Z

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool parse_int(const std::string& s, long long min, long long max, long long& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    out = v;
    return true;
}

bool parse_float(const std::string& s, float& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    out = std::strtof(s.c_str(), &end);
    return *end == '\0';
}

// Everything received, for the actions to look through.
struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Asdu> asdus;
    bool closed = false;
};

struct Session {
    Client& client;
    Inbox& inbox;
    AppLayerParameters app;
    uint16_t ca = 1;
    int timeout_ms = 5000;
    size_t seen = 0;  // inbox entries already looked at by an action
};

enum class Reply { none, positive, negative };

// Waits for an ASDU that `match` classifies; false on time-out or close.
bool wait_reply(Session& s, const std::function<Reply(const Asdu&)>& match, Reply& result) {
    std::unique_lock lock(s.inbox.mutex);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.timeout_ms);
    for (;;) {
        while (s.seen < s.inbox.asdus.size()) {
            const Reply r = match(s.inbox.asdus[s.seen++]);
            if (r != Reply::none) {
                result = r;
                return true;
            }
        }
        if (s.inbox.closed) return false;
        if (s.inbox.arrived.wait_until(lock, end) == std::cv_status::timeout && s.seen == s.inbox.asdus.size())
            return false;
    }
}

uint32_t first_ioa(const Session& s, const Asdu& a) {
    const auto o = get_object(a, s.app, 0);
    return o ? o->ioa : 0xffffffff;
}

// A reply to `request`: its ACT_CON (or the cause that `want` names), or any
// negative mirror of it.
std::function<Reply(const Asdu&)> reply_to(const Session& s, const Asdu& request, uint8_t want = COT_ACTIVATION_CON) {
    const uint32_t ioa = first_ioa(s, request);
    const uint8_t type = request.type;
    return [&s, ioa, type, want](const Asdu& a) {
        if (a.type != type) return Reply::none;
        const bool is_mirror = a.cot >= COT_UNKNOWN_TYPE_ID && a.cot <= COT_UNKNOWN_IOA;
        if (a.cot != want && !is_mirror) return Reply::none;
        if (type != C_CS_NA_1 && first_ioa(s, a) != ioa) return Reply::none;
        return a.negative || is_mirror ? Reply::negative : Reply::positive;
    };
}

bool confirm(Session& s, const std::string& what, const Asdu& request, uint8_t want = COT_ACTIVATION_CON) {
    if (!client_send(s.client, request)) {
        std::fprintf(stderr, "%s: connection closed\n", what.c_str());
        return false;
    }
    Reply r;
    if (!wait_reply(s, reply_to(s, request, want), r)) {
        std::fprintf(stderr, "%s: no confirmation\n", what.c_str());
        return false;
    }
    std::fprintf(stderr, "%s: %s\n", what.c_str(), r == Reply::positive ? "confirmed" : "negative confirmation");
    return r == Reply::positive;
}

bool interrogation(Session& s, const std::string& what, const Asdu& request) {
    if (!confirm(s, what, request)) return false;
    Reply r;
    if (!wait_reply(s, reply_to(s, request, COT_ACTIVATION_TERMINATION), r) || r != Reply::positive) {
        std::fprintf(stderr, "%s: no termination\n", what.c_str());
        return false;
    }
    std::fprintf(stderr, "%s: terminated\n", what.c_str());
    return true;
}

bool read_object(Session& s, uint32_t ioa) {
    const std::string what = "rd " + std::to_string(ioa);
    const Asdu request = read_command(s.app, s.ca, ioa);
    if (!client_send(s.client, request)) return false;
    Reply r;
    const bool got = wait_reply(s,
                                [&](const Asdu& a) {
                                    if (a.type == C_RD_NA_1 && a.negative) return Reply::negative;
                                    if (a.cot == COT_REQUEST && a.type < C_SC_NA_1 && first_ioa(s, a) == ioa)
                                        return Reply::positive;
                                    return Reply::none;
                                },
                                r);
    std::fprintf(stderr, "%s: %s\n", what.c_str(),
                 !got ? "no reply" : r == Reply::positive ? "answered" : "negative reply");
    return got && r == Reply::positive;
}

void watch(Session& s, int seconds) {
    std::unique_lock lock(s.inbox.mutex);
    s.inbox.arrived.wait_for(lock, std::chrono::seconds(seconds), [&] { return s.inbox.closed; });
}

// Reads an optional "@now" / "@EPOCH_MS" argument.
bool time_tag(const std::vector<std::string>& args, size_t& i, std::optional<int64_t>& time) {
    if (i >= args.size() || args[i].empty() || args[i][0] != '@') return true;
    const std::string t = args[i++].substr(1);
    long long ms;
    if (t == "now") {
        time = now_ms();
        return true;
    }
    if (!parse_int(t, kCp56FirstMs, kCp56LastMs, ms)) return false;
    time = ms;
    return true;
}

// Runs the actions in order; returns the exit status.
int run_actions(Session& s, const std::vector<std::string>& args) {
    size_t i = 0;
    auto usage = [](const std::string& msg) {
        std::fprintf(stderr, "iec104-client: %s\n%s", msg.c_str(), kUsage);
        return 2;
    };
    int status = 0;
    while (i < args.size()) {
        const std::string action = args[i++];
        long long ioa = 0, n = 0;
        float f = 0;
        bool ok = true;
        if (action == "gi") {
            ok = interrogation(s, "gi", interrogation_command(s.app, s.ca));
        } else if (action == "ci") {
            ok = interrogation(s, "ci", counter_interrogation_command(s.app, s.ca));
        } else if (action == "watch") {
            if (i >= args.size() || !parse_int(args[i++], 0, 86400, n)) return usage("watch needs SECONDS");
            watch(s, int(n));
        } else if (action == "rd") {
            if (i >= args.size() || !parse_int(args[i++], 0, 0xffffff, ioa)) return usage("rd needs IOA");
            ok = read_object(s, uint32_t(ioa));
        } else if (action == "cs") {
            long long ms = now_ms();
            if (i < args.size() && parse_int(args[i], LLONG_MIN, LLONG_MAX, n)) {
                if (n < kCp56FirstMs || n > kCp56LastMs) return usage("cs time must lie in the years 2000..2099");
                ms = n;
                ++i;
            }
            ok = confirm(s, "cs", clock_sync_command(s.app, s.ca, ms));
        } else if (action == "sc" || action == "dc" || action == "sen" || action == "seb" || action == "sef") {
            if (i + 1 >= args.size() || !parse_int(args[i], 0, 0xffffff, ioa)) return usage(action + " needs IOA VALUE");
            const std::string value = args[i + 1];
            i += 2;
            CommandOptions opt;
            if (!time_tag(args, i, opt.time_ms)) return usage("bad time tag");
            const uint32_t a = uint32_t(ioa);
            Asdu request;
            if (action == "sc") {
                if (!parse_int(value, 0, 1, n)) return usage("sc value is 0 or 1");
                request = single_command(s.app, s.ca, a, n == 1, opt);
            } else if (action == "dc") {
                if (!parse_int(value, 0, 3, n)) return usage("dc value is 0..3");
                request = double_command(s.app, s.ca, a, int(n), opt);
            } else if (action == "seb") {
                if (!parse_int(value, -32768, 32767, n)) return usage("seb value is -32768..32767");
                request = set_point_scaled(s.app, s.ca, a, int16_t(n), opt);
            } else {
                if (!parse_float(value, f)) return usage(action + " value is a number");
                request = action == "sen" ? set_point_normalized(s.app, s.ca, a, f, opt)
                                          : set_point_short(s.app, s.ca, a, f, opt);
            }
            ok = confirm(s, action + " " + std::to_string(ioa) + " " + value, request);
        } else {
            return usage("unknown action " + action);
        }
        if (!ok) status = 1;
        if (!client_connected(s.client)) {
            std::fprintf(stderr, "iec104-client: connection closed by the station\n");
            return 1;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ClientConfig config;
    config.port = kDefaultPort;
    long long ca = 1, timeout = 5;
    int opt;
    while ((opt = getopt(argc, argv, "+p:a:t:s:o:h")) != -1) {
        long long v;
        switch (opt) {
        case 'p':
            if (!parse_int(optarg, 1, 65535, v)) return std::fprintf(stderr, "bad port %s\n", optarg), 2;
            config.port = uint16_t(v);
            break;
        case 'a':
            if (!parse_int(optarg, 0, 65535, ca)) return std::fprintf(stderr, "bad common address %s\n", optarg), 2;
            break;
        case 't':
            if (!parse_int(optarg, 1, 3600, timeout)) return std::fprintf(stderr, "bad time-out %s\n", optarg), 2;
            break;
        case 's':
            if (std::sscanf(optarg, "%d,%d,%d", &config.app.size_of_cot, &config.app.size_of_ca,
                            &config.app.size_of_ioa) != 3 ||
                !valid(config.app))
                return std::fprintf(stderr, "bad sizes %s (COT,CA,IOA)\n", optarg), 2;
            break;
        case 'o':
            if (!parse_int(optarg, 0, 255, v)) return std::fprintf(stderr, "bad originator address %s\n", optarg), 2;
            config.app.originator_address = int(v);
            break;
        default: std::fputs(kUsage, stderr); return opt == 'h' ? 0 : 2;
        }
    }
    if (optind + 1 >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    config.host = argv[optind];
    const std::vector<std::string> actions(argv + optind + 1, argv + argc);

    Inbox inbox;
    ClientHandlers handlers;
    handlers.asdu = [&](const Asdu& a) {
        for (const std::string& line : iec104_client::format_asdu(a, config.app)) std::printf("%s\n", line.c_str());
        std::lock_guard lock(inbox.mutex);
        inbox.asdus.push_back(a);
        inbox.arrived.notify_all();
    };
    handlers.closed = [&] {
        std::lock_guard lock(inbox.mutex);
        inbox.closed = true;
        inbox.arrived.notify_all();
    };
    std::string error;
    config.apci.t0 = int(timeout);  // -t bounds the connect as well
    ClientPtr client = client_connect(config, handlers, error);
    if (!client) {
        std::fprintf(stderr, "iec104-client: %s:%u: %s\n", config.host.c_str(), config.port, error.c_str());
        return 3;
    }
    const int timeout_ms = int(timeout * 1000);
    if (!client_start_dt(*client, timeout_ms)) {
        std::fprintf(stderr, "iec104-client: no STARTDT confirmation\n");
        return 3;
    }
    Session s{*client, inbox, config.app, uint16_t(ca), timeout_ms};
    const int status = run_actions(s, actions);
    // STOPDT is confirmed once everything sent before it is acknowledged, so
    // replies still in flight (an ACT_TERM) are printed before we leave.
    client_stop_dt(*client, timeout_ms);
    client_close(*client);
    return status;
}
