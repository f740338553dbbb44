#include "daemon/gateway.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/clock.h"
#include "config/config_load.h"
#include "daemon/startup_steps.h"
#include "daemon/workers.h"
#include "dio/dio.h"

namespace fpigate {

namespace {

std::atomic<gateway*> sigint_target{nullptr};
// Written by the SIGINT handler (write is async-signal-safe), so that serving
// sees the cleared flag at once. Made once, by sigint_install; kept open.
std::atomic<int> sigint_wake_fd{-1};

// Serving's wait: until SIGINT or for `d` at most.
void serve_wait(std::chrono::milliseconds d) {
    pollfd p{sigint_wake_fd.load(), POLLIN, 0};  // no descriptor (-1): poll only waits
    const auto ms = std::clamp<int64_t>(d.count(), 0, INT32_MAX);
    if (::poll(&p, 1, int(ms)) > 0 && (p.revents & POLLIN)) {
        uint64_t count;
        if (::read(p.fd, &count, sizeof count) < 0) {
            // non-blocking: taken by an earlier wait
        }
    }
}

void start_workers(gateway& g, const gateway_options& opts) {
    std::span<const worker> workers = opts.workers.empty() ? standard_workers() : opts.workers;
    for (const worker& w : workers) {
        try {
            g.threads.emplace_back(w.body, std::ref(g));
            // "top -H" and /proc/PID/task/*/comm show the worker by name (15 characters at most)
            char name[16];
            std::snprintf(name, sizeof name, "%s", w.name);
            ::pthread_setname_np(g.threads.back().native_handle(), name);
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "%s thread: %s\n", w.name, e.what());
        }
        if (w.pause_after) gateway_sleep(g, opts.thread_spacing);
    }
}

}  // namespace

gateway::~gateway() { gateway_stop(*this); }

void gateway_start(gateway& g, config::config& cfg, const gateway_options& opts) {
    g.start_ms = core::monotonic_ms();
    g.cfg = &cfg;
    g.started = true;
    g.running = true;
    g.server_running = false;
    g.cyclic_timer = nullptr;

    // Steps 1-4 (command line, package, derived settings) are done by now.
    if (!core::timers_init(g.timers)) std::fprintf(stderr, "timers_init: %s\n", std::strerror(errno));
    config::fill_do_settings(cfg.dio_points, cfg.dout);
    dio::dio_configure(g.io, cfg);
    services::services_configure(g.services, cfg, g.start_ms);
    open_persistent_stores(g);
    allocate_connection_slots(g);
    build_data_point_table(g);
    start_iec104_server(g);
    reset_contact_table(g);
    start_workers(g, opts);
}

void gateway_serve(gateway& g, const gateway_options& opts) {
    if (!iec104_server_running(g)) {
        std::printf("Starting server failed!\n");
        return;
    }
    g.server_running = true;
    publish_start_values(g);
    // 0 (or less) seconds: the timer stays disarmed and never fires.
    int64_t interval_ms = std::clamp<int64_t>(int64_t(g.cfg->settings.cyclic_time_interval) * 1000,
                                              0, UINT32_MAX);
    g.cyclic_timer = core::timer_add(g.timers, uint32_t(interval_ms), cyclic_transmission, core::timer_periodic, &g);
    while (g.running) serve_wait(opts.wait_step);
    stop_iec104_server(g);
    g.server_running = false;
}

void gateway_stop(gateway& g) {
    if (!g.started) return;
    g.started = false;
    {
        std::lock_guard<std::mutex> lk(g.wake_lock);
        g.running = false;
    }
    g.wake.notify_all();
    wake_blocked_workers(g);
    stop_iec104_server(g);
    for (std::thread& t : g.threads)
        if (t.joinable()) t.join();
    g.threads.clear();
    fpi::fault_worker_stop(g.fpis);  // the faults the RF reader queued are counted and saved
    core::timers_shutdown(g.timers);
    g.cyclic_timer = nullptr;
    destroy_iec104_server(g);
    close_persistent_stores(g);
    gateway* self = &g;
    sigint_target.compare_exchange_strong(self, nullptr);
}

bool gateway_sleep(gateway& g, std::chrono::milliseconds d) {
    std::unique_lock<std::mutex> lk(g.wake_lock);
    g.wake.wait_for(lk, d, [&g] { return !g.running.load(); });
    return g.running;
}

void sigint_handler(int) {
    const int saved_errno = errno;
    static const char line[] = "sigint_handler stop running\n";
    ssize_t n = ::write(STDOUT_FILENO, line, sizeof line - 1);
    if (gateway* g = sigint_target.load()) g->running = false;
    const uint64_t one = 1;
    if (const int fd = sigint_wake_fd.load(); fd >= 0) n = ::write(fd, &one, sizeof one);
    (void)n;
    errno = saved_errno;
}

void sigint_install(gateway* g) {
    sigint_target = g;
    if (sigint_wake_fd.load() < 0) sigint_wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    struct sigaction sa {};
    sa.sa_handler = sigint_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    // procd (and most supervisors) stop a service with SIGTERM: the same
    // orderly stop, so the queued communication log entries are written.
    ::sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace fpigate
