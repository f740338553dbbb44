// Test support for the digital I/O road: the gateway running in this process
// on the sample configuration with the simulated GPIO chip in a temporary
// directory, a free loopback port and both clocks replaced. By default no
// GPIO thread runs: the fixture opens the lines itself and the tests run the
// DI scanning and DO toggling passes on their own thread, so that every pass
// is deterministic. Standard output is redirected to a file for the
// gateway's lifetime, so that tests can wait for the lines the threads print.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/gateway.h"
#include "daemon/workers.h"
#include "dio/dio.h"
#include "dio/gpio.h"
#include "fpi/infoset.h"
#include "fpi/pending_reset.h"
#include "outstation/server.h"
#include "lib/iec104/commands.h"
#include "logs/csv_export.h"
#include "logs/rf_data.h"
#include "tests/outstation/station.h"
#include "tests/radio/radio.h"
#include "tests/support/capture.h"
#include "tests/support/clocks.h"
#include "tests/support/gateway.h"
#include "tests/support/wait.h"

namespace dio_test {

using station_test::master;
using test_support::fake_epoch_ms;
using test_support::fake_monotonic_clock;
using test_support::fake_wall_clock;
using test_support::stream_tap;
using test_support::wait_until;

// Line offsets on the chip.
constexpr unsigned di4_offset = 22;
constexpr unsigned dcu_offset = 76;
constexpr std::array<unsigned, 5> di_offsets = {10, 14, 16, 22, 21};
constexpr std::array<unsigned, 5> do_offsets = {25, 15, 38, 20, 79};

// Worker tables. A gateway needs at least one worker (an empty table means
// the standard one): the idle ubus body stands in when none should run.
inline const fpigate::worker no_gpio_threads[] = {{"ubus", fpigate::ubus_thread, false}};
inline const fpigate::worker dcu_reset_only[] = {{"DCU reset", fpigate::dcu_reset_thread, false}};
inline const fpigate::worker gpio_threads[] = {{"DI scanning", fpigate::di_scanning_thread, false},
                                           {"DO toggling", fpigate::do_toggling_thread, false},
                                           {"DCU reset", fpigate::dcu_reset_thread, false}};

inline size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// True when the lines appear in this order (others may come between).
inline bool in_order(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& l : lines) {
        at = text.find(l, at);
        if (at == std::string::npos) return false;
        at += l.size();
    }
    return true;
}

// Renames onto files of a directory, counted per name: each write of the
// simulated chip to a line is one. The closes of the temporary files are
// watched too, so that no two renames queue back to back (the kernel merges
// an event into an identical one that is still unread).
struct rename_watch {
    int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::map<std::string, int> counts;
    explicit rename_watch(const std::filesystem::path& dir) { ::inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE); }
    ~rename_watch() { ::close(fd); }
    int of(const std::string& name) {
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                if (e->len > 0 && (e->mask & IN_MOVED_TO)) ++counts[e->name];
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
        return counts[name];
    }
};

struct gateway_options {
    std::function<void(config::config&)> tweak = nullptr;
    std::span<const fpigate::worker> workers = no_gpio_threads;
    // Runs on the chip's directory before the lines are opened.
    std::function<void(const std::filesystem::path&)> prepare_chip = nullptr;
};

inline config::iec104_ioa& dio_point(config::config& cfg, const std::string& name) {
    for (config::iec104_ioa& p : cfg.dio_points)
        if (p.name == name) return p;
    throw std::runtime_error("no digital I/O point " + name);
}
inline config::fpi_iec104_ioa& fpi_point(config::config& cfg, const std::string& name) {
    for (config::fpi_iec104_ioa& p : cfg.fpi_points)
        if (p.name == name) return p;
    throw std::runtime_error("no FPI point " + name);
}

// The gateway without its radio, the simulated chip in dir/gpio.
struct dio_gateway : test_support::gateway_on_pty {
    fake_wall_clock wall;
    fake_monotonic_clock mono;
    std::filesystem::path chip_dir = dir.path / "gpio";
    std::string gpio_errors;  // what opening the lines printed on standard error
    std::unique_ptr<test_support::stream_tap> out;
    bool ok = false;

    explicit dio_gateway(const gateway_options& opts = {})
        : gateway_on_pty({.radio = false, .simulated_chip = true}) {
        test_support::use_utc();
        out = std::make_unique<test_support::stream_tap>(stdout, (dir.path / "stdout.txt").string());
        if (!problem.empty()) return;
        if (opts.tweak) opts.tweak(*cfg);
        std::filesystem::create_directories(chip_dir);
        if (opts.prepare_chip) opts.prepare_chip(chip_dir);
        bool scanner_opens = false;
        for (const fpigate::worker& w : opts.workers) scanner_opens |= w.body == fpigate::di_scanning_thread;
        if (!scanner_opens) {
            testing::internal::CaptureStderr();
            dio::gpio_init(g.io, cfg->settings.gpio_chip);
            gpio_errors = testing::internal::GetCapturedStderr();
        }
        start(opts.workers);
        ok = port() != 0;
    }
    // What was caught on standard output is handed back to it when the test
    // failed, so that failure messages are not lost.
    ~dio_gateway() {
        stop();
        dio::gpio_close(g.io);
        const std::string caught = out->release();
        if (::testing::Test::HasFailure()) std::fwrite(caught.data(), 1, caught.size(), stdout);
    }
    uint16_t port() const { return outstation::server_bound_port(g.station); }
    std::string output() const { return out ? out->text() : std::string(); }
    bool printed(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        return out->wait_for_text(text, limit);
    }

    // The simulated chip's file of a line: 0 or 1, -1 when it is not there.
    int line_file(unsigned offset) const {
        std::ifstream in(chip_dir / std::to_string(offset));
        char c = 0;
        if (!(in >> c)) return -1;
        return c == '0' ? 0 : 1;
    }
    // What a line's file holds, as a writer outside the daemon would set it.
    void set_line_file(unsigned offset, int value) const {
        const auto path = chip_dir / std::to_string(offset);
        const auto tmp = chip_dir / (std::to_string(offset) + ".test");
        std::ofstream(tmp) << value << "\n";
        std::filesystem::rename(tmp, path);
    }

    // The system event log as the CSV export gives it, without its header.
    std::vector<std::string> system_events() {
        const std::string path = (dir.path / logs::system_event_csv_file).string();
        std::vector<std::string> rows;
        if (logs::system_event_db_export_csv(g.stores, path) < 0) return {"export failed"};
        std::ifstream in(path);
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) rows.push_back(line);
        return rows;
    }
};

// A command sent and everything the master got back for it: the ASDUs of
// the command's type that arrived before the answer to a test command sent
// right behind it (replies to one connection go out in order, so an ACT_TERM
// that is going to come has come by then).
struct reply {
    uint8_t cot;
    bool negative;
    bool operator==(const reply&) const = default;
};
inline std::ostream& operator<<(std::ostream& o, const reply& r) {
    return o << "{cot " << int(r.cot) << (r.negative ? " negative}" : " positive}");
}

inline std::vector<iec104::Asdu> exchange_asdus(master& m, const iec104::Asdu& command) {
    static uint16_t marker = 0;
    const uint16_t tsc = ++marker;
    m.clear();
    if (!m.send(command) || !m.send(iec104::test_command(m.app, 1, tsc, fake_epoch_ms))) return {};
    const bool answered = wait_until([&] {
        return m.count([&](const iec104::Asdu& a) {
                   if (a.type != iec104::C_TS_TA_1 || a.cot != iec104::COT_ACTIVATION_CON) return false;
                   const auto o = iec104::get_object(a, m.app, 0);
                   return o && o->value == tsc;
               }) > 0;
    });
    if (!answered) return {};
    std::vector<iec104::Asdu> out;
    for (const iec104::Asdu& a : m.received())
        if (a.type == command.type) out.push_back(a);
    return out;
}

inline std::vector<reply> exchange(master& m, const iec104::Asdu& command) {
    std::vector<reply> out;
    for (const iec104::Asdu& a : exchange_asdus(m, command)) out.push_back({a.cot, a.negative});
    return out;
}

const std::vector<reply> executed = {{iec104::COT_ACTIVATION_CON, false}, {iec104::COT_ACTIVATION_TERMINATION, false}};
const std::vector<reply> accepted = {{iec104::COT_ACTIVATION_CON, false}};
const std::vector<reply> refused = {{iec104::COT_ACTIVATION_CON, true}};
const std::vector<reply> unknown_ioa = {{iec104::COT_UNKNOWN_IOA, true}};

// Every value of a station interrogation by IOA.
inline std::map<uint32_t, int> interrogated(master& m) {
    std::map<uint32_t, int> out;
    for (const iec104::Asdu& a : m.interrogate()) {
        if (a.cot != iec104::COT_INTERROGATED_BY_STATION) continue;
        for (int i = 0; i < a.count; ++i)
            if (const auto o = iec104::get_object(a, m.app, i)) out[o->ioa] = o->value;
    }
    return out;
}

}  // namespace dio_test
