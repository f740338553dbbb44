// The radio road end to end: the gateway in this process on the sample
// configuration, its RF reader on a pseudo-terminal (115200 bit/s), its
// server on a free loopback port and lib/iec104's client as the master.
//
//   - BM_EventToSpontaneous: from the last byte of a CMD_EVENT_DATA frame
//     handed to the pty to its spontaneous ASDU (I_MEAN, IOA N07) at the
//     master. The bytes are paced as a 115200 bit/s line delivers them (one
//     every 86.8 us, 2.34 ms a frame); each frame waits for the ACK of the
//     one before, so it meets a quiet line. With the radio's 100 ms pause
//     before each ACK, and without it.
//   - BM_NineFpiThroughput: frames of FPIs 1 to 9 round-robin, each with
//     its own I_MEAN sequence; how many frames per second the reader turns
//     into values at the master and ACKs on the line, and what got lost.
//     mode 0 writes as fast as the pty takes them, mode 1 at the line's pace
//     whatever happens, mode 2 at the line's pace with every FPI waiting
//     for its ACK before it sends again (as an FPI does).
//
// A pty does not throttle to a baud rate: the pacing is this program's. The
// line's own limit is 115200 / (27 x 10) = 426.7 event frames a second.
//
// rf_log_sync:1 is the gateway as deployed: the log writer syncs the RF
// log's records to disk (one sync sequence per group it commits), off the
// reader thread. rf_log_sync:0 leaves the syncs out, to show what they
// still cost the reader on the disk at hand.
//
// Real clocks throughout (the wall clock may be read, never set). The
// gateway prints to standard output; that goes to /dev/null, or to the file
// named by RADIO_BENCH_LOG, and the results to the original standard output.
//
//   <build dir>/bench/radio_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/quiet_main.h"
#include "bench/radio_gateway.h"
#include "core/clock.h"
#include "config/config.h"
#include "daemon/gateway.h"
#include "core/semaphore.h"
#include "daemon/workers.h"
#include "fpi/uplink.h"
#include "outstation/server.h"
#include "outstation/slots.h"
#include "lib/iec104/client.h"
#include "lib/iec104/server.h"
#include "logs/event_logs.h"
#include "logs/rf_data.h"
#include "rf/downlink.h"
#include "rf/frame.h"
#include "rf/parser.h"
#include "rf/reader.h"
#include "rf/records.h"
#include "rf/uart.h"
#include "tests/support/gateway.h"
#include "tests/support/master.h"
#include "tests/support/pty.h"
#include "tests/support/wait.h"

namespace {

using namespace bench_support;
using std::chrono::milliseconds;
using test_support::write_all;
using test_support::wait_until;

constexpr double kLineFramesPerSecond = double(kBaud) / (10.0 * kEventFrameBytes);
constexpr int kMeanRow = 7;  // I_MEAN: IOA N07 of FPI N, a short float

int refuse_setting_clock(int64_t) { return EPERM; }

// ---------------------------------------------------------------------------
// A master on 127.0.0.1 that notes when each I_MEAN value arrives: the value
// is the frame's sequence number for its FPI.

struct master {
    const iec104::AppLayerParameters app;  // the sample's: COT 2, CA 2, IOA 3, 249
    iec104::ClientPtr client;
    const size_t stride;                        // sequence numbers per FPI
    std::vector<std::atomic<int64_t>> arrivals;  // [slave * stride + seq]: steady ns
    std::atomic<long> arrived{0};
    std::atomic<long> unexpected{0};         // duplicate, out of range or undecodable
    std::atomic<long> other_spontaneous{0};  // spontaneous objects of other points
    std::atomic<int64_t> last_arrival_ns{0};

    explicit master(size_t sequence_numbers)
        : stride(sequence_numbers + 1), arrivals((kSlaves + 1) * (sequence_numbers + 1)) {}

    bool connect(uint16_t port, std::string& error) {
        return test_support::connect_master(client, port, {[this](const iec104::Asdu& a) { received(a); }, {}, {}},
                                            error, {}, kAnswerTimeoutMs);
    }

    void received(const iec104::Asdu& a) {
        if (a.cot != iec104::COT_SPONTANEOUS) return;
        const int64_t t = now_ns();
        for (int i = 0; i < a.count; ++i) {
            const std::optional<iec104::InformationObject> o = iec104::get_object(a, app, i);
            if (!o) {
                ++unexpected;
                continue;
            }
            const uint32_t slave = o->ioa / 100;
            if (a.type != iec104::M_ME_TF_1 || o->ioa % 100 != kMeanRow || slave < 1 || slave > kSlaves) {
                ++other_spontaneous;
                continue;
            }
            const double v = o->real;
            const size_t seq = v >= 1 ? size_t(v) : 0;
            int64_t none = 0;
            if (seq > 0 && seq < stride && double(seq) == v &&
                arrivals[slave * stride + seq].compare_exchange_strong(none, t)) {
                ++arrived;
                last_arrival_ns = t;
            } else {
                ++unexpected;
            }
        }
    }

    int64_t arrival(int slave, size_t seq) const { return arrivals[size_t(slave) * stride + seq]; }
};

int online_slots(radio_gateway& gw) {
    int n = 0;
    outstation::for_each_online(gw.g.station.connection_slots, [&](iec104::Connection&) { ++n; });
    return n;
}

uint64_t server_dropped(radio_gateway& gw) {
    uint64_t dropped = 0;
    outstation::for_each_online(gw.g.station.connection_slots, [&](iec104::Connection& c) {
        const iec104::ConnectionStats s = iec104::stats(c);
        dropped += s.dropped_high + s.dropped_low;
    });
    return dropped;
}

// The gateway on its pty, a master online and every FPI known.
bool prepare(benchmark::State& state, radio_gateway& gw, master& ms) {
    std::string problem = gw.problem;
    if (problem.empty() && !ms.connect(gw.port(), problem)) problem = "master: " + problem;
    if (problem.empty() && !wait_until([&] { return online_slots(gw) == 1; }, milliseconds(kAnswerTimeoutMs), kPoll))
        problem = "the master did not come online";
    if (problem.empty() && !gw.warm_up()) problem = gw.problem;
    if (problem.empty() && ms.arrived + ms.unexpected != 0) problem = "I_MEAN reported before any frame was timed";
    if (!problem.empty()) {
        state.SkipWithError(problem.c_str());
        return false;
    }
    return true;
}

// The reader's counters when a run starts.
struct reader_counts {
    uint64_t frames, framing_errors, refused;
    explicit reader_counts(const rf::reader_statistics& s)
        : frames(s.frames), framing_errors(s.framing_errors), refused(s.refused) {}
};

// ---------------------------------------------------------------------------
// 1. Latency: range(1) frames, FPIs 1 to 9 in turn, each on a quiet line
// (the previous frame acknowledged); downlink pause range(0) ms; RF log
// records synced to disk when range(2) is 1 (as deployed).
// p50/p99/max_us: last byte handed to the pty to the ASDU at the master.
// ack_p50_ms: last byte to the ACK read on the radio side.

void BM_EventToSpontaneous(benchmark::State& state) {
    const int pause_ms = int(state.range(0));
    const long frames = long(state.range(1));
    const bool rf_log_sync = state.range(2) != 0;
    radio_gateway gw(pause_ms, rf_log_sync);
    master ms(size_t(frames / kSlaves + 1));
    if (!prepare(state, gw, ms)) return;
    const reader_counts before(gw.g.radio.reader_stats);

    std::vector<int64_t> latencies, ack_latencies, frame_write;
    latencies.reserve(size_t(frames));
    ack_latencies.reserve(size_t(frames));
    long lost = 0, unacked = 0, write_errors = 0;
    std::array<uint16_t, kSlaves + 1> seq{};
    const auto answer_limit = milliseconds(2000 + pause_ms);
    for (auto _ : state) {
        for (long k = 0; k < frames; ++k) {
            const uint8_t slave = uint8_t(1 + k % kSlaves);
            const uint16_t s = ++seq[slave];
            const bytes b = gw.event_frame(slave, s);
            const uint64_t acked = gw.acks[slave];
            const int64_t first = now_ns();
            const int64_t last = write_at_line_pace(gw.fd(), b);
            if (last == 0) {
                ++write_errors;
                break;
            }
            frame_write.push_back(last - first);
            if (wait_until([&] { return ms.arrival(slave, s) != 0; }, answer_limit, kPoll))
                latencies.push_back(ms.arrival(slave, s) - last);
            else
                ++lost;
            if (wait_until([&] { return gw.acks[slave] > acked; }, answer_limit, kPoll))
                ack_latencies.push_back(gw.ack_ns[slave] - last);
            else
                ++unacked;
        }
    }
    std::sort(latencies.begin(), latencies.end());
    std::sort(ack_latencies.begin(), ack_latencies.end());
    std::sort(frame_write.begin(), frame_write.end());
    state.SetLabel("downlink pause " + std::to_string(pause_ms) + " ms" +
                   (rf_log_sync ? "" : ", RF log not synced"));
    state.counters["frames"] = benchmark::Counter(double(frames));
    state.counters["p50_us"] = benchmark::Counter(quantile(latencies, 0.50) / 1e3);
    state.counters["p99_us"] = benchmark::Counter(quantile(latencies, 0.99) / 1e3);
    state.counters["max_us"] = benchmark::Counter(quantile(latencies, 1.0) / 1e3);
    state.counters["ack_p50_ms"] = benchmark::Counter(quantile(ack_latencies, 0.50) / 1e6);
    state.counters["write_p50_us"] = benchmark::Counter(quantile(frame_write, 0.50) / 1e3);  // 26 byte times: 2257
    state.counters["lost"] = benchmark::Counter(double(lost));
    state.counters["unacked"] = benchmark::Counter(double(unacked));
    state.counters["unexpected"] = benchmark::Counter(double(ms.unexpected + write_errors));
    state.counters["other_spont"] = benchmark::Counter(double(ms.other_spontaneous));
    state.counters["framing_err"] = benchmark::Counter(double(gw.g.radio.reader_stats.framing_errors - before.framing_errors));
    state.counters["dropped"] = benchmark::Counter(double(server_dropped(gw)));
}
BENCHMARK(BM_EventToSpontaneous)
    ->ArgNames({"pause_ms", "frames", "rf_log_sync"})
    ->Args({100, 1000, 1})
    ->Args({100, 1000, 0})
    ->Args({0, 1000, 1})
    ->Args({0, 1000, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---------------------------------------------------------------------------
// 2. Throughput with nine FPIs: range(2) frames round-robin from FPIs 1 to 9,
// downlink pause range(0) ms, written as range(1) says (see the top), RF log
// records synced when range(3) is 1.
// frames_per_s: values at the master over the time from the first write to
// the last value or ACK. offered_per_s: frames over the time the writes
// took. lag_*: last byte handed over to its value at the master, which
// grows when the reader falls behind. lost_values / lost_acks: frames whose
// value / ACK never came.

const char* const mode_names[] = {"as fast as the pty takes", "line pace", "line pace, FPIs wait for their ACK"};

void BM_NineFpiThroughput(benchmark::State& state) {
    const int pause_ms = int(state.range(0));
    const int mode = int(state.range(1));
    const long frames = long(state.range(2));
    const bool rf_log_sync = state.range(3) != 0;
    radio_gateway gw(pause_ms, rf_log_sync);
    master ms(size_t(frames / kSlaves + 1));
    if (!prepare(state, gw, ms)) return;
    const reader_counts before(gw.g.radio.reader_stats);
    const uint64_t acks_before = gw.total_acks;

    std::vector<int64_t> handed(size_t(frames), 0);
    std::vector<std::pair<uint8_t, uint16_t>> which(static_cast<size_t>(frames));
    std::array<uint16_t, kSlaves + 1> seq{};
    std::string problem;
    int64_t start_ns = 0, end_write_ns = 0;
    for (auto _ : state) {
        const auto start = steady::now();
        start_ns = now_ns();
        auto slot = start;  // when the line is free for the next frame
        for (long k = 0; k < frames && problem.empty(); ++k) {
            const uint8_t slave = uint8_t(1 + k % kSlaves);
            const uint16_t s = ++seq[slave];
            const bytes b = gw.event_frame(slave, s);
            if (mode == 2 &&
                !wait_until([&] { return gw.acks[slave] >= uint64_t(s); }, milliseconds(kAnswerTimeoutMs + pause_ms), kPoll)) {
                problem = "FPI " + std::to_string(slave) + " got no ACK for frame " + std::to_string(s - 1);
                break;
            }
            if (mode == 1) slot = start + std::chrono::nanoseconds(kByteNs * int64_t(kEventFrameBytes) * (k + 1));
            if (mode == 2) slot = std::max(slot + std::chrono::nanoseconds(kByteNs * int64_t(kEventFrameBytes)), steady::now());
            if (mode != 0) pace_until(slot);
            handed[size_t(k)] = now_ns();
            which[size_t(k)] = {slave, s};
            if (!write_all(gw.fd(), b.data(), b.size())) problem = "write to the pty failed";
        }
        end_write_ns = now_ns();
        // Until every value and ACK is in, or nothing moved for three seconds.
        long seen = -1;
        auto moved = steady::now();
        while (problem.empty() && (ms.arrived < frames || gw.total_acks - acks_before < uint64_t(frames))) {
            const long now_seen = ms.arrived + long(gw.total_acks - acks_before);
            if (now_seen != seen) {
                seen = now_seen;
                moved = steady::now();
            } else if (steady::now() - moved > milliseconds(3000)) {
                break;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
    if (!problem.empty()) {
        state.SkipWithError(problem.c_str());
        return;
    }
    const int64_t last = std::max<int64_t>(ms.last_arrival_ns, gw.last_ack_ns);
    const double elapsed_s = double(last - start_ns) / 1e9;
    std::vector<int64_t> lags;
    lags.reserve(size_t(frames));
    long lost_values = 0;
    for (long k = 0; k < frames; ++k) {
        const int64_t t = ms.arrival(which[size_t(k)].first, which[size_t(k)].second);
        if (t == 0)
            ++lost_values;
        else
            lags.push_back(t - handed[size_t(k)]);
    }
    std::sort(lags.begin(), lags.end());
    const uint64_t acks = gw.total_acks - acks_before;
    state.SetLabel(std::string(mode_names[mode]) + ", downlink pause " + std::to_string(pause_ms) + " ms" +
                   (rf_log_sync ? "" : ", RF log not synced"));
    state.counters["frames"] = benchmark::Counter(double(frames));
    state.counters["frames_per_s"] = benchmark::Counter(elapsed_s > 0 ? double(ms.arrived) / elapsed_s : 0);
    state.counters["offered_per_s"] = benchmark::Counter(double(frames) / (double(end_write_ns - start_ns) / 1e9));
    state.counters["line_per_s"] = benchmark::Counter(kLineFramesPerSecond);
    state.counters["read"] = benchmark::Counter(double(gw.g.radio.reader_stats.frames - before.frames));
    state.counters["values"] = benchmark::Counter(double(ms.arrived));
    state.counters["acks"] = benchmark::Counter(double(acks));
    state.counters["lost_values"] = benchmark::Counter(double(lost_values));
    state.counters["lost_acks"] = benchmark::Counter(double(frames) - double(acks));
    state.counters["framing_err"] = benchmark::Counter(double(gw.g.radio.reader_stats.framing_errors - before.framing_errors));
    state.counters["refused"] = benchmark::Counter(double(gw.g.radio.reader_stats.refused - before.refused));
    state.counters["unexpected"] = benchmark::Counter(double(ms.unexpected));
    state.counters["dropped"] = benchmark::Counter(double(server_dropped(gw)));
    state.counters["lag_p50_ms"] = benchmark::Counter(quantile(lags, 0.50) / 1e6);
    state.counters["lag_p99_ms"] = benchmark::Counter(quantile(lags, 0.99) / 1e6);
    state.counters["lag_max_ms"] = benchmark::Counter(quantile(lags, 1.0) / 1e6);
}
BENCHMARK(BM_NineFpiThroughput)
    ->ArgNames({"pause_ms", "mode", "frames", "rf_log_sync"})
    ->Args({0, 1, 9000, 1})
    ->Args({0, 0, 9000, 1})
    ->Args({100, 2, 180, 1})
    ->Args({100, 1, 180, 1})
    ->Args({0, 1, 9000, 0})
    ->Args({0, 0, 9000, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    // Real clocks; the wall clock can be read but not set.
    core::wall_clock = {core::wall_ms, refuse_setting_clock};
    // Byte times are 87 us: sleeps of this thread may not overshoot by the
    // default 50 us slack.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    return run_benchmarks_quietly(argc, argv, "RADIO_BENCH_LOG");
}
