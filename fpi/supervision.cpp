#include "fpi/supervision.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "core/clock.h"
#include "core/semaphore.h"
#include "fpi/state.h"
#include "fpi/binding.h"
#include "fpi/contacts.h"
#include "fpi/fault_counter.h"
#include "logs/rf_data.h"
#include "rf/radio.h"

namespace fpi {

namespace {

constexpr int pass_interval_ms = 5000;

uint64_t offline_limit(const fpi_contact& c) { return c.last_contact_ms + (uint64_t(c.period) + 1) * 120000; }

// An RF data entry without a frame (a single 0xFF byte) and one published row.
void report(fpi_state& fs, int slave_id, const char* text, int row, int status) {
    const int64_t frame_time = rf::rf_frame_time(fs.radio);
    {
        static constexpr uint8_t no_frame[1] = {0xFF};
        logs::log_stores& stores = fs.stores;
        std::lock_guard lk(stores.rf_data_lock);
        logs::rf_data_add(stores, no_frame, frame_time, uint8_t(slave_id), 0, 0, 0, text, nullptr,
                          nullptr);
    }
    publish_slave_points(fs, single_row_binding(row, status), frame_time * 1000, slave_id);
}

}  // namespace

void supervision_pass(fpi_state& fs, supervision_state& s) {
    const uint64_t now = core::monotonic_ms();
    const time_t wall = time_t(core::wall_clock.now_ms() / 1000);
    tm local{};
    int day = s.previous_day;
    if (localtime_r(&wall, &local)) {
        day = local.tm_yday;
        if (s.previous_day != -1 && s.previous_day != day && fs.cfg)
            publish_fault_totals(fs.faults, fs.station, fs.cfg->aux_points, fs.cfg->settings.asdu_time_offset);
    }

    bool all_offline;
    {
        std::unique_lock lk(fs.supervision_lock);
        for (int id = 1; id <= slave_count; ++id) {
            fpi_contact& c = fs.contact_table[size_t(id - 1)];
            if (c.period_known && c.online && now >= offline_limit(c)) {
                c.online = 0;
                lk.unlock();
                report_slave_offline(fs, id, 0);
                if (fs.cfg && fs.cfg->settings.offline_quality)
                    mark_slave_points_not_topical(fs, rf::rf_frame_time(fs.radio) * 1000, id);
                lk.lock();
            }
        }
        bool any_supervised = false, any_online = false;
        for (const fpi_contact& c : fs.contact_table) {
            if (!c.period_known) continue;
            any_supervised = true;
            any_online |= c.online == 1;
        }
        all_offline = any_supervised && !any_online;
    }
    if (all_offline && !s.all_offline && fs.dcu_reset_sem) fs.dcu_reset_sem->release();
    s.all_offline = all_offline;
    s.previous_day = day;
}

void slave_supervisor(fpi_state& fs, bool (*keep_going)(int wait_ms, void* user), void* user) {
    supervision_state s;
    do {
        supervision_pass(fs, s);
    } while (keep_going(pass_interval_ms, user));
}

void report_slave_offline(fpi_state& fs, int slave_id, int status) {
    std::printf("==== Slave %d is offline ====\n", slave_id);
    char text[128];
    std::snprintf(text, sizeof text, "Slave %d is offline", slave_id);
    report(fs, slave_id, text, row_slave_status, status);
}

void report_infoset_status(fpi_state& fs, int slave_id, int status) {
    std::printf("==== Slave %d infoset status: %d ====\n", slave_id, status);
    char text[128];
    std::snprintf(text, sizeof text, "Slave %d infoset status: %d", slave_id, status);
    report(fs, slave_id, text, row_infoset_status, status);
}

}  // namespace fpi
