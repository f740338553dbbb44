// Writes the communication event log entries of the connection events off the
// connection threads. Each entry needs the modem's status, and the cellular
// query may take up to 3 s; a master must not wait for it. Entries are
// written in event order: the writer takes everything queued, asks the modem
// once and writes the entries with that answer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "logs/stores.h"
#include "outstation/station.h"

namespace fpigate {

struct comm_event {
    int64_t time;
    std::string text;
    bool with_modem;
};

// The gateway owns one; its thread runs from comm_logger_start to
// comm_logger_stop.
struct comm_log_writer {
    std::mutex m;  // guards the members below (stop_deadline is also read without it)
    std::condition_variable cv;
    std::deque<comm_event> queue;
    bool writing = false;
    bool stopping = false;
    uint64_t dropped = 0;
    std::atomic<uint64_t> stop_deadline{0};  // monotonic ms; 0 until comm_logger_stop
    std::string ubus_socket;
    logs::log_stores* stores = nullptr;  // where the entries go; set by comm_logger_start
    std::thread thread;

    comm_log_writer() = default;
    comm_log_writer(const comm_log_writer&) = delete;
    comm_log_writer& operator=(const comm_log_writer&) = delete;
    ~comm_log_writer();  // stops a writer still running
};

// Starts the writer; the modem is asked on the broker at `ubus_socket`.
void comm_logger_start(comm_log_writer& w, logs::log_stores& stores, const std::string& ubus_socket);
// Queues an entry (time already shifted by asdu_time_offset). An entry
// without the modem's values is written with rssi and data connectivity 0.
void comm_logger_post(comm_log_writer& w, int64_t time, std::string text, bool with_modem = true);
// Writes what is queued, then ends the writer. What is not written within 2 s
// (monotonic clock) is dropped with one line ("Communication event log: N
// events not written at exit").
void comm_logger_stop(comm_log_writer& w);
// Waits until every posted entry is written; false after timeout_ms.
bool comm_logger_wait_idle(comm_log_writer& w, int timeout_ms);

// A station's sink for its connection events: each is posted to `w`.
outstation::connection_event_sink comm_logger_sink(comm_log_writer& w);

}  // namespace fpigate
