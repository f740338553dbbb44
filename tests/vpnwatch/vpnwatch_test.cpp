// vpnwatch on ubusd-lite with a stand-in `ipsec` on PATH that prints the
// file "output" and counts its runs in "runs".
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "lib/ubus/client.h"
#include "tests/ubus/support.h"

using namespace ubus;
using ubus_test::bin;
using ubus_test::wait_until;

namespace {

struct VpnwatchTest : ubus_test::broker_fixture {
    ubus_test::child vpnwatch;
    std::unique_ptr<connection> conn;

    void SetUp() override
    {
        broker_fixture::SetUp();
        std::ofstream(dir.path + "/ipsec") << "#!/bin/sh\n"
                                              "echo \"$1\" >> \"" << dir.path << "/runs\"\n"
                                              "cat \"" << dir.path << "/output\"\n";
        ::chmod((dir.path + "/ipsec").c_str(), 0755);
        set_output("");
        vpnwatch = ubus_test::spawn({bin("vpnwatch"), "-s", sock}, {"PATH=" + dir.path + ":/usr/bin:/bin"});
        conn = ubus::connect(sock);
        ASSERT_TRUE(conn);
        std::uint32_t id;
        ASSERT_TRUE(wait_until([&] { return lookup_id(*conn, "vpnwatch", id) == status::ok; }));
    }
    void TearDown() override
    {
        EXPECT_EQ(vpnwatch.stop(), 0) << "vpnwatch must end with status 0 on SIGTERM";
        broker_fixture::TearDown();
    }

    void set_output(const std::string& text) { std::ofstream(dir.path + "/output", std::ios::binary) << text; }

    std::string runs()
    {
        std::ifstream in(dir.path + "/runs");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // The "message" of a call; fails the test on any other outcome.
    std::string message(const char* method)
    {
        result r = call(*conn, "vpnwatch", method, {}, 10000);
        EXPECT_EQ(r.status, status::ok) << method;
        if (r.data.size() != 1 || r.data[0].size() != 1 || !find(r.data[0], "message")) {
            ADD_FAILURE() << method << ": reply is not a single \"message\"";
            return {};
        }
        return find(r.data[0], "message")->s;
    }
};

}  // namespace

TEST_F(VpnwatchTest, EmptyOutputGivesEmptyMessage)
{
    EXPECT_EQ(message("status"), "");
    EXPECT_EQ(runs(), "status\n");
}

TEST_F(VpnwatchTest, LongLinesArriveWhole)
{
    std::string text = "Security Associations (1 up, 0 connecting):\n" + std::string(300, 'x') + "\n" +
                       std::string(127, 'y') + "\n" + std::string(128, 'z') + "\nno line end";
    set_output(text);
    EXPECT_EQ(message("status"), text);
    EXPECT_EQ(message("statusall"), text);
}

// Output beyond the capacity (a terminator included) is cut there.
TEST_F(VpnwatchTest, OutputIsCutAtCapacity)
{
    std::string text;
    for (int k = 0; text.size() < 9000; ++k) text += "line " + std::to_string(k) + " " + std::string(150, 'a') + "\n";
    set_output(text);
    EXPECT_EQ(message("status"), text.substr(0, 4023));
    EXPECT_EQ(message("statusall"), text.substr(0, 4095));
    // Exactly at capacity nothing is lost.
    set_output(text.substr(0, 4023));
    EXPECT_EQ(message("status"), text.substr(0, 4023));
}

TEST_F(VpnwatchTest, EveryCallRunsTheCommand)
{
    set_output("first\n");
    EXPECT_EQ(message("status"), "first\n");
    set_output("second\n");
    EXPECT_EQ(message("status"), "second\n");
    EXPECT_EQ(message("statusall"), "second\n");
    EXPECT_EQ(runs(), "status\nstatus\nstatusall\n");
    EXPECT_EQ(call(*conn, "vpnwatch", "nosuch", {}, 10000).status, status::method_not_found);
}

TEST(Vpnwatch, NoBrokerExits255)
{
    ubus_test::temp_dir dir;
    auto r = ubus_test::run({bin("vpnwatch"), "-s", dir.path + "/none.sock"});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.err, "Failed to connect to ubus\n");
}
