// ubus status codes and the texts the tools print for them.
#pragma once

#include <string>

namespace ubus::status {
inline constexpr int ok = 0;
inline constexpr int invalid_command = 1;
inline constexpr int invalid_argument = 2;
inline constexpr int method_not_found = 3;
inline constexpr int not_found = 4;
inline constexpr int no_data = 5;
inline constexpr int permission_denied = 6;
inline constexpr int timeout = 7;
inline constexpr int not_supported = 8;
inline constexpr int unknown_error = 9;
inline constexpr int connection_failed = 10;
inline constexpr int no_memory = 11;
inline constexpr int parse_error = 12;
inline constexpr int system_error = 13;

// "Success", "Invalid command", ..., "Unknown error: N" for codes without a name.
std::string text(int code);
}  // namespace ubus::status
