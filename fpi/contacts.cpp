#include "fpi/contacts.h"

#include <mutex>

#include "core/clock.h"
#include "fpi/state.h"

namespace fpi {

void contact_table_init(fpi_state& s) {
    std::lock_guard lk(s.supervision_lock);
    for (int i = 0; i < slave_count; ++i) s.contact_table[size_t(i)] = fpi_contact{uint8_t(i)};
    for (auto& n : s.frames_ok) n.store(0, std::memory_order_relaxed);
}

int get_wakeup_period(fpi_state& s, int slave_id) {
    if (!valid_slave(slave_id)) return 0;
    std::lock_guard lk(s.supervision_lock);
    const fpi_contact& c = s.contact_table[size_t(slave_id - 1)];
    return c.period_known ? c.period : 0;
}

void record_contact(fpi_state& s, int slave_id, int period) {
    const uint64_t now = core::monotonic_ms();
    if (!valid_slave(slave_id)) return;
    std::lock_guard lk(s.supervision_lock);
    fpi_contact& c = s.contact_table[size_t(slave_id - 1)];
    c.index = uint8_t(slave_id - 1);
    c.online = 1;
    c.last_contact_ms = now;
    if (period != 0) c.period = uint8_t(period);
    c.period_known = c.period != 0;
}

void count_frame_ok(fpi_state& s, int slave_id) {
    if (valid_slave(slave_id)) s.frames_ok[size_t(slave_id - 1)].fetch_add(1, std::memory_order_relaxed);
}

uint64_t frames_ok_of(const fpi_state& s, int slave_id) {
    return valid_slave(slave_id) ? s.frames_ok[size_t(slave_id - 1)].load(std::memory_order_relaxed) : 0;
}

}  // namespace fpi
