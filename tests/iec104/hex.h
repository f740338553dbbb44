// Hex text <-> bytes for readable test vectors ("68 04 07 00 00 00").
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

inline std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> out;
    unsigned value = 0;
    int digits = 0;
    for (char ch : text) {
        int v = -1;
        if (ch >= '0' && ch <= '9') v = ch - '0';
        if (ch >= 'a' && ch <= 'f') v = ch - 'a' + 10;
        if (v < 0) continue;
        value = value << 4 | unsigned(v);
        if (++digits == 2) {
            out.push_back(uint8_t(value));
            value = 0;
            digits = 0;
        }
    }
    return out;
}

inline std::string to_hex(std::span<const uint8_t> bytes) {
    std::string s;
    char b[4];
    for (uint8_t x : bytes) {
        std::snprintf(b, sizeof b, s.empty() ? "%02x" : " %02x", x);
        s += b;
    }
    return s;
}
