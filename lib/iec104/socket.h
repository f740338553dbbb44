// Descriptors and the few socket calls the stack makes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace iec104 {

// Owns one file descriptor.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    explicit operator bool() const { return fd >= 0; }
};

// Non-blocking eventfd used to wake a thread out of poll().
Fd make_eventfd();
void wake(const Fd& event);
void drain(const Fd& event);

// IPv4 listening socket, SO_REUSEADDR, non-blocking. Port 0 picks a free port.
// On failure returns an empty Fd and sets `error` ("bind: Address already in use").
Fd listen_tcp(const std::string& address, uint16_t port, int backlog, std::string& error);
uint16_t local_port(const Fd& socket);

// Accepts one connection, non-blocking with TCP_NODELAY; the peer's address
// without the port goes to `peer`.
Fd accept_tcp(const Fd& listener, std::string& peer, uint16_t& peer_port);

// Connects to host:port within timeout_ms, from local_address when it is not
// empty; the socket is left non-blocking with TCP_NODELAY.
Fd connect_tcp(const std::string& host, uint16_t port, int timeout_ms, std::string& error,
               const std::string& local_address = {});

// Orderly close: shutdown both ways, then close.
void close_orderly(Fd& socket);

}  // namespace iec104
