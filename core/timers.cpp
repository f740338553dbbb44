#include "core/timers.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>

namespace core {

namespace {

constexpr int max_polled_timers = 1000;

// The thread polls only the timers it saw: a timer added or removed makes it
// build its poll set again at once. Nothing else ends its wait.
void wake_thread(timer_service& s) {
    uint64_t one = 1;
    if (s.wake_fd && ::write(s.wake_fd.get(), &one, sizeof one) < 0) {
        // the counter is already non-zero: the thread wakes anyway
    }
}

// Reads the expiry count and returns the callback to run, or nothing when the
// timer is gone or the read did not deliver 8 bytes.
bool take_expiry(timer_service& s, int fd, timer*& t, timer_callback& cb, void*& user_data) {
    std::lock_guard<std::mutex> g(s.lock);
    auto it = std::find_if(s.timers.begin(), s.timers.end(),
                           [fd](const std::unique_ptr<timer>& p) { return p->fd.get() == fd; });
    if (it == s.timers.end()) return false;
    uint8_t count[8];
    if (::read(fd, count, sizeof count) != ssize_t(sizeof count)) return false;
    t = it->get();
    cb = t->callback;
    user_data = t->user_data;
    return true;
}

void timer_thread(timer_service& s) {
    std::vector<pollfd> fds;
    fds.reserve(max_polled_timers + 1);
    while (!s.stop.load()) {
        fds.clear();
        fds.push_back({s.wake_fd.get(), POLLIN, 0});
        {
            std::lock_guard<std::mutex> g(s.lock);
            for (const auto& t : s.timers) {
                if (fds.size() > max_polled_timers) break;
                fds.push_back({t->fd.get(), POLLIN, 0});
            }
        }
        int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready <= 0) continue;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            if (::read(s.wake_fd.get(), &count, sizeof count) < 0) {
                // non-blocking: nothing to take
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            timer* t = nullptr;
            timer_callback cb;
            void* user_data = nullptr;
            if (take_expiry(s, fds[i].fd, t, cb, user_data) && cb) cb(t, user_data);
        }
    }
}

}  // namespace

timer_service::~timer_service() { timers_shutdown(*this); }

bool timers_init(timer_service& s) {
    if (s.thread.joinable()) return true;
    s.wake_fd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!s.wake_fd) return false;
    s.stop = false;
    try {
        s.thread = std::thread(timer_thread, std::ref(s));
        ::pthread_setname_np(s.thread.native_handle(), "timers");
    } catch (const std::system_error&) {
        s.wake_fd.reset();
        return false;
    }
    return true;
}

timer* timer_add(timer_service& s, uint32_t interval_ms, timer_callback callback, int kind, void* user_data) {
    auto t = std::make_unique<timer>();
    t->fd.reset(::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!t->fd) return nullptr;
    t->callback = std::move(callback);
    t->user_data = user_data;
    t->interval_ms = interval_ms;
    t->kind = kind;

    itimerspec spec{};
    spec.it_value.tv_sec = time_t(interval_ms / 1000);
    spec.it_value.tv_nsec = long(interval_ms % 1000) * 1000000L;
    if (kind == timer_periodic) spec.it_interval = spec.it_value;
    ::timerfd_settime(t->fd.get(), 0, &spec, nullptr);  // all zero: stays disarmed

    timer* handle = t.get();
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.timers.insert(s.timers.begin(), std::move(t));
    }
    wake_thread(s);
    return handle;
}

void timer_remove(timer_service& s, timer* t) {
    {
        std::lock_guard<std::mutex> g(s.lock);
        auto it = std::find_if(s.timers.begin(), s.timers.end(),
                               [t](const std::unique_ptr<timer>& p) { return p.get() == t; });
        if (it == s.timers.end()) return;
        s.timers.erase(it);  // closes its timerfd
    }
    wake_thread(s);
}

void timers_shutdown(timer_service& s) {
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.timers.clear();  // closes every timerfd
    }
    if (s.thread.joinable()) {
        s.stop = true;
        wake_thread(s);
        s.thread.join();
    }
    s.wake_fd.reset();
}

int timer_count(const timer_service& s) {
    std::lock_guard<std::mutex> g(s.lock);
    return int(s.timers.size());
}

}  // namespace core
