// Test helpers: temporary directories, child processes, bounded waiting and
// a fixture that runs ubusd-lite on its own socket.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/ubus/blobmsg.h"
#include "lib/ubus/fd.h"
#include "lib/ubus/message.h"

namespace ubus_test {

// "00 01 ab" -> bytes; spaces and newlines are ignored.
ubus::bytes hex(std::string_view text);
std::string to_hex(const ubus::bytes& b);

std::string bin(const std::string& name);  // path of a built program

struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
};

// A child process, terminated and reaped on destruction.
struct child {
    pid_t pid = -1;
    child() = default;
    child(child&& o) noexcept : pid(o.pid) { o.pid = -1; }
    child& operator=(child&& o) noexcept;
    ~child() { stop(); }
    // Sends `sig`, waits (bounded, then SIGKILL) and returns the wait status.
    int stop(int sig = 15);
    // Waits for the child to end by itself within `timeout_ms`; -1 if it did not.
    int wait(int timeout_ms);
};

// Starts argv[0] with `env` added to the environment ("NAME=value").
child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

struct run_result {
    int code = -1;  // exit code, or -1 when it did not exit normally
    std::string out, err;
};
// Runs a program to its end with stdout and stderr captured (stderr is a pipe,
// so programs see a non-terminal).
run_result run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// Polls `cond` every 5 ms for at most `timeout_ms`.
bool wait_until(const std::function<bool()>& cond, int timeout_ms = 10000);

// A raw socket speaking frames: a scripted broker or a hand-made client.
struct raw_peer {
    ubus::unique_fd fd;
    ubus::frame_reader in;
    bool connect(const std::string& path);
    void send(const ubus::bytes& b);
    ubus::bytes next(int timeout_ms = 10000);  // the next frame; empty on time-out or close
    bool quiet(int ms);                        // nothing arrives within `ms`
    bool closed(int timeout_ms = 10000);       // the other side hung up
};

// ubusd-lite on a socket of its own.
struct broker_fixture : ::testing::Test {
    temp_dir dir;
    std::string sock;
    child broker;
    void SetUp() override;
    void TearDown() override;
};

}  // namespace ubus_test
