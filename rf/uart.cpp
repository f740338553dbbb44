#include "rf/uart.h"

#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <mutex>
#include <vector>

#include "rf/parser.h"
#include "rf/radio.h"

namespace rf {

namespace {

bool speed_of(int baud, speed_t* speed) {
    switch (baud) {
    case 9600: *speed = B9600; return true;
    case 19200: *speed = B19200; return true;
    case 38400: *speed = B38400; return true;
    case 57600: *speed = B57600; return true;
    case 115200: *speed = B115200; return true;
    default: return false;
    }
}

// 0 stands for "no port" and 0-2 are the standard streams: a daemon started
// with them closed would get the port there, so move it above them.
int above_std_streams(int fd) {
    if (fd > STDERR_FILENO) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    return moved;
}

}  // namespace

core::unique_fd uart_open(const char* path, int baud) {
    int raw = path ? ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (raw >= 0) raw = above_std_streams(raw);
    if (raw < 0) {
        if (!path) errno = EINVAL;
        std::perror("uart_open: Error opening port");
        return {};
    }
    core::unique_fd fd(raw);

    termios tio{};
    if (::tcgetattr(fd.get(), &tio) != 0) {
        std::perror("uart_open: tcgetattr error");
        return {};
    }
    speed_t speed;
    if (!speed_of(baud, &speed)) {
        std::fputs("uart_open: Unsupported baud rate\n", stderr);
        return {};
    }
    ::cfsetospeed(&tio, speed);
    ::cfsetispeed(&tio, speed);

    tio.c_cflag &= ~(CRTSCTS | PARENB | CSTOPB | CSIZE);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    // Frames are binary: no input translation may touch a byte. With the usual
    // driver defaults a 0x0D (a length byte, an offset byte of 141) would
    // arrive as 0x0A, and stripping or parity marking would alter others.
    tio.c_iflag &= ~(ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK);
    tio.c_oflag &= ~OPOST;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    if (::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
        std::perror("uart_open: tcsetattr error");
        return {};
    }
    return fd;
}

int uart_write(radio& r, int fd, const uint8_t* bytes, size_t length) {
    std::lock_guard lock(r.uart_lock);
    ssize_t n = ::write(fd, bytes, length);
    if (n < 0) {
        std::perror("uart_write: write error");
        return -1;
    }
    return int(n);
}

int uart_read(radio& r, int fd, uint8_t* buffer, size_t capacity, int timeout_ms) {
    {
        std::lock_guard lk(r.pushback_lock);
        if (!r.pushback.empty()) {
            const size_t n = std::min(capacity, r.pushback.size());
            std::copy(r.pushback.begin(), r.pushback.begin() + long(n), buffer);
            r.pushback.erase(r.pushback.begin(), r.pushback.begin() + long(n));
            return int(n);
        }
    }
    // The wait is outside uart_lock, so that a writer gets the port at once;
    // poll waits like select but takes any descriptor number.
    pollfd pfd{fd, POLLIN, 0};
    int ready = ::poll(&pfd, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (ready > 0 && (pfd.revents & POLLNVAL)) {  // not an open descriptor: select fails here with EBADF
        ready = -1;
        errno = EBADF;
    }
    if (ready < 0) {
        std::perror("uart_read: select error");
        return -1;
    }
    if (ready == 0) return 0;
    std::lock_guard lock(r.uart_lock);
    ssize_t n = ::read(fd, buffer, capacity);
    if (n < 0) {
        std::perror("uart_read: read error");
        return -1;
    }
    return int(n);
}

int uart_exchange(radio& r, int fd, const uint8_t* command, size_t length, int& written,
                  std::span<const uint8_t> expected, uint8_t* answer, int timeout_ms) {
    std::lock_guard lock(r.uart_lock);
    const ssize_t w = ::write(fd, command, length);
    written = w < 0 ? -1 : int(w);
    if (w < 0) std::perror("uart_write: write error");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    // An FPI's frame may come before the answer (the radio forwarded it while
    // the command went out): a whole frame in front of the answer goes to the
    // reader, and the answer is still waited for. Bytes behind the answer go
    // back too.
    std::vector<uint8_t> in;  // read, not yet sorted
    std::vector<uint8_t> for_reader;
    size_t got = 0;
    // The answer's time-out bounds the wait for a frame's end: the parser's
    // clock stands still.
    rf_parser frame;
    frame.now_ms = [] { return uint64_t(0); };
    auto sort_in = [&] {
        size_t at = 0;
        while (at < in.size() && got < expected.size()) {
            if (got == 0 && in[at] == frame_start) {
                rf_parser_reset(frame);
                const int n = rf_parser_feed(frame, in.data() + at, in.size() - at);
                if (n == 0) return at;  // a frame may be starting: wait for more
                if (n > 0) {
                    for_reader.insert(for_reader.end(), frame.buffer.begin(), frame.buffer.begin() + n);
                    at += size_t(n);
                    continue;
                }
            }
            answer[got++] = in[at++];
        }
        return at;
    };
    bool failed = false;
    while (got < expected.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, int(left.count()));
        if (ready < 0 || (pfd.revents & POLLNVAL)) {
            std::perror("uart_read: select error");
            failed = true;
            break;
        }
        if (ready == 0) break;
        uint8_t chunk[512];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            std::perror("uart_read: read error");
            failed = true;
            break;
        }
        if (n == 0) break;  // hung up
        in.insert(in.end(), chunk, chunk + n);
        in.erase(in.begin(), in.begin() + long(sort_in()));
    }
    // What is left (a frame begun but not ended, bytes behind the answer) is
    // the reader's, and so is an answer that is not the expected one.
    if (got > 0 && !std::equal(answer, answer + got, expected.begin(), expected.begin() + long(got)))
        for_reader.insert(for_reader.end(), answer, answer + got);
    for_reader.insert(for_reader.end(), in.begin(), in.end());
    if (!for_reader.empty()) {
        {
            std::lock_guard lk(r.pushback_lock);
            r.pushback.insert(r.pushback.end(), for_reader.begin(), for_reader.end());
        }
        uart_wake_reader(r);
    }
    return failed ? -1 : int(got);
}

void uart_wait_readable(radio& r, int fd, int timeout_ms) {
    {
        std::lock_guard lk(r.pushback_lock);
        if (!r.pushback.empty()) return;
    }
    // The wake counter is level-triggered: one written after the look above
    // ends this poll at once.
    pollfd pfd[2] = {{fd, POLLIN, 0}, {r.reader_wake.get(), POLLIN, 0}};
    if (::poll(pfd, 2, timeout_ms) > 0 && (pfd[1].revents & POLLIN)) {
        uint64_t count;
        if (::read(pfd[1].fd, &count, sizeof count) < 0) {
            // non-blocking: another wait took it
        }
    }
}

void uart_wake_reader(radio& r) {
    const uint64_t one = 1;
    if (::write(r.reader_wake.get(), &one, sizeof one) < 0) {
        // the counter is non-zero already (or there is none): nothing to add
    }
}

}  // namespace rf
