// The contact record of each FPI: whether it is online, its wake-up period
// and when it was last heard. Guarded by the fpi_state's supervision_lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace fpi {

constexpr int slave_count = 9;

struct fpi_contact {
    uint8_t index = 0;  // slave id - 1
    uint8_t online = 0;
    uint8_t period = 0;  // minutes, from the last wake-up or join with a non-zero Period
    uint8_t period_known = 0;
    uint64_t last_contact_ms = 0;  // monotonic
    uint64_t last_flash_ms = 0;    // monotonic; the RF reader's own, read and written without the lock
};

struct fpi_state;

inline bool valid_slave(int slave_id) { return slave_id >= 1 && slave_id <= slave_count; }

// Every record to its index, all else 0 (takes supervision_lock), and the
// frame counts to 0.
void contact_table_init(fpi_state& s);

// The wake-up period in minutes when known, else 0 (also for ids outside 1-9).
int get_wakeup_period(fpi_state& s, int slave_id);

// The FPI was heard: online, last contact now, and the period when the frame
// carried one (0 keeps the one known). Ids outside 1-9 are ignored.
void record_contact(fpi_state& s, int slave_id, int period);

// The frames of each FPI handled and recorded "OK" since start (the state's
// frames_ok), counted by the RF reader without a lock; any thread may read them.
void count_frame_ok(fpi_state& s, int slave_id);  // ids outside 1-9 are not counted
uint64_t frames_ok_of(const fpi_state& s, int slave_id);  // 0 for ids outside 1-9

}  // namespace fpi
