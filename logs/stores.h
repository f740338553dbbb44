// The logs of one gateway: the three ring logs and the recent RF data list,
// each beside the lock that guards it.
#pragma once

#include <array>
#include <mutex>

#include "logs/rf_data.h"
#include "logs/ring_log.h"
#include "logs/writer.h"

namespace logs {

// Appends only queue for the writer (logs/writer.h), which alone writes the
// files. rf_data_lock may be held while an entry is queued (the writer's lock
// comes after it); the three log locks guard a log's in-memory header and
// slots, which the writer changes and an export copies, each for a moment.
// The logs are not open until their init (logs/event_logs.h): an entry
// written before it is refused with the log's own message.
struct log_stores {
    std::mutex rf_data_lock;  // the recent RF data list
    rf_data_list recent_rf_data;

    std::mutex rf_log_lock;  // the RF FPI log
    ring_log rf_fpi_db{.kind = &rf_fpi_kind};

    std::mutex system_log_lock;  // the system event log
    ring_log system_event_db{.kind = &system_event_kind};

    std::mutex comm_log_lock;  // the communication event log
    ring_log comm_event_db{.kind = &comm_event_kind};

    log_writer writer;

    log_stores() = default;
    log_stores(const log_stores&) = delete;
    log_stores& operator=(const log_stores&) = delete;
    ~log_stores() { log_writer_stop(*this); }  // writes what is still queued
};

// Each log of the stores with its lock, by log_id: for the writer and the
// export.
struct log_member {
    ring_log log_stores::*log;
    std::mutex log_stores::*lock;
};
inline constexpr std::array<log_member, log_id_count> log_members = {{
    {&log_stores::rf_fpi_db, &log_stores::rf_log_lock},
    {&log_stores::system_event_db, &log_stores::system_log_lock},
    {&log_stores::comm_event_db, &log_stores::comm_log_lock},
}};

}  // namespace logs
