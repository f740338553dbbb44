// The libgpiod back-end in the real program: a chip that does not exist is
// named on standard error with the system's reason, and the daemon goes on
// serving without its lines.
#include <signal.h>

#include <cerrno>
#include <cstring>

#include "tests/support/child_process.h"
#include "tests/dio/dio_gateway.h"
#include "tests/support/sample_config.h"

using test_support::child_process;
using test_support::listening_port;
using test_support::sorted_lines;

namespace {

using namespace dio_test;

const std::string fpigate = test_support::bin("fpigate");

TEST(DioGpiodChip, AChipThatDoesNotExistIsReportedAndTheDaemonServesOn) {
    test_support::temp_dir dir;
    test_support::sample_options o = test_support::files_in(dir.path);
    o.gpio_chip = "gpiochip99";
    child_process p({fpigate, "-p", test_support::write_sample_config(dir.path, o).string()});
    const int port = listening_port(p);
    ASSERT_GT(port, 0) << p.out;
    const std::string chip_error = std::string("gpio_init: cannot open chip gpiochip99: ") + std::strerror(ENOENT) + "\n";
    ASSERT_TRUE(p.wait_for_error(chip_error)) << p.err;

    master m{uint16_t(port)};
    ASSERT_TRUE(m.started);
    // the start values are published once every worker runs; no input or
    // output is, as none of their lines is there
    std::map<uint32_t, int> values;
    EXPECT_TRUE(wait_until([&] {
        values = interrogated(m);
        p.pump(0);
        return values.count(1008) == 1;
    }, std::chrono::seconds(30)));
    const auto gi = m.received();
    ASSERT_FALSE(gi.empty());
    EXPECT_EQ(gi.front().cot, iec104::COT_ACTIVATION_CON);
    EXPECT_FALSE(gi.front().negative);
    EXPECT_EQ(gi.back().cot, iec104::COT_ACTIVATION_TERMINATION);
    for (uint32_t ioa : {1u, 2u, 3u, 4u, 5u, 11u, 12u, 13u, 14u, 15u}) EXPECT_EQ(values.count(ioa), 0u) << ioa;

    for (uint32_t ioa : {11u, 12u, 15u}) EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, ioa, true)), refused) << ioa;

    while (!p.catches(SIGINT)) p.pump(10);
    ::kill(p.pid, SIGINT);
    EXPECT_EQ(p.wait_exit(), 0);
    EXPECT_NE(p.out.find("received single command\n"), std::string::npos);
    // nothing else went wrong: the chip, and the radio and broker the test left out
    EXPECT_EQ(sorted_lines(p.err), sorted_lines(chip_error + "RTU port not configured\nFailed to connect to ubus\n"));
}

}  // namespace
