// flash_budget: what a running daemon writes to its disk per RF frame, per
// communication event and per DI event. Any fpigate binary (--bin), so that
// two versions can be compared: it runs on the sample configuration with its
// data_dir under --dir (default $TMPDIR, else /var/tmp: a disk, since
// /proc/PID/io counts no bytes on tmpfs), its radio on a pseudo-terminal this
// program plays, the simulated GPIO chip and no ubus broker. Phases, each
// after the daemon's writes have settled (no change in /proc/PID/io for a
// second):
//
//   idle      three seconds of nothing;
//   rf        --frames event telegrams of FPIs 1-9 in turn, each waiting for
//             its ACK (the deployed 100 ms pause before it), each changing
//             I_MEAN;
//   flash     ten rounds of FPIs 1-9 each sending a flash-mode telegram,
//             30 ms apart, 300 ms between rounds (the first round counts
//             nine faults and saves the fault counter nine times, the
//             others fall within the flash transmit period);
//   sessions  --sessions master sessions (connect, STARTDT, close): three
//             communication events each (opened, activated, closed);
//   di        --di changes of DI1-DI5, five at a time, 700 ms apart (the
//             inputs are scanned every 500 ms).
//
// For each: write_bytes (bytes the process caused to be written to the
// disk, counted by page as it is dirtied), wchar (bytes handed to write
// calls) and, with --strace, the fsync and fdatasync calls of all its threads
// (strace -f -c attached for the phase), per event.
//
//   flash_budget --bin PATH/fpigate [--label TEXT] [--dir DIR] [--frames N]
//                [--sessions N] [--di N] [--strace] [--keep]
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/radio_gateway.h"
#include "config/config.h"
#include "core/unique_fd.h"
#include "rf/parser.h"
#include "tests/support/child_process.h"
#include "tests/support/pty.h"
#include "tests/support/sample_config.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

using namespace bench_support;
using std::chrono::milliseconds;
using test_support::wait_until;
namespace fs = std::filesystem;

constexpr std::array<unsigned, 5> kDiOffsets = {10, 14, 16, 22, 21};  // DI1..DI5 on the simulated chip
constexpr int kEventsPerSession = 3;                                  // opened, activated, closed
constexpr int kFlashRounds = 10;

struct options {
    std::string bin;
    std::string label;
    std::string dir;
    long frames = 90;
    long sessions = 200;
    long di = 50;
    bool strace = false;
    bool keep = false;
};

std::string read_file(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct io_counts {
    long long write_bytes = 0, wchar = 0, syscw = 0;
    bool operator==(const io_counts&) const = default;
};

io_counts read_io(pid_t pid) {
    io_counts c;
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    for (std::string name; in >> name;) {
        long long v = 0;
        in >> v;
        if (name == "write_bytes:") c.write_bytes = v;
        if (name == "wchar:") c.wchar = v;
        if (name == "syscw:") c.syscw = v;
    }
    return c;
}

// Waits until the daemon's write counters stay put for a second (at most 60 s).
void settle(pid_t pid) {
    io_counts last = read_io(pid);
    auto still_since = steady::now();
    const auto limit = steady::now() + std::chrono::seconds(60);
    while (steady::now() - still_since < std::chrono::seconds(1) && steady::now() < limit) {
        std::this_thread::sleep_for(milliseconds(100));
        const io_counts now = read_io(pid);
        if (!(now == last)) {
            last = now;
            still_since = steady::now();
        }
    }
}

long count_of(const std::string& text, const std::string& what) {
    long n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The program `name` as found on PATH; empty when it is not there.
std::string on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string d; std::getline(dirs, d, ':');)
        if (!d.empty() && ::access((d + "/" + name).c_str(), X_OK) == 0) return d + "/" + name;
    return {};
}

// strace -f -c on every thread of the daemon for one phase; the fsync and
// fdatasync calls it counted.
struct sync_counter {
    std::unique_ptr<test_support::child_process> strace;
    fs::path summary, log;

    bool attach(pid_t pid, const fs::path& dir) {
        const std::string program = on_path("strace");
        if (program.empty()) return false;
        summary = dir / "strace.txt";
        log = dir / "strace.log";
        strace = std::make_unique<test_support::child_process>(
            std::vector<std::string>{program, "-f", "-c", "-e", "trace=fsync,fdatasync", "-o", summary.string(), "-p",
                                     std::to_string(pid)},
            test_support::child_options{.out = test_support::sink::file, .err = test_support::sink::file,
                                        .log = log.string()});
        // "Process N attached" (with M threads, when -f finds them)
        return wait_until([&] { return read_file(log).find("attached") != std::string::npos; }, milliseconds(10000),
                          milliseconds(10));
    }

    long detach() {
        if (!strace) return -1;
        strace->stop(SIGINT, milliseconds(10000));
        strace.reset();
        long calls = 0;
        std::istringstream in(read_file(summary));
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::vector<std::string> w;
            for (std::string x; words >> x;) w.push_back(x);
            if (w.size() >= 5 && (w.back() == "fsync" || w.back() == "fdatasync")) calls += std::strtol(w[3].c_str(), nullptr, 10);
        }
        return calls;
    }
};

// One master session on a raw connection: connect, STARTDT act and its
// confirmation, close. False when the daemon turned it away.
bool master_session(uint16_t port) {
    core::unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    static const uint8_t startdt_act[6] = {0x68, 0x04, 0x07, 0x00, 0x00, 0x00};
    if (!test_support::write_all(fd.get(), startdt_act, sizeof startdt_act)) return false;
    const bytes con = test_support::read_bytes(fd.get(), 6, kAnswerTimeoutMs);
    return con.size() == 6 && con[2] == 0x0B;
}

bool parse(int argc, char** argv, options& o) {
    static const option longs[] = {{"bin", required_argument, nullptr, 'b'},     {"label", required_argument, nullptr, 'l'},
                                   {"dir", required_argument, nullptr, 'd'},     {"frames", required_argument, nullptr, 'f'},
                                   {"sessions", required_argument, nullptr, 's'}, {"di", required_argument, nullptr, 'i'},
                                   {"strace", no_argument, nullptr, 't'},        {"keep", no_argument, nullptr, 'k'},
                                   {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "b:l:d:f:s:i:tk", longs, nullptr)) != -1;) {
        switch (c) {
        case 'b': o.bin = optarg; break;
        case 'l': o.label = optarg; break;
        case 'd': o.dir = optarg; break;
        case 'f': o.frames = std::strtol(optarg, nullptr, 10); break;
        case 's': o.sessions = std::strtol(optarg, nullptr, 10); break;
        case 'i': o.di = std::strtol(optarg, nullptr, 10); break;
        case 't': o.strace = true; break;
        case 'k': o.keep = true; break;
        default: return false;
        }
    }
    return !o.bin.empty() && o.frames > 0 && o.sessions > 0 && o.di > 0 && optind == argc;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    ::signal(SIGPIPE, SIG_IGN);
    options opt;
    if (!parse(argc, argv, opt)) {
        std::fputs("usage: flash_budget --bin PATH/fpigate [--label TEXT] [--dir DIR] [--frames N] [--sessions N] "
                   "[--di N] [--strace] [--keep]\n",
                   stderr);
        return 2;
    }
    if (opt.dir.empty()) opt.dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/var/tmp";
    if (opt.label.empty()) opt.label = opt.bin;
    ::setenv("TMPDIR", opt.dir.c_str(), 1);
    test_support::temp_dir dir("fpigate-flash-budget");
    if (dir.path.empty()) {
        std::fprintf(stderr, "flash_budget: no folder under %s\n", opt.dir.c_str());
        return 1;
    }
    dir.keep = opt.keep;
    const fs::path root = dir.path;
    for (const char* d : {"data", "export", "gpio"}) fs::create_directories(root / d);
    for (unsigned offset : kDiOffsets) std::ofstream(root / "gpio" / std::to_string(offset)) << "0\n";
    test_support::pty radio = test_support::open_pty();
    const fs::path config_dir =
        radio.master ? test_support::write_sample_config(root, {.rtu_port = radio.path,
                                                                .data_dir = (root / "data").string(),
                                                                .export_dir = (root / "export").string(),
                                                                .gpio_chip = "sim:" + (root / "gpio").string(),
                                                                .ubus_socket = (root / "no-broker.sock").string()})
                     : fs::path();
    config::config cfg;
    std::string problem;
    if (config_dir.empty() || !test_support::load_config(config_dir, cfg, problem)) {
        std::fprintf(stderr, "flash_budget: no configuration (%s)\n", problem.c_str());
        return 1;
    }
    const rf::rf_address self = rf::rf_address_from(cfg.derived);

    const fs::path gateway_log = root / "fpigate.log";
    test_support::child_process gateway(
        {opt.bin, "-p", config_dir.string()},
        {.out = test_support::sink::file, .err = test_support::sink::file, .log = gateway_log.string(), .own_group = true});
    int port = 0;
    const bool up = gateway.pid > 0 && wait_until(
                                           [&] {
                                               if (!gateway.running()) return true;
                                               const std::string text = read_file(gateway_log);
                                               std::smatch m;
                                               if (std::regex_search(text, m, std::regex("listening on port ([0-9]+)\n")))
                                                   port = std::stoi(m[1]);
                                               return port != 0 &&
                                                      text.find("rtu: Waiting for RF RTU data...") != std::string::npos;
                                           },
                                           milliseconds(30000), milliseconds(100));
    if (!up || !gateway.running()) {
        std::fprintf(stderr, "flash_budget: %s did not come up (log in %s)\n", opt.bin.c_str(), root.c_str());
        dir.keep = true;
        return 1;
    }
    ack_drainer acks;
    acks.drain_start(radio.master.get());
    const int ack_timeout_ms = kAnswerTimeoutMs + 1000;

    // Warm-up: every FPI known, one session, one change of each input.
    bool ok = true;
    for (uint8_t s = 1; s <= kSlaves && ok; ++s)
        ok = acks.acknowledged(radio.master.get(), s, event_frame(self.group, self.rtu_id, s, 0), ack_timeout_ms);
    ok = ok && master_session(uint16_t(port));
    std::array<int, kDiOffsets.size()> di_state{};
    auto toggle_inputs = [&] {
        for (size_t k = 0; k < kDiOffsets.size(); ++k) {
            di_state[k] ^= 1;
            const fs::path file = root / "gpio" / std::to_string(kDiOffsets[k]);
            std::ofstream(file.string() + ".tmp") << di_state[k] << "\n";
            std::error_code ec;
            fs::rename(file.string() + ".tmp", file, ec);
        }
        std::this_thread::sleep_for(milliseconds(700));
    };
    toggle_inputs();
    if (!ok) {
        std::fprintf(stderr, "flash_budget: the warm-up failed (log in %s)\n", root.c_str());
        dir.keep = true;
        return 1;
    }

    std::printf("flash_budget %s: pid %d, data_dir %s\n", opt.label.c_str(), gateway.pid, (root / "data").c_str());
    std::printf("  %-9s %7s %7s %14s %14s %12s %10s\n", "phase", "events", "seconds", "write_bytes/ev", "wchar/ev",
                "syncs/ev", "syncs");
    uint16_t mean = 0;
    struct phase {
        const char* name;
        std::function<long()> run;  // the number of events it caused
    };
    const phase phases[] = {
        {"idle",
         [&] {
             std::this_thread::sleep_for(std::chrono::seconds(3));
             return 1L;
         }},
        {"rf",
         [&] {
             long n = 0;
             for (long k = 0; k < opt.frames; ++k) {
                 const uint8_t s = uint8_t(1 + k % kSlaves);
                 n += acks.acknowledged(radio.master.get(), s, event_frame(self.group, self.rtu_id, s, ++mean),
                                        ack_timeout_ms);
             }
             return n;
         }},
        {"flash",
         [&] {
             long n = 0;
             for (int round = 0; round < kFlashRounds; ++round) {
                 const auto start = steady::now();
                 for (uint8_t s = 1; s <= kSlaves; ++s, ++n) {
                     pace_until(start + milliseconds(30 * (s - 1)));
                     write_at_line_pace(radio.master.get(),
                                        event_frame(self.group, self.rtu_id, s, ++mean, rf::CMD_FLASH_MODE));
                 }
                 std::this_thread::sleep_for(milliseconds(300));
             }
             return n;
         }},
        {"sessions",
         [&] {
             long n = 0;
             for (long k = 0; k < opt.sessions; ++k) {
                 // Turned away while the server still counts the session
                 // before: tried again a moment later.
                 for (int tries = 0; tries < 100 && !master_session(uint16_t(port)); ++tries)
                     std::this_thread::sleep_for(milliseconds(5));
                 n += kEventsPerSession;
             }
             return n;
         }},
        {"di",
         [&] {
             long n = 0;
             for (; n < opt.di; n += long(kDiOffsets.size())) toggle_inputs();
             return n;
         }},
    };
    for (const phase& p : phases) {
        settle(gateway.pid);
        sync_counter syncs;
        if (opt.strace && !syncs.attach(gateway.pid, root)) {
            std::fprintf(stderr, "flash_budget: strace is missing or did not attach: no syncs counted\n");
            opt.strace = false;
        }
        const io_counts before = read_io(gateway.pid);
        const auto t0 = steady::now();
        const long events = p.run();
        settle(gateway.pid);
        const double seconds = std::chrono::duration<double>(steady::now() - t0).count();
        const io_counts after = read_io(gateway.pid);
        const long calls = opt.strace ? syncs.detach() : -1;
        const double n = double(std::max(events, 1L));
        char sync_text[32] = "-", per_event[32] = "-";
        if (calls >= 0) {
            std::snprintf(sync_text, sizeof sync_text, "%ld", calls);
            std::snprintf(per_event, sizeof per_event, "%.2f", double(calls) / n);
        }
        std::printf("  %-9s %7ld %7.1f %14.0f %14.0f %12s %10s\n", p.name, events, seconds,
                    double(after.write_bytes - before.write_bytes) / n, double(after.wchar - before.wchar) / n, per_event,
                    sync_text);
    }
    acks.drain_stop();
    gateway.stop(SIGINT, milliseconds(20000));
    const std::string log = read_file(gateway_log);
    std::printf("  daemon exit status %d; %ld \"Connection opened\" in its log; data files:", gateway.status,
                count_of(log, "Connection opened"));
    for (const char* f : {"rf_fpi_data.bin", "system_event_data.bin", "communication_event_data.bin"}) {
        std::error_code ec;
        std::printf(" %s %ju", f, uintmax_t(fs::file_size(root / "data" / f, ec)));
    }
    std::printf("\n");
    return 0;
}
