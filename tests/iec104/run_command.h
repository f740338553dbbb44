// Runs a shell command for a test and returns its standard output.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace test {

// `status` is the exit code, or -1 when the command did not exit normally.
inline std::string run_command(const std::string& cmd, int& status) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    status = -1;
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = pclose(p);
    status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

}  // namespace test
