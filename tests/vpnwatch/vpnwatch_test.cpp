// vpnwatch on ubusd-lite with a stand-in `ipsec` on PATH that prints the
// file "output" and counts its runs in "runs". vpnwatch's standard error
// goes to the file "stderr".
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "lib/ubus/client.h"
#include "tests/ubus/support.h"

using namespace ubus;
using test_support::bin;
using test_support::wait_until;

namespace {

struct VpnwatchTest : ubus_test::broker_fixture {
    test_support::child_process vpnwatch;
    std::unique_ptr<connection> conn;

    void SetUp() override
    {
        broker_fixture::SetUp();
        std::ofstream(dir / "ipsec") << "#!/bin/sh\n"
                                              "echo \"$1\" >> \"" << dir.path.string() << "/runs\"\n"
                                              "cat \"" << dir.path.string() << "/output\"\n";
        ::chmod((dir / "ipsec").c_str(), 0755);
        set_output("");
        // exec: the shell becomes vpnwatch, so signals reach it directly.
        vpnwatch = test_support::child_process(
            {"/bin/sh", "-c", "exec \"$0\" -s \"$1\" 2>\"$2\"", bin("vpnwatch"), sock, dir / "stderr"},
            {.env = {"PATH=" + dir.path.string() + ":/usr/bin:/bin"}, .out = test_support::sink::inherit,
             .err = test_support::sink::inherit});
        conn = ubus::connect(sock);
        ASSERT_TRUE(conn);
        std::uint32_t id;
        ASSERT_TRUE(wait_until([&] { return lookup_id(*conn, "vpnwatch", id) == status::ok; }));
    }
    void TearDown() override
    {
        if (vpnwatch.pid >= 0) {
            EXPECT_EQ(vpnwatch.stop(), 0) << "vpnwatch must end with status 0 on SIGTERM";
        }
        broker_fixture::TearDown();
    }

    void set_output(const std::string& text) { std::ofstream(dir / "output", std::ios::binary) << text; }

    std::string read_file(const std::string& name)
    {
        std::ifstream in(dir / name);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string runs() { return read_file("runs"); }
    std::string err() { return read_file("stderr"); }

    // Kills the broker outright, as a crash would, and waits for vpnwatch to
    // report its `n`th lost connection.
    void kill_broker(int n = 1)
    {
        broker.stop(SIGKILL);
        std::string want;
        for (int k = 0; k < n; ++k) want += lost_line;
        ASSERT_TRUE(wait_until([&] { return err() == want; }, std::chrono::seconds(5))) << err();
    }
    // A new broker on the same socket path (ubusd-lite replaces the stale file).
    void start_broker()
    {
        broker = test_support::child_process({bin("ubusd-lite"), "-s", sock},
                                             {.out = test_support::sink::inherit, .err = test_support::sink::inherit});
        ASSERT_TRUE(wait_until([&] { return ubus::connect(sock) != nullptr; })) << "broker did not start";
    }
    // `ubus-call call vpnwatch status` through the current broker.
    test_support::run_result cli_status() { return test_support::run({bin("ubus-call"), "-s", sock, "call", "vpnwatch", "status"}); }

    static constexpr const char* lost_line = "Lost the ubus connection, connecting again\n";

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
    test_support::temp_dir dir;
    auto r = test_support::run({bin("vpnwatch"), "-s", dir / "none.sock"});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.err, "Failed to connect to ubus\n");
}

// The broker dies and a new one takes its socket: vpnwatch connects again and
// registers its object anew.
TEST_F(VpnwatchTest, ReconnectsWhenTheBrokerComesBack)
{
    set_output("up\n");
    kill_broker();
    start_broker();
    test_support::run_result r;
    EXPECT_TRUE(wait_until([&] { return (r = cli_status()).code == 0; }, std::chrono::seconds(5)))
        << "vpnwatch not callable again: " << r.code << " " << r.err;
    EXPECT_NE(r.out.find("\"message\": \"up\\n\""), std::string::npos) << r.out;
    EXPECT_EQ(err(), lost_line);

    // And once more: every loss is survived.
    kill_broker(2);
    start_broker();
    EXPECT_TRUE(wait_until([&] { return (r = cli_status()).code == 0; }, std::chrono::seconds(5))) << r.err;
}

// SIGTERM while waiting for the broker: status 0 (checked by TearDown), and
// no broker needed.
TEST_F(VpnwatchTest, SigtermWhileReconnectingExitsZero)
{
    kill_broker();
    EXPECT_EQ(vpnwatch.stop(SIGTERM), 0);
}

TEST_F(VpnwatchTest, SigintWhileReconnectingExitsZero)
{
    kill_broker();
    EXPECT_EQ(vpnwatch.stop(SIGINT), 0);
}
