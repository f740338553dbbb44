#include "rf/codec.h"

#include <cstdio>

#include "rf/codings.h"

namespace rf {
namespace {

// Writes fields in wire coding, front to back.
struct wire_writer {
    uint8_t* p;
    void raw(uint8_t v) { *p++ = v; }
    void offset(uint8_t v) { *p++ = offset_encode(v); }
    void didt(uint8_t v) { *p++ = didt_encode(v); }
    void pair(uint16_t v) {
        base100_encode(v, p);
        p += 2;
    }
    template <size_t N>
    void offsets(const std::array<uint8_t, N>& v) {
        for (uint8_t b : v) offset(b);
    }
    void text(const std::array<char, 20>& v) {
        for (char c : v) raw(uint8_t(c));
    }
};

// Reads fields in wire coding; the caller has checked the layout size first.
struct wire_reader {
    const uint8_t* p;
    uint8_t offset() { return offset_decode(*p++); }
    uint8_t didt() { return didt_decode(*p++); }
    uint16_t pair() {
        uint16_t v = base100_decode(p);
        p += 2;
        return v;
    }
    template <size_t N>
    void offsets(std::array<uint8_t, N>& v) {
        for (uint8_t& b : v) b = offset();
    }
    void text(std::array<char, 20>& v) {
        for (char& c : v) c = char(*p++);
    }
};

// The settings block, shared by wakeup_data and infoset_data (payload offsets 0-36).
template <class T>
void put_settings(wire_writer& w, const T& r) {
    w.text(r.location);
    w.didt(r.di_dt_level);
    w.pair(r.imax_level);
    w.offset(r.auto_reset);
    w.offset(r.flash_time);
    w.offset(r.transient_on);
    w.offset(r.validation);
    w.pair(r.mv);
    w.offsets(r.date);
    w.offset(r.frequency);
    w.offset(r.period);
}
template <class T>
void get_settings(wire_reader& rd, T& r) {
    rd.text(r.location);
    r.di_dt_level = rd.didt();
    r.imax_level = rd.pair();
    r.auto_reset = rd.offset();
    r.flash_time = rd.offset();
    r.transient_on = rd.offset();
    r.validation = rd.offset();
    r.mv = rd.pair();
    rd.offsets(r.date);
    r.frequency = rd.offset();
    r.period = rd.offset();
}

// The measurements, shared by wakeup_data (offsets 37-52) and event_data (0-15).
template <class T>
void put_measurements(wire_writer& w, const T& r) {
    w.offset(r.i_status);
    w.pair(r.i_mean);
    w.pair(r.i_min);
    w.pair(r.i_max);
    w.offset(r.v_status);
    w.pair(r.v_inst);
    w.offset(r.battery_v);
    w.offset(r.rssi);
    w.offsets(r.event_time);
}
template <class T>
void get_measurements(wire_reader& rd, T& r) {
    r.i_status = rd.offset();
    r.i_mean = rd.pair();
    r.i_min = rd.pair();
    r.i_max = rd.pair();
    r.v_status = rd.offset();
    r.v_inst = rd.pair();
    r.battery_v = rd.offset();
    r.rssi = rd.offset();
    rd.offsets(r.event_time);
}

// Runs fill(record) on the record of type T, or reports a layout mismatch.
template <class T, class Fill>
int encode_as(const rf_record& record, uint8_t* out, Fill fill) {
    const T* r = std::get_if<T>(&record);
    if (!r) return -1;
    wire_writer w{out};
    fill(w, *r);
    return int(w.p - out);
}

template <class T, size_t Size, class Fill>
int decode_as(std::span<const uint8_t> wire, rf_record& out, Fill fill) {
    if (wire.size() < Size) return -2;
    T r{};
    wire_reader rd{wire.data()};
    fill(rd, r);
    out = r;
    return 0;
}

int encode_wakeup(const rf_record& rec, uint8_t* out) {
    return encode_as<wakeup_data>(rec, out, [](wire_writer& w, const wakeup_data& r) {
        put_settings(w, r);
        put_measurements(w, r);
    });
}
int decode_wakeup(std::span<const uint8_t> wire, rf_record& out) {
    return decode_as<wakeup_data, wakeup_payload_size>(wire, out, [](wire_reader& rd, wakeup_data& r) {
        get_settings(rd, r);
        get_measurements(rd, r);
    });
}

int encode_event(const rf_record& rec, uint8_t* out) {
    return encode_as<event_data>(rec, out, [](wire_writer& w, const event_data& r) { put_measurements(w, r); });
}
int decode_event(std::span<const uint8_t> wire, rf_record& out) {
    return decode_as<event_data, event_payload_size>(
        wire, out, [](wire_reader& rd, event_data& r) { get_measurements(rd, r); });
}

int encode_infoset(const rf_record& rec, uint8_t* out) {
    return encode_as<infoset_data>(rec, out, [](wire_writer& w, const infoset_data& r) { put_settings(w, r); });
}
int decode_infoset(std::span<const uint8_t> wire, rf_record& out) {
    return decode_as<infoset_data, infoset_payload_size>(
        wire, out, [](wire_reader& rd, infoset_data& r) { get_settings(rd, r); });
}

int encode_ack(const rf_record& rec, uint8_t* out) {
    return encode_as<ack_data>(rec, out, [](wire_writer& w, const ack_data& r) { w.offsets(r.date); });
}
int decode_ack(std::span<const uint8_t> wire, rf_record& out) {
    return decode_as<ack_data, ack_payload_size>(wire, out,
                                                 [](wire_reader& rd, ack_data& r) { rd.offsets(r.date); });
}

int encode_event_time(const rf_record& rec, uint8_t* out) {
    return encode_as<event_time_data>(rec, out,
                                      [](wire_writer& w, const event_time_data& r) { w.offsets(r.event_time); });
}
int decode_event_time(std::span<const uint8_t> wire, rf_record& out) {
    return decode_as<event_time_data, event_time_payload_size>(
        wire, out, [](wire_reader& rd, event_time_data& r) { rd.offsets(r.event_time); });
}

int encode_fi_reset(const rf_record& rec, uint8_t* out) {
    return encode_as<fi_reset_data>(rec, out, [](wire_writer& w, const fi_reset_data& r) {
        w.offset(r.reset_type);
        w.offsets(r.event_time);
    });
}
int decode_fi_reset(std::span<const uint8_t> wire, rf_record& out) {
    return decode_as<fi_reset_data, fi_reset_payload_size>(wire, out, [](wire_reader& rd, fi_reset_data& r) {
        r.reset_type = rd.offset();
        rd.offsets(r.event_time);
    });
}

// Printers.

template <size_t N>
void print_values(const char* label, const std::array<uint8_t, N>& v) {
    std::printf("%s", label);
    for (uint8_t b : v) std::printf("%d ", b);
    std::printf("\n");
}

template <class T>
void print_settings(const T& r) {
    std::printf("  Location       : %.*s\n", int(r.location.size()), r.location.data());
    std::printf("  di/dt Level    : %u\n", unsigned(r.di_dt_level));
    std::printf("  Imax Level     : %u\n", unsigned(r.imax_level));
    std::printf("  Auto Reset     : %u\n", unsigned(r.auto_reset));
    std::printf("  Flash Time     : %u\n", unsigned(r.flash_time));
    std::printf("  Transient On   : %u\n", unsigned(r.transient_on));
    std::printf("  Validation     : %u\n", unsigned(r.validation));
    std::printf("  mV             : %u\n", unsigned(r.mv));
    print_values("  Date           : ", r.date);
    std::printf("  Frequency      : %u\n", unsigned(r.frequency));
    std::printf("  Period         : %u\n", unsigned(r.period));
}

template <class T>
void print_measurements(const T& r) {
    std::printf("  I Status       : %u\n", unsigned(r.i_status));
    std::printf("  I Mean         : %u\n", unsigned(r.i_mean));
    std::printf("  I Min          : %u\n", unsigned(r.i_min));
    std::printf("  I Max          : %u\n", unsigned(r.i_max));
    std::printf("  V Status       : %u\n", unsigned(r.v_status));
    std::printf("  V Inst         : %u\n", unsigned(r.v_inst));
    std::printf("  Battery V      : %u\n", unsigned(r.battery_v));
    std::printf("  RSSI           : %u\n", unsigned(r.rssi));
    print_values("  Event Time     : ", r.event_time);
}

void print_wakeup(const char* name, const rf_record& rec) {
    if (const auto* r = std::get_if<wakeup_data>(&rec)) {
        std::printf("%s:\n", name);
        print_settings(*r);
        print_measurements(*r);
    }
}
void print_event(const char* name, const rf_record& rec) {
    if (const auto* r = std::get_if<event_data>(&rec)) {
        std::printf("%s:\n", name);
        print_measurements(*r);
    }
}
void print_infoset(const char* name, const rf_record& rec) {
    if (const auto* r = std::get_if<infoset_data>(&rec)) {
        std::printf("%s:\n", name);
        print_settings(*r);
    }
}
void print_ack(const char* name, const rf_record& rec) {
    if (const auto* r = std::get_if<ack_data>(&rec)) {
        std::printf("%s:\n", name);
        print_values("  Date           : ", r->date);
    }
}
void print_event_time(const char* name, const rf_record& rec) {
    if (const auto* r = std::get_if<event_time_data>(&rec)) {
        std::printf("%s:\n", name);
        print_values("  Event Time     : ", r->event_time);
    }
}
void print_fi_reset(const char* name, const rf_record& rec) {
    if (const auto* r = std::get_if<fi_reset_data>(&rec)) {
        std::printf("%s:\n", name);
        std::printf("  Reset Type     : %u\n", unsigned(r->reset_type));
        print_values("  Event Time     : ", r->event_time);
    }
}

// Rows of one layout share their functions.
struct layout {
    uint8_t size;
    rf_encoder encode;
    rf_decoder decode;
    rf_printer print;
};
constexpr layout wakeup_layout{wakeup_payload_size, encode_wakeup, decode_wakeup, print_wakeup};
constexpr layout event_layout{event_payload_size, encode_event, decode_event, print_event};
constexpr layout infoset_layout{infoset_payload_size, encode_infoset, decode_infoset, print_infoset};
constexpr layout ack_layout{ack_payload_size, encode_ack, decode_ack, print_ack};
constexpr layout event_time_layout{event_time_payload_size, encode_event_time, decode_event_time,
                                   print_event_time};
constexpr layout fi_reset_layout{fi_reset_payload_size, encode_fi_reset, decode_fi_reset, print_fi_reset};

constexpr rf_command row(uint8_t code, const char* name, const layout& l) {
    return {code, name, l.size, l.encode, l.decode, l.print};
}

}  // namespace

const std::array<rf_command, 13> rf_command_table{{
    row(CMD_WAKEUP_NOTSET, "CMD_WAKEUP_NOTSET", wakeup_layout),
    row(CMD_EVENT_DATA, "CMD_EVENT_DATA", event_layout),
    row(CMD_JOIN_DATA, "CMD_JOIN_DATA", wakeup_layout),
    row(CMD_FLASH_MODE, "CMD_FLASH_MODE", event_layout),
    row(CMD_WAKEUP_NOTSET_ACK, "CMD_WAKEUP_NOTSET_ACK", ack_layout),
    row(CMD_JOIN_DATA_ACK, "CMD_JOIN_DATA_ACK", ack_layout),
    row(CMD_EVENT_DATA_ACK, "CMD_EVENT_DATA_ACK", ack_layout),
    row(CMD_WAKEUP_SET, "CMD_WAKEUP_SET", wakeup_layout),
    row(CMD_WAKEUP_SET_ACK, "CMD_WAKEUP_SET_ACK", ack_layout),
    row(CMD_INFO_SET, "CMD_INFO_SET", infoset_layout),
    row(CMD_INFO_SET_ACK, "CMD_INFO_SET_ACK", event_time_layout),
    row(CMD_REMOTE_RESET, "CMD_REMOTE_RESET", event_time_layout),
    row(CMD_FI_RESET, "CMD_FI_RESET", fi_reset_layout),
}};

const rf_command* rf_command_find(uint8_t code) {
    for (const rf_command& row : rf_command_table)
        if (row.code == code) return &row;
    return nullptr;
}

const char* rf_command_name(uint8_t code) {
    const rf_command* row = rf_command_find(code);
    return row ? row->name : nullptr;
}

}  // namespace rf
