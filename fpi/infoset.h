// FPI parameter ("infoset") exchange. A master writes the nine parameters of
// an FPI one set-point command each; the complete set goes out as one
// CMD_INFO_SET in place of the acknowledgement of the FPI's next wake-up,
// join or event telegram, and the FPI's CMD_INFO_SET_ACK is awaited. Sets
// that stay incomplete, or whose FPI does not wake up in time, are dropped.
// Progress is reported as the FPI's INFOSET_STATUS: 0 started, 1 failed or
// timed out, 2 acknowledged.
// The state lives in the fpi_state: one infoset_exchange per FPI under
// infoset_lock, with the condition variable the infoset thread waits on.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "config/config.h"

namespace fpi {

struct fpi_state;

constexpr int infoset_parameter_count = 9;
constexpr uint16_t infoset_complete_mask = 0x1FF;

struct infoset_parameter {
    uint32_t ioa = 0;
    float value = 0;
    uint32_t type_id = 0;
};

// Where an FPI's exchange stands. A set is collected parameter by parameter
// (collecting) until all nine are in (complete); at the FPI's next telegram
// it goes out (sending) and is cleared, and its acknowledgement is awaited
// (awaiting_ack) until that FPI's CMD_INFO_SET_ACK arrives (acknowledged:
// the infoset thread reports it and the exchange is idle again) or the wait
// times out.
enum class infoset_phase : uint8_t { idle, collecting, complete, sending, awaiting_ack, acknowledged };

// The set of one FPI: idle, collecting, complete or sending.
struct parameter_set {
    infoset_phase phase = infoset_phase::idle;
    uint8_t slave_id = 0;
    uint16_t mask = 0;               // bit k: parameter k written
    uint64_t first_write_ms = 0;     // monotonic
    uint64_t command_time_ms = 0;    // ms since the epoch
    uint64_t complete_ms = 0;        // monotonic
    uint64_t wakeup_deadline_ms = 0;
    std::array<infoset_parameter, infoset_parameter_count> parameters{};
};

// One FPI's exchange, under infoset_lock: the set being collected or sent,
// and where the acknowledgement of the set sent last stands (idle,
// awaiting_ack or acknowledged). A master may collect the next set while the
// last one's acknowledgement is still awaited. Only the FPI's own
// CMD_INFO_SET_ACK moves `sent` on.
struct infoset_exchange {
    parameter_set set;
    infoset_phase sent = infoset_phase::idle;
};

// The parameter index of a data point (0 to 8), or -1 when it is none.
int infoset_parameter_index(const config::fpi_iec104_ioa& point);
bool is_infoset_parameter(const config::fpi_iec104_ioa& point);

// A parameter write from a master: 3 when stored, -1 when the point is no
// parameter, belongs to no FPI 1-9, its value cannot travel to the FPI, or
// the FPI's previous set is being sent at this moment.
int infoset_store_parameter(fpi_state& s, uint32_t ioa, uint32_t type_id, uint64_t time_ms, float value);

// The same checks without storing (a select): 3 when a write would be stored.
int infoset_check_parameter(fpi_state& s, uint32_t ioa, uint32_t type_id, float value);

// At a wake-up, join or event telegram of the FPI: 1 when a complete set was
// pending (and a send attempted), 0 otherwise.
int infoset_send_pending(fpi_state& s, int slave_id);

// The FPI's exchange back to idle: its set dropped, no acknowledgement awaited.
void infoset_clear(fpi_state& s, int slave_id);

// True while the FPI's complete set is being sent.
bool infoset_sending(fpi_state& s, int slave_id);

// The FPI's CMD_INFO_SET_ACK: ends the wait for the set sent to that FPI, if
// one is awaited; otherwise it changes nothing.
void infoset_acknowledged(fpi_state& s, int slave_id);

// Where an FPI's exchange stands; the acknowledgement of a sent set is told
// before a new set collected meanwhile. Idle for ids outside 1-9.
infoset_phase infoset_phase_of(fpi_state& s, int slave_id);
// "idle", "collecting", "complete", "sending", "awaiting_ack", "acknowledged"
const char* infoset_phase_name(infoset_phase p);

// One pass of the infoset thread: the time-outs of the sets, then, when a set
// was sent, the wait for its acknowledgement (infoset_ack_timeout seconds on
// the monotonic clock; with several FPIs awaited, the lowest slave id's). The
// wait also ends, without a status, when `*running` becomes false (the
// daemon stops) or the exchange is cleared.
void infoset_pass(fpi_state& s, const std::atomic<bool>* running = nullptr);

// The thread's body: a pass every 200 ms while `keep_going` says so and some
// FPI's exchange is not idle. With every exchange idle (and `running` given)
// it sleeps until a parameter is stored; it ends when `running` is clear and
// infoset_wake is called.
void infoset_thread(fpi_state& s, bool (*keep_going)(int wait_ms, void* user), void* user, const std::atomic<bool>* running);
void infoset_wake(fpi_state& s);

// Value conversion for the FPI: toward zero into 0..UINT32_MAX (NaN 0), then
// the low bits of the field.
uint32_t infoset_truncate(float v);

}  // namespace fpi
