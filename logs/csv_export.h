// CSV export of the three logs, oldest entry first. Each returns the number
// of rows written, or -1 when the CSV file cannot be created or written whole.
#pragma once

#include <string>

#include "logs/stores.h"

namespace logs {

// The export files, in export_dir (/tmp on the gateway).
inline constexpr const char* rf_fpi_csv_file = "rf_fpi_data.csv";
inline constexpr const char* system_event_csv_file = "system_event_data.csv";
inline constexpr const char* comm_event_csv_file = "communication_event_data.csv";

// Each first lets the writer write what is queued, then reads its log with
// its lock taken only for moments.
int rf_fpi_db_export_csv(log_stores& stores, const std::string& path);
int system_event_db_export_csv(log_stores& stores, const std::string& path);
int comm_event_db_export_csv(log_stores& stores, const std::string& path);

}  // namespace logs
