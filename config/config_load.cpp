#include "config/config_load.h"

#include <cctype>
#include <utility>

#include "core/address_range.h"

#include "lib/uci/map.h"

namespace config {

namespace {

const uci::field_map<iec104_slave> slave_table[] = {
    {"rtu_port", &iec104_slave::rtu_port},
    {"rtu_baud", &iec104_slave::rtu_baud},
    {"cyclic_time_interval", &iec104_slave::cyclic_time_interval},
    {"no_of_connections", &iec104_slave::no_of_connections},
    {"asdu_time_offset", &iec104_slave::asdu_time_offset},
    {"clocksync_time_offset", &iec104_slave::clocksync_time_offset},
    {"k", &iec104_slave::k},
    {"w", &iec104_slave::w},
    {"t0", &iec104_slave::t0},
    {"t1", &iec104_slave::t1},
    {"t2", &iec104_slave::t2},
    {"t3", &iec104_slave::t3},
    {"sizeof_cot", &iec104_slave::sizeof_cot},
    {"oa", &iec104_slave::oa},
    {"ca", &iec104_slave::ca},
    {"sizeof_ca", &iec104_slave::sizeof_ca},
    {"sizeof_ioa", &iec104_slave::sizeof_ioa},
    {"max_asdu_length", &iec104_slave::max_asdu_length},
    {"gpio_scan_frequency", &iec104_slave::gpio_scan_frequency},
    {"invert_di_values", &iec104_slave::invert_di_values},
    {"group_id", &iec104_slave::group_id},
    {"location", &iec104_slave::location},
    {"rtu_id", &iec104_slave::rtu_id},
    {"infoset_param_timeout", &iec104_slave::infoset_param_timeout},
    {"infoset_wakeup_fallback_timeout", &iec104_slave::infoset_wakeup_fallback_timeout},
    {"infoset_ack_timeout", &iec104_slave::infoset_ack_timeout},
    {"flash_transmit_period", &iec104_slave::flash_transmit_period},
    {"event_buffer", &iec104_slave::event_buffer},
    {"diagnostics", &iec104_slave::diagnostics},
    {"offline_quality", &iec104_slave::offline_quality},
    {"end_of_init", &iec104_slave::end_of_init},
    {"rf_log_limit_kb", &iec104_slave::rf_log_limit_kb},
    {"system_log_limit_kb", &iec104_slave::system_log_limit_kb},
    {"comm_log_limit_kb", &iec104_slave::comm_log_limit_kb},
    {"asdu_packing", &iec104_slave::asdu_packing},
    {"select_timeout_ms", &iec104_slave::select_timeout_ms},
    {"command_max_age_s", &iec104_slave::command_max_age_s},
    // host-run options
    {"data_dir", &iec104_slave::data_dir},
    {"export_dir", &iec104_slave::export_dir},
    {"port", &iec104_slave::port},
    {"gpio_chip", &iec104_slave::gpio_chip},
    {"ubus_socket", &iec104_slave::ubus_socket},
};

const uci::field_map<iec104_ioa> dio_table[] = {
    {"name", &iec104_ioa::name},
    {"gpio_type", &iec104_ioa::gpio_type},
    {"ioa", &iec104_ioa::ioa},
    {"type_id", &iec104_ioa::type_id},
    {"toggle_on", &iec104_ioa::toggle_on},
    {"toggle_timeout", &iec104_ioa::toggle_timeout},
    {"address", &iec104_ioa::address},
};

const uci::field_map<fpi_iec104_ioa> fpi_table[] = {
    {"name", &fpi_iec104_ioa::name},
    {"slave_id", &fpi_iec104_ioa::slave_id},
    {"ioa_name", &fpi_iec104_ioa::ioa_name},
    {"ioa", &fpi_iec104_ioa::ioa},
    {"type_id", &fpi_iec104_ioa::type_id},
};

const uci::field_map<fpi_aux_iec104_ioa> aux_table[] = {
    {"name", &fpi_aux_iec104_ioa::name},
    {"ioa_name", &fpi_aux_iec104_ioa::ioa_name},
    {"ioa", &fpi_aux_iec104_ioa::ioa},
    {"type_id", &fpi_aux_iec104_ioa::type_id},
    {"ioa_value", &fpi_aux_iec104_ioa::ioa_value},
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void print_slave_summary(FILE* out, const iec104_slave& s) {
    std::fprintf(out,
                 "New modbus_to_104 section\n\tcyclic_interval: %d\n\tk: %d\n\tw: %d\n"
                 "\tto: %d\n\tt1: %d\n\tt2: %d\n\tt3: %d\n\tsize of cot: %d\n"
                 "\tsize of ca: %d\n\toa: %d\n\tca: %d\n\tsize of ioa: %d\n"
                 "\tsize of max asdu length: %d\n\tGroup ID: %s\n\tRTU ID: %d\n",
                 s.cyclic_time_interval, s.k, s.w, s.t0, s.t1, s.t2, s.t3, s.sizeof_cot,
                 s.sizeof_ca, s.oa, s.ca, s.sizeof_ioa, s.max_asdu_length,
                 s.group_id ? s.group_id->c_str() : "(null)", s.rtu_id);
}

std::array<uint8_t, 5> convert_group_id(std::string_view text) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    uint64_t value = 0;  // wraps: only the last ten digits reach the low 40 bits
    for (char c : text) {
        int d = hex_digit(c);
        if (d < 0) break;
        value = (value << 4) | uint64_t(d);
    }
    return {uint8_t(value >> 32), uint8_t(value >> 24), uint8_t(value >> 16),
            uint8_t(value >> 8), uint8_t(value)};
}

void derive_settings(iec104_slave& s, derived_settings& d, FILE* out) {
    if (s.no_of_connections > max_connections || s.no_of_connections < 0) {
        int32_t limited = s.no_of_connections < 0 ? 0 : max_connections;
        std::fprintf(out, "no_of_connections %d out of range, using %d\n", s.no_of_connections,
                     limited);
        s.no_of_connections = limited;
    }

    d = derived_settings{};
    d.infoset_param_timeout_ms = int64_t(s.infoset_param_timeout) * 1000;
    d.infoset_wakeup_fallback_timeout_ms = int64_t(s.infoset_wakeup_fallback_timeout) * 1000;
    d.infoset_ack_timeout = s.infoset_ack_timeout;
    d.flash_transmit_period_ms = int64_t(s.flash_transmit_period) * 1000;
    d.rtu_id = uint16_t(s.rtu_id);
    d.asdu_time_offset = s.asdu_time_offset;
    if (s.event_buffer < 0 || s.event_buffer > max_event_buffer) {
        const int32_t limited = s.event_buffer < 0 ? 0 : max_event_buffer;
        std::fprintf(out, "event_buffer %d out of range, using %d\n", s.event_buffer, limited);
        s.event_buffer = limited;
    }
    d.event_buffer = s.event_buffer;
    for (auto [name, kb] : {std::pair{"rf_log_limit_kb", &s.rf_log_limit_kb},
                            std::pair{"system_log_limit_kb", &s.system_log_limit_kb},
                            std::pair{"comm_log_limit_kb", &s.comm_log_limit_kb}})
        if (*kb < 64) {
            std::fprintf(out, "%s %d below 64, using 64\n", name, *kb);
            *kb = 64;
        }
    for (auto [name, value] : {std::pair{"select_timeout_ms", &s.select_timeout_ms},
                               std::pair{"command_max_age_s", &s.command_max_age_s}})
        if (*value < 0) {
            std::fprintf(out, "%s %d below 0, using 0 (off)\n", name, *value);
            *value = 0;
        }

    int count = int(s.location.size());
    if (count > max_locations) {
        std::fprintf(out, "%d location values configured, only the first %d are used\n", count,
                     max_locations);
        count = max_locations;
    }
    d.location_count = count;

    std::fprintf(out, "\nLocation from cfg:\n");
    for (int n = 1; n <= count; ++n) {
        const std::string& loc = s.location[size_t(n - 1)];
        if (loc.size() != 20) continue;  // that FPI keeps no configured location
        d.locations[size_t(n - 1)] = loc;
        std::fprintf(out, "Slave %d location: ", n);
        for (char c : loc) std::fprintf(out, "%c ", c);
        std::fprintf(out, "\n");
    }

    if (s.group_id) {
        d.group_id_bytes = convert_group_id(*s.group_id);
        const auto& b = d.group_id_bytes;
        std::fprintf(out, "\nConverted Group ID: {0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X}\n",
                     b[0], b[1], b[2], b[3], b[4]);
    }
}

void fill_do_settings(const std::vector<iec104_ioa>& points, do_settings& dout) {
    int k = 0;
    for (const iec104_ioa& p : points) {
        if (!p.gpio_type || *p.gpio_type != "digital_output") continue;
        ++k;
        if (k <= 5) {
            dout.toggle_modes[size_t(k - 1)] = p.toggle_on;
            dout.toggle_timeouts[size_t(k - 1)] = int64_t(p.toggle_timeout);
        } else if (k == 6) {
            dout.toggle_timeouts[5] = int64_t(p.toggle_timeout);
        } else {
            break;
        }
    }
}

bool config_from_package(const uci::package& pkg, config& cfg, FILE* out,
                         std::string& problem) {
    cfg.slaves = uci::map_sections<iec104_slave>(pkg, "iec104_slave", slave_table,
                                                 &iec104_slave::name);
    cfg.dio_points = uci::map_sections<iec104_ioa>(pkg, "iec104_ioas", dio_table,
                                                   &iec104_ioa::name);
    cfg.fpi_points = uci::map_sections<fpi_iec104_ioa>(pkg, "fpi_iec104_ioas", fpi_table,
                                                       &fpi_iec104_ioa::name);
    cfg.aux_points = uci::map_sections<fpi_aux_iec104_ioa>(pkg, "fpi_aux_iec104_ioas",
                                                           aux_table, &fpi_aux_iec104_ioa::name);
    // The allow-list is taken as written, `option` or `list`: a single
    // address given as an option must not open the gateway to everyone.
    for (iec104_slave& s : cfg.slaves)
        for (const uci::section& sec : pkg.sections)
            if (sec.type == "iec104_slave" && sec.name == s.name)
                if (const uci::option* o = sec.find("allowed_master")) s.allowed_master = o->values;
    for (iec104_slave& s : cfg.slaves) {
        print_slave_summary(out, s);
        derive_settings(s, cfg.derived, out);
        cfg.settings = s;
    }
    if (cfg.slaves.empty()) {
        std::fprintf(out, "\nError getting configuration file\n");
        problem = "the package " + pkg.name + " has no iec104_slave section";
        return false;
    }
    if (const auto& list = cfg.settings.allowed_master) {
        std::vector<core::ipv4_range> ranges;
        for (const std::string& entry : *list) {
            const std::optional<core::ipv4_range> r = core::parse_ipv4_range(entry);
            if (!r) {
                std::fprintf(out, "\nError getting configuration file\n");
                problem = "allowed_master '" + entry + "' is not an IPv4 address or CIDR range";
                return false;
            }
            ranges.push_back(*r);
        }
        cfg.derived.allowed_masters = std::move(ranges);
    }
    return true;
}

bool config_load(const std::optional<std::string>& dir, config& cfg, FILE* out,
                 std::string& problem) {
    uci::error err;
    std::optional<uci::package> pkg =
        uci::load(dir ? *dir : uci::default_config_dir, config_package, err);
    if (!pkg) {
        std::fprintf(out, "\nError getting configuration file\n");
        problem = "cannot load " + err.describe();
        return false;
    }
    return config_from_package(*pkg, cfg, out, problem);
}

}  // namespace config
