// latency_bench: how fast a fault and a value reach a master while the logs
// are written to disk, and whether the logs stay within their bounds. The
// gateway runs in this process on the sample configuration with its files in
// a temporary folder under $TMPDIR (run.sh sets /var/tmp: a disk, not tmpfs),
// its RF reader on a pseudo-terminal at 115200 bit/s and lib/iec104's client
// as the master on loopback. Each part starts its own gateway:
//
//   faults  100 flash-mode telegrams of FPIs 1-9 in turn, each on a quiet
//           line after an event telegram that set FAULT back to 0, each
//           more than the flash transmit period after the FPI's previous
//           one (the monotonic clock this program hands the gateway is the
//           machine's plus an offset moved forward before each), so that
//           every one counts a fault: last byte on the pty to FAULT = 1 at
//           the master, p50/p99/max. The downlink pause and the fault
//           worker's pause are as deployed (100 ms, 500 ms).
//   nine    FPIs 1-9 each send a flash-mode telegram, 30 ms apart (a feeder
//           fault seen by every FPI upstream): the last telegram's last byte
//           to the ninth FAULT = 1 at the master, five rounds.
//   rf      1000 event telegrams, each changing I_MEAN of its FPI, each on a
//           quiet line (the ACK of the one before read; no downlink pause, so
//           the log writer is busy with the previous frames): last byte to
//           the spontaneous ASDU, p50/p99/max; then again with a process
//           spinning on the second core; then without the RF log's syncs,
//           for comparison.
//   param   a master's first parameter write of a set (VOLTAGE of FPI n,
//           C_SE_NC_1; its set is cleared after each so that the next one is
//           a first write again, which records the infoset status in the
//           recent RF data list and the RF log): ACT_CON p50/p99/max with the
//           writer idle, then while another thread keeps more than 10 MiB of
//           RF log records queued through rf_data_add (the RF reader's own
//           way in), with syncs on, so that the writer never catches up.
//   bounds  100 000 frames of another radio group (same radio, refused and
//           recorded), 20 000 sessions of a master (connect, STARTDT,
//           close) and 20 000 system events through
//           system_event_db_append, at once: each log's data file against
//           its bound, each export's row count and first and last rows, RSS
//           at start, middle and end.
//
//   latency_bench [PART ...]      (default: all of them, in this order)
//
// Results go to standard output; the gateway's printout to the file named by
// LATENCY_BENCH_LOG, or to /dev/null. Real clocks besides the offset; the
// wall clock may be read, never set.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/quiet_main.h"
#include "bench/radio_gateway.h"
#include "core/clock.h"
#include "core/unique_fd.h"
#include "daemon/comm_log.h"
#include "fpi/fault_counter.h"
#include "fpi/infoset.h"
#include "fpi/uplink.h"
#include "lib/iec104/client.h"
#include "lib/iec104/commands.h"
#include "lib/iec104/types.h"
#include "logs/csv_export.h"
#include "logs/event_logs.h"
#include "logs/rf_data.h"
#include "logs/records.h"
#include "outstation/slots.h"
#include "rf/frame.h"
#include "rf/parser.h"
#include "rf/records.h"
#include "tests/support/master.h"

namespace {

using namespace bench_support;
using std::chrono::milliseconds;
using test_support::wait_until;
namespace fs = std::filesystem;

FILE* out = stdout;  // the results

constexpr int kMeanRow = 7;    // I_MEAN: IOA N07 of FPI N, a short float
constexpr int kFaultRow = 24;  // FAULT: IOA N24
constexpr int kVoltageRow = 36;  // VOLTAGE, a parameter: IOA N36, C_SE_NC_1
constexpr long kMeanRange = 25600;  // I_MEAN travels as a base-100 pair: 0 to 25599

// The gateway's monotonic clock: the machine's, plus what this program adds
// to step over the flash transmit period.
std::atomic<uint64_t> clock_offset_ms{0};
uint64_t shifted_monotonic_ms() { return core::system_monotonic_ms() + clock_offset_ms; }
int refuse_setting_clock(int64_t) { return EPERM; }

long rss_kib() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

std::string fs_type(const fs::path& p) {
    struct statfs s {};
    if (::statfs(p.c_str(), &s) != 0) return "unknown";
    switch (uint64_t(s.f_type)) {
    case 0xEF53: return "ext4";
    case 0x01021994: return "tmpfs";
    case 0x58465342: return "xfs";
    case 0x9123683E: return "btrfs";
    case 0x794C7630: return "overlayfs";
    case 0x24051905: return "ubifs";
    case 0x73717368: return "squashfs";
    default: {
        char b[32];
        std::snprintf(b, sizeof b, "0x%llx", (unsigned long long)s.f_type);
        return b;
    }
    }
}

void print_quantiles(const char* what, std::vector<int64_t> ns, double unit_ns, const char* unit, long lost) {
    std::sort(ns.begin(), ns.end());
    std::fprintf(out, "  %-44s n %4zu  p50 %8.3f  p99 %8.3f  max %8.3f %s  lost %ld\n", what, ns.size(),
                 quantile(ns, 0.5) / unit_ns, quantile(ns, 0.99) / unit_ns, quantile(ns, 1.0) / unit_ns, unit, lost);
}

// ---------------------------------------------------------------------------
// A master on 127.0.0.1 noting when FAULT = 1 of each FPI, each I_MEAN value
// and each ACT_CON of a set-point arrive.

struct master {
    iec104::ClientPtr client;
    const iec104::AppLayerParameters app;
    std::array<std::atomic<uint64_t>, kSlaves + 1> fault_on{};  // FAULT = 1 reports per FPI
    std::array<std::atomic<int64_t>, kSlaves + 1> fault_on_ns{};
    std::vector<std::atomic<int64_t>> mean_ns = std::vector<std::atomic<int64_t>>(65536);  // by I_MEAN value
    std::atomic<uint64_t> act_con{0}, act_con_negative{0};
    std::atomic<int64_t> act_con_ns{0};
    std::atomic<uint64_t> spontaneous{0};

    bool connect(uint16_t port, std::string& error) {
        return test_support::connect_master(client, port, {[this](const iec104::Asdu& a) { received(a); }, {}, {}},
                                            error, {}, kAnswerTimeoutMs);
    }

    void received(const iec104::Asdu& a) {
        const int64_t t = now_ns();
        if (a.type == iec104::C_SE_NC_1 && a.cot == iec104::COT_ACTIVATION_CON) {
            act_con_ns = t;
            if (a.negative) ++act_con_negative;
            ++act_con;
            return;
        }
        if (a.cot != iec104::COT_SPONTANEOUS) return;
        const bool real = a.type == iec104::M_ME_NC_1 || a.type == iec104::M_ME_TF_1;
        for (int i = 0; i < a.count; ++i) {
            const std::optional<iec104::InformationObject> o = iec104::get_object(a, app, i);
            if (!o) continue;
            ++spontaneous;
            const uint32_t slave = o->ioa / 100, row = o->ioa % 100;
            if (slave < 1 || slave > uint32_t(kSlaves)) continue;
            const double v = real ? double(o->real) : double(o->value);
            if (row == kFaultRow && v == 1) {
                fault_on_ns[slave] = t;
                ++fault_on[slave];
            } else if (row == kMeanRow && v >= 1 && v < 65536) {
                int64_t none = 0;
                mean_ns[size_t(v)].compare_exchange_strong(none, t);
            }
        }
    }
};

int online_slots(radio_gateway& gw) {
    int n = 0;
    outstation::for_each_online(gw.g.station.connection_slots, [&](iec104::Connection&) { ++n; });
    return n;
}

// The gateway on its pty, a master online and every FPI known; false with
// the reason printed.
bool prepare(radio_gateway& gw, master& ms, const char* part) {
    std::string problem = gw.problem;
    if (problem.empty() && !ms.connect(gw.port(), problem)) problem = "master: " + problem;
    if (problem.empty() && !wait_until([&] { return online_slots(gw) == 1; }, milliseconds(kAnswerTimeoutMs), kPoll))
        problem = "the master did not come online";
    if (problem.empty() && !gw.warm_up()) problem = gw.problem;
    if (problem.empty()) return true;
    std::fprintf(out, "%s: %s\n", part, problem.c_str());
    return false;
}

uint64_t flash_period_ms(const radio_gateway& gw) { return uint64_t(gw.cfg->derived.flash_transmit_period_ms); }

uint32_t faults_counted(radio_gateway& gw) {
    fpi::fault_counter_stats st;
    uint32_t n = 0;
    if (fpi::fault_counter_get_stats(gw.g.fpis.faults, &st, 0))
        for (const fpi::fault_group_stats& gs : st.groups) n += gs.total;
    return n;
}

size_t faults_queued(radio_gateway& gw) {
    std::lock_guard lk(gw.g.fpis.fault_work.m);
    return gw.g.fpis.fault_work.queue.size() + gw.g.fpis.fault_work.busy;
}

// Event telegrams of every FPI (FAULT = 0), acknowledged, then the clock
// steps past the flash transmit period: each FPI's next flash-mode telegram
// counts a fault and turns FAULT to 1.
bool faults_cleared(radio_gateway& gw, std::initializer_list<int> slaves) {
    for (int s : slaves)
        if (!gw.acknowledged(uint8_t(s), gw.event_frame(uint8_t(s), 0))) return false;
    clock_offset_ms += flash_period_ms(gw) + 1000;
    return true;
}

// ---------------------------------------------------------------------------

bool part_faults() {
    constexpr int kFaults = 100;
    radio_gateway gw(100, true, "fpigate-latency-faults");
    master ms;
    std::fprintf(out, "faults: %d flash-mode telegrams, FPIs 1-9 in turn; data_dir %s (%s)\n", kFaults,
                 gw.dir.path.c_str(), fs_type(gw.dir.path).c_str());
    if (!prepare(gw, ms, "faults")) return false;
    const uint32_t counted_before = faults_counted(gw);
    std::vector<int64_t> lat;
    long lost = 0;
    size_t most_queued = 0;
    for (int k = 0; k < kFaults; ++k) {
        const uint8_t slave = uint8_t(1 + k % kSlaves);
        if (!faults_cleared(gw, {slave})) {
            std::fprintf(out, "faults: %s\n", gw.problem.c_str());
            return false;
        }
        const uint64_t before = ms.fault_on[slave];
        const int64_t last = write_at_line_pace(gw.fd(), gw.event_frame(slave, 0, rf::CMD_FLASH_MODE));
        if (wait_until([&] { return ms.fault_on[slave] > before; }, milliseconds(2000), kPoll))
            lat.push_back(ms.fault_on_ns[slave] - last);
        else
            ++lost;
        most_queued = std::max(most_queued, faults_queued(gw));
    }
    const uint32_t counted_running = faults_counted(gw) - counted_before;
    gw.stop();  // the fault worker counts what is still queued
    const uint32_t counted = faults_counted(gw) - counted_before;
    print_quantiles("flash-mode telegram to FAULT = 1 (ms)", lat, 1e6, "ms", lost);
    std::fprintf(out, "  faults counted: %u while running (500 ms pause each), %u after the stop; up to %zu queued "
                      "for the fault worker\n",
                 counted_running, counted, most_queued);
    return true;
}

bool part_nine() {
    constexpr int kRounds = 5;
    radio_gateway gw(100, true, "fpigate-latency-nine");
    master ms;
    std::fprintf(out, "nine: FPIs 1-9 flashing 30 ms apart, %d rounds\n", kRounds);
    if (!prepare(gw, ms, "nine")) return false;
    std::vector<int64_t> ninth, each;
    long lost = 0;
    for (int r = 0; r < kRounds; ++r) {
        if (!faults_cleared(gw, {1, 2, 3, 4, 5, 6, 7, 8, 9})) {
            std::fprintf(out, "nine: %s\n", gw.problem.c_str());
            return false;
        }
        std::array<uint64_t, kSlaves + 1> before{};
        std::array<int64_t, kSlaves + 1> sent{};
        for (int s = 1; s <= kSlaves; ++s) before[size_t(s)] = ms.fault_on[size_t(s)];
        const auto start = steady::now();
        for (int s = 1; s <= kSlaves; ++s) {
            pace_until(start + milliseconds(30 * (s - 1)));
            sent[size_t(s)] = write_at_line_pace(gw.fd(), gw.event_frame(uint8_t(s), 0, rf::CMD_FLASH_MODE));
        }
        const bool all = wait_until(
            [&] {
                for (int s = 1; s <= kSlaves; ++s)
                    if (ms.fault_on[size_t(s)] == before[size_t(s)]) return false;
                return true;
            },
            milliseconds(5000), kPoll);
        if (!all) {
            ++lost;
            continue;
        }
        int64_t last_arrival = 0;
        for (int s = 1; s <= kSlaves; ++s) {
            last_arrival = std::max<int64_t>(last_arrival, ms.fault_on_ns[size_t(s)]);
            each.push_back(ms.fault_on_ns[size_t(s)] - sent[size_t(s)]);
        }
        ninth.push_back(last_arrival - sent[kSlaves]);
        std::fprintf(out, "  round %d: ninth FAULT = 1 %.3f ms after the last telegram; %zu counts queued\n", r + 1,
                     double(ninth.back()) / 1e6, faults_queued(gw));
    }
    print_quantiles("last telegram to the ninth FAULT = 1 (ms)", ninth, 1e6, "ms", lost);
    print_quantiles("each telegram to its FAULT = 1 (ms)", each, 1e6, "ms", 0);
    return true;
}

// A process that spins on the second core until killed; -1 when there is no
// second core or no process.
pid_t start_burner() {
    if (std::thread::hardware_concurrency() < 2) return -1;
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(1, &set);
    ::sched_setaffinity(0, sizeof set, &set);
    volatile uint64_t n = 0;
    for (;;) n = n + 1;
}

void stop_burner(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

bool rf_run(bool burner, bool synced = true) {
    constexpr int kFrames = 1000;
    radio_gateway gw(0, synced, "fpigate-latency-rf");
    master ms;
    if (!prepare(gw, ms, "rf")) return false;
    const pid_t burner_pid = burner ? start_burner() : -1;
    if (burner && burner_pid < 0) std::fprintf(out, "  (no second core: no burner)\n");
    std::vector<int64_t> lat;
    long lost = 0, unacked = 0;
    for (int k = 1; k <= kFrames; ++k) {
        const uint8_t slave = uint8_t(1 + k % kSlaves);
        const uint64_t acked = gw.acks[slave];
        const int64_t last = write_at_line_pace(gw.fd(), gw.event_frame(slave, uint16_t(k)));
        if (wait_until([&] { return ms.mean_ns[size_t(k)] != 0; }, milliseconds(2000), kPoll))
            lat.push_back(ms.mean_ns[size_t(k)] - last);
        else
            ++lost;
        if (!wait_until([&] { return gw.acks[slave] > acked; }, milliseconds(2000), kPoll)) ++unacked;
    }
    stop_burner(burner_pid);
    logs::log_flush(gw.g.stores);
    uint32_t rf_entries;
    {
        std::lock_guard lk(gw.g.stores.rf_log_lock);
        rf_entries = gw.g.stores.rf_fpi_db.header.count;
    }
    print_quantiles(!synced  ? "the same, RF log not synced (us)"
                    : burner ? "RF last byte to spontaneous ASDU, burner (us)"
                             : "RF last byte to spontaneous ASDU (us)",
                    lat, 1e3, "us", lost);
    std::fprintf(out, "  %ld without ACK; RF log holds %u entries after the run\n", unacked, rf_entries);
    return true;
}

bool part_rf() {
    {
        test_support::temp_dir probe("fpigate-latency-probe");
        std::fprintf(out, "rf: 1000 event telegrams, each on a quiet line, downlink pause 0, RF log synced; "
                          "data_dir under %s (%s)\n",
                     probe.path.parent_path().c_str(), fs_type(probe.path).c_str());
    }
    // The last run, without syncs, tells the machine's own noise from what
    // the disk costs.
    return rf_run(false) && rf_run(true) && rf_run(false, false);
}

// ---------------------------------------------------------------------------

size_t queued_bytes(logs::log_stores& stores) {
    std::lock_guard lk(stores.writer.m);
    return stores.writer.queued_bytes;
}

// First parameter writes of sets, each cleared after its ACT_CON.
bool parameter_writes(radio_gateway& gw, master& ms, int writes, const char* what, size_t* min_queued) {
    std::vector<int64_t> lat;
    long lost = 0;
    const uint64_t negative_before = ms.act_con_negative;
    for (int k = 0; k < writes; ++k) {
        const int slave = 1 + k % kSlaves;
        if (min_queued) *min_queued = std::min(*min_queued, queued_bytes(gw.g.stores));
        const uint64_t before = ms.act_con;
        const iec104::Asdu a = iec104::set_point_short(ms.app, 1, uint32_t(slave * 100 + kVoltageRow), 11.5f);
        const int64_t sent = now_ns();
        if (!iec104::client_send(*ms.client, a)) return false;
        if (wait_until([&] { return ms.act_con > before; }, milliseconds(2000), kPoll))
            lat.push_back(ms.act_con_ns - sent);
        else
            ++lost;
        fpi::infoset_clear(gw.g.fpis, slave);
        std::this_thread::sleep_for(milliseconds(2));
    }
    print_quantiles(what, lat, 1e3, "us", lost);
    if (ms.act_con_negative != negative_before)
        std::fprintf(out, "  %llu negative ACT_CON\n", (unsigned long long)(ms.act_con_negative - negative_before));
    return true;
}

// Records the RF reader would make of 512-byte reads it refused, queued
// through rf_data_add until the writer has `bytes` queued (or `go_on` is
// cleared). Returns how many.
constexpr size_t kBacklogRead = 512;
constexpr const char* kBacklogText = "Group ID is not matching";
constexpr size_t kBacklogRecord = logs::rf_fpi_fixed_size + kBacklogRead + 24;  // 24: the text

uint64_t queue_backlog(radio_gateway& gw, size_t bytes, const std::atomic<bool>& go_on) {
    logs::log_stores& stores = gw.g.stores;
    std::vector<uint8_t> read(kBacklogRead);
    for (size_t i = 0; i < read.size(); ++i) read[i] = uint8_t(i * 7);
    uint64_t n = 0;
    while (go_on && queued_bytes(stores) < bytes) {
        for (int i = 0; i < 100; ++i, ++n) {
            std::lock_guard lk(stores.rf_data_lock);
            logs::rf_data_add(stores, read, rf::rf_frame_time(gw.g.radio), 0, 0, 0, 0, kBacklogText, nullptr,
                              nullptr);
        }
    }
    return n;
}

uint64_t committed(logs::log_stores& stores) {
    std::lock_guard lk(stores.writer.m);
    return stores.writer.committed;
}

bool part_param() {
    constexpr int kWrites = 500;
    constexpr size_t kBacklog = size_t(10) << 20;
    radio_gateway gw(100, true, "fpigate-latency-param");
    master ms;
    std::fprintf(out, "param: %d first parameter writes (C_SE_NC_1 to VOLTAGE of FPIs 1-9 in turn)\n", kWrites);
    if (!prepare(gw, ms, "param")) return false;
    if (!parameter_writes(gw, ms, kWrites, "ACT_CON, writer idle (us)", nullptr)) return false;
    logs::log_stores& stores = gw.g.stores;

    // The writer busy: another thread queues RF log records as fast as it
    // can whenever fewer than 10 MiB are queued.
    std::atomic<bool> filling{true};
    std::atomic<uint64_t> appended{0};
    std::thread filler([&] {
        while (filling) {
            appended += queue_backlog(gw, kBacklog + kBacklog / 10, filling);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    wait_until([&] { return queued_bytes(stores) >= kBacklog; }, milliseconds(20000));
    uint64_t committed_before = committed(stores);
    size_t min_queued = SIZE_MAX;
    auto t0 = steady::now();
    bool ok = parameter_writes(gw, ms, kWrites, "ACT_CON, writer busy, refilled to 11 MiB (us)", &min_queued);
    double s = std::chrono::duration<double>(steady::now() - t0).count();
    filling = false;
    filler.join();
    std::fprintf(out, "  queued at the writes: at least %.1f MiB; the writer committed %.0f entries/s meanwhile "
                      "(%.1f MiB/s)\n",
                 double(min_queued) / (1 << 20), double(committed(stores) - committed_before) / s,
                 double(committed(stores) - committed_before) * kBacklogRecord / s / (1 << 20));
    logs::log_flush(stores);

    // The writer stalled: this thread holds the RF log's lock, which the
    // writer takes to commit a group, while 10 MiB are queued; the flash
    // that stops answering for a while.
    {
        std::unique_lock stall(stores.rf_log_lock);
        const std::atomic<bool> go_on{true};
        appended += queue_backlog(gw, kBacklog, go_on);
        min_queued = SIZE_MAX;
        committed_before = committed(stores);
        ok = ok && parameter_writes(gw, ms, kWrites, "ACT_CON, writer stalled, 10 MiB queued (us)", &min_queued);
        std::fprintf(out, "  queued at the writes: at least %.1f MiB; the writer committed %llu entries meanwhile\n",
                     double(min_queued) / (1 << 20), (unsigned long long)(committed(stores) - committed_before));
    }
    logs::log_flush(stores);
    std::fprintf(out, "  %llu backlog records of %zu bytes queued in all\n", (unsigned long long)appended.load(),
                 kBacklogRecord);
    return ok;
}

// ---------------------------------------------------------------------------

struct csv_rows {
    int rows = -1;
    std::string first, last;
};

csv_rows export_rows(int (*exporter)(logs::log_stores&, const std::string&), logs::log_stores& stores,
                     const std::string& path) {
    csv_rows r;
    r.rows = exporter(stores, path);
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // the header
    for (bool first = true; std::getline(in, line); first = false) {
        if (first) r.first = line;
        r.last = line;
    }
    return r;
}

// The sequence number (I_MEAN) of the frames a row of the RF export holds.
std::string rf_row_frames(const std::string& row) {
    const size_t a = row.find(",\"");
    const size_t b = a == std::string::npos ? a : row.find('"', a + 2);
    if (b == std::string::npos) return "?";
    const std::string hex = row.substr(a + 2, b - a - 2);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    rf::rf_parser p;
    rf::rf_parser_reset(p);
    std::string seqs;
    for (size_t at = 0; at < bytes.size();) {
        size_t used = 0;
        const int rc = rf::rf_parser_feed(p, bytes.data() + at, bytes.size() - at, &used);
        at += used;
        if (rc <= 0) {
            if (used == 0) break;
            continue;
        }
        rf::rf_frame f;
        rf::event_data e;
        if (rf::rf_frame_decode(p.buffer.data(), size_t(rc), &f) == 0 && rf::rf_payload_decode_as(f, e) == 0)
            seqs += (seqs.empty() ? "" : "+") + std::to_string(e.i_mean);
    }
    return seqs.empty() ? "?" : seqs;
}

// Session k of a master on a raw TCP connection from 127.1.(k / 250).(k % 250
// + 1), so that its log entries tell which session they are: connect,
// STARTDT act, its confirmation, close. False when it failed.
bool master_session(uint16_t port, long k) {
    core::unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7F010000u | uint32_t(k / 250) << 8 | uint32_t(k % 250 + 1));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return false;
    static const uint8_t startdt_act[6] = {0x68, 0x04, 0x07, 0x00, 0x00, 0x00};
    if (!test_support::write_all(fd.get(), startdt_act, sizeof startdt_act)) return false;
    const bytes con = test_support::read_bytes(fd.get(), 6, kAnswerTimeoutMs);
    return con.size() == 6 && con[2] == 0x0B;
}

// The session a row of the communication export belongs to ("? " when none),
// and what happened.
std::string comm_row_session(const std::string& row) {
    unsigned x = 0, y = 0;
    const size_t at = row.find("with 127.1.");
    if (at == std::string::npos || std::sscanf(row.c_str() + at, "with 127.1.%u.%u:", &x, &y) != 2) return "?";
    const size_t word = row.find("Connection ");
    const std::string what = word == std::string::npos ? "" : row.substr(word + 11, row.find(' ', word + 11) - word - 11);
    return std::to_string(x * 250 + y) + " " + what;
}

bool part_bounds() {
    constexpr long kForeignFrames = 100000, kConnections = 20000, kSystemEvents = 20000;
    radio_gateway gw(100, true, "fpigate-latency-bounds");
    if (!gw.problem.empty()) {
        std::fprintf(out, "bounds: %s\n", gw.problem.c_str());
        return false;
    }
    logs::log_stores& stores = gw.g.stores;
    gw.dir.keep = std::getenv("LATENCY_BENCH_KEEP") != nullptr;
    std::fprintf(out, "bounds: %ld frames of another radio group, %ld connections, %ld system events; data_dir %s (%s)\n",
                 kForeignFrames, kConnections, kSystemEvents, gw.dir.path.c_str(), fs_type(gw.dir.path).c_str());
    const long rss_start = rss_kib();
    const rf::group_id foreign = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E};
    std::atomic<long> frames{0}, connections{0}, failed_connections{0};
    const auto t0 = steady::now();
    // Each frame once the reader has taken the one before: one frame a
    // read, as from a radio at the line's pace, but faster.
    std::thread radio_side([&] {
        const rf::reader_statistics& st = gw.g.radio.reader_stats;
        for (long k = 1; k <= kForeignFrames; ++k) {
            const bytes b = gw.event_frame(uint8_t(1 + k % kSlaves), uint16_t(k % kMeanRange), rf::CMD_EVENT_DATA, &foreign);
            if (!test_support::write_all(gw.fd(), b) ||
                !wait_until([&] { return st.frames.load() >= uint64_t(k); }, milliseconds(kAnswerTimeoutMs),
                            std::chrono::microseconds(20)))
                break;
            ++frames;
        }
    });
    // Each session once the server has let the one before go (a sixth
    // connection would be turned away without an event).
    std::thread master_side([&] {
        for (long k = 0; k < kConnections; ++k) {
            if (!master_session(gw.port(), k)) ++failed_connections;
            ++connections;
            wait_until([&] { return online_slots(gw) == 0; }, milliseconds(kAnswerTimeoutMs),
                       std::chrono::microseconds(50));
        }
    });
    for (long k = 0; k < kSystemEvents; ++k) logs::system_event_db_append(stores, core::wall_clock.now_ms() / 1000, uint32_t(k % 22));
    wait_until([&] { return frames >= kForeignFrames / 2 && connections >= kConnections / 2; }, milliseconds(600000),
               milliseconds(10));
    const long rss_middle = rss_kib();
    radio_side.join();
    master_side.join();
    const double load_s = std::chrono::duration<double>(steady::now() - t0).count();
    // Every frame read and every connection event handed to the log.
    wait_until([&] { return gw.g.radio.reader_stats.frames.load() >= uint64_t(kForeignFrames); },
               milliseconds(60000), milliseconds(10));
    wait_until([&] { return online_slots(gw) == 0; }, milliseconds(10000), milliseconds(10));
    fpigate::comm_logger_wait_idle(gw.g.comm_log, 60000);
    logs::log_flush(stores);
    const long rss_end = rss_kib();

    std::fprintf(out, "  load for %.1f s: %ld frames written, reader refused %llu (other group %llu); %ld connections, "
                      "%ld failed\n",
                 load_s, long(frames), (unsigned long long)gw.g.radio.reader_stats.refused.load(),
                 (unsigned long long)gw.g.radio.reader_stats.refused_group.load(), long(connections),
                 long(failed_connections));
    struct one_log {
        const char* name;
        logs::ring_log& log;
        std::mutex& lock;
        int (*exporter)(logs::log_stores&, const std::string&);
        const char* csv;
    };
    one_log logs_[] = {
        {"RF", stores.rf_fpi_db, stores.rf_log_lock, logs::rf_fpi_db_export_csv, logs::rf_fpi_csv_file},
        {"system", stores.system_event_db, stores.system_log_lock, logs::system_event_db_export_csv,
         logs::system_event_csv_file},
        {"communication", stores.comm_event_db, stores.comm_log_lock, logs::comm_event_db_export_csv,
         logs::comm_event_csv_file},
    };
    for (one_log& l : logs_) {
        std::error_code ec;
        const uintmax_t size = fs::file_size(l.log.data_path, ec);
        uint32_t count;
        uint64_t dropped;
        {
            std::lock_guard lk(l.lock);
            count = l.log.header.count;
            dropped = l.log.dropped;
        }
        const csv_rows r = export_rows(l.exporter, stores, gw.dir / l.csv);
        std::fprintf(out, "  %-13s data file %8ju bytes, bound %8llu (%s); index %u live, %llu dropped; export %d rows\n",
                     l.name, size, (unsigned long long)l.log.limit, size <= l.log.limit ? "within" : "OVER", count,
                     (unsigned long long)dropped, r.rows);
        auto shown = [](const std::string& s) { return s.size() > 110 ? s.substr(0, 110) + "..." : s; };
        std::fprintf(out, "    first: %s\n    last:  %s\n", shown(r.first).c_str(), shown(r.last).c_str());
        if (&l.log == &stores.rf_fpi_db)
            std::fprintf(out, "    frames (I_MEAN = number mod %ld): first row %s, last row %s; the newest 10000: %ld to %ld\n",
                         kMeanRange, rf_row_frames(r.first).c_str(), rf_row_frames(r.last).c_str(),
                         (kForeignFrames - 9999) % kMeanRange, kForeignFrames % kMeanRange);
        if (&l.log == &stores.system_event_db)
            std::fprintf(out, "    events (code = number mod 22): the newest 10000 from %s to %s\n",
                         logs::dio_event_name(uint32_t((kSystemEvents - 10000) % 22)),
                         logs::dio_event_name(uint32_t((kSystemEvents - 1) % 22)));
        if (&l.log == &stores.comm_event_db)
            std::fprintf(out, "    sessions: first row %s, last row %s; %ld sessions of three entries: the newest 10000 "
                              "from session %ld\n",
                         comm_row_session(r.first).c_str(), comm_row_session(r.last).c_str(), kConnections,
                         (3 * kConnections - 9999 + 2) / 3);
    }
    std::fprintf(out, "  RSS: start %ld KiB, middle %ld KiB, end %ld KiB\n", rss_start, rss_middle, rss_end);
    return true;
}

struct part {
    const char* name;
    bool (*run)();
};
constexpr part parts[] = {
    {"faults", part_faults}, {"nine", part_nine}, {"rf", part_rf}, {"param", part_param}, {"bounds", part_bounds},
};

}  // namespace

int main(int argc, char** argv) {
    core::wall_clock = {core::wall_ms, refuse_setting_clock};
    core::monotonic_clock = {shifted_monotonic_ms};
    // Byte times are 87 us: sleeps of this thread may not overshoot by the
    // default 50 us slack.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    ::signal(SIGPIPE, SIG_IGN);
    const int results = detach_stdout("LATENCY_BENCH_LOG");
    if (results < 0 || !(out = ::fdopen(results, "w"))) return 1;
    std::setvbuf(out, nullptr, _IOLBF, 0);

    std::vector<const part*> chosen;
    for (int i = 1; i < argc; ++i) {
        const part* p = nullptr;
        for (const part& q : parts)
            if (std::strcmp(q.name, argv[i]) == 0) p = &q;
        if (!p) {
            std::fprintf(stderr, "usage: latency_bench [faults|nine|rf|param|bounds ...]\n");
            return 2;
        }
        chosen.push_back(p);
    }
    if (chosen.empty())
        for (const part& q : parts) chosen.push_back(&q);
    bool ok = true;
    for (const part* p : chosen) {
        const auto t0 = steady::now();
        ok = p->run() && ok;
        std::fprintf(out, "  (%s: %.1f s)\n", p->name, std::chrono::duration<double>(steady::now() - t0).count());
    }
    return ok ? 0 : 1;
}
