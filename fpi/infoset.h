// FPI parameter ("infoset") exchange. A master writes the nine parameters of
// an FPI one set-point command each; the complete set goes out as one
// CMD_INFO_SET in place of the acknowledgement of the FPI's next wake-up,
// join or event telegram, and the FPI's CMD_INFO_SET_ACK is awaited. Sets
// that stay incomplete, or whose FPI does not wake up in time, are dropped.
// Progress is reported as the FPI's INFOSET_STATUS: 0 started, 1 failed or
// timed out, 2 acknowledged.
//
// Locks: infoset_write_lock before infoset_lock; infoset_lock before
// supervision_lock, rf_data_lock and value_store_lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "config/config.h"

namespace fpi {

constexpr int infoset_parameter_count = 9;
constexpr uint16_t infoset_complete_mask = 0x1FF;

// The parameter index of a data point (0 to 8), or -1 when it is none.
int infoset_parameter_index(const config::fpi_iec104_ioa& point);
bool is_infoset_parameter(const config::fpi_iec104_ioa& point);

// A parameter write from a master: 3 when stored, -1 when the point is no
// parameter, belongs to no FPI 1-9, its value cannot travel to the FPI, or
// the FPI's previous set is being sent at this moment.
int infoset_store_parameter(uint32_t ioa, uint32_t type_id, uint64_t time_ms, float value);

// The same checks without storing (a select): 3 when a write would be stored.
int infoset_check_parameter(uint32_t ioa, uint32_t type_id, float value);

// At a wake-up, join or event telegram of the FPI: 1 when a complete set was
// pending (and a send attempted), 0 otherwise.
int infoset_send_pending(int slave_id);

void infoset_clear(int slave_id);

// True while the FPI's complete set is being sent.
bool infoset_sending(int slave_id);

// Where an FPI's exchange stands: no set; a set being collected; a complete
// set waiting for the FPI's next telegram (or being sent); a sent set whose
// CMD_INFO_SET_ACK is awaited. A sent set awaiting its ACK is told before a
// new set collected meanwhile.
enum class infoset_phase { idle, collecting, complete, awaiting_ack };
infoset_phase infoset_phase_of(int slave_id);  // idle for ids outside 1-9
const char* infoset_phase_name(infoset_phase p);  // "idle", "collecting", "complete", "awaiting_ack"

// One pass of the infoset thread: the time-outs of the sets, then, when a set
// was sent, the wait for its acknowledgement (infoset_ack_timeout seconds on
// the monotonic clock). The wait also ends, without a status, when `*running`
// becomes false (the daemon stops).
void infoset_pass(const std::atomic<bool>* running = nullptr);

// The thread's body: a pass every 200 ms while `keep_going` says so and a
// set is collected, waits for its FPI or its ACK is awaited. With none of
// these (and `running` given) it sleeps until a parameter is stored or a set
// is sent; it ends when `running` is clear and infoset_wake is called.
void infoset_thread(bool (*keep_going)(int wait_ms, void* user), void* user, const std::atomic<bool>* running);
void infoset_wake();

// Value conversion for the FPI: toward zero into 0..UINT32_MAX (NaN 0), then
// the low bits of the field.
uint32_t infoset_truncate(float v);

}  // namespace fpi
