// A file descriptor that closes itself.
#pragma once

#include <unistd.h>

#include <utility>

namespace ubus {

struct unique_fd {
    int fd = -1;
    unique_fd() = default;
    explicit unique_fd(int f) : fd(f) {}
    unique_fd(unique_fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    unique_fd& operator=(unique_fd&& o) noexcept
    {
        if (this != &o) reset(std::exchange(o.fd, -1));
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }
    void reset(int f = -1)
    {
        if (fd >= 0) ::close(fd);
        fd = f;
    }
    explicit operator bool() const { return fd >= 0; }
};

}  // namespace ubus
