#include "logs/rf_data.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "logs/event_logs.h"
#include "logs/text.h"

namespace logs {

void rf_data_add(log_stores& stores, std::span<const uint8_t> frame, int64_t frame_time,
                 uint8_t slave_id, uint16_t cmd_type, uint8_t fault, uint16_t reset,
                 const char* message, const rf::wakeup_data* wakeup, const rf::event_data* event) {
    rf_data_entry e;
    // A run longer than the frame text holds is shown cut to whole bytes;
    // the RF log below still stores every byte.
    size_t shown = std::min(frame.size(), rf_data_frame_text_max / 2);
    e.frame.resize(2 * shown + 1);
    bytes_to_hex(frame.data(), shown, e.frame.data());
    e.frame.resize(2 * shown);

    int64_t received_time = int64_t(std::time(nullptr));
    char when[20];
    size_t n = format_timestamp(frame_time, when, sizeof when);
    e.timestamp.assign(when, n);

    e.slave_id = slave_id;
    e.cmd_type = cmd_type;
    e.measured = rf::measurement_of(wakeup, event);
    e.measured.fault = fault;
    e.measured.reset = reset;
    if (message) e.error_msg = std::string(message).substr(0, rf_data_msg_max);

    rf_fpi_db_append(stores, frame, received_time, frame_time, e);

    rf_data_list& list = stores.recent_rf_data;
    if (list.count > rf_data_capacity - 1 && !list.entries.empty()) {
        list.entries.pop_back();
        list.count = int32_t(list.entries.size());
        std::printf("Deleted data from list, list count %d\n", list.count);
    }
    list.entries.push_front(std::move(e));
    list.count = int32_t(list.entries.size());
    std::printf("Added data to list, list count %d\n", list.count);
}

// Strings: quote, backslash and slash escaped with a backslash, control
// characters as \b \f \n \r \t or \u00XX; other bytes pass unchanged.
static void append_json_string(std::string& out, const std::string& s) {
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '/': out += "\\/"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    out += '"';
}

// Numbers as doubles with 17 significant digits: whole numbers without a
// fraction, a float field as its double expansion.
static void append_json_number(std::string& out, double v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%1.17g", v);
    out += buf;
}

static void append_entry(std::string& out, const rf_data_entry& e) {
    out += "{\"timestamp\":";
    append_json_string(out, e.timestamp);
    out += ",\"error_msg\":";
    append_json_string(out, e.error_msg);
    out += ",\"frame\":";
    append_json_string(out, e.frame);
    const rf::fpi_measurement& m = e.measured;
    const std::pair<const char*, double> numbers[] = {
        {"reset", m.reset},
        {"slave_id", e.slave_id},
        {"cmd_type", e.cmd_type},
        {"fault", m.fault},
        {"i_status", m.i_status},
        {"i_mean", m.i_mean},
        {"i_min", m.i_min},
        {"i_max", m.i_max},
        {"v_status", m.v_status},
        {"v_inst", m.v_inst},
        {"batt_v", m.batt_v},
        {"rssi", m.rssi},
        {"di_dt_level", m.di_dt_level},
        {"imax_level", m.imax_level},
        {"auto_reset", m.auto_reset},
        {"flash_time", m.flash_time},
        {"inrush", m.inrush},
        {"validation", m.validation},
        {"voltage", m.voltage},
        {"freq", m.freq},
        {"period", m.period},
    };
    for (const auto& [name, value] : numbers) {
        out += ",\"";
        out += name;
        out += "\":";
        append_json_number(out, value);
    }
    out += '}';
}

std::optional<std::string> rf_data_to_json(log_stores& stores) {
    std::lock_guard lock(stores.rf_data_lock);
    rf_data_list& list = stores.recent_rf_data;
    std::string out = "{\"data\":[";
    bool first = true;
    for (const rf_data_entry& e : list.entries) {
        if (!first) out += ',';
        first = false;
        append_entry(out, e);
    }
    out += "]}";
    list.entries.clear();
    list.count = 0;
    return out;
}

}  // namespace logs
