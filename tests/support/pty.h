// A pseudo-terminal for serial tests: the gateway opens `path` as its radio's
// line, the test plays the radio on `master`.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "core/unique_fd.h"

namespace test_support {

using bytes = std::vector<uint8_t>;

struct pty {
    core::unique_fd master;
    std::string path;
};

inline pty open_pty() {
    pty p;
    p.master = core::unique_fd(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!p.master || grantpt(p.master.get()) != 0 || unlockpt(p.master.get()) != 0) return {};
    char name[128] = {};
    if (ptsname_r(p.master.get(), name, sizeof name) != 0) return {};
    p.path = name;
    return p;
}

// False when a write fails.
inline bool write_all(int fd, const uint8_t* b, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, b, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        b += w;
        n -= size_t(w);
    }
    return true;
}
inline bool write_all(int fd, const bytes& b) { return write_all(fd, b.data(), b.size()); }

// Reads until `count` bytes arrived or `timeout_ms` passed.
inline bytes read_bytes(int fd, size_t count, int timeout_ms = 5000) {
    bytes out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, int(left.count())) <= 0) break;
        uint8_t buf[512];
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, count - out.size()));
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

// The 27-byte CMD_EVENT_DATA frame from slave 3 to RTU 10, group 01 02 03 04 05.
inline const bytes event_frame = {0x01, 0x18, 0x81, 0x82, 0x83, 0x84, 0x85, 0x83, 0x8A, 0x65, 0x94, 0x81, 0x97, 0x81,
                                  0x80, 0x82, 0xB2, 0x81, 0x97, 0x85, 0xA4, 0xD0, 0x89, 0x87, 0x85, 0x82, 0x04};

}  // namespace test_support
