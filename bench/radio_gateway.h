// The gateway in this process on the sample configuration with its RF reader
// on a pseudo-terminal (115200 bit/s) whose master side plays the radio, its
// server on a free loopback port, and the timing helpers of the benchmarks
// that drive it: frames handed to the pty at the line's pace, latencies in
// steady-clock nanoseconds, nearest-rank quantiles.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "daemon/workers.h"
#include "outstation/server.h"
#include "rf/frame.h"
#include "rf/parser.h"
#include "rf/records.h"
#include "tests/support/gateway.h"
#include "tests/support/pty.h"
#include "tests/support/wait.h"

namespace bench_support {

using steady = std::chrono::steady_clock;
using test_support::bytes;

constexpr int kSlaves = 9;
constexpr int kBaud = 115200;
constexpr size_t kEventFrameBytes = 27;
constexpr int64_t kByteNs = 1'000'000'000LL * 10 / kBaud;  // 86 805 ns: start bit, 8 data bits, stop bit
constexpr int kAnswerTimeoutMs = 5000;
// Waits for the reader or the master poll this often: a latency is taken
// when the wait ends.
constexpr std::chrono::microseconds kPoll{100};

inline int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(steady::now().time_since_epoch()).count();
}

// Sleeps to just before `t`, then spins: a byte time (87 us) is close to what
// a sleep overshoots by.
inline void pace_until(steady::time_point t) {
    const auto early = std::chrono::microseconds(60);
    if (t - steady::now() > early) std::this_thread::sleep_until(t - early);
    while (steady::now() < t) {
    }
}

// Hands the frame to the pty a byte at a time, each when its ten bits would
// be complete on a 115200 bit/s line that started now. Returns the moment
// the last byte was handed over (taken just before its write), 0 on error.
inline int64_t write_at_line_pace(int fd, const bytes& b) {
    const auto start = steady::now();
    int64_t last = 0;
    for (size_t i = 0; i < b.size(); ++i) {
        pace_until(start + std::chrono::nanoseconds(kByteNs * int64_t(i + 1)));
        last = now_ns();
        if (!test_support::write_all(fd, &b[i], 1)) return 0;
    }
    return last;
}

// The q-quantile (nearest rank) of sorted values; 0 when empty.
inline double quantile(const std::vector<int64_t>& sorted, double q) {
    if (sorted.empty()) return 0;
    const size_t rank = size_t(std::ceil(q * double(sorted.size())));
    return double(sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)]);
}

// A frame with event values (CMD_EVENT_DATA or CMD_FLASH_MODE) of FPI `slave`
// of radio group `group` to the gateway `rtu_id`; only I_MEAN varies.
inline bytes event_frame(const rf::group_id& group, uint16_t rtu_id, uint8_t slave, uint16_t i_mean,
                         uint8_t command = rf::CMD_EVENT_DATA) {
    rf::event_data e;
    e.i_status = 0;
    e.i_mean = i_mean;
    e.i_min = 100;
    e.i_max = 250;
    e.v_status = 1;
    e.v_inst = 2305;
    e.battery_v = 36;
    e.rssi = 80;
    e.event_time = {9, 7, 5, 2};
    rf::rf_frame f;
    rf::rf_frame_build(&f, group, slave, uint8_t(rtu_id), command, e);
    uint8_t out[rf::max_frame_size];
    size_t n = 0;
    rf::rf_frame_serialize(&f, out, &n);
    return bytes(out, out + n);
}

// The radio's side of a pty: a thread reads every frame the gateway writes
// (so that its writes never block) and counts the event ACKs per FPI.
struct ack_drainer {
    std::array<std::atomic<uint64_t>, kSlaves + 1> acks{};    // CMD_EVENT_DATA_ACK per FPI
    std::array<std::atomic<int64_t>, kSlaves + 1> ack_ns{};  // when the last one was read
    std::atomic<uint64_t> total_acks{0};
    std::atomic<uint64_t> other_downlink{0};  // frames that are no event ACK to FPI 1-9
    std::atomic<uint64_t> downlink_errors{0};
    std::atomic<int64_t> last_ack_ns{0};

    void drain_start(int fd) {
        draining = true;
        drainer = std::thread([this, fd] { drain(fd); });
    }
    void drain_stop() {
        draining = false;
        if (drainer.joinable()) drainer.join();
    }
    ~ack_drainer() { drain_stop(); }

    // Writes the frame whole on `fd` and waits for its ACK.
    bool acknowledged(int fd, uint8_t slave, const bytes& b, int timeout_ms) {
        const uint64_t before = acks[slave];
        return test_support::write_all(fd, b.data(), b.size()) &&
               test_support::wait_until([&] { return acks[slave] > before; }, std::chrono::milliseconds(timeout_ms),
                                        kPoll);
    }

private:
    std::atomic<bool> draining{false};
    std::thread drainer;

    void drain(int fd) {
        rf::rf_parser p;
        rf::rf_parser_reset(p);
        uint8_t buf[4096];
        while (draining) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 20) <= 0) continue;
            if (!(pfd.revents & POLLIN)) {  // no slave side open yet, or any more
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            const int64_t t = now_ns();
            size_t at = 0;
            while (at < size_t(n)) {
                size_t used = 0;
                const int rc = rf::rf_parser_feed(p, buf + at, size_t(n) - at, &used);
                at += used;
                if (rc > 0) {
                    rf::rf_frame f;
                    if (rf::rf_frame_decode(p.buffer.data(), size_t(rc), &f) == 0 &&
                        f.command == rf::CMD_EVENT_DATA_ACK && f.destination_id >= 1 && f.destination_id <= kSlaves) {
                        ack_ns[f.destination_id] = t;
                        last_ack_ns = t;
                        ++acks[f.destination_id];
                        ++total_acks;
                    } else {
                        ++other_downlink;
                    }
                } else if (rc < 0) {
                    ++downlink_errors;
                } else {
                    break;
                }
            }
        }
    }
};

inline const fpigate::worker rf_reader_only[] = {{"RF reader", fpigate::rf_reader_thread, false}};

// The gateway with only its RF reader thread (besides the threads every
// gateway has: the log writer, the fault worker, the communication log
// writer, the server), on a pty whose master side is the radio: frames are
// written there, and the drainer reads every ACK the gateway writes back.
struct radio_gateway : test_support::gateway_on_pty, ack_drainer {
    // rf_log_sync false: the RF log's records are not synced to disk, to
    // show what the syncs cost.
    explicit radio_gateway(int pause_ms, bool rf_log_sync = true, const std::string& prefix = "fpigate-radio-bench")
        : test_support::gateway_on_pty({.rtu_baud = kBaud, .dir_prefix = prefix}) {
        g.radio.downlink.pause_ms = pause_ms;
        g.stores.rf_fpi_db.sync_writes = rf_log_sync;
        if (!problem.empty()) return;
        drain_start(radio.master.get());
        start(rf_reader_only);
        if (!test_support::wait_until([this] { return g.radio.rtu_fd.load() > 0; }, std::chrono::milliseconds(10000)))
            problem = "the RF reader did not open " + radio.path;
        else if (outstation::server_bound_port(g.station) == 0)
            problem = "the server does not listen";
    }
    ~radio_gateway() {
        stop();
        drain_stop();
    }

    uint16_t port() const { return outstation::server_bound_port(g.station); }
    int fd() const { return radio.master.get(); }

    // A frame of FPI `slave` to this gateway (see event_frame); `group`:
    // another radio group's id in place of this gateway's.
    bytes event_frame(uint8_t slave, uint16_t i_mean, uint8_t command = rf::CMD_EVENT_DATA,
                      const rf::group_id* group = nullptr) const {
        const rf::rf_address& self = g.radio.reader.self;
        return bench_support::event_frame(group ? *group : self.group, self.rtu_id, slave, i_mean, command);
    }

    // Writes the frame whole and waits for its ACK; false (problem set) when
    // none comes.
    bool acknowledged(uint8_t slave, const bytes& b) {
        if (ack_drainer::acknowledged(fd(), slave, b, kAnswerTimeoutMs + g.radio.downlink.pause_ms)) return true;
        problem = "no ACK for a frame of FPI " + std::to_string(slave);
        return false;
    }

    // One frame of every FPI with I_MEAN 0, each acknowledged: their points
    // enter the store (no spontaneous report for a new point), so that from
    // now on every frame changes exactly what it means to.
    bool warm_up() {
        for (uint8_t s = 1; s <= kSlaves; ++s) {
            const bytes b = event_frame(s, 0);
            if (b.size() != kEventFrameBytes) {
                problem = "an event frame of " + std::to_string(b.size()) + " bytes";
                return false;
            }
            if (!acknowledged(s, b)) return false;
        }
        return true;
    }
};

}  // namespace bench_support
