// The communication log records of the bounded-log tests, numbered: record
// `seq` has the time 1700000000 + seq and a text of `len` letters, so its
// export row tells which record it is and whether it came out whole.
#pragma once

#include <cstdint>
#include <string>

#include "logs/event_logs.h"
#include "logs/records.h"
#include "logs/text.h"

namespace store_test {

inline std::string comm_text(uint64_t seq, size_t len) { return std::string(len, char('a' + seq % 26)); }

// Queues the record; its size in the data file.
inline uint64_t queue_comm(logs::log_stores& stores, uint64_t seq, size_t len) {
    logs::comm_event_db_append(stores, int64_t(1700000000 + seq), comm_text(seq, len).c_str(), -70, 1);
    return logs::comm_event_fixed_size + len;
}

// Its row in the export (local time UTC).
inline std::string comm_row(uint64_t seq, size_t len) {
    char when[32];
    logs::format_timestamp(int64_t(1700000000 + seq), when, sizeof when);
    return std::string(when) + ",\"" + comm_text(seq, len) + "\",-70,Connected\n";
}

inline const char* const comm_csv_header = "Timestamp,IEC Communication Event,RSSI,Data connection status\n";

}  // namespace store_test
