// The sample configuration of the repository (config/fpigate) with the
// options that name things of the host set for a run in a temporary folder,
// and loading a configuration without its printout.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/config_load.h"

namespace test_support {

// The host options of a run. Empty strings (and baud 0) leave the option as
// the sample has it, except rtu_port: without one there is no radio.
struct sample_options {
    std::string rtu_port{};
    int rtu_baud = 0;
    std::string data_dir{};
    std::string export_dir{};
    std::string gpio_chip{};
    std::string ubus_socket{};
    std::string port = "0";  // any free port: runs go on side by side
};

inline std::string sample_config(const sample_options& o, const std::string& extra = {}) {
    std::ifstream in(std::string(FPIGATE_SOURCE_DIR) + "/config/fpigate");
    std::ostringstream text;
    for (std::string line; std::getline(in, line);) {
        if (line.find("option rtu_port") != std::string::npos) continue;
        if (o.rtu_baud && line.find("option rtu_baud") != std::string::npos) continue;
        text << line << "\n";
        if (line.rfind("config iec104_slave", 0) != 0) continue;
        if (!o.rtu_port.empty()) text << "\toption rtu_port '" << o.rtu_port << "'\n";
        if (o.rtu_baud) text << "\toption rtu_baud '" << o.rtu_baud << "'\n";
        if (!o.data_dir.empty()) text << "\toption data_dir '" << o.data_dir << "'\n";
        if (!o.export_dir.empty()) text << "\toption export_dir '" << o.export_dir << "'\n";
        if (!o.gpio_chip.empty()) text << "\toption gpio_chip '" << o.gpio_chip << "'\n";
        if (!o.ubus_socket.empty()) text << "\toption ubus_socket '" << o.ubus_socket << "'\n";
        if (!o.port.empty()) text << "\toption port '" << o.port << "'\n";
    }
    text << extra;
    return text.str();
}

// The run's options with every file in `dir` and no broker on its socket.
inline sample_options files_in(const std::filesystem::path& dir) {
    return {.data_dir = dir.string(),
            .export_dir = dir.string(),
            .ubus_socket = (dir / "no-broker.sock").string()};
}

// Writes it as dir/config/fpigate; the folder to hand to fpigate -p or
// load_config. Empty on failure.
inline std::filesystem::path write_sample_config(const std::filesystem::path& dir, const sample_options& o,
                                                 const std::string& extra = {}) {
    std::error_code ec;
    std::filesystem::create_directories(dir / "config", ec);
    std::ofstream out(dir / "config" / "fpigate");
    out << sample_config(o, extra);
    out.close();
    return out ? dir / "config" : std::filesystem::path();
}

// The configuration of a folder as config_load reads it, its printout
// dropped; false with `problem` set when it does not load.
inline bool load_config(const std::filesystem::path& config_dir, config::config& cfg, std::string& problem) {
    FILE* quiet = std::fopen("/dev/null", "w");
    if (!quiet) {
        problem = "cannot open /dev/null";
        return false;
    }
    const bool ok = config::config_load(config_dir.string(), cfg, quiet, problem);
    std::fclose(quiet);
    return ok;
}

}  // namespace test_support
