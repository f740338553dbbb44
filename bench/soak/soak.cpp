// soak: the daemon (bin/fpigate of this build tree) under the load of a busy
// gateway for a set time, with its memory, descriptors and threads sampled
// and every spontaneous report accounted for.
//
// The load, all in one temporary folder and on loopback:
//   - fpi-sim on a pseudo-terminal plays nine FPIs: each joins, then they
//     report events round-robin, every FPI waiting for its acknowledgement
//     (the gateway writes it 100 ms after the telegram, so the line carries
//     about 10 frames/s). Every event changes I mean, I max, V inst and RSSI
//     of its FPI;
//   - five masters (lib/iec104 client, STARTDT, S-frames every w): masters
//     1-4 stay connected, master 1 asks a station interrogation every 30 s;
//     master 5 closes and connects again every few seconds (interrogating
//     after each STARTDT);
//   - one digital input of the simulated GPIO chip toggles every second,
//     DI1 to DI5 in turn;
//   - rf.service on ubusd-lite: get_rf_data every second, one of the three
//     CSV exports every tenth second; a "cellular" object on the same broker
//     answers the modem queries of the communication event log.
//
// fpi-sim prints every frame it sends; soak decodes them and knows which
// points each frame changes, so each master expects one spontaneous ASDU per
// change (the first value of a point is not reported, an equal value is not
// a change). An expectation not met within 10 s, or passed over by a later
// value of the same point, is lost.
//
//   soak [--minutes N | --seconds N] [--every SECONDS] [--reconnect-ms MS] [--keep]
//
// Prints a line per interval (default every minute) and one for the whole
// run; exits 0 (PASS) when the daemon ran and ended on SIGINT with status 0,
// masters 1-4 stayed connected and lost no report, every rf.service call and
// FPI acknowledgement came, and RSS and descriptors were flat: the last line
// within 256 KiB and 2 descriptors of the first.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/iec104/client.h"
#include "lib/iec104/commands.h"
#include "lib/iec104/types.h"
#include "lib/ubus/client.h"
#include "rf/frame.h"
#include "rf/records.h"
#include "tests/support/child_process.h"
#include "tests/support/master.h"
#include "tests/support/sample_config.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test_support::wait_until;
namespace fs = std::filesystem;

constexpr int kSlaves = 9;
constexpr int kMasters = 5;             // the last one reconnects
constexpr int kValueCycle = 100;        // each FPI's values repeat after this many events
constexpr auto kLossAfter = std::chrono::seconds(10);
constexpr auto kSessionMargin = milliseconds(1000);  // reports in flight when master 5 closes
constexpr int kAnswerTimeoutMs = 5000;
constexpr std::array<unsigned, 5> kDiOffsets = {10, 14, 16, 22, 21};  // DI1..DI5, IOA 1..5

std::atomic<bool> interrupted{false};
void on_sigint(int) { interrupted = true; }

std::string read_file(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---------------------------------------------------------------------------
// /proc figures of the daemon.

struct process_figures {
    long rss_kib = -1;
    long hwm_kib = -1;
    long fds = -1;
    long threads = -1;
};

process_figures sample(const test_support::child_process& daemon) {
    process_figures f;
    const std::string base = "/proc/" + std::to_string(daemon.pid);
    auto kib = [&](const char* name) {
        const std::string v = daemon.status_field(name);
        return v.empty() ? -1 : std::strtol(v.c_str(), nullptr, 10);
    };
    f.rss_kib = kib("VmRSS");
    f.hwm_kib = kib("VmHWM");
    std::error_code ec;
    long n = 0;
    for (fs::directory_iterator it(base + "/fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
    if (!ec) f.fds = n;
    n = 0;
    ec.clear();
    for (fs::directory_iterator it(base + "/task", ec), end; !ec && it != end; it.increment(ec)) ++n;
    if (!ec) f.threads = n;
    return f;
}

// ---------------------------------------------------------------------------
// What a master is owed and what it got, point by point. Values of one point
// change in a known order; a report matches the oldest expectation of its
// value. The printout of fpi-sim can come after the master already has the
// report of the frame: such early reports wait for their expectation.

struct expectation {
    double value;
    steady::time_point at;
};

struct point_stream {
    std::deque<expectation> pending;
    std::deque<expectation> early;
};

bool same_value(double a, double b) { return std::fabs(a - b) <= 1e-4 * std::max(1.0, std::fabs(b)); }

struct counts {
    long expected = 0;
    long received = 0;  // matched
    long lost = 0;
    long unexpected = 0;  // spontaneous reports nobody expected
    long max_latency_ms = 0;     // FPI values: from fpi-sim's printout of the frame to the report
    long max_di_latency_ms = 0;  // digital inputs: from the file write (scanned every 500 ms)
    counts& operator+=(const counts& o) {
        expected += o.expected;
        received += o.received;
        lost += o.lost;
        unexpected += o.unexpected;
        max_latency_ms = std::max(max_latency_ms, o.max_latency_ms);
        max_di_latency_ms = std::max(max_di_latency_ms, o.max_di_latency_ms);
        return *this;
    }
};

struct tally {
    std::mutex m;
    bool accepting = false;  // expectations are taken (master 5: while a session runs)
    bool frozen = false;     // the run has ended: unmatched reports are let go
    bool finished = false;   // accounted for: nothing counts any more
    std::map<uint32_t, point_stream> points;
    counts now;    // since the last take()
    counts total;

    void expect(uint32_t ioa, double value, steady::time_point t) {
        std::lock_guard lk(m);
        if (!accepting) return;
        bump(&counts::expected, 1);
        point_stream& p = points[ioa];
        for (size_t i = 0; i < p.early.size(); ++i)
            if (same_value(p.early[i].value, value)) {
                bump(&counts::unexpected, long(i));
                p.early.erase(p.early.begin(), p.early.begin() + long(i) + 1);
                bump(&counts::received, 1);
                return;
            }
        p.pending.push_back({value, t});
    }

    void arrived(uint32_t ioa, double value, steady::time_point t) {
        std::lock_guard lk(m);
        if (finished) return;
        point_stream& p = points[ioa];
        for (size_t i = 0; i < p.pending.size(); ++i)
            if (same_value(p.pending[i].value, value)) {
                const long ms = long(std::chrono::duration_cast<milliseconds>(t - p.pending[i].at).count());
                long& slowest = ioa < 100 ? now.max_di_latency_ms : now.max_latency_ms;
                slowest = std::max(slowest, ms);
                bump(&counts::lost, long(i));  // passed over by a later value
                p.pending.erase(p.pending.begin(), p.pending.begin() + long(i) + 1);
                bump(&counts::received, 1);
                return;
            }
        if (!frozen) p.early.push_back({value, t});
    }

    // The run has ended at `t`: no expectation is taken any more and reports
    // of later frames are let go, as are early ones from the last second (their
    // frame's printout may have come after the end).
    void freeze(steady::time_point t) {
        std::lock_guard lk(m);
        accepting = false;
        frozen = true;
        for (auto& [ioa, p] : points)
            for (auto it = p.early.begin(); it != p.early.end();)
                if (t - it->at < kSessionMargin) it = p.early.erase(it);
                else ++it;
    }
    // Whatever is still owed is lost, early reports are unexpected.
    void finish() {
        std::lock_guard lk(m);
        for (auto& [ioa, p] : points) {
            bump(&counts::lost, long(p.pending.size()));
            bump(&counts::unexpected, long(p.early.size()));
            p.pending.clear();
            p.early.clear();
        }
        finished = true;
    }

    // Expectations older than `limit` are lost, early reports that old unexpected.
    void mature(steady::time_point t, steady::duration limit) {
        std::lock_guard lk(m);
        for (auto& [ioa, p] : points) {
            while (!p.pending.empty() && t - p.pending.front().at > limit) {
                p.pending.pop_front();
                bump(&counts::lost, 1);
            }
            while (!p.early.empty() && t - p.early.front().at > limit) {
                p.early.pop_front();
                bump(&counts::unexpected, 1);
            }
        }
    }

    // Master 5 closes: what was owed for longer than the margin is lost,
    // what is younger and the reports nobody expected are let go.
    void end_session(steady::time_point t) {
        std::lock_guard lk(m);
        accepting = false;
        for (auto& [ioa, p] : points) {
            for (const expectation& e : p.pending) bump(&counts::lost, t - e.at > kSessionMargin);
            p.pending.clear();
            p.early.clear();
        }
    }

    size_t waiting() {
        std::lock_guard lk(m);
        size_t n = 0;
        for (auto& [ioa, p] : points) n += p.pending.size();
        return n;
    }

    counts take() {
        std::lock_guard lk(m);
        counts c = now;
        total += now;
        now = {};
        return c;
    }

private:
    void bump(long counts::*field, long n) { now.*field += n; }
};

// ---------------------------------------------------------------------------
// A master on 127.0.0.1.

struct master {
    const int number;
    const iec104::AppLayerParameters app;  // the sample's: COT 2, CA 2, IOA 3, 249
    iec104::ClientPtr client;
    tally t;
    std::atomic<bool> closed{false};
    std::atomic<long> interrogations{0};  // ACT_TERM of C_IC_NA_1
    std::atomic<long> cyclic{0};          // objects with cause 1

    explicit master(int n) : number(n) {}

    bool connect(uint16_t port, std::string& error) {
        closed = false;
        iec104::ClientHandlers h{[this](const iec104::Asdu& a) { received(a); }, {}, [this] { closed = true; }};
        if (test_support::connect_master(client, port, std::move(h), error, {}, kAnswerTimeoutMs)) return true;
        client.reset();
        return false;
    }

    void interrogate() {
        if (client) iec104::client_send(*client, iec104::interrogation_command(app, 1, 20));
    }

    void received(const iec104::Asdu& a) {
        if (a.type == iec104::C_IC_NA_1 && a.cot == iec104::COT_ACTIVATION_TERMINATION) ++interrogations;
        if (a.cot == iec104::COT_PERIODIC) cyclic += a.count;
        if (a.cot != iec104::COT_SPONTANEOUS) return;
        const auto now = steady::now();
        for (int i = 0; i < a.count; ++i) {
            const std::optional<iec104::InformationObject> o = iec104::get_object(a, app, i);
            if (!o) continue;
            const bool real = a.type == iec104::M_ME_NC_1 || a.type == iec104::M_ME_TF_1;
            t.arrived(o->ioa, real ? double(o->real) : double(o->value), now);
        }
    }
};

// ---------------------------------------------------------------------------
// The FPIs' frames as fpi-sim printed them, and the points each one changes.

// A value the gateway publishes for rows 0-14 and 24-26 of an FPI, as a
// master receives it.
using fpi_rows = std::map<int, double>;

fpi_rows rows_of(uint8_t i_status, uint16_t i_mean, uint16_t i_min, uint16_t i_max, uint8_t v_status,
                 uint16_t v_inst, uint8_t battery_v, uint8_t rssi) {
    fpi_rows r;
    r[0] = i_status;
    const uint8_t flag_status[6] = {19, 20, 21, 3, 4, 5};
    for (int k = 0; k < 6; ++k) r[1 + k] = i_status == flag_status[k];
    r[7] = i_mean;
    r[8] = i_min;
    r[9] = i_max;
    r[10] = v_status == 0;
    r[11] = double(float(v_inst) * 0.1f);
    r[12] = double(float(battery_v) * 0.1f);
    r[13] = battery_v <= 31;
    r[14] = rssi;
    r[24] = 0;  // FAULT (join and event)
    r[25] = 1;  // SLAVE_STATUS
    r[26] = 0;  // RESET
    return r;
}

struct radio_side {
    std::vector<master*> masters;
    std::mutex m;
    std::array<std::optional<fpi_rows>, kSlaves + 1> last;
    std::atomic<bool> counting{true};
    std::atomic<long> frames{0}, acks{0}, await_timeouts{0}, unmodelled{0};
    std::string pty;
    std::condition_variable pty_known;

    void expect(uint32_t ioa, double value) {
        const auto t = steady::now();
        for (master* ms : masters) ms->t.expect(ioa, value, t);
    }

    void line(const std::string& l) {
        if (l.rfind("pty ", 0) == 0) {
            std::lock_guard lk(m);
            pty = l.substr(4);
            pty_known.notify_all();
            return;
        }
        if (!counting) return;
        if (l.rfind("rx CMD_EVENT_DATA_ACK", 0) == 0 || l.rfind("rx CMD_JOIN_DATA_ACK", 0) == 0) ++acks;
        if (l.find("timed out") != std::string::npos) ++await_timeouts;
        if (l.rfind("tx CMD_EVENT_DATA ", 0) == 0 || l.rfind("tx CMD_JOIN_DATA ", 0) == 0) frame(l);
    }

    void frame(const std::string& l) {
        const size_t colon = l.find(": ");
        if (colon == std::string::npos) return;
        std::vector<uint8_t> b;
        std::istringstream hex(l.substr(colon + 2));
        for (std::string h; hex >> h;) b.push_back(uint8_t(std::strtoul(h.c_str(), nullptr, 16)));
        rf::rf_frame f;
        rf::rf_record rec;
        if (rf::rf_frame_decode(b.data(), b.size(), &f) != 0 || rf::rf_payload_decode(f, rec) != 0 ||
            f.source_id < 1 || f.source_id > kSlaves) {
            ++unmodelled;
            return;
        }
        ++frames;
        fpi_rows now;
        bool join = false;
        if (const auto* e = std::get_if<rf::event_data>(&rec)) {
            now = rows_of(e->i_status, e->i_mean, e->i_min, e->i_max, e->v_status, e->v_inst, e->battery_v, e->rssi);
        } else if (const auto* w = std::get_if<rf::wakeup_data>(&rec)) {
            now = rows_of(w->i_status, w->i_mean, w->i_min, w->i_max, w->v_status, w->v_inst, w->battery_v, w->rssi);
            join = true;
        } else {
            ++unmodelled;
            return;
        }
        std::lock_guard lk(m);
        std::optional<fpi_rows>& before = last[f.source_id];
        if (join && before) ++unmodelled;  // a second join would change settings rows too
        if (before)
            for (const auto& [row, value] : now)
                if (!same_value(before->at(row), value)) expect(uint32_t(f.source_id) * 100 + uint32_t(row), value);
        before = now;
    }
};

// The script: every FPI joins once the gateway sends its first channel
// command (soak's start signal through rf.service), then events round-robin.
// Event k of FPI s carries I mean 1000+k, I max 2000+k, V inst 220.0+k/10,
// RSSI 50+k, k = 0..99 and again; the join carries the values of k = 99.
std::string fpi_script() {
    std::ostringstream s;
    s << "# soak: nine FPIs at the line's pace\ngroup 0102030405\nrtu 10\nawait channel 600000\n";
    auto fields = [](int k) {
        std::ostringstream f;
        f << "i_status=0 i_mean=" << 1000 + k << " i_min=90 i_max=" << 2000 + k << " v_status=1 v_inst=" << 2200 + k
          << " battery_v=36 rssi=" << 50 + k;
        return f.str();
    };
    for (int sl = 1; sl <= kSlaves; ++sl)
        s << "slave " << sl << "\njoin location=\"FEEDER-0" << (sl - 1) / 3 + 1 << " POLE-000" << (sl - 1) % 3 + 1
          << " \" didt_level=10 imax_level=400 auto_reset=2 flash_time=3 validation=4 mv=115 frequency=50 period=15 "
          << fields(kValueCycle - 1) << "\nawait JOIN_DATA_ACK 10000\n";
    s << "repeat 1000000\n";
    for (int k = 0; k < kValueCycle; ++k)
        for (int sl = 1; sl <= kSlaves; ++sl)
            s << "  slave " << sl << "\n  event " << fields(k) << "\n  await EVENT_DATA_ACK 10000\n";
    s << "end\n";
    return s.str();
}

// ---------------------------------------------------------------------------

struct options {
    long seconds = 600;
    long every = 60;
    int reconnect_ms = 5000;
    bool keep = false;
    std::string bin = FPIGATE_BIN_DIR;
};

const char usage[] =
    "usage: soak [--minutes N | --seconds N] [--every SECONDS] [--reconnect-ms MS] [--bin DIR] [--keep]\n"
    "Runs DIR/fpigate (default: this build's bin) under nine FPIs (fpi-sim), five masters (the fifth\n"
    "reconnecting every MS, default 5000), DI changes and rf.service calls; prints one line every\n"
    "SECONDS (default 60) and one for the whole run. --keep keeps the temporary folder.\n";

bool parse(int argc, char** argv, options& o) {
    static const option longs[] = {{"minutes", required_argument, nullptr, 'm'},
                                   {"seconds", required_argument, nullptr, 's'},
                                   {"every", required_argument, nullptr, 'e'},
                                   {"reconnect-ms", required_argument, nullptr, 'r'},
                                   {"bin", required_argument, nullptr, 'b'},
                                   {"keep", no_argument, nullptr, 'k'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "m:s:e:r:b:kh", longs, nullptr)) != -1;) {
        switch (c) {
        case 'm': o.seconds = std::strtol(optarg, nullptr, 10) * 60; break;
        case 's': o.seconds = std::strtol(optarg, nullptr, 10); break;
        case 'e': o.every = std::strtol(optarg, nullptr, 10); break;
        case 'r': o.reconnect_ms = int(std::strtol(optarg, nullptr, 10)); break;
        case 'b': o.bin = optarg; break;
        case 'k': o.keep = true; break;
        default: return false;
        }
    }
    return o.seconds > 0 && o.every > 0 && o.reconnect_ms > 0 && optind == argc;
}

// Sleeps up to `ms` in small steps; false when the run is to end.
bool nap(const std::atomic<bool>& go_on, int ms) {
    const auto end = steady::now() + milliseconds(ms);
    while (go_on && steady::now() < end) std::this_thread::sleep_for(milliseconds(std::min(20, ms)));
    return go_on;
}

std::string fmt_rx_lost(const counts& c) {
    char b[48];
    std::snprintf(b, sizeof b, "%ld/%ld", c.received, c.lost);
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    options opt;
    if (!parse(argc, argv, opt)) {
        std::fputs(usage, stderr);
        return 2;
    }
    ::signal(SIGINT, on_sigint);
    ::signal(SIGPIPE, SIG_IGN);

    test_support::temp_dir dir("fpigate-soak");
    if (dir.path.empty()) {
        std::fprintf(stderr, "soak: no temporary folder\n");
        return 1;
    }
    dir.keep = opt.keep;
    const fs::path root = dir.path;
    for (const char* d : {"data", "export", "gpio"}) fs::create_directories(root / d);
    std::ofstream(root / "fpi-sim.txt") << fpi_script();
    const std::string sock = (root / "ubus.sock").string();
    auto fail = [&](const std::string& why) {
        std::fprintf(stderr, "soak: %s (files kept in %s)\n", why.c_str(), root.c_str());
        dir.keep = true;
        return 1;
    };

    // The broker, the radio and the gateway.
    // Each child in a process group of its own (a Ctrl-C reaches soak only,
    // which then ends the run in order), killed when soak dies.
    auto logged = [&](const char* log, test_support::sink out) {
        return test_support::child_options{
            .out = out, .err = test_support::sink::file, .log = (root / log).string(), .own_group = true};
    };
    test_support::child_process broker({opt.bin + "/ubusd-lite", "-s", sock},
                                       logged("ubusd-lite.log", test_support::sink::file));
    if (broker.pid < 0) return fail("cannot start ubusd-lite");
    std::unique_ptr<ubus::connection> bus;
    wait_until([&] { return bool(bus = ubus::connect(sock)); }, milliseconds(5000), milliseconds(10));
    if (!bus) return fail("ubusd-lite does not answer on " + sock);

    // The modem, which fpigate asks for every communication event log entry.
    std::atomic<long> modem_calls{0};
    std::unique_ptr<ubus::connection> modem = ubus::connect(sock);
    ubus::object cellular;
    cellular.path = "cellular";
    cellular.type_name = "cellular";
    cellular.methods.push_back({"status", {}, [&](ubus::request& req, const ubus::args&) {
                                    ++modem_calls;
                                    ubus::reply(req, {{"message", ubus::value::str(
                                                                      R"([{"rssi": -67, "data_connectivity": "Connected"}])")}});
                                    return 0;
                                }});
    if (!modem || ubus::add_object(*modem, std::move(cellular)) != 0) return fail("cannot register the modem object");
    std::thread modem_loop([&] { ubus::run(*modem); });
    struct modem_end {
        ubus::connection& c;
        std::thread& t;
        ~modem_end() {
            ubus::stop(c);
            t.join();
        }
    } end_modem{*modem, modem_loop};

    radio_side radio;
    radio.counting = false;
    test_support::child_process sim({opt.bin + "/fpi-sim", (root / "fpi-sim.txt").string()},
                                    logged("fpi-sim.err", test_support::sink::pipe));
    if (sim.pid < 0) return fail("cannot start fpi-sim");
    // Its printout is this thread's to read.
    const int sim_out = std::exchange(sim.out_fd, -1);
    std::thread sim_reader([&] {
        std::ofstream log(root / "fpi-sim.log");
        std::string pending;
        char buf[4096];
        for (ssize_t n; (n = ::read(sim_out, buf, sizeof buf)) > 0;) {
            log.write(buf, n);
            pending.append(buf, size_t(n));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
                radio.line(pending.substr(0, nl));
        }
    });
    auto end_sim_reader = [&] {
        sim.stop(SIGTERM, milliseconds(3000));
        if (sim_reader.joinable()) sim_reader.join();
        ::close(sim_out);
    };
    std::string tty;
    {
        std::unique_lock lk(radio.m);
        radio.pty_known.wait_for(lk, std::chrono::seconds(5), [&] { return !radio.pty.empty(); });
        tty = radio.pty;
    }
    // The sample configuration with every host path in the folder, the radio
    // on fpi-sim's pty, the simulated chip and any free port.
    const fs::path config_dir =
        tty.empty() ? fs::path()
                    : test_support::write_sample_config(root, {.rtu_port = tty,
                                                               .data_dir = (root / "data").string(),
                                                               .export_dir = (root / "export").string(),
                                                               .gpio_chip = "sim:" + (root / "gpio").string(),
                                                               .ubus_socket = sock});
    if (config_dir.empty()) {
        end_sim_reader();
        return fail("fpi-sim gave no pty");
    }
    const fs::path gateway_log = root / "fpigate.log";
    test_support::child_process gateway({opt.bin + "/fpigate", "-p", config_dir.string()},
                                        logged("fpigate.log", test_support::sink::file));
    if (gateway.pid < 0) {
        end_sim_reader();
        return fail("cannot start fpigate");
    }
    int port = 0;
    uint32_t rf_service = 0;
    const bool up = wait_until(
        [&] {
            if (!gateway.running()) return true;
            if (port == 0) {
                std::smatch m;
                const std::string text = read_file(gateway_log);
                if (std::regex_search(text, m, std::regex("listening on port ([0-9]+)\n"))) port = std::stoi(m[1]);
            }
            if (rf_service == 0) ubus::lookup_id(*bus, "rf.service", rf_service, 1000);
            return port != 0 && rf_service != 0 &&
                   read_file(gateway_log).find("rtu: Waiting for RF RTU data...") != std::string::npos;
        },
        milliseconds(30000), milliseconds(100));
    if (!up || !gateway.running()) {
        end_sim_reader();
        return fail("fpigate did not come up (port " + std::to_string(port) + ", rf.service " +
                    std::to_string(rf_service) + ")");
    }

    // The masters.
    std::vector<std::unique_ptr<master>> masters;
    for (int i = 1; i <= kMasters; ++i) {
        masters.push_back(std::make_unique<master>(i));
        std::string error;
        if (!masters.back()->connect(uint16_t(port), error)) {
            end_sim_reader();
            return fail("master " + std::to_string(i) + ": " + error);
        }
        masters.back()->t.accepting = true;
        radio.masters.push_back(masters.back().get());
    }
    master& roamer = *masters.back();
    const process_figures at_start = sample(gateway);

    std::printf("soak: fpigate pid %d on port %d, %d FPIs on %s, %d masters (master %d reconnects every %d ms),\n"
                "      DI1-DI5 toggled in turn every 1 s, rf.service called every 1 s; %ld s, a line every %ld s\n"
                "      folder %s; at start: RSS %ld KiB, %ld fds, %ld threads\n",
                gateway.pid, port, kSlaves, tty.c_str(), kMasters, kMasters, opt.reconnect_ms, opt.seconds, opt.every,
                root.c_str(), at_start.rss_kib, at_start.fds, at_start.threads);

    // The start signal: a channel command through rf.service, which fpi-sim
    // answers and then plays its FPIs.
    radio.counting = true;
    const ubus::result go =
        ubus::invoke(*bus, rf_service, "write_channel", {{"set_channel", ubus::value::str("2403052A")}}, 10000);
    const ubus::value* go_status = go.data.empty() ? nullptr : ubus::find(go.data.front(), "status");
    if (go.status != 0 || !go_status || go_status->s != "OK") {
        end_sim_reader();
        return fail("write_channel did not start fpi-sim");
    }
    const auto start = steady::now();
    std::atomic<bool> running{true};

    // Digital inputs.
    std::atomic<long> di_changes{0};
    std::thread di([&] {
        std::array<int, 5> state{};
        for (long n = 0; nap(running, 1000); ++n) {
            const size_t k = size_t(n % 5);
            state[k] ^= 1;
            radio.expect(uint32_t(k + 1), state[k]);
            const fs::path file = root / "gpio" / std::to_string(kDiOffsets[k]);
            const fs::path tmp = file.string() + ".soak";
            std::ofstream(tmp) << state[k] << "\n";
            std::error_code ec;
            fs::rename(tmp, file, ec);
            ++di_changes;
        }
    });

    // rf.service.
    std::atomic<long> ubus_ok{0}, ubus_failed{0}, ubus_max_ms{0};
    std::thread caller([&] {
        const char* exports[] = {"export_fpi_data_csv_file", "export_comm_event_csv_file",
                                 "export_system_event_csv_file"};
        for (long n = 1; nap(running, 1000); ++n) {
            const char* method = n % 10 == 0 ? exports[(n / 10) % 3] : "get_rf_data";
            const auto t0 = steady::now();
            const ubus::result r = ubus::invoke(*bus, rf_service, method, {}, 10000);
            const long ms = long(std::chrono::duration_cast<milliseconds>(steady::now() - t0).count());
            ubus_max_ms = std::max<long>(ubus_max_ms, ms);
            const bool ok = r.status == 0 && !r.data.empty();
            ++(ok ? ubus_ok : ubus_failed);
        }
    });

    // Master 5 closes and connects again; master 1 interrogates every 30 s.
    std::atomic<long> sessions{1}, turned_away{0};
    std::mutex roaming_m;  // held from the close to the next STARTDT: the figures are sampled outside it
    std::thread roaming([&] {
        while (nap(running, opt.reconnect_ms)) {
            std::lock_guard lk(roaming_m);
            roamer.t.end_session(steady::now());
            roamer.client.reset();  // acknowledges and closes
            std::string error;
            while (running && !roamer.connect(uint16_t(port), error)) {
                ++turned_away;  // the old connection still counts: a sixth is closed at once
                nap(running, 50);
            }
            if (!running) break;
            {
                std::lock_guard lk(roamer.t.m);
                roamer.t.accepting = true;
            }
            ++sessions;
            roamer.interrogate();
        }
    });
    std::thread interrogator([&] {
        while (nap(running, 30000)) masters.front()->interrogate();
    });

    std::printf("%6s %8s %4s %4s %6s %6s %4s %5s %7s %12s %12s %12s %12s %6s %5s | %7s %5s %5s %4s %5s\n", "min",
                "rss_kib", "fds", "thr", "frames", "acks", "di", "ubus", "sent", "m1 rx/lost", "m2 rx/lost",
                "m3 rx/lost", "m4 rx/lost", "fpi_ms", "di_ms", "m5 rx", "sess", "away", "lost", "extra");
    long frames0 = 0, acks0 = 0, di0 = 0, ubus0 = 0, sessions0 = 1, away0 = 0;
    std::vector<counts> totals(kMasters);
    process_figures first_line{}, last_line{};
    long lines = 0;
    bool masters_dropped = false;
    auto report = [&](const char* label, bool whole_run) {
        process_figures f;
        {
            std::lock_guard lk(roaming_m);
            f = sample(gateway);
        }
        std::vector<counts> c(kMasters);
        for (int i = 0; i < kMasters; ++i) {
            c[size_t(i)] = masters[size_t(i)]->t.take();
            totals[size_t(i)] += c[size_t(i)];
        }
        if (whole_run) c = totals;
        const long fr = radio.frames, ac = radio.acks, dc = di_changes, uc = ubus_ok + ubus_failed, se = sessions,
                   aw = turned_away;
        long max_ms = 0, max_di_ms = 0, extra = 0;
        for (int i = 0; i < kMasters - 1; ++i) {
            max_ms = std::max(max_ms, c[size_t(i)].max_latency_ms);
            max_di_ms = std::max(max_di_ms, c[size_t(i)].max_di_latency_ms);
            extra += c[size_t(i)].unexpected;
        }
        std::printf("%6s %8ld %4ld %4ld %6ld %6ld %4ld %5ld %7ld %12s %12s %12s %12s %6ld %5ld | %7ld %5ld %5ld %4ld %5ld\n",
                    label, f.rss_kib, f.fds, f.threads, whole_run ? fr : fr - frames0, whole_run ? ac : ac - acks0,
                    whole_run ? dc : dc - di0, whole_run ? uc : uc - ubus0, c[0].expected,
                    fmt_rx_lost(c[0]).c_str(), fmt_rx_lost(c[1]).c_str(), fmt_rx_lost(c[2]).c_str(),
                    fmt_rx_lost(c[3]).c_str(), max_ms, max_di_ms, c[4].received, whole_run ? se : se - sessions0,
                    whole_run ? aw : aw - away0, c[4].lost, extra);
        if (!whole_run) {
            frames0 = fr, acks0 = ac, di0 = dc, ubus0 = uc, sessions0 = se, away0 = aw;
            if (lines++ == 0) first_line = f;
            last_line = f;
        }
    };

    // The run.
    const auto end = start + std::chrono::seconds(opt.seconds);
    auto last_line_at = start;
    long line_no = 0;
    bool died = false;
    while (steady::now() < end && !interrupted) {
        std::this_thread::sleep_for(milliseconds(200));
        const auto now = steady::now();
        for (auto& ms : masters) ms->t.mature(now, kLossAfter);
        for (int i = 0; i < kMasters - 1; ++i) masters_dropped |= masters[size_t(i)]->closed.load();
        if (!gateway.running()) {
            died = true;
            break;
        }
        if (now >= last_line_at + std::chrono::seconds(opt.every)) {
            ++line_no;
            const std::string label = opt.every % 60 == 0 ? std::to_string(line_no * opt.every / 60)
                                                           : std::to_string(line_no * opt.every) + "s";
            report(label.c_str(), false);
            last_line_at += std::chrono::seconds(opt.every);
        }
    }

    // The end: no new expectations, the load stops, what is owed may still
    // come within the loss time.
    const auto stopped_at = steady::now();
    radio.counting = false;
    for (auto& ms : masters) ms->t.freeze(stopped_at);
    running = false;
    for (std::thread* t : {&di, &caller, &roaming, &interrogator}) t->join();
    wait_until(
        [&] {
            for (auto& ms : masters)
                if (ms->t.waiting() > 0) return false;
            return true;
        },
        std::chrono::duration_cast<milliseconds>(kLossAfter), milliseconds(10));
    roamer.t.end_session(steady::now());
    for (auto& ms : masters) ms->t.finish();
    if (!died && stopped_at - last_line_at >= std::chrono::seconds(1)) report("end", false);  // the last part-interval
    report("total", true);

    // The daemon's own end.
    for (auto& ms : masters) ms->client.reset();
    int exit_status = -1;
    bool ended = false;
    if (!died) {
        ::kill(gateway.pid, SIGINT);
        ended = gateway.wait_exit(milliseconds(20000)) >= 0;
    }
    exit_status = gateway.status;
    end_sim_reader();
    broker.stop(SIGTERM, milliseconds(3000));

    long lost = 0, extra = 0, expected = 0;
    for (int i = 0; i < kMasters - 1; ++i) {
        lost += totals[size_t(i)].lost;
        extra += totals[size_t(i)].unexpected;
        expected += totals[size_t(i)].expected;
    }
    const std::string log = read_file(gateway_log);
    std::printf("soak: RSS %ld -> %ld KiB (first to last line; peak %ld), fds %ld -> %ld, threads %ld -> %ld\n",
                first_line.rss_kib, last_line.rss_kib, last_line.hwm_kib, first_line.fds, last_line.fds,
                first_line.threads, last_line.threads);
    std::printf("soak: masters 1-4: %ld reports owed, %ld lost, %ld unexpected%s; master 5: %ld sessions, %ld "
                "turned away, %ld lost while connected\n",
                expected, lost, extra, masters_dropped ? ", A MASTER WAS DISCONNECTED" : "", long(sessions),
                long(turned_away), totals[kMasters - 1].lost);
    std::printf("soak: fpi-sim %ld frames, %ld acknowledged, %ld await time-outs, %ld unmodelled; rf.service %ld "
                "calls, %ld failed, slowest %ld ms\n",
                long(radio.frames), long(radio.acks), long(radio.await_timeouts), long(radio.unmodelled),
                long(ubus_ok + ubus_failed), long(ubus_failed), long(ubus_max_ms));
    std::printf("soak: the modem (ubus cellular status) was asked %ld times for the communication event log\n",
                long(modem_calls));
    std::printf("soak: fpigate %s, exit status %d, log %zu bytes\n",
                died ? "DIED during the run" : ended ? "stopped on SIGINT" : "did not stop on SIGINT (killed)",
                exit_status, log.size());

    std::printf("soak: masters 1-4 got %ld cyclic objects each (about one transmission a minute), master 1 %ld "
                "interrogations answered\n",
                long(masters.front()->cyclic), long(masters.front()->interrogations));
    for (int i = 1; i < kMasters - 1; ++i)
        if (masters[size_t(i)]->cyclic != masters.front()->cyclic)
            std::printf("soak: master %d got %ld cyclic objects\n", i + 1, long(masters[size_t(i)]->cyclic));
    // Flat: what the first line shows (after a minute of warming up) holds to
    // the last, within 256 KiB of RSS and the two descriptors of a
    // connection of master 5 that is just being replaced.
    const bool flat = lines > 0 && last_line.rss_kib <= first_line.rss_kib + 256 && last_line.fds <= first_line.fds + 2;
    const bool ok = !died && ended && exit_status == 0 && lost == 0 && extra == 0 && !masters_dropped &&
                    expected > 0 && flat && ubus_failed == 0 && radio.await_timeouts == 0;
    if (!ok) dir.keep = true;
    if (dir.keep) std::printf("soak: files in %s\n", root.c_str());
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
