// Runs a program as a child process, for tests and benchmarks of a real
// binary: its standard output and error collected through pipes, written to
// a log file or left to this process's, and the child killed and reaped at
// the end.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace test_support {

#ifdef FPIGATE_BIN_DIR
// The path of a program of this build.
inline std::string bin(const std::string& name) { return std::string(FPIGATE_BIN_DIR) + "/" + name; }
#endif

// Where a child's standard output or error goes.
enum class sink { pipe, file, inherit };

struct child_options {
    std::vector<std::string> env{};  // "NAME=value", added to the environment
    sink out = sink::pipe;
    sink err = sink::pipe;
    std::string log{};       // the file of sink::file, started empty
    bool own_group = false;  // a process group of its own (a Ctrl-C reaches this process only),
                             // killed when this thread ends
};

struct child_process {
    pid_t pid = -1;
    int out_fd = -1;  // read ends of the pipes, -1 once closed
    int err_fd = -1;
    std::string out;
    std::string err;
    int status = -1;  // once it ended: its exit code, 128 + the signal that ended it; else -1

    child_process() = default;
    explicit child_process(const std::vector<std::string>& argv, const child_options& o = {}) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.push_back(*e);
        for (const std::string& e : o.env) {
            const std::string name = e.substr(0, e.find('=') + 1);
            std::erase_if(env, [&](const std::string& x) { return x.rfind(name, 0) == 0; });
            env.push_back(e);
        }
        const std::vector<char*> args = c_strings(argv), envp = c_strings(env);
        int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
        if (o.out == sink::pipe && ::pipe2(out_pipe, O_CLOEXEC) != 0) return;
        if (o.err == sink::pipe && ::pipe2(err_pipe, O_CLOEXEC) != 0) return;
        const bool to_log = o.out == sink::file || o.err == sink::file;
        const int log_fd = to_log ? ::open(o.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
        if (to_log && log_fd < 0) return;
        const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const pid_t parent = ::getpid();
        pid = ::fork();
        if (pid == 0) {
            if (o.own_group) {
                ::setpgid(0, 0);
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                if (::getppid() != parent) ::_exit(127);
            }
            ::dup2(null_fd, STDIN_FILENO);
            if (o.out != sink::inherit) ::dup2(o.out == sink::pipe ? out_pipe[1] : log_fd, STDOUT_FILENO);
            if (o.err != sink::inherit) ::dup2(o.err == sink::pipe ? err_pipe[1] : log_fd, STDERR_FILENO);
            ::signal(SIGINT, SIG_DFL);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        for (int fd : {out_pipe[1], err_pipe[1], log_fd, null_fd})
            if (fd >= 0) ::close(fd);
        out_fd = out_pipe[0];
        err_fd = err_pipe[0];
    }
    child_process(child_process&& o) noexcept { take(o); }
    child_process& operator=(child_process&& o) noexcept {
        if (this != &o) {
            end();
            take(o);
        }
        return *this;
    }
    ~child_process() { end(); }

    // Collects output for up to ms milliseconds (less when both pipes close).
    void pump(int ms) {
        pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
        if (::poll(fds, 2, ms) <= 0) return;
        char buf[4096];
        for (auto& f : fds) {
            if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = ::read(f.fd, buf, sizeof buf);
            if (n > 0) (f.fd == out_fd ? out : err).append(buf, size_t(n));
            if (n == 0) f.fd == out_fd ? (::close(out_fd), out_fd = -1) : (::close(err_fd), err_fd = -1);
        }
    }

    // Wait (bounded) until stdout or stderr holds text.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return wait_for_text(out, text, limit);
    }
    bool wait_for_error(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return wait_for_text(err, text, limit);
    }

    // Waits (bounded) for the exit, collecting all output; the exit status or -1.
    int wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (pid > 0 && status < 0 && std::chrono::steady_clock::now() < deadline) {
            if (out_fd >= 0 || err_fd >= 0) pump(50);
            int st = 0;
            if (::waitpid(pid, &st, WNOHANG) == pid) {
                while (out_fd >= 0 || err_fd >= 0) pump(50);
                status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            } else if (out_fd < 0 && err_fd < 0) {
                ::usleep(1000);
            }
        }
        return status;
    }

    // Still running (not ended, or ended but not reaped yet: reaps it).
    bool running() {
        if (pid <= 0 || status >= 0) return false;
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) != pid) return true;
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }

    // Sends `sig` and waits (bounded) for the end, then SIGKILL; the exit status.
    int stop(int sig = SIGTERM, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        if (pid <= 0 || status >= 0) return status;
        ::kill(pid, sig);
        if (wait_exit(limit) >= 0) return status;
        ::kill(pid, SIGKILL);
        int st = 0;
        ::waitpid(pid, &st, 0);
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status;
    }

    // A field of /proc/PID/status ("VmRSS", "SigCgt", ...) as text, empty
    // when there is none.
    std::string status_field(const std::string& name) const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind(name + ":", 0) == 0) {
                const size_t v = line.find_first_not_of(" \t", name.size() + 1);
                return v == std::string::npos ? std::string() : line.substr(v);
            }
        return {};
    }

    // True once the process has a handler installed for the signal.
    bool catches(int signal_number) const {
        const std::string mask = status_field("SigCgt");
        return !mask.empty() && (std::strtoull(mask.c_str(), nullptr, 16) & (1ull << (signal_number - 1)));
    }

private:
    bool wait_for_text(const std::string& stream, const std::string& text, std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (stream.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (out_fd < 0 && err_fd < 0) return false;
            pump(50);
        }
        return true;
    }
    static std::vector<char*> c_strings(const std::vector<std::string>& v) {
        std::vector<char*> out;
        for (const std::string& s : v) out.push_back(const_cast<char*>(s.c_str()));
        out.push_back(nullptr);
        return out;
    }
    void take(child_process& o) {
        pid = std::exchange(o.pid, -1);
        out_fd = std::exchange(o.out_fd, -1);
        err_fd = std::exchange(o.err_fd, -1);
        status = std::exchange(o.status, -1);
        out = std::move(o.out);
        err = std::move(o.err);
    }
    void end() {
        if (pid > 0 && status < 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (out_fd >= 0) ::close(out_fd);
        if (err_fd >= 0) ::close(err_fd);
        pid = -1;
        out_fd = err_fd = -1;
    }
};

// A program run to its end (bounded) with its output collected.
struct run_result {
    int code = -1;  // exit status, or -1 when it did not end in time
    std::string out, err;
};
inline run_result run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                      std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    child_process p(argv, {.env = env});
    run_result r;
    r.code = p.wait_exit(limit);
    r.out = std::move(p.out);
    r.err = std::move(p.err);
    return r;
}

// The port fpigate names when it was asked for any free one (option port
// '0'), or -1.
inline int listening_port(child_process& p) {
    if (!p.wait_for_output(" server listening on port ")) return -1;
    while (!std::regex_search(p.out, std::regex("listening on port [0-9]+\n")) && p.out_fd >= 0) p.pump(50);
    std::smatch m;
    if (!std::regex_search(p.out, m, std::regex("listening on port ([0-9]+)\n"))) return -1;
    return std::stoi(m[1]);
}

// The lines of a text in sorted order: what several threads wrote, whatever
// their order.
inline std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace test_support
