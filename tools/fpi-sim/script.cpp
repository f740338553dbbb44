#include "script.h"

#include <cctype>
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

bool parse_number(const std::string& s, unsigned long max, unsigned long& out) {
    if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0]))) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (errno || *end || v > max) return false;
    out = v;
    return true;
}

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
        while (n < N) {
            size_t slash = s->find('/', at);
            unsigned long x;
            if (!parse_number(s->substr(at, slash - at), 255, x)) break;
            v[n++] = uint8_t(x);
            if (slash == std::string::npos) break;
            at = slash + 1;
        }
        if (n == N && s->find('/', at) == std::string::npos) out = v;
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

// Splits one line into words; double quotes keep spaces (and are removed).
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && std::isspace(static_cast<unsigned char>(c))) {
            if (any) out.push_back(cur);
            cur.clear();
            any = false;
        } else {
            cur += c;
            any = true;
        }
    }
    if (any) out.push_back(cur);
    return out;
}

// Lines of the text: new lines, and ';' outside quotes; comments removed.
std::vector<std::pair<int, std::string>> lines_of(const std::string& text, int first_line) {
    std::vector<std::pair<int, std::string>> out;
    std::string cur;
    int line = first_line;
    bool quoted = false, comment = false;
    auto flush = [&] {
        out.emplace_back(line, cur);
        cur.clear();
    };
    for (char c : text) {
        if (c == '\n') {
            flush();
            ++line;
            quoted = comment = false;
        } else if (comment) {
        } else if (c == '"') {
            quoted = !quoted;
            cur += c;
        } else if (!quoted && c == '#') {
            comment = true;
        } else if (!quoted && c == ';') {
            flush();
        } else {
            cur += c;
        }
    }
    flush();
    return out;
}

struct frame_word {
    const char* word;
    uint8_t code;
};
const frame_word frame_words[] = {
    {"join", rf::CMD_JOIN_DATA},    {"event", rf::CMD_EVENT_DATA},       {"flash", rf::CMD_FLASH_MODE},
    {"fi_reset", rf::CMD_FI_RESET}, {"infoset_ack", rf::CMD_INFO_SET_ACK},
};

bool small_number(const std::string& s, unsigned long max, long& out) {
    unsigned long v;
    if (!parse_number(s, max, v)) return false;
    out = long(v);
    return true;
}

// Parses the words of one line into `s`; returns an error text or "".
std::string parse_line(const std::vector<std::string>& w, step& s) {
    const std::string& op = w[0];
    size_t args = 1;  // first word of key=value fields
    auto need = [&](size_t n) { return w.size() == n + 1; };

    for (const frame_word& fw : frame_words)
        if (op == fw.word) s.code = fw.code;
    if (s.code) {
        s.kind = step::frame;
    } else if (op == "wakeup") {
        s.kind = step::frame;
        s.code = rf::CMD_WAKEUP_NOTSET;
        if (w.size() > 1 && (w[1] == "set" || w[1] == "notset")) {
            if (w[1] == "set") s.code = rf::CMD_WAKEUP_SET;
            args = 2;
        }
    } else if (op == "send") {
        s.kind = step::frame;
        if (w.size() < 2 || !parse_code(w[1], s.code)) return "send needs a command name or code";
        args = 2;
    } else if (op == "raw") {
        s.kind = step::raw;
        std::vector<std::string> hex_words(w.begin() + 1, w.end());
        if (!parse_hex(hex_words, s.bytes) || s.bytes.empty()) return "raw needs hex bytes, e.g. raw 01 18 81";
        return "";
    } else if (op == "wait") {
        s.kind = step::wait;
        if (!need(1) || !small_number(w[1], 3600000, s.number)) return "wait needs milliseconds";
        return "";
    } else if (op == "await") {
        s.kind = step::await;
        s.number = 5000;
        if (w.size() < 2 || w.size() > 3) return "await needs a command name (or channel) and optional milliseconds";
        if (w[1] != "channel" && !parse_code(w[1], s.code)) return "await: unknown command " + w[1];
        if (w.size() == 3 && !small_number(w[2], 3600000, s.number)) return "await: bad milliseconds";
        return "";
    } else if (op == "repeat") {
        s.kind = step::repeat;
        if (!need(1) || !small_number(w[1], 1000000, s.number)) return "repeat needs a count";
        return "";
    } else if (op == "group") {
        s.kind = step::group;
        rf::group_id g;
        if (!need(1) || !parse_group(w[1], g)) return "group needs 10 hex digits, e.g. group 0102030405";
        s.bytes.assign(g.begin(), g.end());
        return "";
    } else if (op == "rtu" || op == "slave") {
        s.kind = op == "rtu" ? step::rtu : step::slave;
        if (!need(1) || !small_number(w[1], 255, s.number)) return op + " needs an id from 0 to 255";
        return "";
    } else if (op == "auto_ack") {
        s.kind = step::auto_ack;
        if (!need(1) || (w[1] != "on" && w[1] != "off")) return "auto_ack needs on or off";
        s.number = w[1] == "on";
        return "";
    } else if (op == "exit") {
        s.kind = step::exit;
        return need(0) ? "" : "exit takes no argument";
    } else {
        return "unknown command '" + op + "'";
    }

    // A frame: key=value fields, checked now against the command's layout.
    for (size_t i = args; i < w.size(); ++i) {
        size_t eq = w[i].find('=');
        if (eq == std::string::npos || eq == 0) return "expected key=value, got '" + w[i] + "'";
        s.values[w[i].substr(0, eq)] = w[i].substr(eq + 1);
    }
    std::string error;
    rf::rf_record record;
    addressing a;
    if (!make_record(s.code, s.values, 0, record, error) || !frame_address(s.values, a, a, error)) return error;
    return "";
}

}  // namespace

bool parse_group(const std::string& text, rf::group_id& out) {
    std::vector<uint8_t> b;
    if (text.size() != 10 || !parse_hex({text}, b)) return false;
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

bool parse_script(const std::string& text, int first_line, std::vector<step>& out, std::string& error) {
    std::vector<std::vector<step>*> open{&out};  // innermost repeat body last
    std::vector<int> open_lines;
    for (const auto& [number, line] : lines_of(text, first_line)) {
        std::vector<std::string> w = words(line);
        if (w.empty()) continue;
        if (w[0] == "end") {
            if (open.size() == 1) return error = "line " + std::to_string(number) + ": end without repeat", false;
            open.pop_back();
            open_lines.pop_back();
            continue;
        }
        step s;
        s.line = number;
        std::string problem = parse_line(w, s);
        if (!problem.empty()) return error = "line " + std::to_string(number) + ": " + problem, false;
        open.back()->push_back(std::move(s));
        if (open.back()->back().kind == step::repeat) {
            open.push_back(&open.back()->back().body);
            open_lines.push_back(number);
        }
    }
    if (open.size() > 1) return error = "line " + std::to_string(open_lines.back()) + ": repeat without end", false;
    return true;
}

}  // namespace fpisim
