// The fpigate program itself, run as a child process.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <regex>

#include "tests/support/child_process.h"
#include "tests/support/sample_config.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

using test_support::child_process;
using test_support::listening_port;
using test_support::sorted_lines;
using test_support::wait_until;

namespace {

const std::string fpigate = test_support::bin("fpigate");

const char* const help_text =
    "Usage: fpigate [options]\n"
    "\n"
    "Fault passage indicator gateway: IEC 60870-5-104 outstation for RF FPIs.\n"
    "\n"
    "    -h, --help        show this help message and exit\n"
    "    -p, --path=<str>  Path to configuration file\n"
    "\n";

struct Fpigate : ::testing::Test {
    test_support::temp_dir tmp{"fpigate-cli"};
    const std::filesystem::path dir = tmp.path;

    void SetUp() override { ASSERT_FALSE(dir.empty()); }

    // The sample configuration with every file of the run inside dir and no
    // radio; `extra` is appended to the package.
    void write_sample_config(const std::string& port = "0", const std::string& extra = "") {
        test_support::write_sample_config(dir,
                                          {.data_dir = dir.string(),
                                           .export_dir = dir.string(),
                                           .gpio_chip = "sim:" + (dir / "gpio").string(),
                                           .ubus_socket = (dir / "ubus.sock").string(),
                                           .port = port},
                                          extra);
    }

    // Interrogates the gateway with iec104-client until the answer holds the
    // start values (IOA 1008), for 20 s at most; the last answer. The server
    // runs before the worker threads start; the start values are published
    // after them, so an early master finds the store still empty.
    std::string interrogate_until_started(child_process& p, int port) {
        std::string answer;
        wait_until([&] {
            child_process gi({test_support::bin("iec104-client"), "-p", std::to_string(port), "127.0.0.1", "gi"});
            EXPECT_EQ(gi.wait_exit(), 0) << gi.err;
            answer = gi.out;
            if (answer.find("ioa=1008") != std::string::npos) return true;
            p.pump(50);
            return false;
        });
        return answer;
    }
};

TEST_F(Fpigate, HelpExitsZero) {
    child_process p({fpigate, "-h"});
    EXPECT_EQ(p.wait_exit(), 0);
    EXPECT_EQ(p.out, help_text);
    EXPECT_EQ(p.err, "");
}

TEST_F(Fpigate, CommandLineErrorsExitOne) {
    child_process unknown({fpigate, "--bogus"});
    EXPECT_EQ(unknown.wait_exit(), 1);
    EXPECT_EQ(unknown.err, "error: unknown option `--bogus`\n");
    EXPECT_EQ(unknown.out, help_text);

    child_process missing({fpigate, "-p"});
    EXPECT_EQ(missing.wait_exit(), 1);
    EXPECT_EQ(missing.err, "error: option `-p` requires a value\n");
    EXPECT_EQ(missing.out, "");
}

TEST_F(Fpigate, NoUsableConfigurationStopsBeforeStarting) {
    child_process missing({fpigate, "-p", dir.string()});
    EXPECT_EQ(missing.wait_exit(), 1);
    EXPECT_EQ(missing.out, "path: " + dir.string() + "\n\nError getting configuration file\n");
    EXPECT_EQ(missing.err, "fpigate: no usable configuration: cannot load " + dir.string() +
                               "/fpigate: No such file or directory\n");

    std::ofstream(dir / "fpigate") << "config iec104_ioas\n\toption ioa 1\n";
    child_process no_section({fpigate, "--path=" + dir.string()});
    EXPECT_EQ(no_section.wait_exit(), 1);
    EXPECT_NE(no_section.out.find("Error getting configuration file"), std::string::npos);
    EXPECT_EQ(no_section.err,
              "fpigate: no usable configuration: the package fpigate has no iec104_slave section\n");

    std::ofstream(dir / "fpigate") << "config iec104_slave\n\toption k '12\n";
    child_process broken({fpigate, "-p" + dir.string()});
    EXPECT_EQ(broken.wait_exit(), 1);
    EXPECT_NE(broken.err.find(dir.string() + "/fpigate:2: unterminated single quote"),
              std::string::npos)
        << broken.err;
}

TEST_F(Fpigate, AMalformedAllowedMasterStopsTheStartNamingTheEntry) {
    std::ofstream(dir / "fpigate") << "config iec104_slave\n\tlist allowed_master '127.0.0.1'\n"
                                      "\tlist allowed_master '10.1.2.0/33'\n";
    child_process p({fpigate, "-p", dir.string()});
    EXPECT_EQ(p.wait_exit(), 1);
    EXPECT_NE(p.out.find("Error getting configuration file"), std::string::npos);
    EXPECT_EQ(p.out.find("Starting"), std::string::npos) << p.out;
    EXPECT_EQ(p.err, "fpigate: no usable configuration: allowed_master '10.1.2.0/33' is not an IPv4 address or CIDR range\n");
}

TEST_F(Fpigate, RunsOnTheSampleConfigurationUntilSigint) {
    write_sample_config();
    std::string cfg_dir = (dir / "config").string();
    child_process p({fpigate, "-p", cfg_dir});
    ASSERT_TRUE(p.wait_for_output("\nConverted Group ID: {0x01, 0x02, 0x03, 0x04, 0x05}\n")) << p.out;
    EXPECT_EQ(p.out.rfind("path: " + cfg_dir + "\nNew modbus_to_104 section\n\tcyclic_interval: 60\n", 0), 0u)
        << p.out;
    EXPECT_NE(p.out.find("\tGroup ID: 0102030405\n\tRTU ID: 10\n"), std::string::npos);
    EXPECT_NE(p.out.find("\nLocation from cfg:\nSlave 1 location: F E E D E R - 0 1   P O L E - 0 0 0 1   \n"),
              std::string::npos);

    // SIGINT before the handler is installed would end the process by default.
    // The handler is installed before the start values are published. Under
    // qemu-user (the armhf suite), /proc/PID/status shows qemu's own handlers,
    // which catch every signal from the start, so there only the start values
    // tell that the handler is there.
    const int port = listening_port(p);
    ASSERT_GT(port, 0) << p.out;
    EXPECT_NE(interrogate_until_started(p, port).find("ioa=1008"), std::string::npos);
    ASSERT_TRUE(wait_until([&] {
        p.pump(10);
        return p.catches(SIGINT);
    }));

    ::kill(p.pid, SIGINT);
    ASSERT_TRUE(p.wait_for_output("sigint_handler stop running\n"));
    ::kill(p.pid, SIGINT);  // a second one prints again; the process still exits once
    EXPECT_EQ(p.wait_exit(), 0);
    size_t first = p.out.find("sigint_handler stop running\n");
    EXPECT_NE(p.out.find("sigint_handler stop running\n", first + 1), std::string::npos) << p.out;
    EXPECT_TRUE(p.out.ends_with("exiting program")) << p.out;
    // the sample without its radio, and no broker
    EXPECT_EQ(sorted_lines(p.err), (std::vector<std::string>{"Failed to connect to ubus", "RTU port not configured"}));
}

TEST_F(Fpigate, AnswersAnInterrogationWithTheInputsOutputsPositionAndFaultTotals) {
    write_sample_config();
    child_process p({fpigate, "-p", (dir / "config").string()});
    const int port = listening_port(p);
    ASSERT_GT(port, 0) << p.out;
    const std::string answer = interrogate_until_started(p, port);
    EXPECT_EQ(answer,
              "C_IC_NA_1 cot=7 neg=0 test=0 ca=1 ioa=0 value=20 quality=0x00 time=-\n"
              "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=1 value=0 quality=0x00 time=-\n"
              "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=2 value=0 quality=0x00 time=-\n"
              "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=3 value=0 quality=0x00 time=-\n"
              "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=4 value=0 quality=0x00 time=-\n"
              "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=5 value=0 quality=0x00 time=-\n"
              "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=11 value=0 quality=0x00 time=-\n"
              "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=12 value=0 quality=0x00 time=-\n"
              "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=13 value=0 quality=0x00 time=-\n"
              "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=14 value=0 quality=0x00 time=-\n"
              "M_SP_NA_1 cot=20 neg=0 test=0 ca=1 ioa=15 value=0 quality=0x00 time=-\n"
              "M_ME_NC_1 cot=20 neg=0 test=0 ca=1 ioa=1001 value=52.52001 quality=0x00 time=-\n"
              "M_ME_NC_1 cot=20 neg=0 test=0 ca=1 ioa=1002 value=13.40495 quality=0x00 time=-\n"
              "M_ME_NB_1 cot=20 neg=0 test=0 ca=1 ioa=1003 value=0 quality=0x00 time=-\n"
              "M_ME_NB_1 cot=20 neg=0 test=0 ca=1 ioa=1004 value=0 quality=0x00 time=-\n"
              "M_ME_NB_1 cot=20 neg=0 test=0 ca=1 ioa=1005 value=0 quality=0x00 time=-\n"
              "M_ME_NB_1 cot=20 neg=0 test=0 ca=1 ioa=1006 value=0 quality=0x00 time=-\n"
              "M_ME_NB_1 cot=20 neg=0 test=0 ca=1 ioa=1007 value=0 quality=0x00 time=-\n"
              "M_ME_NB_1 cot=20 neg=0 test=0 ca=1 ioa=1008 value=0 quality=0x00 time=-\n"
              "C_IC_NA_1 cot=10 neg=0 test=0 ca=1 ioa=0 value=20 quality=0x00 time=-\n");
    EXPECT_TRUE(p.wait_for_output("Creating RTU IOA mapping list\n")) << p.out;
    EXPECT_TRUE(p.wait_for_output("[Slave 9] 28 elements added to list index 8\n")) << p.out;
    EXPECT_TRUE(p.wait_for_output("\nFPI Aux IOA Name LATITUDE, Value 52.520008\n")) << p.out;
    EXPECT_TRUE(p.wait_for_output("Received interrogation for group 20\n")) << p.out;
    while (!p.catches(SIGINT)) p.pump(10);
    ::kill(p.pid, SIGINT);
    EXPECT_EQ(p.wait_exit(), 0);
    // every connection event reached the communication log before the exit
    EXPECT_TRUE(std::filesystem::exists(dir / "communication_event_data.bin"));
    EXPECT_GT(std::filesystem::file_size(dir / "communication_event_data.bin"), 4 * 16u);
    // the sample without its radio, and no broker
    EXPECT_EQ(sorted_lines(p.err), (std::vector<std::string>{"Failed to connect to ubus", "RTU port not configured"}));
}

// procd stops a service with SIGTERM: the same orderly stop as SIGINT,
// status 0, and the connection events written before the exit.
TEST_F(Fpigate, SigtermFromASupervisorStopsItInOrder) {
    write_sample_config();
    child_process p({fpigate, "-p", (dir / "config").string()});
    const int port = listening_port(p);
    ASSERT_GT(port, 0) << p.out;
    EXPECT_NE(interrogate_until_started(p, port).find("ioa=1008"), std::string::npos);
    ASSERT_TRUE(wait_until([&] {
        p.pump(10);
        return p.catches(SIGTERM);
    }));
    ::kill(p.pid, SIGTERM);
    EXPECT_EQ(p.wait_exit(), 0);
    EXPECT_NE(p.out.find("sigint_handler stop running\n"), std::string::npos) << p.out;
    EXPECT_TRUE(p.out.ends_with("exiting program")) << p.out;
    EXPECT_GT(std::filesystem::file_size(dir / "communication_event_data.bin"), 4 * 16u);
}

TEST_F(Fpigate, APortInUseStopsServingButNotTheStart) {
    // a listener of our own on a free port
    const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    socklen_t len = sizeof sa;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&sa), &len);
    const std::string port = std::to_string(ntohs(sa.sin_port));
    // and a duplicated FPI data point
    write_sample_config(port, "\nconfig fpi_iec104_ioas 'copy'\n\toption slave_id '2'\n\toption ioa_name 'I_Mean'\n"
                              "\toption ioa '100'\n\toption type_id '35'\n");
    child_process p({fpigate, "-p", (dir / "config").string()});
    EXPECT_EQ(p.wait_exit(std::chrono::seconds(30)), 0);
    ::close(blocker);
    EXPECT_NE(p.out.find("Duplicate FPI data point 'copy' (IOA 100, type 35): commands and parameters go to 'fpi1_i_status'\n"), std::string::npos) << p.out;
    // the workers were started all the same
    EXPECT_NE(p.out.find("Starting RTU rf device reading...\n"), std::string::npos) << p.out;
    EXPECT_TRUE(p.out.ends_with("Starting server failed!\nexiting program")) << p.out;
    EXPECT_EQ(sorted_lines(p.err), (std::vector<std::string>{"Failed to connect to ubus", "RTU port not configured",
                                                             "server_setup: port " + port + ": bind: " + std::strerror(EADDRINUSE)}));
}

}  // namespace
