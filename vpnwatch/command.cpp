#include "vpnwatch/command.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vpnwatch {

std::optional<std::string> run_command(const char* cmd, std::size_t capacity)
{
    FILE* pipe = ::popen(cmd, "r");
    if (!pipe) return std::nullopt;
    std::string out;
    std::size_t limit = capacity > 0 ? capacity - 1 : 0;
    char line[128] = {};
    // A line longer than the buffer arrives in several pieces.
    while (std::fgets(line, sizeof line, pipe)) {
        std::size_t n = std::strlen(line);
        if (out.size() < limit) out.append(line, std::min(n, limit - out.size()));
    }
    ::pclose(pipe);
    return out;
}

}  // namespace vpnwatch
