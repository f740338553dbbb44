#include "app/workers.h"

#include <cstdio>

#include "app/locks.h"
#include "iec104/data_points.h"
#include "logs/event_logs.h"

namespace app {

namespace {

void idle_until_stopped(gateway& g) {
    while (gateway_sleep(g, std::chrono::hours(1))) {
    }
}

const worker table[] = {
    {"DI scanning", di_scanning_thread, true},
    {"DO toggling", do_toggling_thread, true},
    {"RF reader", rf_reader_thread, true},
    {"ubus", ubus_thread, true},
    {"supervision", supervision_thread, true},
    {"infoset", infoset_thread, false},
    {"DCU reset", dcu_reset_thread, false},
};

}  // namespace

void di_scanning_thread(gateway& g) { idle_until_stopped(g); }
void do_toggling_thread(gateway& g) { idle_until_stopped(g); }
void rf_reader_thread(gateway& g) {
    printf("Starting RTU rf device reading...\n");
    {
        // a connection thread may already record an RF status line
        std::lock_guard<std::mutex> lock(rf_log_lock);
        logs::rf_fpi_db_init(g.cfg->settings.data_dir);
    }
    outstation::rtu_ioa_mapping_build(outstation::rtu_ioa_map, g.cfg->fpi_points, stdout);
    idle_until_stopped(g);
}
void ubus_thread(gateway& g) { idle_until_stopped(g); }
void supervision_thread(gateway& g) { idle_until_stopped(g); }
void infoset_thread(gateway& g) { idle_until_stopped(g); }

void dcu_reset_thread(gateway& g) {
    // Waits with a time-out so that a stop is noticed without a post.
    while (g.running) {
        if (!dcu_reset_sem.try_acquire_for(std::chrono::milliseconds(100))) continue;
        if (!g.running) break;
        // one DCU power pulse per post
    }
}

std::span<const worker> standard_workers() { return table; }

}  // namespace app
