#include "fpi/infoset.h"

#include <strings.h>

#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/clock.h"
#include "fpi/contacts.h"
#include "fpi/supervision.h"
#include "fpi/state.h"
#include "fpi/uplink.h"
#include "outstation/data_points.h"
#include "rf/radio.h"

namespace fpi {

namespace {

constexpr const char* parameter_names[infoset_parameter_count] = {
    "Di_Dt_level", "Imax_Level", "Auto_Reset", "Flash_Time", "INRUSH",
    "VALIDATION",  "VOLTAGE",    "FREQUENCY",  "PERIOD",
};
enum { p_di_dt = 0, p_imax = 1, p_auto_reset, p_flash_time, p_inrush, p_validation, p_voltage = 6, p_frequency, p_period };

// Imax level and mV travel as base-100 pairs.
constexpr uint32_t max_pair_value = 25599;

void clear(parameter_set& s, int slave_id) {
    s = parameter_set{};
    s.slave_id = uint8_t(slave_id);
}

uint32_t converted(int index, float value) {
    return index == p_voltage ? infoset_truncate(value * 10) : infoset_truncate(value);
}

// Fills the record's field of parameter `index`.
void fill(rf::infoset_data& d, int index, float value) {
    const uint32_t v = converted(index, value);
    switch (index) {
    case p_di_dt: d.di_dt_level = uint8_t(v); break;
    case p_imax: d.imax_level = uint16_t(v); break;
    case p_auto_reset: d.auto_reset = uint8_t(v); break;
    case p_flash_time: d.flash_time = uint8_t(v); break;
    case p_inrush: d.transient_on = uint8_t(v); break;
    case p_validation: d.validation = uint8_t(v); break;
    case p_voltage: d.mv = uint16_t(v); break;
    case p_frequency: d.frequency = uint8_t(v); break;
    case p_period: d.period = uint8_t(v); break;
    }
}

}  // namespace

uint32_t infoset_truncate(float v) {
    if (std::isnan(v) || v <= 0) return 0;
    if (v >= 4294967295.0f) return UINT32_MAX;
    return uint32_t(v);
}

int infoset_parameter_index(const config::fpi_iec104_ioa& point) {
    if (!point.ioa_name) return -1;
    for (int k = 0; k < infoset_parameter_count; ++k)
        if (strcasecmp(point.ioa_name->c_str(), parameter_names[k]) == 0) return k;
    return -1;
}

bool is_infoset_parameter(const config::fpi_iec104_ioa& point) { return infoset_parameter_index(point) >= 0; }

namespace {

// The parameter index of a write that can be stored, or -1.
int acceptable(fpi_state& fs, uint32_t ioa, uint32_t type_id, float value, const config::fpi_iec104_ioa*& point) {
    point = outstation::data_point_lookup(fs.station, int32_t(ioa), int32_t(type_id));
    if (!point) return -1;
    const int k = infoset_parameter_index(*point);
    if (k < 0 || !valid_slave(point->slave_id)) return -1;
    // A value the FPI's 16-bit base-100 pair cannot carry would reach it as another number.
    if ((k == p_imax || k == p_voltage) && converted(k, value) > max_pair_value) return -1;
    return k;
}

// The set is on its way to the FPI and is cleared once sent: a write now
// would vanish with it, so it is refused and the master told. Under infoset_lock.
bool being_sent(const parameter_set& s, int slave) {
    if (s.phase != infoset_phase::sending) return false;
    std::printf("Infoset parameters of slave %d are being sent, write refused\n", slave);
    return true;
}

}  // namespace

int infoset_check_parameter(fpi_state& fs, uint32_t ioa, uint32_t type_id, float value) {
    const config::fpi_iec104_ioa* point = nullptr;
    if (acceptable(fs, ioa, type_id, value, point) < 0) return -1;
    std::lock_guard lk(fs.infoset_lock);
    return being_sent(fs.infosets[size_t(point->slave_id - 1)].set, point->slave_id) ? -1 : 3;
}

int infoset_store_parameter(fpi_state& fs, uint32_t ioa, uint32_t type_id, uint64_t time_ms, float value) {
    const config::fpi_iec104_ioa* point = nullptr;
    const int k = acceptable(fs, ioa, type_id, value, point);
    if (k < 0) return -1;
    const int slave = point->slave_id;
    const uint64_t now = core::monotonic_ms();
    std::lock_guard lk(fs.infoset_lock);
    parameter_set& s = fs.infosets[size_t(slave - 1)].set;
    if (being_sent(s, slave)) return -1;
    if (s.phase == infoset_phase::idle) {
        clear(s, slave);
        s.phase = infoset_phase::collecting;
        s.first_write_ms = now;
        report_infoset_status(fs, slave, 1);
        report_infoset_status(fs, slave, 0);
        fs.infoset_changed.notify_all();  // a sleeping infoset thread has a set to time
    }
    s.parameters[size_t(k)] = {ioa, value, type_id};
    s.command_time_ms = time_ms;
    s.mask = uint16_t(s.mask | 1u << k);
    if (s.mask == infoset_complete_mask) {
        std::printf("Received all infoset parameters successfully.\n");
        s.phase = infoset_phase::complete;
        if (s.complete_ms == 0) s.complete_ms = now;
        const int period = get_wakeup_period(fs, slave);
        const uint64_t allowance = period != 0 ? uint64_t(period) * 60000
                                               : uint64_t(fs.cfg ? fs.cfg->derived.infoset_wakeup_fallback_timeout_ms : 0);
        s.wakeup_deadline_ms = s.complete_ms + allowance;
    }
    return 3;
}

int infoset_send_pending(fpi_state& fs, int slave_id) {
    if (!valid_slave(slave_id)) return 0;
    infoset_exchange& x = fs.infosets[size_t(slave_id - 1)];
    {
        std::lock_guard lk(fs.infoset_lock);
        if (x.set.phase != infoset_phase::complete) return 0;
    }
    std::lock_guard write_lock(fs.infoset_write_lock);
    parameter_set copy;
    {
        std::lock_guard lk(fs.infoset_lock);
        if (x.set.phase != infoset_phase::complete) return 1;
        x.set.phase = infoset_phase::sending;
        copy = x.set;
    }

    rf::infoset_data d;
    bool foreign = false;
    bool sent = false;
    for (int k = 0; k < infoset_parameter_count && !foreign; ++k) {
        const infoset_parameter& p = copy.parameters[size_t(k)];
        const config::fpi_iec104_ioa* point =
            outstation::data_point_lookup(fs.station, int32_t(p.ioa), int32_t(p.type_id));
        if (!point) continue;
        if (point->slave_id != slave_id) {
            foreign = true;
            break;
        }
        const int field = infoset_parameter_index(*point);
        if (field >= 0) fill(d, field, p.value);
    }
    if (!foreign) {
        rf::rf_local_time_at(time_t(copy.command_time_ms / 1000), &d.date, nullptr);
        const auto& location = fs.cfg->derived.locations[size_t(slave_id - 1)];
        if (location && location->size() == d.location.size()) {
            std::printf("Setting location from configuration\n");
            std::memcpy(d.location.data(), location->data(), d.location.size());
        } else {
            std::printf("Setting default location: C001                 \n");
            std::memcpy(d.location.data(), "C001                ", d.location.size());
        }
        const config::config& cfg = *fs.cfg;
        sent = rf::send_command_frame(fs.radio, cfg.derived.group_id_bytes, uint8_t(cfg.derived.rtu_id & 0xFF),
                                      uint8_t(slave_id), rf::CMD_INFO_SET, d) > 0;
    }
    std::lock_guard lk(fs.infoset_lock);
    clear(x.set, slave_id);
    // A set sent again before the FPI acknowledged the last one is awaited
    // in its place: the FPI's next acknowledgement ends the wait, which
    // carries on if the infoset thread is in it already.
    if (sent) {
        x.sent = infoset_phase::awaiting_ack;
        fs.infoset_changed.notify_all();
    }
    return 1;
}

void infoset_clear(fpi_state& fs, int slave_id) {
    if (!valid_slave(slave_id)) return;
    std::lock_guard lk(fs.infoset_lock);
    infoset_exchange& x = fs.infosets[size_t(slave_id - 1)];
    clear(x.set, slave_id);
    x.sent = infoset_phase::idle;
    fs.infoset_changed.notify_all();  // a wait for its acknowledgement ends
}

bool infoset_sending(fpi_state& fs, int slave_id) {
    if (!valid_slave(slave_id)) return false;
    std::lock_guard lk(fs.infoset_lock);
    return fs.infosets[size_t(slave_id - 1)].set.phase == infoset_phase::sending;
}

void infoset_acknowledged(fpi_state& fs, int slave_id) {
    if (!valid_slave(slave_id)) return;
    std::lock_guard lk(fs.infoset_lock);
    infoset_exchange& x = fs.infosets[size_t(slave_id - 1)];
    if (x.sent != infoset_phase::awaiting_ack) return;
    x.sent = infoset_phase::acknowledged;
    fs.infoset_changed.notify_all();
}

infoset_phase infoset_phase_of(fpi_state& fs, int slave_id) {
    if (!valid_slave(slave_id)) return infoset_phase::idle;
    std::lock_guard lk(fs.infoset_lock);
    const infoset_exchange& x = fs.infosets[size_t(slave_id - 1)];
    return x.sent != infoset_phase::idle ? x.sent : x.set.phase;
}

const char* infoset_phase_name(infoset_phase p) {
    switch (p) {
    case infoset_phase::idle: return "idle";
    case infoset_phase::collecting: return "collecting";
    case infoset_phase::complete: return "complete";
    case infoset_phase::sending: return "sending";
    case infoset_phase::awaiting_ack: return "awaiting_ack";
    case infoset_phase::acknowledged: return "acknowledged";
    }
    return "idle";
}

namespace {

// The first FPI whose sent set is awaiting its acknowledgement or has it
// (the thread has yet to report it), 0 when none. Under infoset_lock.
int first_sent(const fpi_state& fs) {
    for (int i = 0; i < slave_count; ++i)
        if (fs.infosets[size_t(i)].sent != infoset_phase::idle) return i + 1;
    return 0;
}

}  // namespace

void infoset_pass(fpi_state& fs, const std::atomic<bool>* running) {
    const uint64_t now = core::monotonic_ms();
    std::unique_lock lk(fs.infoset_lock);
    for (int i = 0; i < slave_count; ++i) {
        parameter_set& s = fs.infosets[size_t(i)].set;
        bool timed_out = false;
        if (s.phase == infoset_phase::complete) {
            if (s.wakeup_deadline_ms != 0 && s.wakeup_deadline_ms <= now) {
                std::printf("Wakeup infoset timeout for the slave %d\n", i + 1);
                timed_out = true;
            }
        } else if (s.phase == infoset_phase::collecting &&
                   now - s.first_write_ms >= uint64_t(fs.cfg ? fs.cfg->derived.infoset_param_timeout_ms : 0)) {
            std::printf("Infoset paramters timeout for the slave %d\n", i + 1);
            timed_out = true;
        }
        if (timed_out) {
            report_infoset_status(fs, i + 1, 1);
            clear(s, i + 1);
        }
    }
    const int slave = first_sent(fs);
    if (slave == 0) return;
    infoset_exchange& x = fs.infosets[size_t(slave - 1)];
    const int timeout_s = fs.cfg ? fs.cfg->derived.infoset_ack_timeout : 0;
    const uint64_t deadline = core::monotonic_ms() + uint64_t(timeout_s < 0 ? 0 : timeout_s) * 1000;
    lk.unlock();
    std::printf("Waiting for infoset command response...\n");
    lk.lock();
    // Only this FPI's acknowledgement moves x.sent on. The monotonic clock is
    // looked at in slices (it may be another than the condition variable's),
    // and so is a stop of the daemon.
    bool stopped = false;
    while (x.sent == infoset_phase::awaiting_ack && core::monotonic_ms() < deadline) {
        if (running && !running->load()) {
            stopped = true;
            break;
        }
        fs.infoset_changed.wait_for(lk, std::chrono::milliseconds(100));
    }
    const infoset_phase outcome = x.sent;
    // Cleared meanwhile: nothing left to report.
    if (stopped || outcome == infoset_phase::idle) return;
    x.sent = infoset_phase::idle;
    lk.unlock();
    if (outcome == infoset_phase::acknowledged) {
        std::printf("Infoset successful.\n");
        report_infoset_status(fs, slave, 2);
    } else {
        std::printf("Timeout! Infoset command response not received.\n");
        report_infoset_status(fs, slave, 1);
    }
}

namespace {

// With every exchange idle there is nothing to time out or wait for: sleeps
// until a parameter is stored or the daemon stops (false). `at_once`: the
// next pass is due now, not after the pause.
bool wait_while_idle(fpi_state& fs, const std::atomic<bool>& running, bool& at_once) {
    auto busy = [&fs] {
        for (const infoset_exchange& x : fs.infosets)
            if (x.set.phase != infoset_phase::idle || x.sent != infoset_phase::idle) return true;
        return false;
    };
    at_once = false;
    std::unique_lock lk(fs.infoset_lock);
    if (busy()) return true;
    fs.infoset_changed.wait(lk, [&] { return busy() || !running.load(); });
    at_once = true;
    return running.load();
}

}  // namespace

void infoset_thread(fpi_state& fs, bool (*keep_going)(int wait_ms, void* user), void* user, const std::atomic<bool>* running) {
    for (;;) {
        infoset_pass(fs, running);
        bool at_once = false;
        if (running && !wait_while_idle(fs, *running, at_once)) return;
        if (!at_once && !keep_going(200, user)) return;
    }
}

void infoset_wake(fpi_state& fs) {
    // Under the lock, so that a thread about to wait sees the stop first.
    std::lock_guard lk(fs.infoset_lock);
    fs.infoset_changed.notify_all();
}

}  // namespace fpi
