// Test helpers: a hand-driven master on a plain socket and a server fixture that records what the handlers saw.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hex.h"
#include "lib/iec104/apci.h"
#include "lib/iec104/server.h"
#include "tests/support/wait.h"

namespace test {

// A master whose every frame the test writes and reads itself.
struct RawMaster {
    int fd = -1;
    uint16_t vs = 0, vr = 0;

    explicit RawMaster(uint16_t port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(fd);
            fd = -1;
        }
        int one = 1;
        if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~RawMaster() {
        if (fd >= 0) ::close(fd);
    }
    RawMaster(const RawMaster&) = delete;
    RawMaster& operator=(const RawMaster&) = delete;

    void send_bytes(const std::vector<uint8_t>& b) const {
        [[maybe_unused]] auto n = ::send(fd, b.data(), b.size(), MSG_NOSIGNAL);
    }
    void send_u(uint8_t control) const { send_bytes({0x68, 4, control, 0, 0, 0}); }
    void send_s() const { send_bytes({0x68, 4, 1, 0, uint8_t(vr << 1), uint8_t(vr >> 7)}); }
    // An I-frame with the next N(S) and the current N(R).
    void send_i(const std::vector<uint8_t>& asdu) {
        std::vector<uint8_t> f = {0x68, uint8_t(4 + asdu.size()), uint8_t(vs << 1), uint8_t(vs >> 7),
                                  uint8_t(vr << 1), uint8_t(vr >> 7)};
        f.insert(f.end(), asdu.begin(), asdu.end());
        vs = (vs + 1) & 0x7fff;
        send_bytes(f);
    }

    bool read_exact(uint8_t* out, size_t n, int timeout_ms) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        size_t got = 0;
        while (got < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, int(left.count())) <= 0) return false;
            const ssize_t r = ::recv(fd, out + got, n - got, 0);
            if (r <= 0) return false;
            got += size_t(r);
        }
        return true;
    }

    // Next frame as hex, or nothing on time-out or close. I-frames advance V(R).
    std::optional<std::vector<uint8_t>> read_frame(int timeout_ms = 5000) {
        uint8_t head[2];
        if (!read_exact(head, 2, timeout_ms)) return std::nullopt;
        std::vector<uint8_t> f(size_t(head[1]) + 2);
        f[0] = head[0];
        f[1] = head[1];
        if (!read_exact(f.data() + 2, head[1], timeout_ms)) return std::nullopt;
        if ((f[2] & 1) == 0) vr = (vr + 1) & 0x7fff;
        return f;
    }
    std::string read_hex(int timeout_ms = 5000) {
        auto f = read_frame(timeout_ms);
        return f ? to_hex(*f) : "(none)";
    }
    // The ASDU of the next frame (which must be an I-frame), as hex.
    std::string read_asdu(int timeout_ms = 5000) {
        auto f = read_frame(timeout_ms);
        if (!f) return "(none)";
        if (((*f)[2] & 1) != 0) return "(not an I-frame: " + to_hex(*f) + ")";
        return to_hex(std::span(*f).subspan(6));
    }
    // True when the server closes the connection within the time.
    bool closed_by_peer(int timeout_ms = 5000) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        uint8_t b[512];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, int(left.count())) <= 0) return false;
            const ssize_t r = ::recv(fd, b, sizeof b, 0);
            if (r <= 0) return true;
        }
    }
    void start() {
        send_u(iec104::kStartdtAct);
        [[maybe_unused]] auto f = read_frame();
    }
};

// Server on an ephemeral loopback port whose handlers record their calls.
struct ServerFixture {
    iec104::ServerConfig config;
    iec104::ServerHandlers handlers;
    iec104::ServerPtr server;
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<iec104::ConnectionPtr> connections;

    ServerFixture() {
        config.local_address = "127.0.0.1";
        config.port = 0;
        handlers.connection_event = [this](const iec104::ConnectionPtr& c, iec104::ConnectionEvent e) {
            static const char* names[] = {"opened", "closed", "activated", "deactivated"};
            std::lock_guard lock(mutex);
            events.push_back(names[int(e)]);
            if (e == iec104::ConnectionEvent::opened) connections.push_back(c);
        };
    }
    // The server goes first: its connection threads still report to the members below.
    ~ServerFixture() { server.reset(); }
    ServerFixture(const ServerFixture&) = delete;
    ServerFixture& operator=(const ServerFixture&) = delete;

    uint16_t start() {
        server = iec104::server_create(config, handlers);
        if (!iec104::server_start(*server)) return 0;
        return iec104::server_port(*server);
    }
    std::vector<std::string> event_list() {
        std::lock_guard lock(mutex);
        return events;
    }
    size_t event_count() { return event_list().size(); }
    iec104::ConnectionPtr connection(size_t i) {
        std::lock_guard lock(mutex);
        return i < connections.size() ? connections[i] : nullptr;
    }
};

}  // namespace test
