// The outstation under load, over loopback TCP with lib/iec104's client as
// the master:
//   - a station interrogation, request to ACT_TERM, of the sample
//     configuration with every point holding a value, and of a full store
//     (1000 points);
//   - the latency of spontaneous reports from value_update to each of five
//     masters at a paced 1000 updates/s, and how many got lost;
//   - the resident memory of the daemon (bin/fpigate of this build tree)
//     serving five masters;
//   - over a relay that holds every TCP segment 50 ms in each direction (a
//     cellular link's 100 ms round trip), a station interrogation and a
//     cyclic transmission of the sample configuration with every point
//     holding a value, with asdu_packing and without: time, ASDUs, octets.
// Every answer is checked against the store before anything is timed.
//
// The outstation prints to standard output; that goes to /dev/null, or to
// the file named by OUTSTATION_BENCH_LOG, and the results to the original
// standard output. The wall clock the outstation reads is fixed and can not
// be set.
//
//   build-bench/bench/outstation_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/quiet_main.h"
#include "core/clock.h"
#include "config/config.h"
#include "config/config_load.h"
#include "core/semaphore.h"
#include "fpi/fault_counter.h"
#include "daemon/comm_log.h"
#include "outstation/reporting.h"
#include "outstation/server.h"
#include "outstation/station.h"
#include "outstation/slots.h"
#include "outstation/value_store.h"
#include "lib/iec104/client.h"
#include "lib/iec104/commands.h"
#include "lib/iec104/server.h"
#include "logs/event_logs.h"
#include "tests/support/child_process.h"
#include "tests/support/master.h"
#include "tests/support/points.h"
#include "tests/support/sample_config.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;
using test_support::temp_dir;
using test_support::wait_until;

constexpr int kMasters = 5;
constexpr int kAnswerTimeoutMs = 5000;
constexpr int kApciOctets = 6;  // start, length and four control octets before the ASDU

// 2024-06-05 12:34:56.789 UTC, the wall clock as the outstation reads it here.
constexpr int64_t kWallMs = 1717590896789;
int64_t fixed_wall_ms() { return kWallMs; }
int refuse_setting_clock(int64_t) { return EPERM; }

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(steady::now().time_since_epoch()).count();
}

const std::string sample_dir = std::string(FPIGATE_SOURCE_DIR) + "/config";

// ---------------------------------------------------------------------------
// The outstation in this process: the sample configuration's server settings
// on a free port, its stores in a temporary directory.

struct station {
    temp_dir dir{"fpigate-bench"};
    config::config cfg;
    logs::log_stores stores;
    std::string problem;  // why it does not run; empty when it does
    // The connection events go to the communication log, as in the daemon.
    fpigate::comm_log_writer comm_log;
    outstation::station state;
    fpi::fault_counter faults;  // its file in the data directory, as at start-up

    // asdu_packing: -1 as the sample configuration has it, else that value.
    explicit station(int asdu_packing = -1) {
        if (dir.path.empty()) {
            problem = "no temporary directory";
            return;
        }
        if (!test_support::load_config(sample_dir, cfg, problem)) return;
        if (asdu_packing >= 0) cfg.settings.asdu_packing = asdu_packing;
        cfg.settings.port = 0;
        cfg.settings.data_dir = dir.path.string();
        cfg.settings.export_dir = dir.path.string();
        cfg.settings.ubus_socket = (dir.path / "no-broker.sock").string();
        fpi::fault_counter_load(faults, cfg.settings.data_dir);
        logs::comm_event_db_init(stores, cfg.settings.data_dir);
        outstation::slots_allocate(state.connection_slots, cfg.settings.no_of_connections);
        fpigate::comm_logger_start(comm_log, stores, cfg.settings.ubus_socket);
        state.connection_events = fpigate::comm_logger_sink(comm_log);
        if (!outstation::server_setup(state, cfg)) problem = "server_setup failed";
    }
    ~station() {
        outstation::server_stop(state);
        outstation::server_destroy(state);
        fpigate::comm_logger_stop(comm_log);
    }
    station(const station&) = delete;
    station& operator=(const station&) = delete;

    uint16_t port() const { return outstation::server_bound_port(state); }
};

int online_slots(station& st) {
    int n = 0;
    outstation::for_each_online(st.state.connection_slots, [&](iec104::Connection&) { ++n; });
    return n;
}

int store_count(station& st) {
    std::lock_guard lk(st.state.value_store_lock);
    return st.state.station_values.count;
}

// ---------------------------------------------------------------------------
// Data points and their values.

using test_support::point;
using test_support::sample_points;
using test_support::value_for;

// 1000 points. blocks: 500 single points, 250 scaled and 250 short floats,
// each type on consecutive IOAs. fpi_layout: the points of FPI 1 of the
// sample configuration (28 values, 9 parameters, RESET, types mixed) repeated
// on IOA blocks of 100 until there are 1000.
std::vector<point> thousand_points(const config::config& cfg, bool fpi_layout) {
    std::vector<point> out;
    if (!fpi_layout) {
        for (int i = 0; i < 500; ++i) out.push_back({2000 + i, 30, value_for(2000 + i, 30)});
        for (int i = 0; i < 250; ++i) out.push_back({3000 + i, 35, value_for(3000 + i, 35)});
        for (int i = 0; i < 250; ++i) out.push_back({4000 + i, 36, value_for(4000 + i, 36)});
        return out;
    }
    std::vector<config::fpi_iec104_ioa> pattern;
    for (const config::fpi_iec104_ioa& p : cfg.fpi_points)
        if (p.slave_id == 1) pattern.push_back(p);
    if (pattern.empty()) return out;
    const int32_t base = pattern.front().ioa / 100 * 100;
    for (int32_t block = 1; out.size() < size_t(outstation::value_store_capacity); ++block)
        for (const config::fpi_iec104_ioa& p : pattern) {
            if (out.size() == size_t(outstation::value_store_capacity)) break;
            const int32_t ioa = block * 100 + (p.ioa - base);
            out.push_back({ioa, p.type_id, value_for(ioa, p.type_id)});
        }
    return out;
}

void store(station& st, const std::vector<point>& points) {
    for (const point& p : points) {
        std::lock_guard lk(st.state.value_store_lock);
        outstation::value_update(st.state, p.ioa, p.value, p.type_id, kWallMs);
    }
}

// ---------------------------------------------------------------------------
// A master on 127.0.0.1.

struct master {
    const iec104::AppLayerParameters app;  // the sample's: COT 2, CA 2, IOA 3, 249
    iec104::ClientPtr client;

    std::mutex m;
    std::condition_variable ended;
    long terminations = 0;  // ACT_TERM or negative ACT_CON of C_IC_NA_1
    long refusals = 0;      // negative ACT_CON
    long gi_asdus = 0;
    long gi_objects = 0;
    long gi_octets = 0;  // APDUs of the answers, ACT_CON and ACT_TERM included
    long cyclic_asdus = 0;
    long cyclic_objects = 0;
    long cyclic_octets = 0;
    bool keep = false;
    std::vector<iec104::Asdu> kept;

    // Spontaneous short floats of watched_ioa carry a sequence number n:
    // arrivals[n] is when it came (steady ns).
    const int32_t watched_ioa;
    std::vector<std::atomic<int64_t>> arrivals;
    std::atomic<long> arrived{0};
    std::atomic<long> unexpected{0};  // duplicate or out of range

    explicit master(int32_t watched = -1, size_t sequence_numbers = 0)
        : watched_ioa(watched), arrivals(sequence_numbers) {}

    bool connect(uint16_t port, std::string& error) {
        return test_support::connect_master(client, port, {[this](const iec104::Asdu& a) { received(a); }, {}, {}},
                                            error, {}, kAnswerTimeoutMs);
    }

    void received(const iec104::Asdu& a) {
        if (a.cot == iec104::COT_SPONTANEOUS && a.type == iec104::M_ME_TF_1 && watched_ioa >= 0) {
            const int64_t t = now_ns();
            const std::optional<iec104::InformationObject> o = iec104::get_object(a, app, 0);
            if (o && int32_t(o->ioa) == watched_ioa) {
                const double n = o->real;
                const size_t i = n >= 1 ? size_t(n) : 0;
                int64_t none = 0;
                if (i > 0 && i < arrivals.size() && double(i) == n && arrivals[i].compare_exchange_strong(none, t))
                    ++arrived;
                else
                    ++unexpected;
                return;
            }
        }
        std::lock_guard lk(m);
        if (keep) kept.push_back(a);
        const long octets = kApciOctets + iec104::header_size(app) + a.payload_size;
        if (a.cot == iec104::COT_INTERROGATED_BY_STATION) {
            ++gi_asdus;
            gi_objects += a.count;
        }
        if (a.cot == iec104::COT_INTERROGATED_BY_STATION || a.type == iec104::C_IC_NA_1) gi_octets += octets;
        if (a.cot == iec104::COT_PERIODIC) {
            ++cyclic_asdus;
            cyclic_objects += a.count;
            cyclic_octets += octets;
            ended.notify_all();
        }
        if (a.type == iec104::C_IC_NA_1 && (a.cot == iec104::COT_ACTIVATION_TERMINATION ||
                                            (a.cot == iec104::COT_ACTIVATION_CON && a.negative))) {
            refusals += a.negative;
            ++terminations;
            ended.notify_all();
        }
    }

    // Sends a station interrogation and waits for its end.
    bool interrogate(int timeout_ms = kAnswerTimeoutMs) {
        std::unique_lock lk(m);
        const long before = terminations;
        lk.unlock();
        if (!iec104::client_send(*client, iec104::interrogation_command(app, 1, 20))) return false;
        lk.lock();
        return ended.wait_for(lk, milliseconds(timeout_ms), [&] { return terminations > before; });
    }

    // Waits until cyclic ASDUs have brought `objects` objects in all.
    bool wait_cyclic_objects(long objects, int timeout_ms) {
        std::unique_lock lk(m);
        return ended.wait_for(lk, milliseconds(timeout_ms), [&] { return cyclic_objects >= objects; });
    }
};

// One interrogation with every ASDU kept: ACT_CON, the single and double
// points, the measured values, ACT_TERM, and every reported point of
// `points` exactly once with its value.
bool check_answer(master& ms, const std::vector<point>& points, std::string& problem,
                  int timeout_ms = kAnswerTimeoutMs) {
    {
        std::lock_guard lk(ms.m);
        ms.keep = true;
        ms.kept.clear();
    }
    const bool ended = ms.interrogate(timeout_ms);
    std::vector<iec104::Asdu> asdus;
    {
        std::lock_guard lk(ms.m);
        ms.keep = false;
        asdus.swap(ms.kept);
    }
    if (!ended) {
        problem = "no ACT_TERM within " + std::to_string(timeout_ms) + " ms";
        return false;
    }
    if (asdus.size() < 2 || asdus.front().type != iec104::C_IC_NA_1 ||
        asdus.front().cot != iec104::COT_ACTIVATION_CON || asdus.front().negative ||
        asdus.back().type != iec104::C_IC_NA_1 || asdus.back().cot != iec104::COT_ACTIVATION_TERMINATION) {
        problem = "answer not framed by a positive ACT_CON and ACT_TERM";
        return false;
    }
    const std::vector<iec104::Asdu> data(asdus.begin() + 1, asdus.end() - 1);
    for (const iec104::Asdu& a : data)
        if (a.cot != iec104::COT_INTERROGATED_BY_STATION) {
            problem = "type " + std::to_string(a.type) + " cause " + std::to_string(a.cot) + " inside the answer";
            return false;
        }
    problem = test_support::check_reported(data, points, ms.app, false, kWallMs);
    return problem.empty() && (!data.empty() || points.empty());
}

// The timed part of both interrogation benchmarks.
void time_interrogations(benchmark::State& state, master& ms) {
    long asdus0, objects0;
    {
        std::lock_guard lk(ms.m);
        asdus0 = ms.gi_asdus;
        objects0 = ms.gi_objects;
    }
    for (auto _ : state) {
        if (!ms.interrogate()) {
            state.SkipWithError("no ACT_TERM within 5 s");
            break;
        }
    }
    std::lock_guard lk(ms.m);
    if (ms.refusals > 0) state.SkipWithError("interrogation refused");
    const double n = double(state.iterations());
    state.counters["asdus_per_gi"] = benchmark::Counter(double(ms.gi_asdus - asdus0) / n);
    state.counters["objects_per_gi"] = benchmark::Counter(double(ms.gi_objects - objects0) / n);
    state.SetItemsProcessed(ms.gi_objects - objects0);
}

bool prepare_interrogation(benchmark::State& state, station& st, master& ms, const std::vector<point>& points) {
    if (!st.problem.empty()) {
        state.SkipWithError(st.problem.c_str());
        return false;
    }
    store(st, points);
    std::string problem;
    if (!ms.connect(st.port(), problem)) {
        state.SkipWithError(("master: " + problem).c_str());
        return false;
    }
    if (!check_answer(ms, points, problem)) {
        state.SkipWithError(("wrong interrogation answer: " + problem).c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// 1. The sample configuration, every point holding a value.

void BM_InterrogationSampleConfiguration(benchmark::State& state) {
    station st;
    master ms;
    const std::vector<point> points = sample_points(st.cfg);
    if (!prepare_interrogation(state, st, ms, points)) return;
    state.counters["points"] = benchmark::Counter(double(store_count(st)));
    time_interrogations(state, ms);
}
BENCHMARK(BM_InterrogationSampleConfiguration)->Unit(benchmark::kMicrosecond)->UseRealTime();

// 2. A full store, 1000 points. fill_ms: entering the 1000 first values.

void BM_Interrogation1000Points(benchmark::State& state) {
    const bool fpi_layout = state.range(0) == 1;
    station st;
    master ms;
    const std::vector<point> points = thousand_points(st.cfg, fpi_layout);
    if (!st.problem.empty()) {
        state.SkipWithError(st.problem.c_str());
        return;
    }
    const auto fill_start = steady::now();
    store(st, points);
    const double fill_ms = std::chrono::duration<double, std::milli>(steady::now() - fill_start).count();
    if (store_count(st) != outstation::value_store_capacity) {
        state.SkipWithError(("store holds " + std::to_string(store_count(st)) + " points, not 1000").c_str());
        return;
    }
    // The values are in; storing them again changes nothing.
    if (!prepare_interrogation(state, st, ms, points)) return;
    state.SetLabel(fpi_layout ? "FPI layout" : "blocks");
    state.counters["fill_ms"] = benchmark::Counter(fill_ms);
    time_interrogations(state, ms);
}
BENCHMARK(BM_Interrogation1000Points)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---------------------------------------------------------------------------
// 3. Spontaneous latency: five masters, 1000 updates/s for range(0) seconds
// of one short float of the sample configuration (its last FPI short float),
// the value n being the n-th update. lost: updates some master did not get.

void BM_SpontaneousLatencyFiveMasters(benchmark::State& state) {
    const long updates = long(state.range(0)) * 1000;
    station st;
    if (!st.problem.empty()) {
        state.SkipWithError(st.problem.c_str());
        return;
    }
    int32_t watched = -1;
    for (const config::fpi_iec104_ioa& p : st.cfg.fpi_points)
        if (p.type_id == 36) watched = p.ioa;
    if (watched < 0) {
        state.SkipWithError("no short float in the sample configuration");
        return;
    }
    store(st, sample_points(st.cfg));
    // 0 before any master is there, so that every numbered update changes it.
    store(st, {{watched, 36, 0.0}});

    std::vector<std::unique_ptr<master>> masters;
    for (int i = 0; i < kMasters; ++i) {
        masters.push_back(std::make_unique<master>(watched, size_t(updates) + 1));
        std::string problem;
        if (!masters.back()->connect(st.port(), problem)) {
            state.SkipWithError(("master " + std::to_string(i + 1) + ": " + problem).c_str());
            return;
        }
    }
    if (!wait_until([&] { return online_slots(st) == kMasters; }, milliseconds(5000))) {
        state.SkipWithError(("online slots: " + std::to_string(online_slots(st))).c_str());
        return;
    }

    std::vector<int64_t> sent(size_t(updates) + 1, 0);
    for (auto _ : state) {
        const auto start = steady::now();
        for (long n = 1; n <= updates; ++n) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(1000 * n));
            sent[size_t(n)] = now_ns();
            std::lock_guard lk(st.state.value_store_lock);
            outstation::value_update(st.state, watched, double(n), 36, kWallMs);
        }
        wait_until(
            [&] {
                for (const auto& m : masters)
                    if (m->arrived < updates) return false;
                return true;
            },
            milliseconds(2000));
    }

    uint64_t dropped = 0;
    outstation::for_each_online(st.state.connection_slots, [&](iec104::Connection& c) {
        const iec104::ConnectionStats s = iec104::stats(c);
        dropped += s.dropped_high + s.dropped_low;
    });
    std::vector<int64_t> latencies;
    latencies.reserve(size_t(updates) * kMasters);
    long lost = 0, unexpected = 0;
    for (long n = 1; n <= updates; ++n) {
        bool everywhere = true;
        for (const auto& m : masters) {
            const int64_t t = m->arrivals[size_t(n)];
            if (t == 0)
                everywhere = false;
            else
                latencies.push_back(t - sent[size_t(n)]);
        }
        lost += !everywhere;
    }
    for (const auto& m : masters) unexpected += m->unexpected;
    std::sort(latencies.begin(), latencies.end());
    auto percentile_us = [&](double q) {
        if (latencies.empty()) return 0.0;
        const size_t rank = size_t(std::ceil(q * double(latencies.size())));
        return double(latencies[std::min(latencies.size() - 1, rank == 0 ? 0 : rank - 1)]) / 1000.0;
    };
    state.counters["updates"] = benchmark::Counter(double(updates));
    state.counters["p50_us"] = benchmark::Counter(percentile_us(0.50));
    state.counters["p99_us"] = benchmark::Counter(percentile_us(0.99));
    state.counters["max_us"] = benchmark::Counter(percentile_us(1.0));
    state.counters["lost"] = benchmark::Counter(double(lost));
    state.counters["dropped"] = benchmark::Counter(double(dropped));
    state.counters["unexpected"] = benchmark::Counter(double(unexpected));
}
BENCHMARK(BM_SpontaneousLatencyFiveMasters)->Arg(3)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------------------
// 4. The daemon's memory: bin/fpigate on a copy of the sample configuration
// with host paths (no radio port, no GPIO chip, no broker on its ubus socket)
// and a free port, five masters connected and each answered an
// interrogation. rss_kib / hwm_kib: VmRSS / VmHWM then.

uint16_t free_loopback_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

void BM_DaemonMemoryFiveMasters(benchmark::State& state) {
    const std::string binary = FPIGATE_DAEMON;
    if (::access(binary.c_str(), X_OK) != 0) {
        state.SkipWithError(("skipped: " + binary + " is not built (build the fpigate target)").c_str());
        return;
    }
    temp_dir root("fpigate-bench");
    std::error_code ec;
    for (const char* d : {"data", "export"}) std::filesystem::create_directories(root.path / d, ec);
    const uint16_t port = free_loopback_port();
    const std::filesystem::path config_dir =
        root.path.empty() || ec || port == 0
            ? std::filesystem::path()
            : test_support::write_sample_config(root.path, {.data_dir = (root.path / "data").string(),
                                                            .export_dir = (root.path / "export").string(),
                                                            .ubus_socket = (root.path / "ubus.sock").string(),
                                                            .port = std::to_string(port)});
    if (config_dir.empty()) {
        state.SkipWithError("cannot prepare the run directory");
        return;
    }
    // Its output goes to a log file.
    const std::string log = (root.path / "fpigate.log").string();
    auto log_tail = [&log] {
        std::ifstream in(log);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return all.size() > 300 ? all.substr(all.size() - 300) : all;
    };
    test_support::child_process daemon({binary, "-p", config_dir.string()},
                                       {.out = test_support::sink::file, .err = test_support::sink::file, .log = log});
    if (daemon.pid < 0) {
        state.SkipWithError("cannot start fpigate");
        return;
    }
    // Start-up spaces its worker threads; serving starts after a few seconds.
    if (!wait_until([&] { return !daemon.running() || daemon.catches(SIGINT); }, milliseconds(20000)) ||
        !daemon.running()) {
        state.SkipWithError(("fpigate did not come up: " + log_tail()).c_str());
        return;
    }

    std::string problem;
    std::vector<std::unique_ptr<master>> masters;
    long objects = 0;
    std::string rss, hwm, threads;
    for (auto _ : state) {
        for (int i = 0; i < kMasters && problem.empty(); ++i) {
            masters.push_back(std::make_unique<master>());
            master& ms = *masters.back();
            if (!ms.connect(port, problem)) problem = "master " + std::to_string(i + 1) + ": " + problem;
            else if (!ms.interrogate()) problem = "master " + std::to_string(i + 1) + ": no ACT_TERM";
            std::lock_guard lk(ms.m);
            objects = ms.gi_objects;
        }
        if (!problem.empty()) {
            state.SkipWithError(problem.c_str());
            break;
        }
        rss = daemon.status_field("VmRSS");
        hwm = daemon.status_field("VmHWM");
        threads = daemon.status_field("Threads");
    }
    if (!problem.empty()) return;

    const auto stop_start = steady::now();
    ::kill(daemon.pid, SIGINT);
    const bool ended = daemon.wait_exit(milliseconds(10000)) >= 0;
    const double exit_ms = std::chrono::duration<double, std::milli>(steady::now() - stop_start).count();
    masters.clear();
    if (!ended) {
        state.SkipWithError("fpigate did not end within 10 s of SIGINT (killed)");
        return;
    }
    if (daemon.status != 0) {
        state.SkipWithError(("fpigate ended with status " + std::to_string(daemon.status)).c_str());
        return;
    }
    state.counters["rss_kib"] = benchmark::Counter(std::strtod(rss.c_str(), nullptr));
    state.counters["hwm_kib"] = benchmark::Counter(std::strtod(hwm.c_str(), nullptr));
    state.counters["threads"] = benchmark::Counter(std::strtod(threads.c_str(), nullptr));
    state.counters["objects_per_gi"] = benchmark::Counter(double(objects));
    state.counters["exit_ms"] = benchmark::Counter(exit_ms);
}
BENCHMARK(BM_DaemonMemoryFiveMasters)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------------------
// 5. A cellular link: a relay on loopback between the master and the station
// holds every TCP segment it reads 50 ms before writing it on, in each
// direction, a round trip of 100 ms. A station interrogation (request to
// ACT_TERM) and a cyclic transmission (the call to the last object at the
// master) of the sample configuration with every point holding a value,
// with asdu_packing (range 1) and without (0). Counters: data ASDUs and
// octets of the APDUs (APCI included; for the interrogation ACT_CON and
// ACT_TERM too).

constexpr auto kLinkDelay = milliseconds(50);
constexpr int kSlowLinkTimeoutMs = 60000;

struct slow_relay {
    // One direction: a reader that timestamps what arrives and a writer that
    // passes it on once it has been held kLinkDelay.
    struct direction {
        int from = -1, to = -1;
        std::mutex m;
        std::condition_variable cv;
        std::deque<std::pair<steady::time_point, std::vector<uint8_t>>> held;
        bool ended = false;
        std::thread reader, writer;

        void start() {
            reader = std::thread([this] {
                std::vector<uint8_t> buf(65536);
                for (;;) {
                    const ssize_t n = ::read(from, buf.data(), buf.size());
                    std::lock_guard lk(m);
                    if (n <= 0) {
                        ended = true;
                        cv.notify_all();
                        return;
                    }
                    held.emplace_back(steady::now() + kLinkDelay, std::vector<uint8_t>(buf.begin(), buf.begin() + n));
                    cv.notify_all();
                }
            });
            writer = std::thread([this] {
                for (;;) {
                    std::unique_lock lk(m);
                    cv.wait(lk, [&] { return ended || !held.empty(); });
                    if (held.empty()) break;
                    auto [due, bytes] = std::move(held.front());
                    held.pop_front();
                    lk.unlock();
                    std::this_thread::sleep_until(due);
                    for (size_t off = 0; off < bytes.size();) {
                        const ssize_t w = ::send(to, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
                        if (w <= 0) break;
                        off += size_t(w);
                    }
                }
                ::shutdown(to, SHUT_WR);
            });
        }
        void join() {
            if (reader.joinable()) reader.join();
            if (writer.joinable()) writer.join();
        }
    };

    int listener = -1, master_side = -1, station_side = -1;
    uint16_t port = 0;  // where the master connects
    std::thread acceptor;
    direction up, down;  // master to station, station to master

    explicit slow_relay(uint16_t station_port) {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
        acceptor = std::thread([this, station_port] {
            master_side = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            station_side = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in s{};
            s.sin_family = AF_INET;
            s.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            s.sin_port = htons(station_port);
            if (master_side < 0 || station_side < 0 ||
                ::connect(station_side, reinterpret_cast<sockaddr*>(&s), sizeof s) != 0) {
                if (master_side >= 0) ::shutdown(master_side, SHUT_RDWR);
                return;
            }
            const int one = 1;
            for (int fd : {master_side, station_side}) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            up.from = down.to = master_side;
            up.to = down.from = station_side;
            up.start();
            down.start();
        });
    }
    ~slow_relay() {
        if (listener >= 0) ::shutdown(listener, SHUT_RDWR);
        if (acceptor.joinable()) acceptor.join();
        for (int fd : {master_side, station_side})
            if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        up.join();
        down.join();
        for (int fd : {listener, master_side, station_side})
            if (fd >= 0) ::close(fd);
    }
    slow_relay(const slow_relay&) = delete;
    slow_relay& operator=(const slow_relay&) = delete;
};

// The station with (packing 1) or without asdu_packing, every point of the
// sample configuration holding a value, and a master behind the relay whose
// first interrogation has been checked.
struct slow_link {
    station st;
    std::unique_ptr<slow_relay> relay;
    master ms;  // after the relay and the station: closes first
    std::vector<point> points;

    explicit slow_link(int packing) : st(packing) {}

    // False with the state skipped when it does not come up.
    bool prepare(benchmark::State& state) {
        if (!st.problem.empty()) {
            state.SkipWithError(st.problem.c_str());
            return false;
        }
        points = sample_points(st.cfg);
        store(st, points);
        relay = std::make_unique<slow_relay>(st.port());
        std::string problem;
        if (relay->port == 0 || !ms.connect(relay->port, problem)) {
            state.SkipWithError(("master through the relay: " + problem).c_str());
            return false;
        }
        if (!check_answer(ms, points, problem, kSlowLinkTimeoutMs)) {
            state.SkipWithError(("wrong interrogation answer: " + problem).c_str());
            return false;
        }
        if (!wait_until([&] { return online_slots(st) == 1; }, milliseconds(kAnswerTimeoutMs))) {
            state.SkipWithError("the master holds no slot");
            return false;
        }
        state.SetLabel(state.range(0) ? "asdu_packing 1" : "asdu_packing 0");
        return true;
    }
};

void BM_SlowLinkInterrogation(benchmark::State& state) {
    slow_link link(int(state.range(0)));
    if (!link.prepare(state)) return;
    master& ms = link.ms;
    long asdus0, octets0;
    {
        std::lock_guard lk(ms.m);
        asdus0 = ms.gi_asdus;
        octets0 = ms.gi_octets;
    }
    for (auto _ : state)
        if (!ms.interrogate(kSlowLinkTimeoutMs)) {
            state.SkipWithError("no ACT_TERM within 60 s");
            break;
        }
    std::lock_guard lk(ms.m);
    const double n = double(state.iterations());
    state.counters["asdus"] = benchmark::Counter(double(ms.gi_asdus - asdus0) / n);
    state.counters["octets"] = benchmark::Counter(double(ms.gi_octets - octets0) / n);
}
BENCHMARK(BM_SlowLinkInterrogation)->ArgName("packing")->Arg(1)->Arg(0)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SlowLinkCyclicTransmission(benchmark::State& state) {
    slow_link link(int(state.range(0)));
    if (!link.prepare(state)) return;
    master& ms = link.ms;
    long objects = 0;
    for (const point& p : link.points) objects += outstation::reported_type(p.type_id);
    long total = 0;
    for (auto _ : state) {
        total += objects;
        outstation::cyclic_transmission(link.st.state);
        if (!ms.wait_cyclic_objects(total, kSlowLinkTimeoutMs)) {
            state.SkipWithError("the cyclic transmission did not arrive within 60 s");
            break;
        }
    }
    std::lock_guard lk(ms.m);
    const double n = double(state.iterations());
    if (ms.cyclic_objects != total) state.SkipWithError("objects missing or repeated");
    state.counters["asdus"] = benchmark::Counter(double(ms.cyclic_asdus) / n);
    state.counters["octets"] = benchmark::Counter(double(ms.cyclic_octets) / n);
}
BENCHMARK(BM_SlowLinkCyclicTransmission)->ArgName("packing")->Arg(1)->Arg(0)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    core::wall_clock = {fixed_wall_ms, refuse_setting_clock};

    return run_benchmarks_quietly(argc, argv, "OUTSTATION_BENCH_LOG");
}
