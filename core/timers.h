// The timer service: one thread that polls timerfd timers and runs their
// callbacks, one after another. A periodic timer fires every interval, a
// single-shot timer once (it then stays in the list, disarmed); an interval of
// 0 never fires. Missed expirations are not made up: one callback per pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/unique_fd.h"

namespace core {

struct timer;  // the handle the service returns and hands to callbacks

// Called on the timer thread with the timer and its user data.
using timer_callback = std::function<void(timer* t, void* user_data)>;

inline constexpr int timer_periodic = 1;     // any other kind is single-shot
inline constexpr int timer_single_shot = 0;

struct timer {
    unique_fd fd;  // the timerfd
    timer_callback callback;
    void* user_data = nullptr;
    uint32_t interval_ms = 0;
    int kind = 0;
};

// The timer list (newest first) and the timer thread. `lock` guards the list,
// so that timers may be added and removed while the thread runs.
struct timer_service {
    mutable std::mutex lock;
    std::vector<std::unique_ptr<timer>> timers;
    std::thread thread;
    std::atomic<bool> stop{false};
    unique_fd wake_fd;  // eventfd that ends the thread's poll: list changed, shutdown

    timer_service() = default;
    timer_service(const timer_service&) = delete;
    timer_service& operator=(const timer_service&) = delete;
    ~timer_service();  // timers_shutdown
};

// Starts the timer thread. True when it runs (also when it already ran).
bool timers_init(timer_service& s);

// Arms a timer: first expiry after interval_ms and, for kind timer_periodic,
// every interval_ms after that. Returns nullptr when no timerfd could be made.
timer* timer_add(timer_service& s, uint32_t interval_ms, timer_callback callback, int kind, void* user_data);

// Disarms and frees the timer; it may be called from its own callback.
void timer_remove(timer_service& s, timer* t);

// Removes every timer, then stops and joins the timer thread. Not from a callback.
void timers_shutdown(timer_service& s);

// Number of timers in the list.
int timer_count(const timer_service& s);

}  // namespace core
