// The text helpers of the logs and rf.service: hex_to_bytes on arbitrary
// text, bytes_to_hex on arbitrary bytes, and the round trips between them;
// format_timestamp on arbitrary times and buffer sizes.
//
// Checked: hex_to_bytes refuses exactly the texts of odd length or with a
// character that is no hexadecimal digit, and what it accepts is its text in
// upper case when written back; bytes_to_hex writes two upper-case digits per
// byte and a terminator, and reads back as the same bytes; format_timestamp
// stays within its buffer and terminates what it wrote.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "logs/text.h"

namespace {

bool hex_digit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input as text.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto bytes = logs::hex_to_bytes(text);
    bool all_hex = true;
    for (char c : text) all_hex = all_hex && hex_digit(c);
    if (bytes.has_value() != (size % 2 == 0 && all_hex)) std::abort();
    if (bytes) {
        if (bytes->size() != size / 2) std::abort();
        std::string back(2 * bytes->size() + 1, '\xff');
        logs::bytes_to_hex(bytes->data(), bytes->size(), back.data());
        back.pop_back();
        std::string upper = text;
        for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
        if (back != upper) std::abort();
    }

    // The input as bytes, written out in an exactly sized buffer and read back.
    std::vector<char> hex(2 * size + 1);
    logs::bytes_to_hex(data, size, hex.data());
    if (hex[2 * size] != '\0') std::abort();
    for (size_t i = 0; i < 2 * size; ++i)
        if (!hex_digit(hex[i]) || std::islower(static_cast<unsigned char>(hex[i]))) std::abort();
    const auto again = logs::hex_to_bytes(std::string_view(hex.data(), 2 * size));
    if (!again || again->size() != size || (size && std::memcmp(again->data(), data, size) != 0)) std::abort();

    // The first nine bytes as a time and a buffer size.
    if (size >= 9) {
        int64_t t = 0;
        for (int i = 0; i < 8; ++i) t |= int64_t(uint64_t(data[i]) << (8 * i));
        const size_t room = data[8] % 40;
        std::vector<char> out(room);  // exact size: ASan sees a write past it
        const size_t n = logs::format_timestamp(t, out.data(), room);
        if (room == 0 ? n != 0 : (n >= room || out[n] != '\0')) std::abort();
    }
    return 0;
}
