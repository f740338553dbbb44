// Loading the UCI package "fpigate" into config::config, with the start-up
// printout: the summary of every iec104_slave section, the configured
// locations and the converted group ID.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "lib/uci/uci.h"

namespace config {

inline constexpr const char* config_package = "fpigate";

// Loads DIR/fpigate (the UCI default directory when dir is empty), maps the
// four section types and, for every iec104_slave section in order, prints its
// summary and makes it the current settings with their derived settings.
// Returns false when there is no usable configuration: the package could not
// be loaded ("\nError getting configuration file" is printed to out) or it has
// no iec104_slave section; `problem` then says which, in one line.
bool config_load(const std::optional<std::string>& dir, config& cfg, FILE* out,
                 std::string& problem);

// The same from a package already parsed (used by config_load and tests).
bool config_from_package(const uci::package& pkg, config& cfg, FILE* out,
                         std::string& problem);

// "New modbus_to_104 section ..." for one section.
void print_slave_summary(FILE* out, const iec104_slave& s);

// Fills d from s (after limiting s.no_of_connections) and prints the
// locations and the converted group ID.
void derive_settings(iec104_slave& s, derived_settings& d, FILE* out);

// Reads text as a hexadecimal number (optional 0x prefix, up to the first
// non-hex character) and returns its low 40 bits, most significant byte first.
std::array<uint8_t, 5> convert_group_id(std::string_view text);

// Digital-output settings from the digital-I/O data point list: the k-th
// "digital_output" entry is output k; the 6th gives only the DCU reset pulse.
void fill_do_settings(const std::vector<iec104_ioa>& points, do_settings& dout);

}  // namespace config
