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

extern char** environ;

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

std::string bin(const std::string& name) { return std::string(FPIGATE_BIN_DIR) + "/" + name; }

temp_dir::temp_dir()
{
    char tmpl[] = "/tmp/ubus-test-XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    path = tmpl;
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

child& child::operator=(child&& o) noexcept
{
    if (this != &o) {
        stop();
        pid = o.pid;
        o.pid = -1;
    }
    return *this;
}

int child::wait(int timeout_ms)
{
    if (pid < 0) return -1;
    int status = -1;
    bool done = wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
    if (!done) return -1;
    pid = -1;
    return status;
}

int child::stop(int sig)
{
    if (pid < 0) return -1;
    ::kill(pid, sig);
    int status = wait(10000);
    if (pid >= 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        pid = -1;
    }
    return status;
}

namespace {

std::vector<char*> c_args(const std::vector<std::string>& v)
{
    std::vector<char*> out;
    for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

pid_t start(const std::vector<std::string>& argv, const std::vector<std::string>& env, int out_fd,
            int err_fd)
{
    std::vector<std::string> all_env;
    for (char** e = environ; *e; ++e) all_env.push_back(*e);
    for (const auto& e : env) {
        auto name = e.substr(0, e.find('=') + 1);
        std::erase_if(all_env, [&](const std::string& x) { return x.rfind(name, 0) == 0; });
        all_env.push_back(e);
    }
    auto a = c_args(argv);
    auto en = c_args(all_env);
    pid_t pid = ::fork();
    if (pid == 0) {
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        if (out_fd >= 0) ::dup2(out_fd, 1);
        if (err_fd >= 0) ::dup2(err_fd, 2);
        ::execve(a[0], a.data(), en.data());
        ::_exit(127);
    }
    return pid;
}

}  // namespace

child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    child c;
    c.pid = start(argv, env, -1, -1);
    return c;
}

run_result run(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) < 0 || ::pipe2(err, O_CLOEXEC) < 0) std::abort();
    child c;
    c.pid = start(argv, env, out[1], err[1]);
    ::close(out[1]);
    ::close(err[1]);
    run_result r;
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (open_fds > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::poll(p, 2, 1000) <= 0) continue;
        for (int k = 0; k < 2; ++k) {
            if (p[k].fd < 0 || !p[k].revents) continue;
            char buf[4096];
            ssize_t n = ::read(p[k].fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(p[k].fd);
                p[k].fd = -1;
                --open_fds;
                continue;
            }
            (k == 0 ? r.out : r.err).append(buf, std::size_t(n));
        }
    }
    for (auto& x : p)
        if (x.fd >= 0) ::close(x.fd);
    int status = c.wait(10000);
    if (status != -1 && WIFEXITED(status)) r.code = WEXITSTATUS(status);
    return r;
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
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
    return wait_until([&] {
        std::uint8_t buf[4096];
        return ::recv(fd.fd, buf, sizeof buf, MSG_DONTWAIT) == 0;
    }, timeout_ms);
}

void broker_fixture::SetUp()
{
    sock = dir.path + "/ubus.sock";
    broker = spawn({bin("ubusd-lite"), "-s", sock});
    ASSERT_TRUE(wait_until([&] { return ubus::connect(sock) != nullptr; })) << "broker did not start";
}

void broker_fixture::TearDown() { broker.stop(); }

}  // namespace ubus_test
