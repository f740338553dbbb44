// Runs a program as a child process with its standard output and error
// collected, for tests of a real binary.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

struct child_process {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    std::string out;
    std::string err;
    int status = -1;  // exit status once exited, or -1

    explicit child_process(const std::vector<std::string>& argv) {
        int out_pipe[2], err_pipe[2];
        if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(out_pipe[1], STDOUT_FILENO);
            ::dup2(err_pipe[1], STDERR_FILENO);
            ::signal(SIGINT, SIG_DFL);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out_pipe[1]);
        ::close(err_pipe[1]);
        out_fd = out_pipe[0];
        err_fd = err_pipe[0];
    }

    ~child_process() {
        if (pid > 0 && status < 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (out_fd >= 0) ::close(out_fd);
        if (err_fd >= 0) ::close(err_fd);
    }

    // Collects output for up to ms milliseconds (less when both pipes close).
    void pump(int ms) {
        pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
        if (::poll(fds, 2, ms) <= 0) return;
        char buf[4096];
        for (auto& f : fds) {
            if (!(f.revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = ::read(f.fd, buf, sizeof buf);
            if (n > 0) (f.fd == out_fd ? out : err).append(buf, size_t(n));
            if (n == 0) f.fd == out_fd ? (::close(out_fd), out_fd = -1) : (::close(err_fd), err_fd = -1);
        }
    }

    // Waits (bounded) until stdout holds text.
    bool wait_for_output(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (out.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (out_fd < 0 && err_fd < 0) return false;
            pump(50);
        }
        return true;
    }

    // Waits (bounded) for the exit, collecting all output; the exit status or -1.
    int wait_exit(std::chrono::seconds limit = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (status < 0 && std::chrono::steady_clock::now() < deadline) {
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

    // True once the process has a handler installed for the signal.
    bool catches(int signal_number) const {
        std::string path = "/proc/" + std::to_string(pid) + "/status";
        FILE* f = std::fopen(path.c_str(), "r");
        if (!f) return false;
        char line[256];
        bool caught = false;
        while (std::fgets(line, sizeof line, f)) {
            unsigned long long mask = 0;
            if (std::sscanf(line, "SigCgt: %llx", &mask) == 1)
                caught = mask & (1ull << (signal_number - 1));
        }
        std::fclose(f);
        return caught;
    }
};

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
