#include "tests/ubus/support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "lib/ubus/client.h"

namespace ubus_test {

ubus::bytes hex(std::string_view text)
{
    ubus::bytes out;
    int hi = -1;
    for (char ch : text) {
        int v;
        if (ch >= '0' && ch <= '9') v = ch - '0';
        else if (ch >= 'a' && ch <= 'f') v = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F') v = ch - 'A' + 10;
        else continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(std::uint8_t(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

std::string to_hex(const ubus::bytes& b)
{
    std::string out;
    char buf[4];
    for (auto x : b) {
        std::snprintf(buf, sizeof buf, "%02x ", x);
        out += buf;
    }
    return out;
}

bool raw_peer::connect(const std::string& path)
{
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    fd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return ::connect(fd.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

void raw_peer::send(const ubus::bytes& b)
{
    ASSERT_EQ(::send(fd.fd, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
}

ubus::bytes raw_peer::next(int timeout_ms)
{
    ubus::bytes out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (in.next(out) != ubus::frame_reader::frame_ready) {
        if (std::chrono::steady_clock::now() >= deadline) return {};
        pollfd p{fd.fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        std::uint8_t buf[4096];
        ssize_t n = ::recv(fd.fd, buf, sizeof buf, 0);
        if (n <= 0) return {};
        in.feed(buf, std::size_t(n));
    }
    return out;
}

bool raw_peer::quiet(int ms)
{
    pollfd p{fd.fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

bool raw_peer::closed(int timeout_ms)
{
    return test_support::wait_until([&] {
        std::uint8_t buf[4096];
        return ::recv(fd.fd, buf, sizeof buf, MSG_DONTWAIT) == 0;
    }, std::chrono::milliseconds(timeout_ms));
}

void broker_fixture::SetUp()
{
    sock = dir / "ubus.sock";
    broker = test_support::child_process({test_support::bin("ubusd-lite"), "-s", sock},
                                         {.out = test_support::sink::inherit, .err = test_support::sink::inherit});
    ASSERT_TRUE(test_support::wait_until([&] { return ubus::connect(sock) != nullptr; })) << "broker did not start";
}

void broker_fixture::TearDown() { broker.stop(); }

}  // namespace ubus_test
