#include "logs/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace logs {

size_t format_timestamp(int64_t t, char* out, size_t size) {
    if (size == 0) return 0;
    std::tm tm{};
    time_t tt = time_t(t);
    if (int64_t(tt) != t || !localtime_r(&tt, &tm)) {
        int n = std::snprintf(out, size, "%s", "1970-01-01 00:00:00.000");
        return n < 0 ? 0 : std::min(size_t(n), size - 1);
    }
    size_t n = std::strftime(out, size, "%Y-%m-%d %H:%M:%S", &tm);
    if (n == 0) out[0] = '\0';
    return n;
}

void bytes_to_hex(const uint8_t* bytes, size_t count, char* out) {
    static constexpr char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    out[2 * count] = '\0';
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<uint8_t>> hex_to_bytes(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        int hi = hex_digit(text[2 * i]);
        int lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[i] = uint8_t(hi << 4 | lo);
    }
    return bytes;
}

}  // namespace logs
