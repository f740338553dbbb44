// Runs a shell command and collects what it prints.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vpnwatch {

// Output of `cmd` run through the shell, at most `capacity` - 1 bytes (the
// capacity counts a terminator, as the reply buffers do); the rest is read
// and discarded so the command is never cut off mid-write. nullopt when the
// command could not be started (errno tells why). The command's exit status
// is not looked at.
std::optional<std::string> run_command(const char* cmd, std::size_t capacity);

}  // namespace vpnwatch
