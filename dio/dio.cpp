#include "dio/dio.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "core/clock.h"
#include "outstation/reporting.h"
#include "logs/event_logs.h"
#include "logs/records.h"

namespace dio {

namespace {

// dio_event codes for value 1 / value 0.
constexpr std::array<std::array<uint32_t, 2>, input_count> input_codes = {{{0, 6}, {1, 7}, {2, 8}, {3, 9}, {4, 10}}};
constexpr std::array<std::array<uint32_t, 2>, output_count> output_codes = {{{12, 17}, {13, 18}, {14, 19}, {15, 20}, {16, 21}}};

template <size_t N>
void publish(const config::config& cfg, outstation::station& station, const char* gpio_type,
             const std::array<int32_t, N>& v, const std::array<bool, N>& present) {
    const int64_t offset = int64_t(cfg.settings.asdu_time_offset) * 60000;
    size_t k = 0;
    for (const config::iec104_ioa& p : cfg.dio_points) {
        if (!p.gpio_type || *p.gpio_type != gpio_type) continue;
        if (k == N) break;
        if (present[k]) outstation::value_update(station, p.ioa, v[k], p.type_id, core::wall_clock.now_ms() + offset);
        ++k;
    }
}

template <size_t N>
void log_changes(const config::config& cfg, logs::log_stores& stores, const std::array<int32_t, N>& now,
                 const std::array<bool, N>& present, std::array<int32_t, N>& previous, std::array<bool, N>& known,
                 const std::array<std::array<uint32_t, 2>, N>& codes) {
    for (size_t k = 0; k < N; ++k) {
        if (!present[k]) continue;
        if (known[k] && now[k] != previous[k]) {
            const int64_t time = core::wall_clock.now_ms() / 1000 + 60 * int64_t(cfg.settings.asdu_time_offset);
            logs::system_event_db_append(stores, time, codes[k][now[k] != 0 ? 0 : 1]);
        }
        previous[k] = now[k];
        known[k] = true;
    }
}

}  // namespace

void publish_digital_inputs(const config::config& cfg, outstation::station& station,
                            const std::array<int32_t, input_count>& v, const std::array<bool, input_count>& present) {
    publish(cfg, station, "digital_input", v, present);
}

void publish_digital_outputs(const config::config& cfg, outstation::station& station,
                             const std::array<int32_t, output_count>& v, const std::array<bool, output_count>& present) {
    publish(cfg, station, "digital_output", v, present);
}

void dio_configure(dio_state& io, const config::config& cfg) {
    io.cfg = &cfg;
    for (auto& deadline : io.pulse_deadlines) deadline = 0;
}

void di_scan_pass(dio_state& io, scanner_state& s) {
    const config::config& cfg = *io.cfg;
    std::array<int32_t, input_count> in{};
    std::array<bool, input_count> in_present{};
    for (int k = 0; k < input_count; ++k) {
        in_present[size_t(k)] = gpio_present(io, line(DI1 + k));
        int v = gpio_get(io, line(DI1 + k));
        if (cfg.settings.invert_di_values) v = v == 0 ? 1 : 0;
        in[size_t(k)] = v;
    }
    std::array<int32_t, output_count> out{};
    std::array<bool, output_count> out_present{};
    for (int k = 0; k < output_count; ++k) {
        out_present[size_t(k)] = gpio_present(io, line(DO1 + k));
        out[size_t(k)] = gpio_get(io, line(DO1 + k));
    }
    {
        std::lock_guard lk(io.station.value_store_lock);
        publish_digital_inputs(cfg, io.station, in, in_present);
        publish_digital_outputs(cfg, io.station, out, out_present);
    }
    log_changes(cfg, io.stores, in, in_present, s.inputs, s.inputs_known, input_codes);
    log_changes(cfg, io.stores, out, out_present, s.outputs, s.outputs_known, output_codes);
}

void do_toggle_pass(dio_state& io) {
    const config::config& cfg = *io.cfg;
    const uint64_t now = core::monotonic_ms();
    for (int k = 1; k <= output_count; ++k) {
        // A command that drives the output meanwhile waits, so that the
        // toggle action never lands on top of it.
        std::lock_guard lk(io.output_locks[size_t(k - 1)]);
        std::atomic<uint64_t>& deadline = io.pulse_deadlines[size_t(k - 1)];
        const uint64_t due = deadline.load();
        if (due == 0 || int64_t(now - due) < 0) continue;
        deadline = 0;
        if (k >= 2) std::printf("Toggling DO%d pin\n", k);
        const line l = line(DO1 + k - 1);
        switch (cfg.dout.toggle_modes[size_t(k - 1)]) {
        case 1: gpio_set(io, l, 0); break;
        case 2: gpio_set(io, l, 1); break;
        case 3: gpio_set(io, l, gpio_get(io, l) == 0 ? 1 : 0); break;
        default: break;
        }
    }
}

bool do_pulse_pending(const dio_state& io) {
    for (const auto& deadline : io.pulse_deadlines)
        if (deadline.load() != 0) return true;
    return false;
}

bool do_wait_for_pulse(dio_state& io, const std::atomic<bool>& running) {
    std::unique_lock lk(io.pulse_wake_lock);
    io.pulse_wake.wait(lk, [&] { return !running.load() || do_pulse_pending(io); });
    return running.load();
}

// Under the lock, so that a waiter between its look and its wait is not missed.
void do_toggling_wake(dio_state& io) {
    std::lock_guard lk(io.pulse_wake_lock);
    io.pulse_wake.notify_all();
}

bool drive_output(dio_state& io, int k, int32_t value) {
    if (k < 1 || k > output_count) return false;
    {
        std::lock_guard lk(io.output_locks[size_t(k - 1)]);
        if (!gpio_set(io, line(DO1 + k - 1), value)) return false;
        io.pulse_deadlines[size_t(k - 1)] = core::monotonic_ms() + uint64_t(io.cfg->dout.toggle_timeouts[size_t(k - 1)]);
    }
    do_toggling_wake(io);
    return true;
}

bool dcu_reset_pulse(dio_state& io) {
    // The command path refuses a DCU reset without the line; a request from
    // supervision or ubus is told here, not reported as done.
    if (!gpio_present(io, DCU_POWER)) {
        std::fprintf(stderr, "dcu_reset_pulse: the DCU power line is not available\n");
        return false;
    }
    std::printf("Resetting DCU.....\n");
    gpio_set(io, DCU_POWER, 0);
    std::printf("DCU is OFF\n");
    const int64_t pulse = io.cfg->dout.toggle_timeouts[5];
    if (pulse > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pulse));
    gpio_set(io, DCU_POWER, 1);
    std::printf("DCU is ON\n");
    return true;
}

}  // namespace dio
