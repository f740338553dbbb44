#include "daemon/comm_log.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <system_error>

#include "core/clock.h"
#include "daemon/cellular.h"
#include "logs/event_logs.h"

namespace fpigate {

namespace {

// Far more than a day of connection events; beyond it entries are counted
// and dropped rather than held without bound.
constexpr size_t max_queued = 65536;

// At stop, what is still queued is written for at most this long (plus one
// modem query under way); the rest is counted and dropped. Each entry is
// synced to flash on its own, so a master reconnecting in a tight loop can
// leave tens of thousands queued, and writing them all would hold the exit
// for minutes.
constexpr uint64_t stop_write_ms = 2000;

bool out_of_stop_time(const comm_log_writer& logger) {
    const uint64_t deadline = logger.stop_deadline;
    return deadline != 0 && core::monotonic_ms() >= deadline;
}

void write_loop(comm_log_writer& logger) {
    std::unique_lock lk(logger.m);
    for (;;) {
        logger.cv.wait(lk, [&] { return logger.stopping || !logger.queue.empty(); });
        if (logger.queue.empty()) return;  // stopping, nothing left
        std::deque<comm_event> batch;
        batch.swap(logger.queue);
        const uint64_t dropped = logger.dropped;
        logger.dropped = 0;
        logger.writing = true;
        const std::string socket = logger.ubus_socket;
        logs::log_stores& stores = *logger.stores;  // set by comm_logger_start, before the thread
        lk.unlock();

        if (dropped) std::printf("Communication event log: %llu events dropped\n", (unsigned long long)dropped);
        cellular_reading modem;
        bool asked = false;
        size_t written = 0;
        for (; written < batch.size() && !out_of_stop_time(logger); ++written) {
            const comm_event& e = batch[written];
            if (!e.with_modem) {
                logs::comm_event_db_append(stores, e.time, e.text.c_str(), 0, 0);
                continue;
            }
            if (!asked) cellular_status(socket, modem);  // 0/0 when it does not answer
            asked = true;
            logs::comm_event_db_append(stores, e.time, e.text.c_str(), modem.rssi, modem.data_connectivity);
        }

        lk.lock();
        logger.writing = false;
        logger.cv.notify_all();
        if (written < batch.size()) {
            const size_t left = batch.size() - written + logger.queue.size();
            logger.queue.clear();
            lk.unlock();
            std::printf("Communication event log: %zu events not written at exit\n", left);
            return;
        }
    }
}

}  // namespace

comm_log_writer::~comm_log_writer() { comm_logger_stop(*this); }

void comm_logger_start(comm_log_writer& logger, logs::log_stores& stores, const std::string& ubus_socket) {
    std::lock_guard lk(logger.m);
    if (logger.thread.joinable()) return;
    logger.ubus_socket = ubus_socket;
    logger.stores = &stores;
    logger.stopping = false;
    logger.stop_deadline = 0;
    try {
        logger.thread = std::thread(write_loop, std::ref(logger));
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "comm_logger_start: %s\n", e.what());
    }
}

void comm_logger_post(comm_log_writer& logger, int64_t time, std::string text, bool with_modem) {
    {
        std::unique_lock lk(logger.m);
        if (!logger.thread.joinable()) {
            // No writer (it could not be started): written at once, without
            // asking the modem, rather than held for ever.
            logs::log_stores* const stores = logger.stores;
            lk.unlock();
            if (stores) logs::comm_event_db_append(*stores, time, text.c_str(), 0, 0);
            return;
        }
        if (logger.queue.size() >= max_queued) {
            ++logger.dropped;
            return;
        }
        logger.queue.push_back({time, std::move(text), with_modem});
    }
    logger.cv.notify_all();
}

void comm_logger_stop(comm_log_writer& logger) {
    {
        std::lock_guard lk(logger.m);
        if (!logger.thread.joinable()) return;
        logger.stopping = true;
        logger.stop_deadline = core::monotonic_ms() + stop_write_ms;
    }
    logger.cv.notify_all();
    logger.thread.join();
}

outstation::connection_event_sink comm_logger_sink(comm_log_writer& logger) {
    return [&logger](int64_t time, std::string text, bool with_modem) {
        comm_logger_post(logger, time, std::move(text), with_modem);
    };
}

bool comm_logger_wait_idle(comm_log_writer& logger, int timeout_ms) {
    std::unique_lock lk(logger.m);
    return logger.cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                              [&] { return logger.queue.empty() && !logger.writing; });
}

}  // namespace fpigate
