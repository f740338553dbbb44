// IPv4 addresses and CIDR ranges, for the list of masters the server accepts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <cstdint>

namespace core {

// An IPv4 address range, both in host byte order.
struct ipv4_range {
    uint32_t network = 0;
    uint32_t mask = 0;
};

// "a.b.c.d" or "a.b.c.d/n" (n 0..32, no host bits set); nothing when malformed.
std::optional<ipv4_range> parse_ipv4_range(std::string_view text);
// Whether the dotted IPv4 address lies in one of the ranges.
bool ipv4_allowed(const std::vector<ipv4_range>& ranges, const std::string& address);

}  // namespace core
