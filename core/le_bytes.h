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

// A fixed layout whose fields follow one another without gaps lists them once,
// in file order, in a function template over an `io` (`io(field)` for a field
// under the check word, `io.unchecked(field)` for a reserved field or the
// check word itself). The same list then encodes (le_writer), decodes
// (le_reader) and computes the check word (check_word).

// Writes each field at the cursor and moves past it.
struct le_writer {
    uint8_t* p;
    void operator()(uint16_t v) { put_le16(p, v), p += 2; }
    void operator()(uint32_t v) { put_le32(p, v), p += 4; }
    void operator()(uint64_t v) { put_le64(p, v), p += 8; }
    template <class T>
    void unchecked(T v) { (*this)(v); }
};

// Reads each field from the cursor and moves past it.
struct le_reader {
    const uint8_t* p;
    void operator()(uint16_t& v) { v = get_le16(p), p += 2; }
    void operator()(uint32_t& v) { v = get_le32(p), p += 4; }
    void operator()(uint64_t& v) { v = get_le64(p), p += 8; }
    template <class T>
    void unchecked(T& v) { (*this)(v); }
};

// XOR of the checked fields into `word`, which starts as the format's check
// constant: a 16-bit field counts as a word, a 64-bit field as its two.
struct check_word {
    uint32_t word;
    void operator()(uint16_t v) { word ^= v; }
    void operator()(uint32_t v) { word ^= v; }
    void operator()(uint64_t v) { word ^= uint32_t(v) ^ uint32_t(v >> 32); }
    template <class T>
    void unchecked(const T&) {}
};

}  // namespace core
