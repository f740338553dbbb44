#include "core/address_range.h"

#include <arpa/inet.h>

namespace core {

std::optional<ipv4_range> parse_ipv4_range(std::string_view text) {
    const size_t slash = text.find('/');
    const std::string address(text.substr(0, slash));
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) != 1) return std::nullopt;
    int bits = 32;
    if (slash != std::string_view::npos) {
        const std::string_view n = text.substr(slash + 1);
        if (n.empty() || n.size() > 2) return std::nullopt;
        bits = 0;
        for (char c : n) {
            if (c < '0' || c > '9') return std::nullopt;
            bits = bits * 10 + (c - '0');
        }
        if (bits > 32) return std::nullopt;
    }
    ipv4_range r;
    r.mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
    r.network = ntohl(a.s_addr);
    // 10.0.0.1/8 is more likely a typing error than a range: refused.
    if (r.network & ~r.mask) return std::nullopt;
    return r;
}

bool ipv4_allowed(const std::vector<ipv4_range>& ranges, const std::string& address) {
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
    const uint32_t host = ntohl(a.s_addr);
    for (const ipv4_range& r : ranges)
        if ((host & r.mask) == r.network) return true;
    return false;
}

}  // namespace core
