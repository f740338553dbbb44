// CSV export of the three logs, oldest entry first. Each returns the number
// of rows written, or -1 when the CSV file cannot be created.
#pragma once

#include <string>

namespace logs {

// The caller holds app::rf_log_lock.
int rf_fpi_db_export_csv(const std::string& path);
// These two take app::system_log_lock / app::comm_log_lock themselves.
int system_event_db_export_csv(const std::string& path);
int comm_event_db_export_csv(const std::string& path);

}  // namespace logs
