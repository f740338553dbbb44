// Arbitrary text as the UCI package "fpigate": the parser, the typed section
// mapping (fpigate's four tables, and a table of every field kind for each
// section type the text has), fpigate's configuration loading with its
// derived settings, and the start-up steps that read the configuration: the
// digital-output settings, the data point table and the RTU IOA mapping.
//
// Checked: the mapper makes one record per section of the type; an integer
// is only taken from a text that is wholly a number (then its decimal form
// reads back as the same value); the derived settings stay within their
// limits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "config/config_load.h"
#include "outstation/data_points.h"
#include "lib/uci/map.h"

namespace {

struct any_record {
    std::string name;
    int32_t number = 0;
    std::string text;
    std::optional<std::string> maybe;
    std::vector<std::string> items;
};

// Every option name the text uses maps to the four kinds in turn.
std::vector<uci::field_map<any_record>> table_for(const uci::package& pkg, std::vector<std::string>& names) {
    names.clear();
    for (const uci::section& s : pkg.sections)
        for (const uci::option& o : s.options) names.push_back(o.name);
    std::vector<uci::field_map<any_record>> table;
    for (size_t i = 0; i < names.size() && i < 64; ++i) {
        switch (i % 5) {
        case 0: table.push_back({names[i].c_str(), &any_record::number}); break;
        case 1: table.push_back({names[i].c_str(), &any_record::text}); break;
        case 2: table.push_back({names[i].c_str(), &any_record::maybe}); break;
        case 3: table.push_back({names[i].c_str(), &any_record::items}); break;
        case 4: table.push_back({names[i].c_str(), &any_record::name}); break;
        }
    }
    return table;
}

void check_integer(const std::string& text) {
    int32_t v = 12345;
    if (!uci::parse_integer(text, v)) {
        if (v != 12345) std::abort();  // a refused text leaves the value
        return;
    }
    if (text.find('\0') != std::string::npos) std::abort();  // not wholly a number
    int32_t back = 0;
    if (!uci::parse_integer(std::to_string(v), back) || back != v) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FILE* null_out = std::fopen("/dev/null", "w");
    uci::error err;
    auto pkg = uci::parse(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz",
                          "fpigate", err);
    if (!pkg) {
        (void)err.describe();
        return 0;
    }

    std::vector<std::string> names;
    const auto table = table_for(*pkg, names);
    for (const uci::section& s : pkg->sections) {
        size_t of_type = 0;
        for (const uci::section& t : pkg->sections) of_type += t.type == s.type;
        if (uci::map_sections<any_record>(*pkg, s.type, table, &any_record::name).size() != of_type) std::abort();
        for (const uci::option& o : s.options)
            for (const std::string& v : o.values) check_integer(v);
    }

    config::config cfg;
    std::string problem;
    if (!config::config_from_package(*pkg, cfg, null_out, problem)) return 0;
    const config::derived_settings& d = cfg.derived;
    if (cfg.settings.no_of_connections < 0 || cfg.settings.no_of_connections > config::max_connections) std::abort();
    if (d.location_count < 0 || d.location_count > config::max_locations) std::abort();
    for (const auto& loc : d.locations)
        if (loc && loc->size() != 20) std::abort();
    config::fill_do_settings(cfg.dio_points, cfg.dout);
    outstation::data_point_table fpi_points;
    outstation::data_point_table_build(fpi_points, cfg.fpi_points, null_out);
    outstation::rtu_ioa_mapping mapping;
    outstation::rtu_ioa_mapping_build(mapping, cfg.fpi_points, null_out);
    for (const outstation::slave_node& n : mapping.nodes)
        if (n.points.size() > size_t(outstation::max_slave_points)) std::abort();
    return 0;
}
