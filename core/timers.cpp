#include "core/timers.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace core {

struct timer {
    int fd = -1;
    timer_callback callback;
    void* user_data = nullptr;
    uint32_t interval_ms = 0;
    int kind = 0;
};

namespace {

constexpr int max_polled_timers = 1000;

// The timer list (newest first) and the timer thread. The list is guarded so
// that timers may be added and removed while the thread runs.
struct timer_service {
    std::mutex lock;
    std::vector<std::unique_ptr<timer>> timers;
    std::thread thread;
    std::atomic<bool> stop{false};
    int wake_fd = -1;  // eventfd that ends the thread's poll: list changed, shutdown
};

timer_service service;

// The thread polls only the timers it saw: a timer added or removed makes it
// build its poll set again at once. Nothing else ends its wait.
void wake_thread() {
    uint64_t one = 1;
    if (service.wake_fd >= 0 && ::write(service.wake_fd, &one, sizeof one) < 0) {
        // the counter is already non-zero: the thread wakes anyway
    }
}

// Reads the expiry count and returns the callback to run, or nothing when the
// timer is gone or the read did not deliver 8 bytes.
bool take_expiry(int fd, timer*& t, timer_callback& cb, void*& user_data) {
    std::lock_guard<std::mutex> g(service.lock);
    auto it = std::find_if(service.timers.begin(), service.timers.end(),
                           [fd](const std::unique_ptr<timer>& p) { return p->fd == fd; });
    if (it == service.timers.end()) return false;
    uint8_t count[8];
    if (::read(fd, count, sizeof count) != ssize_t(sizeof count)) return false;
    t = it->get();
    cb = t->callback;
    user_data = t->user_data;
    return true;
}

void timer_thread() {
    std::vector<pollfd> fds;
    fds.reserve(max_polled_timers + 1);
    while (!service.stop.load()) {
        fds.clear();
        fds.push_back({service.wake_fd, POLLIN, 0});
        {
            std::lock_guard<std::mutex> g(service.lock);
            for (const auto& t : service.timers) {
                if (fds.size() > max_polled_timers) break;
                fds.push_back({t->fd, POLLIN, 0});
            }
        }
        int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready <= 0) continue;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            if (::read(service.wake_fd, &count, sizeof count) < 0) {
                // non-blocking: nothing to take
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            timer* t = nullptr;
            timer_callback cb;
            void* user_data = nullptr;
            if (take_expiry(fds[i].fd, t, cb, user_data) && cb) cb(t, user_data);
        }
    }
}

}  // namespace

bool timers_init() {
    if (service.thread.joinable()) return true;
    service.wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (service.wake_fd < 0) return false;
    service.stop = false;
    try {
        service.thread = std::thread(timer_thread);
        ::pthread_setname_np(service.thread.native_handle(), "timers");
    } catch (const std::system_error&) {
        ::close(service.wake_fd);
        service.wake_fd = -1;
        return false;
    }
    return true;
}

timer* timer_add(uint32_t interval_ms, timer_callback callback, int kind, void* user_data) {
    auto t = std::make_unique<timer>();
    t->fd = ::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
    if (t->fd < 0) return nullptr;
    t->callback = std::move(callback);
    t->user_data = user_data;
    t->interval_ms = interval_ms;
    t->kind = kind;

    itimerspec spec{};
    spec.it_value.tv_sec = time_t(interval_ms / 1000);
    spec.it_value.tv_nsec = long(interval_ms % 1000) * 1000000L;
    if (kind == timer_periodic) spec.it_interval = spec.it_value;
    ::timerfd_settime(t->fd, 0, &spec, nullptr);  // all zero: stays disarmed

    timer* handle = t.get();
    {
        std::lock_guard<std::mutex> g(service.lock);
        service.timers.insert(service.timers.begin(), std::move(t));
    }
    wake_thread();
    return handle;
}

void timer_remove(timer* t) {
    {
        std::lock_guard<std::mutex> g(service.lock);
        auto it = std::find_if(service.timers.begin(), service.timers.end(),
                               [t](const std::unique_ptr<timer>& p) { return p.get() == t; });
        if (it == service.timers.end()) return;
        ::close((*it)->fd);
        service.timers.erase(it);
    }
    wake_thread();
}

void timers_shutdown() {
    {
        std::lock_guard<std::mutex> g(service.lock);
        for (const auto& t : service.timers) ::close(t->fd);
        service.timers.clear();
    }
    if (service.thread.joinable()) {
        service.stop = true;
        wake_thread();
        service.thread.join();
    }
    if (service.wake_fd >= 0) ::close(service.wake_fd);
    service.wake_fd = -1;
}

int timer_count() {
    std::lock_guard<std::mutex> g(service.lock);
    return int(service.timers.size());
}

}  // namespace core
