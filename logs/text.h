// Small text helpers shared by the recent RF data list, the CSV export and
// the rf.service methods.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace logs {

// Local time of `t` as "%Y-%m-%d %H:%M:%S" into out[size]. Returns the number
// of characters written, 0 when the text does not fit. When the time cannot be
// converted, "1970-01-01 00:00:00.000" is written, cut to the size limit.
size_t format_timestamp(int64_t t, char* out, size_t size);

// Two upper-case hexadecimal digits per byte, then a terminator:
// out needs room for 2 * count + 1 characters.
void bytes_to_hex(const uint8_t* bytes, size_t count, char* out);

// The bytes of a text of hexadecimal digit pairs (either case); none when the
// length is odd or a character is not a hexadecimal digit.
std::optional<std::vector<uint8_t>> hex_to_bytes(std::string_view text);

}  // namespace logs
