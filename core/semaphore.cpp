#include "core/semaphore.h"

namespace core {

void semaphore::release(std::ptrdiff_t n) {
    {
        std::lock_guard lk(m_);
        count_ += n;
    }
    if (n == 1)
        cv_.notify_one();
    else
        cv_.notify_all();
}

bool semaphore::try_acquire() {
    std::lock_guard lk(m_);
    if (count_ <= 0) return false;
    --count_;
    return true;
}

bool semaphore::acquire_while(const std::atomic<bool>& running) {
    std::unique_lock lk(m_);
    cv_.wait(lk, [&] { return count_ > 0 || !running.load(); });
    if (!running.load()) return false;
    --count_;
    return true;
}

// Under the lock: a waiter between its look at the flag and its wait cannot
// miss this.
void semaphore::wake_all() {
    std::lock_guard lk(m_);
    cv_.notify_all();
}


}  // namespace core
