#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/pty.h"
#include "tests/support/wait.h"
#include "rf/downlink.h"
#include "rf/radio.h"
#include "rf/frame.h"
#include "rf/uart.h"

using namespace rf;
using test_support::bytes;

namespace {

const group_id group{1, 2, 3, 4, 5};

// fpi-sim as a child process; its standard output is read line by line.
struct sim_process {
    test_support::child_process p;
    size_t split = 0;  // how much of p.out is in `lines`
    std::vector<std::string> lines;

    explicit sim_process(std::vector<std::string> args)
        : p(with_program(std::move(args)), {.err = test_support::sink::inherit, .own_group = true}) {}

    // The next line starting with `prefix` (earlier lines are kept in `lines`), or "" after timeout_ms.
    std::string wait_line(const std::string& prefix, int timeout_ms = 5000) {
        std::string found;
        test_support::wait_until(
            [&] {
                for (size_t nl; (nl = p.out.find('\n', split)) != std::string::npos; split = nl + 1) {
                    lines.push_back(p.out.substr(split, nl - split));
                    if (lines.back().rfind(prefix, 0) == 0) {
                        found = lines.back();
                        split = nl + 1;
                        return true;
                    }
                }
                if (p.out_fd < 0) return true;
                p.pump(5);
                return false;
            },
            std::chrono::milliseconds(timeout_ms));
        return found;
    }

    // Exit status once the process ended by itself, or -1 after timeout_ms.
    int wait_exit(int timeout_ms = 5000) { return p.wait_exit(std::chrono::milliseconds(timeout_ms)); }

private:
    static std::vector<std::string> with_program(std::vector<std::string> args) {
        args.insert(args.begin(), test_support::bin("fpi-sim"));
        return args;
    }
};

// The gateway side: opens the simulator's pseudo-terminal like fpigate does.
struct FpiSim : testing::Test {
    core::unique_fd port;
    radio r;

    void open_gateway(sim_process& sim) {
        std::string line = sim.wait_line("pty ");
        ASSERT_FALSE(line.empty()) << "fpi-sim printed no pty line";
        port = uart_open(line.substr(4).c_str(), 9600);
        ASSERT_TRUE(port);
        r.rtu_fd = port.get();
        r.downlink.pause_ms = 0;
    }
    bytes read_gateway(size_t count, int timeout_ms = 5000) {
        bytes got;
        uint8_t buf[512];
        for (int waited = 0; got.size() < count && waited < timeout_ms; waited += 50) {
            int n = uart_read(r, port.get(), buf, std::min(sizeof buf, count - got.size()), 50);
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    template <class F>
    void quietly(F f) {  // the downlink prints its frames; keep the test log short
        testing::internal::CaptureStdout();
        f();
        testing::internal::GetCapturedStdout();
    }
};

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST_F(FpiSim, GatewayReadsTheBytesTheScriptAsksFor) {
    sim_process sim({"--group", "0102030405", "--rtu", "10", "--slave", "3", "-e",
                     "event i_status=20 i_mean=123 i_min=100 i_max=250 v_status=1 v_inst=2305 battery_v=36 "
                     "rssi=80 event_time=9/7/5/2\n"
                     "fi_reset reset_type=0x10 event_time=9/7/5/2 # a comment\n"
                     "repeat 2; raw 01 0A; end\n"
                     "send 0x30 from=7 to=21 group=0A0B0C0D0E"});
    open_gateway(sim);
    bytes fi_reset{0x01, 0x0D, 0x81, 0x82, 0x83, 0x84, 0x85, 0x83, 0x8A, 0x61, 0x90, 0x89, 0x87, 0x85, 0x82, 0x04};
    bytes table_miss{0x01, 0x08, 0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x87, 0x95, 0x30, 0x04};
    bytes expected = concat({test_support::event_frame, fi_reset, {0x01, 0x0A, 0x01, 0x0A}, table_miss});
    EXPECT_EQ(read_gateway(expected.size()), expected);
    EXPECT_EQ(sim.wait_line("done"), "done");
    EXPECT_EQ(sim.lines[1],
              "tx CMD_EVENT_DATA from=3 to=10: 01 18 81 82 83 84 85 83 8A 65 94 81 97 81 80 82 B2 81 97 85 A4 D0 "
              "89 87 85 82 04");
    EXPECT_EQ(sim.lines[3], "tx raw: 01 0A");
}

TEST_F(FpiSim, WakeupAndJoinCarrySettingsAndPeriod) {
    sim_process sim({"-r", "10", "-e",
                     "join from=2 location=\"Pole 7; north\" didt_level=10 imax_level=400 period=15 "
                     "date=26/3/9/7/5/2 i_mean=120 battery_v=36 event_time=9/7/5/2\n"
                     "wakeup set from=2 period=30\n"
                     "wakeup from=2"});
    open_gateway(sim);
    uint8_t codes[] = {CMD_JOIN_DATA, CMD_WAKEUP_SET, CMD_WAKEUP_NOTSET};
    for (uint8_t code : codes) {
        bytes b = read_gateway(64);
        rf_frame f;
        ASSERT_EQ(rf_frame_decode(b.data(), b.size(), &f), 0);
        EXPECT_EQ(f.command, code);
        EXPECT_EQ(f.source_id, 2);
        EXPECT_EQ(f.destination_id, 10);
        wakeup_data w;
        ASSERT_EQ(rf_payload_decode_as(f, w), 0);
        if (code == CMD_JOIN_DATA) {
            EXPECT_EQ(std::string(w.location.data(), 13), "Pole 7; north");
            EXPECT_EQ(w.di_dt_level, 10);
            EXPECT_EQ(w.imax_level, 400);
            EXPECT_EQ(w.period, 15);
            EXPECT_EQ(w.date, (rf_date{26, 3, 9, 7, 5, 2}));
            EXPECT_EQ(w.i_mean, 120);
            EXPECT_EQ(w.battery_v, 36);
        }
        if (code == CMD_WAKEUP_SET) {
            EXPECT_EQ(w.period, 30);
        }
    }
}

TEST_F(FpiSim, AnswersInfoSetAndPrintsWhatTheGatewaySent) {
    sim_process sim({});
    open_gateway(sim);
    infoset_data s;
    s.location = {'P', 'o', 'l', 'e'};
    s.di_dt_level = 10;
    s.period = 15;
    s.date = {26, 3, 9, 7, 5, 2};
    quietly([&] { ASSERT_EQ(send_command_frame(r, group, 10, 4, CMD_INFO_SET, s), 48); });

    bytes b = read_gateway(15);
    rf_frame f;
    ASSERT_EQ(rf_frame_decode(b.data(), b.size(), &f), 0);
    EXPECT_EQ(f.command, CMD_INFO_SET_ACK);
    EXPECT_EQ(f.source_id, 4);
    EXPECT_EQ(f.destination_id, 10);
    EXPECT_EQ(f.group, group);
    EXPECT_EQ(sim.wait_line("rx "),
              "rx CMD_INFO_SET from=10 to=4 group=0102030405 location=\"Pole\" didt_level=10 imax_level=0 "
              "auto_reset=0 flash_time=0 transient_on=0 validation=0 mv=0 date=26/3/9/7/5/2 frequency=0 period=15");
    EXPECT_EQ(sim.wait_line("tx ").rfind("tx CMD_INFO_SET_ACK from=4 to=10: 01 0C 81 82 83 84 85 84 8A 75 ", 0), 0u);

    // A remote reset is printed decoded and not answered.
    r.downlink.now = [] { return std::time_t(0); };
    quietly([&] { ASSERT_EQ(fi_reset_write(r, rf_address{group, 10}, 5), 1); });
    std::string line = sim.wait_line("rx ");
    EXPECT_EQ(line.rfind("rx CMD_REMOTE_RESET from=10 to=5 group=0102030405 event_time=", 0), 0u) << line;
}

TEST_F(FpiSim, StaysSilentOnInfoSetWhenToldTo) {
    sim_process sim({"--no-infoset-ack"});
    open_gateway(sim);
    quietly([&] { ASSERT_EQ(send_command_frame(r, group, 10, 4, CMD_INFO_SET, infoset_data{}), 48); });
    EXPECT_EQ(sim.wait_line("rx ").rfind("rx CMD_INFO_SET from=10 to=4", 0), 0u);
    // A channel command behind it: its answer is the first thing to come back.
    const uint8_t channel[] = {0x24, 0x03, 0x05, 0x2A};
    ASSERT_EQ(uart_write(r, port.get(), channel, sizeof channel), 4);
    EXPECT_EQ(read_gateway(4), (bytes{0x24, 0x06, 0x05, 0x2A}));
    EXPECT_EQ(sim.wait_line("rx "), "rx channel: 24 03 05 2A");
    EXPECT_EQ(sim.wait_line("tx "), "tx channel: 24 06 05 2A");
}

TEST_F(FpiSim, ReportsWhatIsNotAFrame) {
    sim_process sim({});
    open_gateway(sim);
    const uint8_t junk[] = {0x55, 0xAA, 0x01, 0xFE, 0x24, 0x2A};
    ASSERT_EQ(uart_write(r, port.get(), junk, sizeof junk), 6);
    EXPECT_EQ(sim.wait_line("rx "), "rx garbage: 55 AA");
    EXPECT_EQ(sim.wait_line("rx "), "rx bad frame: 01 FE");
    EXPECT_EQ(sim.wait_line("rx "), "rx channel: 24 2A");
    EXPECT_EQ(sim.wait_line("channel"), "channel command too short, not answered");
}

TEST_F(FpiSim, AwaitsTheGatewaysAnswerBeforeGoingOn) {
    sim_process sim({"-r", "10", "-x", "-e", "event from=3; await EVENT_DATA_ACK 5000; flash from=3; wait 100"});
    open_gateway(sim);
    bytes event = read_gateway(27);
    rf_frame f;
    ASSERT_EQ(rf_frame_decode(event.data(), event.size(), &f), 0);
    EXPECT_EQ(f.command, CMD_EVENT_DATA);
    EXPECT_TRUE(read_gateway(1, 200).empty()) << "the flash frame went out before the acknowledgement";
    quietly([&] {
        ASSERT_EQ(send_command_frame(r, f.group, f.destination_id, f.source_id, CMD_EVENT_DATA_ACK, ack_data{}), 17);
    });
    bytes flash = read_gateway(27);
    ASSERT_EQ(flash.size(), 27u);
    EXPECT_EQ(flash[9], CMD_FLASH_MODE);
    EXPECT_EQ(sim.wait_exit(), 0);
}

TEST(FpiSimScript, MistakesAreReportedBeforeAnythingIsSent) {
    struct { const char* script; const char* message; } cases[] = {
        {"event foo=1", "fpi-sim: -e: line 1: field 'foo' is not part of CMD_EVENT_DATA"},
        {"event i_mean=30000", "fpi-sim: -e: line 1: i_mean=30000: expected a number from 0 to 25599"},
        {"wait 10\nrepeat 2\nevent", "fpi-sim: -e: line 2: repeat without end"},
        {"fi_reset date=1/2/3/4/5/6", "fpi-sim: -e: line 1: field 'date' is not part of CMD_FI_RESET"},
        {"join location=\"123456789012345678901\"",
         "fpi-sim: -e: line 1: location=123456789012345678901: longer than 20 characters"},
        {"raw 0", "fpi-sim: -e: line 1: raw needs hex bytes, e.g. raw 01 18 81"},
        {"jump", "fpi-sim: -e: line 1: unknown command 'jump'"},
        {"event group=0x01020304", "fpi-sim: -e: line 1: group=0x01020304: expected 10 hex digits"},
        {"group 0x01020304", "fpi-sim: -e: line 1: group needs 10 hex digits, e.g. group 0102030405"},
        {"event event_time=9/7/5/2/1",
         "fpi-sim: -e: line 1: event_time=9/7/5/2/1: expected day/hour/minute/second, e.g. 9/7/5/2"},
        {"join date=26/3/9/7/5/2/0",
         "fpi-sim: -e: line 1: date=26/3/9/7/5/2/0: expected year/month/day/hour/minute/second, e.g. 26/3/9/7/5/2"},
    };
    for (auto& c : cases) {
        std::string cmd = std::string(FPIGATE_BIN_DIR "/fpi-sim -x -e '") + c.script + "' 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char buf[512] = {};
        std::string out;
        while (fgets(buf, sizeof buf, p)) out += buf;
        int status = pclose(p);
        EXPECT_EQ(WEXITSTATUS(status), 2) << c.script;
        EXPECT_EQ(out, std::string(c.message) + "\n") << c.script;
    }
}
