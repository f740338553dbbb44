#include "script.h"

#include <cctype>

namespace fpisim {
namespace {

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
