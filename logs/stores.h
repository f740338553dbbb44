// The logs of one gateway: the three ring logs and the recent RF data list,
// each beside the lock that guards it.
#pragma once

#include <mutex>

#include "logs/rf_data.h"
#include "logs/ring_log.h"

namespace logs {

// Where two of these locks are held, rf_data_lock comes before rf_log_lock:
// an entry of the recent RF data list is also written to the RF log. The logs
// are not open until their init (logs/event_logs.h): an append before it is
// refused with the log's own message.
struct log_stores {
    std::mutex rf_data_lock;  // the recent RF data list
    rf_data_list recent_rf_data;

    std::mutex rf_log_lock;  // the RF FPI log, taken by the callers of its append and export
    ring_log rf_fpi_db{.kind = &rf_fpi_kind};

    std::mutex system_log_lock;  // the system event log, taken by its append and export
    ring_log system_event_db{.kind = &system_event_kind};

    std::mutex comm_log_lock;  // the communication event log, taken by its append and export
    ring_log comm_event_db{.kind = &comm_event_kind};
};

}  // namespace logs
