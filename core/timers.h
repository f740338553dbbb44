// The timer service: one thread that polls timerfd timers and runs their
// callbacks, one after another. A periodic timer fires every interval, a
// single-shot timer once (it then stays in the list, disarmed); an interval of
// 0 never fires. Missed expirations are not made up: one callback per pass.
#pragma once

#include <cstdint>
#include <functional>

namespace core {

struct timer;  // the handle the service returns and hands to callbacks

// Called on the timer thread with the timer and its user data.
using timer_callback = std::function<void(timer* t, void* user_data)>;

inline constexpr int timer_periodic = 1;     // any other kind is single-shot
inline constexpr int timer_single_shot = 0;

// Starts the timer thread. True when it runs (also when it already ran).
bool timers_init();

// Arms a timer: first expiry after interval_ms and, for kind timer_periodic,
// every interval_ms after that. Returns nullptr when no timerfd could be made.
timer* timer_add(uint32_t interval_ms, timer_callback callback, int kind, void* user_data);

// Disarms and frees the timer; it may be called from its own callback.
void timer_remove(timer* t);

// Removes every timer, then stops and joins the timer thread. Not from a callback.
void timers_shutdown();

// Number of timers in the list.
int timer_count();

}  // namespace core
