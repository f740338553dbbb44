// The fpigate program itself, run as a child process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/app/child_process.h"

namespace {

const std::string fpigate = std::string(FPIGATE_BIN_DIR) + "/fpigate";

const char* const help_text =
    "Usage: fpigate [options]\n"
    "\n"
    "Fault passage indicator gateway: IEC 60870-5-104 outstation for RF FPIs.\n"
    "\n"
    "    -h, --help        show this help message and exit\n"
    "    -p, --path=<str>  Path to configuration file\n"
    "\n";

struct Fpigate : ::testing::Test {
    std::filesystem::path dir;

    void SetUp() override {
        std::string t = (std::filesystem::temp_directory_path() / "fpigate-cli-XXXXXX").string();
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        dir = t;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // The sample configuration with every file of the run inside dir and no radio.
    void write_sample_config() {
        std::ifstream in(std::string(FPIGATE_SOURCE_DIR) + "/config/fpigate");
        std::ostringstream text;
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("option rtu_port") != std::string::npos) continue;
            text << line << "\n";
            if (line.rfind("config iec104_slave", 0) == 0) {
                text << "\toption data_dir '" << dir.string() << "'\n"
                     << "\toption export_dir '" << dir.string() << "'\n"
                     << "\toption gpio_chip 'sim:" << (dir / "gpio").string() << "'\n"
                     << "\toption ubus_socket '" << (dir / "ubus.sock").string() << "'\n"
                     << "\toption port '0'\n";  // any free port: tests run side by side
            }
        }
        std::filesystem::create_directories(dir / "config");
        std::ofstream(dir / "config" / "fpigate") << text.str();
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
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!p.catches(SIGINT) && std::chrono::steady_clock::now() < deadline) p.pump(10);
    ASSERT_TRUE(p.catches(SIGINT));

    ::kill(p.pid, SIGINT);
    ASSERT_TRUE(p.wait_for_output("sigint_handler stop running\n"));
    ::kill(p.pid, SIGINT);  // a second one prints again; the process still exits once
    EXPECT_EQ(p.wait_exit(), 0);
    size_t first = p.out.find("sigint_handler stop running\n");
    EXPECT_NE(p.out.find("sigint_handler stop running\n", first + 1), std::string::npos) << p.out;
    EXPECT_TRUE(p.out.ends_with("exiting program")) << p.out;
    EXPECT_EQ(p.err, "");
}

}  // namespace
