// A file descriptor that closes itself, and whole-buffer reads and writes
// that carry on after short transfers and EINTR.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <unistd.h>

namespace core {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& o) noexcept : fd_(o.release()) {}
    unique_fd& operator=(unique_fd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the one held (if any) and holds `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports whether the close succeeded.
    bool close() {
        int fd = release();
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_ = -1;
};

// Writes all of buf at offset (or at the current position when offset < 0).
inline bool write_all(int fd, const uint8_t* buf, size_t len, off_t offset = -1) {
    while (len > 0) {
        ssize_t n = offset < 0 ? ::write(fd, buf, len) : ::pwrite(fd, buf, len, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        buf += n;
        len -= size_t(n);
        if (offset >= 0) offset += n;
    }
    return true;
}

// Reads up to len bytes at offset; returns the number read (short at end of
// file) or -1 on error.
inline ssize_t read_full(int fd, uint8_t* buf, size_t len, off_t offset) {
    size_t got = 0;
    while (got < len) {
        ssize_t n = ::pread(fd, buf + got, len - got, offset + off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += size_t(n);
    }
    return ssize_t(got);
}

}  // namespace core
