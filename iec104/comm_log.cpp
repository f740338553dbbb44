#include "iec104/comm_log.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "iec104/cellular.h"
#include "logs/event_logs.h"

namespace outstation {

namespace {

// Far more than a day of connection events; beyond it entries are counted
// and dropped rather than held without bound.
constexpr size_t max_queued = 65536;

struct comm_event {
    int64_t time;
    std::string text;
};

struct comm_logger {
    std::mutex m;
    std::condition_variable cv;
    std::deque<comm_event> queue;
    bool writing = false;
    bool stopping = false;
    uint64_t dropped = 0;
    std::string ubus_socket;
    std::thread thread;
};
comm_logger logger;

void write_loop() {
    std::unique_lock lk(logger.m);
    for (;;) {
        logger.cv.wait(lk, [] { return logger.stopping || !logger.queue.empty(); });
        if (logger.queue.empty()) return;  // stopping, nothing left
        std::deque<comm_event> batch;
        batch.swap(logger.queue);
        const uint64_t dropped = logger.dropped;
        logger.dropped = 0;
        logger.writing = true;
        const std::string socket = logger.ubus_socket;
        lk.unlock();

        if (dropped) std::printf("Communication event log: %llu events dropped\n", (unsigned long long)dropped);
        cellular_reading modem;
        cellular_status(socket, modem);  // 0/0 when it does not answer
        for (const comm_event& e : batch)
            logs::comm_event_db_append(e.time, e.text.c_str(), modem.rssi, modem.data_connectivity);

        lk.lock();
        logger.writing = false;
        logger.cv.notify_all();
    }
}

}  // namespace

void comm_logger_start(const std::string& ubus_socket) {
    std::lock_guard lk(logger.m);
    if (logger.thread.joinable()) return;
    logger.ubus_socket = ubus_socket;
    logger.stopping = false;
    try {
        logger.thread = std::thread(write_loop);
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "comm_logger_start: %s\n", e.what());
    }
}

void comm_logger_post(int64_t time, std::string text) {
    {
        std::unique_lock lk(logger.m);
        if (!logger.thread.joinable()) {
            // No writer (it could not be started): written at once, without
            // asking the modem, rather than held for ever.
            lk.unlock();
            logs::comm_event_db_append(time, text.c_str(), 0, 0);
            return;
        }
        if (logger.queue.size() >= max_queued) {
            ++logger.dropped;
            return;
        }
        logger.queue.push_back({time, std::move(text)});
    }
    logger.cv.notify_all();
}

void comm_logger_stop() {
    {
        std::lock_guard lk(logger.m);
        if (!logger.thread.joinable()) return;
        logger.stopping = true;
    }
    logger.cv.notify_all();
    logger.thread.join();
}

bool comm_logger_wait_idle(int timeout_ms) {
    std::unique_lock lk(logger.m);
    return logger.cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                              [] { return logger.queue.empty() && !logger.writing; });
}

}  // namespace outstation
