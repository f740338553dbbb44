// Byte codings of the RF payloads. All arithmetic is modulo 256 per byte.
#pragma once

#include <cstdint>

namespace rf {

// Offset byte: ids, group ID bytes, flags and small values travel as value + 0x80.
constexpr uint8_t offset_encode(uint8_t value) { return uint8_t(value + 0x80); }
constexpr uint8_t offset_decode(uint8_t wire) { return uint8_t(wire - 0x80); }

// di/dt level byte: value + 0x50.
constexpr uint8_t didt_encode(uint8_t value) { return uint8_t(value + 0x50); }
constexpr uint8_t didt_decode(uint8_t wire) { return uint8_t(wire - 0x50); }

// Base-100 pair: offset bytes of (v / 100) mod 256 and v mod 100. Exact up to 25599.
constexpr void base100_encode(uint16_t value, uint8_t* out) {
    out[0] = offset_encode(uint8_t((value / 100) & 0xFF));
    out[1] = offset_encode(uint8_t(value % 100));
}
constexpr uint16_t base100_decode(const uint8_t* in) {
    return uint16_t(unsigned(offset_decode(in[0])) * 100u + offset_decode(in[1]));
}

}  // namespace rf
