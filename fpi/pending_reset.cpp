#include "fpi/pending_reset.h"

#include <array>
#include <cstdio>
#include <mutex>

#include "core/clock.h"
#include "fpi/state.h"
#include "rf/downlink.h"

namespace fpi {

namespace {

// Whether a stored reset is still due at `now`. `now` is read before the
// lock is taken, so a reset stored meanwhile is younger than `now`: fresh,
// not an age that wrapped past the hour.
bool still_due(const pending_reset& r, uint64_t now) {
    return r.pending && (r.stored_ms >= now || now - r.stored_ms <= pending_reset_expiry_ms);
}

}  // namespace

void pending_reset_store(fpi_state& s, uint8_t slave_id) {
    if (!valid_slave(slave_id)) return;
    const uint64_t now = core::monotonic_ms();
    {
        std::lock_guard lk(s.pending_reset_lock);
        s.pending_resets[size_t(slave_id - 1)] = {1, now};
    }
    std::printf("Stored pending RESET command for slave_id %u at monotonic time %llu ms\n", unsigned(slave_id),
                (unsigned long long)now);
}

int pending_reset_check(fpi_state& s, int slave_id) {
    if (!valid_slave(slave_id)) return 0;
    const uint64_t now = core::monotonic_ms();
    std::lock_guard lk(s.pending_reset_lock);
    pending_reset& r = s.pending_resets[size_t(slave_id - 1)];
    if (!r.pending) return 0;
    if (still_due(r, now)) return 1;
    const uint64_t age = now - r.stored_ms;
    r = {};
    std::printf("Pending RESET command expired for slave_id %u, age_ms=%llu\n", unsigned(slave_id),
                (unsigned long long)age);
    return 0;
}

bool pending_reset_waiting(fpi_state& s, int slave_id) {
    if (!valid_slave(slave_id)) return false;
    const uint64_t now = core::monotonic_ms();
    std::lock_guard lk(s.pending_reset_lock);
    return still_due(s.pending_resets[size_t(slave_id - 1)], now);
}

void pending_reset_clear(fpi_state& s, int slave_id) {
    if (!valid_slave(slave_id)) return;
    {
        std::lock_guard lk(s.pending_reset_lock);
        s.pending_resets[size_t(slave_id - 1)] = {};
    }
    std::printf("Cleared pending RESET command for slave_id %u\n", unsigned(slave_id));
}

void pending_reset_process(fpi_state& s, int slave_id) {
    if (!pending_reset_check(s, slave_id)) return;
    std::printf("Pending RESET command found for slave_id %d. Sending reset command...\n", slave_id);
    if (rf::fi_reset_write(s.radio, s.radio.reader.self, slave_id) == 1) {
        std::printf("RESET command sent successfully for slave_id %d\n", slave_id);
        pending_reset_clear(s, slave_id);
    } else {
        std::printf("RESET command send failed for slave_id %d\n", slave_id);
    }
}

}  // namespace fpi
