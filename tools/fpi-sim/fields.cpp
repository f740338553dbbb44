#include "fields.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <set>

#include "rf/downlink.h"

namespace fpisim {
namespace {

const std::set<std::string> settings_keys{"location",     "didt_level", "imax_level", "auto_reset",
                                          "flash_time",   "transient_on", "validation", "mv",
                                          "date",         "frequency",  "period"};
const std::set<std::string> measurement_keys{"i_status", "i_mean",    "i_min", "i_max",     "v_status",
                                             "v_inst",   "battery_v", "rssi",  "event_time"};
const std::set<std::string> address_keys{"from", "to", "group"};

// Fills record fields from the step's key=value words.
struct field_reader {
    const fields& values;
    std::time_t now;
    std::string& error;
    bool ok = true;

    const std::string* find(const char* key) {
        auto it = values.find(key);
        return it == values.end() ? nullptr : &it->second;
    }
    void fail(const char* key, const std::string& value, const char* what) {
        if (ok) error = std::string(key) + "=" + value + ": " + what;
        ok = false;
    }
    void u8(const char* key, uint8_t& out) {
        unsigned long v;
        if (const std::string* s = find(key)) {
            if (parse_number(*s, 255, v)) out = uint8_t(v);
            else fail(key, *s, "expected a number from 0 to 255");
        }
    }
    void pair(const char* key, uint16_t& out) {
        unsigned long v;
        if (const std::string* s = find(key)) {
            if (parse_number(*s, 25599, v)) out = uint16_t(v);
            else fail(key, *s, "expected a number from 0 to 25599");
        }
    }
    template <size_t N>
    void values_of(const char* key, std::array<uint8_t, N>& out, const char* what) {
        const std::string* s = find(key);
        if (!s || *s == "now") return;
        std::array<uint8_t, N> v{};
        size_t n = 0, at = 0;
        bool to_the_end = false;  // the last value read ended the text
        while (n < N) {
            size_t slash = s->find('/', at);
            unsigned long x;
            if (!parse_number(s->substr(at, slash - at), 255, x)) break;
            v[n++] = uint8_t(x);
            if (slash == std::string::npos) {
                to_the_end = true;
                break;
            }
            at = slash + 1;
        }
        if (n == N && to_the_end) out = v;
        else fail(key, *s, what);
    }
    void date(const char* key, rf::rf_date& out) {
        rf::rf_local_time_at(now, &out, nullptr);
        values_of(key, out, "expected year/month/day/hour/minute/second, e.g. 26/3/9/7/5/2");
    }
    void day_time(const char* key, rf::rf_day_time& out) {
        rf::rf_local_time_at(now, nullptr, &out);
        values_of(key, out, "expected day/hour/minute/second, e.g. 9/7/5/2");
    }
    void text(const char* key, std::array<char, 20>& out) {
        if (const std::string* s = find(key)) {
            if (s->size() > out.size()) return fail(key, *s, "longer than 20 characters");
            out = {};
            for (size_t i = 0; i < s->size(); ++i) out[i] = (*s)[i];
        }
    }

    template <class T>
    void settings(T& r) {
        text("location", r.location);
        u8("didt_level", r.di_dt_level);
        pair("imax_level", r.imax_level);
        u8("auto_reset", r.auto_reset);
        u8("flash_time", r.flash_time);
        u8("transient_on", r.transient_on);
        u8("validation", r.validation);
        pair("mv", r.mv);
        date("date", r.date);
        u8("frequency", r.frequency);
        u8("period", r.period);
    }
    template <class T>
    void measurements(T& r) {
        u8("i_status", r.i_status);
        pair("i_mean", r.i_mean);
        pair("i_min", r.i_min);
        pair("i_max", r.i_max);
        u8("v_status", r.v_status);
        pair("v_inst", r.v_inst);
        u8("battery_v", r.battery_v);
        u8("rssi", r.rssi);
        day_time("event_time", r.event_time);
    }
};

}  // namespace

bool parse_number(const std::string& s, unsigned long max, unsigned long& out) {
    if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0]))) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (errno || *end || v > max) return false;
    out = v;
    return true;
}

bool parse_group(const std::string& text, rf::group_id& out) {
    std::vector<uint8_t> b;
    if (text.size() != 10 || !parse_hex({text}, b) || b.size() != out.size()) return false;
    for (size_t i = 0; i < out.size(); ++i) out[i] = b[i];
    return true;
}

bool parse_hex(const std::vector<std::string>& tokens, std::vector<uint8_t>& out) {
    out.clear();
    for (std::string t : tokens) {
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
        if (t.empty() || t.size() % 2) return false;
        for (size_t i = 0; i < t.size(); i += 2) {
            if (!std::isxdigit(static_cast<unsigned char>(t[i])) || !std::isxdigit(static_cast<unsigned char>(t[i + 1])))
                return false;
            out.push_back(uint8_t(std::strtoul(t.substr(i, 2).c_str(), nullptr, 16)));
        }
    }
    return true;
}

bool parse_code(const std::string& text, uint8_t& out) {
    for (const rf::rf_command& row : rf::rf_command_table) {
        std::string name = row.name;
        if (text == name || text == name.substr(4)) {
            out = row.code;
            return true;
        }
    }
    unsigned long v;
    if (!parse_number(text, 255, v)) return false;
    out = uint8_t(v);
    return true;
}

bool make_record(uint8_t code, const fields& values, std::time_t now, rf::rf_record& out, std::string& error) {
    const rf::rf_command* row = rf::rf_command_find(code);
    field_reader r{values, now, error};
    std::set<std::string> allowed = address_keys;
    auto allow = [&](const std::set<std::string>& keys) { allowed.insert(keys.begin(), keys.end()); };
    rf::rf_record record;
    switch (row ? row->payload_size : 0) {
    case rf::wakeup_payload_size: {
        rf::wakeup_data w;
        r.settings(w);
        r.measurements(w);
        record = w;
        allow(settings_keys);
        allow(measurement_keys);
        break;
    }
    case rf::event_payload_size: {
        rf::event_data e;
        r.measurements(e);
        record = e;
        allow(measurement_keys);
        break;
    }
    case rf::infoset_payload_size: {
        rf::infoset_data s;
        r.settings(s);
        record = s;
        allow(settings_keys);
        break;
    }
    case rf::ack_payload_size: {
        rf::ack_data a;
        r.date("date", a.date);
        record = a;
        allow({"date"});
        break;
    }
    case rf::event_time_payload_size: {
        rf::event_time_data t;
        r.day_time("event_time", t.event_time);
        record = t;
        allow({"event_time"});
        break;
    }
    case rf::fi_reset_payload_size: {
        rf::fi_reset_data f;
        f.reset_type = 0x08;
        r.u8("reset_type", f.reset_type);
        r.day_time("event_time", f.event_time);
        record = f;
        allow({"reset_type", "event_time"});
        break;
    }
    default:
        break;  // a code outside the table: a frame without payload
    }
    for (const auto& kv : values) {
        if (!allowed.count(kv.first)) {
            error = "field '" + kv.first + "' is not part of " + (row ? row->name : "this command");
            return false;
        }
    }
    if (!r.ok) return false;
    out = record;
    return true;
}

bool frame_address(const fields& values, const addressing& defaults, addressing& out, std::string& error) {
    addressing a = defaults;
    unsigned long v;
    if (auto it = values.find("from"); it != values.end()) {
        if (!parse_number(it->second, 255, v)) return error = "from=" + it->second + ": expected an id from 0 to 255", false;
        a.slave = uint8_t(v);
    }
    if (auto it = values.find("to"); it != values.end()) {
        if (!parse_number(it->second, 255, v)) return error = "to=" + it->second + ": expected an id from 0 to 255", false;
        a.rtu = uint8_t(v);
    }
    if (auto it = values.find("group"); it != values.end()) {
        if (!parse_group(it->second, a.group)) return error = "group=" + it->second + ": expected 10 hex digits", false;
    }
    out = a;
    return true;
}

}  // namespace fpisim
