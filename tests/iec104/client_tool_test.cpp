// iec104-client against an outstation in this process: the lines it prints
// and its exit status.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "demo_station.h"
#include "run_command.h"

using namespace iec104;

namespace {

struct ToolRun {
    int status = -1;
    std::vector<std::string> lines;
};

ToolRun run_tool(const std::string& args) {
    ToolRun r;
    std::istringstream out(test::run_command(std::string(FPIGATE_BIN_DIR) + "/iec104-client " + args + " 2>/dev/null", r.status));
    for (std::string line; std::getline(out, line);) r.lines.push_back(line);
    return r;
}

bool has(const ToolRun& r, const std::string& line) {
    for (const auto& l : r.lines)
        if (l == line) return true;
    return false;
}

TEST(ClientTool, InterrogationPrintsEveryObject) {
    test::DemoStation station;
    const ToolRun r = run_tool("-p " + std::to_string(station.start()) + " 127.0.0.1 gi");
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> expected = {
        "C_IC_NA_1 cot=7 neg=0 test=0 ca=1 ioa=0 value=20 quality=0x00 time=-",
        "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=100 value=1 quality=0x00 time=-",
        "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=101 value=0 quality=0x80 time=-",
        "M_DP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=200 value=2 quality=0x00 time=-",
        "M_DP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=210 value=1 quality=0x00 time=-",
        "M_ME_NA_1 cot=20 neg=0 test=0 ca=1 ioa=300 value=0.5 quality=0x00 time=-",
        "M_ME_NB_1 cot=20 neg=0 test=0 ca=1 ioa=400 value=-1234 quality=0x00 time=-",
        "M_ME_NC_1 cot=20 neg=0 test=0 ca=1 ioa=500 value=230.5 quality=0x00 time=-",
        "M_ME_NC_1 cot=20 neg=0 test=0 ca=1 ioa=501 value=-1.25 quality=0x01 time=-",
        "C_IC_NA_1 cot=10 neg=0 test=0 ca=1 ioa=0 value=20 quality=0x00 time=-",
    };
    EXPECT_EQ(r.lines, expected);
}

TEST(ClientTool, CommandsWithAndWithoutTimeTag) {
    test::DemoStation station;
    const ToolRun r = run_tool("-p " + std::to_string(station.start()) +
                           " 127.0.0.1 sc 5000 1 dc 5001 2 @1711850398765 sen 5002 -0.5 seb 5003 -7 sef 5004 2.5 @now");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r, "C_SC_NA_1 cot=7 neg=0 test=0 ca=1 ioa=5000 value=1 quality=0x00 time=-"));
    EXPECT_TRUE(has(r, "C_SC_NA_1 cot=10 neg=0 test=0 ca=1 ioa=5000 value=1 quality=0x00 time=-"));
    EXPECT_TRUE(has(r, "C_DC_TA_1 cot=7 neg=0 test=0 ca=1 ioa=5001 value=2 quality=0x00 time=2024-03-31T01:59:58.765Z"));
    EXPECT_TRUE(has(r, "C_SE_NA_1 cot=7 neg=0 test=0 ca=1 ioa=5002 value=-0.5 quality=0x00 time=-"));
    EXPECT_TRUE(has(r, "C_SE_NB_1 cot=10 neg=0 test=0 ca=1 ioa=5003 value=-7 quality=0x00 time=-"));
    EXPECT_EQ(r.lines.size(), 10u) << "ACT_CON and ACT_TERM of each";
}

TEST(ClientTool, ClockSyncCarriesTheGivenTime) {
    test::DemoStation station;
    const ToolRun r = run_tool("-p " + std::to_string(station.start()) + " 127.0.0.1 cs 1711850398765");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(station.clock_set_to, test::kDemoTimeMs);
    EXPECT_TRUE(has(r, "C_CS_NA_1 cot=7 neg=0 test=0 ca=1 ioa=0 value=- quality=0x00 time=2024-03-31T01:59:58.765Z"));
}

TEST(ClientTool, NegativeOrMissingConfirmationFails) {
    test::DemoStation station;
    const std::string port = std::to_string(station.start());
    ToolRun r = run_tool("-p " + port + " 127.0.0.1 sc 6000 1");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r, "C_SC_NA_1 cot=7 neg=1 test=0 ca=1 ioa=6000 value=1 quality=0x00 time=-"));

    r = run_tool("-p " + port + " 127.0.0.1 dc 7000 1");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r, "C_DC_NA_1 cot=47 neg=1 test=0 ca=1 ioa=7000 value=1 quality=0x00 time=-"));

    r = run_tool("-p " + port + " 127.0.0.1 gi sc 6000 0 sc 5000 0");
    EXPECT_EQ(r.status, 1) << "one refused action fails the run, the others still run";
    EXPECT_TRUE(has(r, "C_SC_NA_1 cot=10 neg=0 test=0 ca=1 ioa=5000 value=0 quality=0x00 time=-"));

    station.fixture.server.reset();
    test::ServerFixture silent;  // takes commands and never answers
    silent.handlers.asdu = [](const ConnectionPtr&, Asdu&) { return true; };
    r = run_tool("-t 1 -p " + std::to_string(silent.start()) + " 127.0.0.1 sc 5000 1");
    EXPECT_EQ(r.status, 1);
}

TEST(ClientTool, ConnectionFailureAndUsage) {
    // A port bound but not listening refuses connections.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    EXPECT_EQ(run_tool("-p " + std::to_string(ntohs(sa.sin_port)) + " 127.0.0.1 gi").status, 3);
    close(fd);

    test::DemoStation station;
    const std::string port = std::to_string(station.start());
    EXPECT_EQ(run_tool("-p " + port + " 127.0.0.1 sc 5000 7").status, 2);
    EXPECT_EQ(run_tool("-p " + port + " 127.0.0.1 fly").status, 2);
    // Times a CP56Time2a cannot carry (the station would read 1970 as 2070)
    // are refused, not sent: seconds typed for milliseconds, 1999, 2100.
    for (const char* time : {"1711850398", "946684799999", "4102444800000"}) {
        EXPECT_EQ(run_tool("-p " + port + " 127.0.0.1 cs " + time).status, 2) << time;
        EXPECT_EQ(run_tool("-p " + port + " 127.0.0.1 sc 5000 1 @" + time).status, 2) << time;
    }
    EXPECT_EQ(station.clock_set_to, 0) << "no clock synchronisation went out";
    EXPECT_EQ(run_tool("127.0.0.1").status, 2);
}

TEST(ClientTool, WatchPrintsSpontaneousData) {
    test::DemoStation station;
    const uint16_t port = station.start();
    std::thread producer([&] {
        ASSERT_TRUE(test_support::wait_until([&] { return station.fixture.connection(0) && is_active(*station.fixture.connection(0)); }));
        for (const Asdu& a : test::demo_monitoring(app_parameters(*station.fixture.connection(0)), COT_SPONTANEOUS, true))
            send_asdu(*station.fixture.connection(0), a);
    });
    const ToolRun r = run_tool("-p " + std::to_string(port) + " 127.0.0.1 watch 2");
    producer.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r, "M_SP_TB_1 cot=3 neg=0 test=0 ca=1 ioa=100 value=1 quality=0x00 time=2024-03-31T01:59:58.765Z"));
    EXPECT_TRUE(has(r, "M_ME_TF_1 cot=3 neg=0 test=0 ca=1 ioa=501 value=-1.25 quality=0x01 time=2024-03-31T01:59:58.765Z"));
    EXPECT_EQ(r.lines.size(), 8u);
}

}  // namespace
