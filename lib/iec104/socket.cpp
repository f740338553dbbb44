#include "lib/iec104/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace iec104 {
namespace {

void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

Fd& Fd::operator=(Fd&& o) noexcept {
    if (this != &o) {
        if (fd >= 0) ::close(fd);
        fd = std::exchange(o.fd, -1);
    }
    return *this;
}

Fd::~Fd() {
    if (fd >= 0) ::close(fd);
}

Fd make_eventfd() { return Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)); }

void wake(const Fd& event) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(event.fd, &one, sizeof one);
}

void drain(const Fd& event) {
    uint64_t value;
    [[maybe_unused]] ssize_t n = read(event.fd, &value, sizeof value);
}

Fd listen_tcp(const std::string& address, uint16_t port, int backlog, std::string& error) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.empty() ? "0.0.0.0" : address.c_str(), &sa.sin_addr) != 1) {
        error = "invalid local address " + address;
        return Fd();
    }
    Fd s(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s) {
        error = errno_text("socket");
        return Fd();
    }
    int one = 1;
    setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Accepted sockets inherit it: data a dead master never acknowledges
    // aborts the connection after 10 s.
    unsigned user_timeout_ms = 10000;
    setsockopt(s.fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
    if (bind(s.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = errno_text("bind");
        return Fd();
    }
    if (listen(s.fd, backlog) != 0) {
        error = errno_text("listen");
        return Fd();
    }
    return s;
}

uint16_t local_port(const Fd& socket) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(socket.fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

Fd accept_tcp(const Fd& listener, std::string& peer, uint16_t& peer_port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    Fd s(accept4(listener.fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!s) return s;
    set_nodelay(s.fd);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    peer = text;
    peer_port = ntohs(sa.sin_port);
    return s;
}

Fd connect_tcp(const std::string& host, uint16_t port, int timeout_ms, std::string& error,
               const std::string& local_address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = "getaddrinfo " + host + ": " + gai_strerror(rc);
        return Fd();
    }
    Fd s(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s) {
        freeaddrinfo(found);
        error = errno_text("socket");
        return Fd();
    }
    if (!local_address.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, local_address.c_str(), &local.sin_addr) != 1) {
            freeaddrinfo(found);
            error = "local address " + local_address + ": not an IPv4 address";
            return Fd();
        }
        if (bind(s.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            freeaddrinfo(found);
            error = errno_text(("bind " + local_address).c_str());
            return Fd();
        }
    }
    int rc = connect(s.fd, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (rc != 0 && errno != EINPROGRESS) {
        error = errno_text("connect");
        return Fd();
    }
    if (rc != 0) {
        pollfd p{s.fd, POLLOUT, 0};
        rc = poll(&p, 1, timeout_ms);
        if (rc == 0) {
            error = "connect: timed out";
            return Fd();
        }
        int so_error = 0;
        socklen_t len = sizeof so_error;
        getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
        if (rc < 0 || so_error != 0) {
            errno = rc < 0 ? errno : so_error;
            error = errno_text("connect");
            return Fd();
        }
    }
    set_nodelay(s.fd);
    return s;
}

void close_orderly(Fd& socket) {
    if (!socket) return;
    shutdown(socket.fd, SHUT_RDWR);
    socket = Fd();
}

}  // namespace iec104
