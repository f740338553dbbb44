// A counting semaphore whose waiter a stop can end. The semaphore itself is
// a member of the state it belongs to (dcu_reset_sem in dio).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace core {

// A counting semaphore (the part of std::counting_semaphore the daemon uses)
// whose waiter can also be ended by a stop: acquire_while waits for a post
// only while the flag is set, and wake_all makes it look at the flag again,
// so a thread that sleeps here costs nothing until it has work.
class semaphore {
public:
    explicit semaphore(std::ptrdiff_t count) : count_(count) {}
    semaphore(const semaphore&) = delete;
    semaphore& operator=(const semaphore&) = delete;

    void release(std::ptrdiff_t n = 1);
    bool try_acquire();
    template <class Rep, class Period>
    bool try_acquire_for(const std::chrono::duration<Rep, Period>& d) {
        std::unique_lock lk(m_);
        if (!cv_.wait_for(lk, d, [this] { return count_ > 0; })) return false;
        --count_;
        return true;
    }
    // Takes a post; false, with none taken, once `running` is clear and
    // wake_all has been called (or the flag was clear already).
    bool acquire_while(const std::atomic<bool>& running);
    // After the flag of acquire_while has been cleared.
    void wake_all();

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::ptrdiff_t count_;
};


}  // namespace core
