#include "lib/iec104/apci.h"

#include <cstring>

namespace iec104 {

Frame classify(uint8_t c) {
    if ((c & 0x01) == 0) return Frame::i;
    if ((c & 0x43) == 0x43) return Frame::testfr_act;
    if ((c & 0x07) == 0x07) return Frame::startdt_act;
    if ((c & 0x13) == 0x13) return Frame::stopdt_act;
    if ((c & 0x83) == 0x83) return Frame::testfr_con;
    if (c == 0x01) return Frame::s;
    if (c == kStartdtCon) return Frame::startdt_con;
    if (c == kStopdtCon) return Frame::stopdt_con;
    return Frame::unknown_u;
}

const char* frame_name(Frame f) {
    switch (f) {
    case Frame::i: return "I";
    case Frame::s: return "S";
    case Frame::startdt_act: return "STARTDT_ACT";
    case Frame::startdt_con: return "STARTDT_CON";
    case Frame::stopdt_act: return "STOPDT_ACT";
    case Frame::stopdt_con: return "STOPDT_CON";
    case Frame::testfr_act: return "TESTFR_ACT";
    case Frame::testfr_con: return "TESTFR_CON";
    case Frame::unknown_u: return "U?";
    }
    return "?";
}

size_t write_u_frame(uint8_t* out, uint8_t control1) {
    const uint8_t f[6] = {kStartByte, 4, control1, 0, 0, 0};
    std::memcpy(out, f, sizeof f);
    return sizeof f;
}

size_t write_s_frame(uint8_t* out, uint16_t nr) {
    const uint16_t r = uint16_t(nr << 1);
    const uint8_t f[6] = {kStartByte, 4, 0x01, 0, uint8_t(r), uint8_t(r >> 8)};
    std::memcpy(out, f, sizeof f);
    return sizeof f;
}

size_t write_i_header(uint8_t* out, uint16_t ns, uint16_t nr, size_t asdu_size) {
    const uint16_t s = uint16_t(ns << 1), r = uint16_t(nr << 1);
    const uint8_t f[6] = {kStartByte, uint8_t(4 + asdu_size), uint8_t(s), uint8_t(s >> 8),
                          uint8_t(r), uint8_t(r >> 8)};
    std::memcpy(out, f, sizeof f);
    return sizeof f + asdu_size;
}

std::span<uint8_t> parser_space(FrameParser& p) {
    if (p.consumed > 0) {
        std::memmove(p.buffer.data(), p.buffer.data() + p.consumed, p.size - p.consumed);
        p.size -= p.consumed;
        p.consumed = 0;
    }
    return {p.buffer.data() + p.size, p.buffer.size() - p.size};
}

bool parser_next(FrameParser& p, std::span<const uint8_t>& frame, ParseError& error) {
    error = ParseError::none;
    const size_t held = p.size - p.consumed;
    if (held < 1) return false;
    const uint8_t* b = p.buffer.data() + p.consumed;
    if (b[0] != kStartByte) {
        error = ParseError::bad_start;
        return false;
    }
    if (held < 3) return false;
    const size_t length = b[1];
    if (length < 4 || length > 253 || ((b[2] & 0x01) != 0 && length != 4)) {
        error = ParseError::bad_length;
        return false;
    }
    if (held < length + 2) return false;
    frame = {b, length + 2};
    p.consumed += length + 2;
    return true;
}

}  // namespace iec104
