// Writes the communication event log entries of the connection events off the
// connection threads. Each entry needs the modem's status, and the cellular
// query may take up to 3 s; a master must not wait for it. Entries are
// written in event order: the writer takes everything queued, asks the modem
// once and writes the entries with that answer.
#pragma once

#include <cstdint>
#include <string>

#include "logs/stores.h"

namespace outstation {

// Where the entries are written: the communication event log of `stores`
// (set before the first entry and cleared after comm_logger_stop; none:
// entries are dropped).
void comm_logger_use_stores(logs::log_stores* stores);
// Starts the writer; the modem is asked on the broker at `ubus_socket`.
void comm_logger_start(const std::string& ubus_socket);
// Queues an entry (time already shifted by asdu_time_offset). An entry
// without the modem's values is written with rssi and data connectivity 0.
void comm_logger_post(int64_t time, std::string text, bool with_modem = true);
// Writes what is queued, then ends the writer. What is not written within 2 s
// (monotonic clock) is dropped with one line ("Communication event log: N
// events not written at exit").
void comm_logger_stop();
// Waits until every posted entry is written; false after timeout_ms.
bool comm_logger_wait_idle(int timeout_ms);

}  // namespace outstation
