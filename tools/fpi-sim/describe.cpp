#include "describe.h"

#include <cstdio>

namespace fpisim {
namespace {

struct line_builder {
    std::string s;
    void num(const char* key, unsigned v) {
        char buf[48];
        std::snprintf(buf, sizeof buf, " %s=%u", key, v);
        s += buf;
    }
    template <size_t N>
    void list(const char* key, const std::array<uint8_t, N>& v) {
        s += ' ';
        s += key;
        s += '=';
        for (size_t i = 0; i < N; ++i) {
            if (i) s += '/';
            s += std::to_string(v[i]);
        }
    }
    void text(const char* key, const std::array<char, 20>& v) {
        s += ' ';
        s += key;
        s += "=\"";
        for (char c : v) {
            if (c == '\0') break;
            unsigned char u = static_cast<unsigned char>(c);
            if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02X", u);
                s += buf;
            } else {
                s += c;
            }
        }
        s += '"';
    }

    template <class T>
    void settings(const T& r) {
        text("location", r.location);
        num("didt_level", r.di_dt_level);
        num("imax_level", r.imax_level);
        num("auto_reset", r.auto_reset);
        num("flash_time", r.flash_time);
        num("transient_on", r.transient_on);
        num("validation", r.validation);
        num("mv", r.mv);
        list("date", r.date);
        num("frequency", r.frequency);
        num("period", r.period);
    }
    template <class T>
    void measurements(const T& r) {
        num("i_status", r.i_status);
        num("i_mean", r.i_mean);
        num("i_min", r.i_min);
        num("i_max", r.i_max);
        num("v_status", r.v_status);
        num("v_inst", r.v_inst);
        num("battery_v", r.battery_v);
        num("rssi", r.rssi);
        list("event_time", r.event_time);
    }

    void operator()(const std::monostate&) {}
    void operator()(const rf::wakeup_data& r) {
        settings(r);
        measurements(r);
    }
    void operator()(const rf::infoset_data& r) { settings(r); }
    void operator()(const rf::event_data& r) { measurements(r); }
    void operator()(const rf::ack_data& r) { list("date", r.date); }
    void operator()(const rf::event_time_data& r) { list("event_time", r.event_time); }
    void operator()(const rf::fi_reset_data& r) {
        num("reset_type", r.reset_type);
        list("event_time", r.event_time);
    }
};

}  // namespace

std::string hex(const uint8_t* bytes, size_t count) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

std::string describe_frame(const rf::rf_frame& f) {
    line_builder b;
    if (const char* name = rf::rf_command_name(f.command)) {
        b.s = name;
    } else {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02X", f.command);
        b.s = buf;
    }
    b.num("from", f.source_id);
    b.num("to", f.destination_id);
    b.s += " group=";
    for (uint8_t g : f.group) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02X", g);
        b.s += buf;
    }
    rf::rf_record record;
    int rc = rf::rf_payload_decode(f, record);
    if (rc == 0) {
        std::visit(b, record);
    } else if (rc == -2) {
        b.s += " payload too short: " + hex(f.payload.data(), f.payload_len);
    } else if (f.payload_len > 0) {
        b.s += " payload: " + hex(f.payload.data(), f.payload_len);
    }
    return b.s;
}

}  // namespace fpisim
