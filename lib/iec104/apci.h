// APCI: the I, S and U frames of IEC 60870-5-104 and a parser that cuts a TCP
// byte stream into frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace iec104 {

constexpr uint16_t kDefaultPort = 2404;
constexpr uint8_t kStartByte = 0x68;
constexpr int kMaxApduSize = 255;  // start, length (max 253), control (4), ASDU (max 249)

enum class Frame : uint8_t {
    i,
    s,
    startdt_act,
    startdt_con,
    stopdt_act,
    stopdt_con,
    testfr_act,
    testfr_con,
    unknown_u,
};

constexpr uint8_t kStartdtAct = 0x07, kStartdtCon = 0x0b, kStopdtAct = 0x13, kStopdtCon = 0x23,
                  kTestfrAct = 0x43, kTestfrCon = 0x83;

// Kind of a frame by its first control octet. U-frames are recognised by bit
// masks in the order TESTFR act, STARTDT act, STOPDT act, TESTFR con, as
// established outstations do (0x33 thus counts as STOPDT act).
Frame classify(uint8_t control1);
const char* frame_name(Frame f);

// 15-bit sequence numbers of I- and S-frames.
inline uint16_t send_seq(std::span<const uint8_t> frame) { return uint16_t((frame[2] | frame[3] << 8) >> 1); }
inline uint16_t recv_seq(std::span<const uint8_t> frame) { return uint16_t((frame[4] | frame[5] << 8) >> 1); }

// Writers return the frame size (the caller provides kMaxApduSize octets).
size_t write_u_frame(uint8_t* out, uint8_t control1);
size_t write_s_frame(uint8_t* out, uint16_t nr);
// Header of an I-frame carrying `asdu_size` octets, which the caller puts at out + 6.
size_t write_i_header(uint8_t* out, uint16_t ns, uint16_t nr, size_t asdu_size);

enum class ParseError { none, bad_start, bad_length };

// Accumulates received bytes and hands out whole frames.
struct FrameParser {
    std::array<uint8_t, 4096> buffer{};
    size_t size = 0;      // bytes held
    size_t consumed = 0;  // bytes already handed out
};

// Free space to read into (after compacting).
std::span<uint8_t> parser_space(FrameParser& p);
inline void parser_commit(FrameParser& p, size_t n) { p.size += n; }
// Next whole frame in `frame`; false when more bytes are needed or on error.
// A start byte other than 0x68, a length under 4, or an S/U frame whose length
// is not 4 is an error: the stream cannot be resynchronised.
bool parser_next(FrameParser& p, std::span<const uint8_t>& frame, ParseError& error);

}  // namespace iec104
