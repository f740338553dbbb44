// The configuration record: the sections of the UCI package "fpigate" as typed
// records, the settings derived from the current iec104_slave section, and the
// digital-output settings. Read once at start-up, read-only afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/address_range.h"

namespace config {

// One `config iec104_slave` section. Absent options stay 0 / absent, except
// the host-run options at the end, whose defaults are the gateway's fixed paths.
struct iec104_slave {
    std::string name;  // the section's name (generated for an anonymous section)
    std::optional<std::string> rtu_port;
    int32_t rtu_baud = 0;
    int32_t cyclic_time_interval = 0;
    int32_t no_of_connections = 0;
    int32_t asdu_time_offset = 0;
    int32_t clocksync_time_offset = 0;
    int32_t k = 0;
    int32_t w = 0;
    int32_t t0 = 0;
    int32_t t1 = 0;
    int32_t t2 = 0;
    int32_t t3 = 0;
    int32_t sizeof_cot = 0;
    int32_t oa = 0;
    int32_t ca = 0;
    int32_t sizeof_ca = 0;
    int32_t sizeof_ioa = 0;
    int32_t max_asdu_length = 0;
    int32_t gpio_scan_frequency = 0;
    int32_t invert_di_values = 0;
    std::optional<std::string> group_id;
    std::vector<std::string> location;
    int32_t rtu_id = 0;
    int32_t infoset_param_timeout = 0;
    int32_t infoset_wakeup_fallback_timeout = 0;
    int32_t infoset_ack_timeout = 0;
    int32_t flash_transmit_period = 0;

    // Field additions, off when absent.
    std::optional<std::vector<std::string>> allowed_master;  // IPv4 addresses or CIDR ranges
    int32_t event_buffer = 0;  // spontaneous ASDUs kept per offline slot
    int32_t diagnostics = 0;   // 1: the ubus object "fpigate" (status for field engineers)
    // What masters see of FPIs gone silent and of a restart, off when absent.
    int32_t offline_quality = 0;  // 1: an offline FPI's points carry NT until it is heard again
    int32_t end_of_init = 0;      // 1: M_EI_NA_1 to each slot's first master after start-up
    // Bounds of the logs' data files in KiB (at least 64).
    int32_t rf_log_limit_kb = 4096;
    int32_t system_log_limit_kb = 256;
    int32_t comm_log_limit_kb = 1024;
    // 1: interrogation and cyclic transmission pack the points of a type
    // into as few ASDUs as they fit (SQ = 0 beside sequences).
    int32_t asdu_packing = 0;
    // Commands: 0 leaves them as without the option.
    int32_t select_timeout_ms = 0;  // an execute needs a select of this connection at most this old
    int32_t command_max_age_s = 0;  // a time tag further from the clock refuses the command

    // Host-run options; the defaults are the paths and port of a real gateway.
    std::string data_dir = "/root";     // log files and the fault counter file
    std::string export_dir = "/tmp";    // CSV exports
    int32_t port = 2404;                // IEC 60870-5-104 server port
    std::string gpio_chip = "gpiochip0";  // or "sim:DIR" for the simulated chip
    std::string ubus_socket = "/var/run/ubus/ubus.sock";
};

// `config iec104_ioas`: a digital input or output of the gateway as a data point.
struct iec104_ioa {
    std::string name;
    std::optional<std::string> gpio_type;  // "digital_input" / "digital_output"
    int32_t ioa = 0;
    int32_t type_id = 0;
    int32_t toggle_on = 0;
    int32_t toggle_timeout = 0;
    int32_t address = 0;
};

// `config fpi_iec104_ioas`: one quantity, RESET point or infoset parameter of an FPI.
struct fpi_iec104_ioa {
    std::string name;
    int32_t slave_id = 0;
    std::optional<std::string> ioa_name;
    int32_t ioa = 0;
    int32_t type_id = 0;
};

// `config fpi_aux_iec104_ioas`: position and fault totals.
struct fpi_aux_iec104_ioa {
    std::string name;
    std::optional<std::string> ioa_name;
    int32_t ioa = 0;
    int32_t type_id = 0;
    std::optional<std::string> ioa_value;
};

constexpr int max_locations = 20;
constexpr int max_connections = 50;
constexpr int max_event_buffer = 1000;

// Computed once from the current iec104_slave section.
struct derived_settings {
    std::array<uint8_t, 5> group_id_bytes{};
    std::array<std::optional<std::string>, max_locations> locations{};  // FPI n at n-1
    int location_count = 0;
    uint16_t rtu_id = 0;
    int32_t asdu_time_offset = 0;  // minutes
    int64_t infoset_param_timeout_ms = 0;
    int64_t infoset_wakeup_fallback_timeout_ms = 0;
    int32_t infoset_ack_timeout = 0;  // seconds
    int64_t flash_transmit_period_ms = 0;
    // Masters accepted; absent: every master.
    std::optional<std::vector<core::ipv4_range>> allowed_masters;
    int event_buffer = 0;
};

// Outputs 1..5 are the gateway's output lines; index 5 is the DCU reset.
struct do_settings {
    std::array<int64_t, 6> toggle_timeouts{};                // ms
    std::array<int32_t, 6> toggle_modes{};
};

struct config {
    // The four section lists, in package order.
    std::vector<iec104_slave> slaves;
    std::vector<iec104_ioa> dio_points;
    std::vector<fpi_iec104_ioa> fpi_points;
    std::vector<fpi_aux_iec104_ioa> aux_points;

    iec104_slave settings;  // the current (last) iec104_slave section
    derived_settings derived;
    do_settings dout;
};

}  // namespace config
