// Little-endian field access for the on-flash formats. Every stored number is
// written and read byte by byte, so the layout never depends on the host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace core {

inline void put_le16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

inline void put_le64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

inline uint16_t get_le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

inline uint32_t get_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint64_t get_le64(const uint8_t* p) {
    return uint64_t(get_le32(p)) | uint64_t(get_le32(p + 4)) << 32;
}

}  // namespace core
