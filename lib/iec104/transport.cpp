#include "lib/iec104/transport.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace iec104 {

int64_t monotonic_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void tx_u(TxBuffer& t, uint8_t control1) {
    uint8_t f[6];
    t.data.insert(t.data.end(), f, f + write_u_frame(f, control1));
}

void tx_s(TxBuffer& t, uint16_t nr) {
    uint8_t f[6];
    t.data.insert(t.data.end(), f, f + write_s_frame(f, nr));
}

void tx_i(TxBuffer& t, uint16_t ns, uint16_t nr, std::span<const uint8_t> asdu) {
    uint8_t h[6];
    write_i_header(h, ns, nr, asdu.size());
    t.data.insert(t.data.end(), h, h + 6);
    t.data.insert(t.data.end(), asdu.begin(), asdu.end());
}

bool tx_flush(const Fd& socket, TxBuffer& t) {
    while (tx_pending(t)) {
        const ssize_t n = send(socket.fd, t.data.data() + t.written, t.data.size() - t.written, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            return false;
        }
        t.written += size_t(n);
    }
    t.data.clear();
    t.written = 0;
    return true;
}

ReadStatus read_some(const Fd& socket, FrameParser& parser) {
    const std::span<uint8_t> space = parser_space(parser);
    for (;;) {
        const ssize_t n = recv(socket.fd, space.data(), space.size(), 0);
        if (n > 0) {
            parser_commit(parser, size_t(n));
            return ReadStatus::ok;
        }
        if (n == 0) return ReadStatus::closed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadStatus::ok;
        return ReadStatus::error;
    }
}

void wait_io(const Fd& socket, bool want_write, const Fd& event, int64_t timeout_ms, bool& socket_ready,
             bool& woken) {
    pollfd fds[2] = {{socket.fd, short(POLLIN | (want_write ? POLLOUT : 0)), 0}, {event.fd, POLLIN, 0}};
    const int timeout = timeout_ms > 60000 ? 60000 : int(timeout_ms);
    const int rc = poll(fds, 2, timeout);
    socket_ready = rc > 0 && fds[0].revents != 0;
    woken = rc > 0 && fds[1].revents != 0;
}

}  // namespace iec104
