// Test helpers: hex frames, raw frame peers and a fixture that runs
// ubusd-lite on its own socket.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/ubus/blobmsg.h"
#include "lib/ubus/fd.h"
#include "lib/ubus/message.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace ubus_test {

// "00 01 ab" -> bytes; spaces and newlines are ignored.
ubus::bytes hex(std::string_view text);
std::string to_hex(const ubus::bytes& b);

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
    test_support::temp_dir dir{"ubus-test"};
    std::string sock;
    test_support::child_process broker;
    void SetUp() override;
    void TearDown() override;
};

}  // namespace ubus_test
