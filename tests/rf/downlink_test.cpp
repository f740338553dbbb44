#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "core/clock.h"
#include "tests/support/pty.h"
#include "rf/downlink.h"
#include "rf/radio.h"
#include "rf/uart.h"

using namespace rf;
using test_support::bytes;

namespace {

const group_id group{1, 2, 3, 4, 5};

// 2026-03-09 07:05:02 in the test's local time zone (UTC).
std::time_t fixed_now() {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 9;
    t.tm_hour = 7;
    t.tm_min = 5;
    t.tm_sec = 2;
    return timegm(&t);
}

struct RfDownlink : testing::Test {
    test_support::pty pty = test_support::open_pty();
    core::unique_fd port;
    radio r;
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        ASSERT_TRUE(pty.master);
        port = uart_open(pty.path.c_str(), 115200);
        ASSERT_TRUE(port);
        r.rtu_fd = port.get();
        r.downlink.pause_ms = 0;
        r.downlink.now = fixed_now;
    }
    bytes sent(size_t count) { return test_support::read_bytes(pty.master.get(), count); }
    bool nothing_sent() { return test_support::read_bytes(pty.master.get(), 1, 100).empty(); }

    template <class F>
    std::string stdout_of(F f) {
        testing::internal::CaptureStdout();
        f();
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

}  // namespace

TEST_F(RfDownlink, LocalTimeFields) {
    rf_date date{};
    rf_day_time day{};
    rf_local_time(r, &date, &day);
    EXPECT_EQ(date, (rf_date{26, 3, 9, 7, 5, 2}));
    EXPECT_EQ(day, (rf_day_time{0, 0, 0, 0})) << "a date output leaves the day-time alone";
    rf_local_time(r, nullptr, &day);
    EXPECT_EQ(day, (rf_day_time{9, 7, 5, 2}));
    rf_local_time(r, nullptr, nullptr);

    setenv("TZ", "EET-2", 1);  // local time, not UTC
    tzset();
    rf_local_time(r, nullptr, &day);
    EXPECT_EQ(day, (rf_day_time{9, 9, 5, 2}));
}

TEST_F(RfDownlink, LocalTimeFieldsAfter2038) {
    // The daemon's wall clock (milliseconds, 64-bit) past 2^31 seconds: a
    // 32-bit time_t (32-bit glibc without _TIME_BITS=64) wrapped it to 1901.
    r.downlink.now = nullptr;
    const core::wall_clock_hooks saved = core::wall_clock;
    core::wall_clock.now_ms = [] { return int64_t(4102444800) * 1000 + 12 * 3600000 + 345; };  // 2100-01-01 12:00:00.345
    rf_date date{};
    rf_local_time(r, &date, nullptr);
    rf_day_time day{};
    rf_local_time(r, nullptr, &day);
    core::wall_clock = saved;
    EXPECT_EQ(date, (rf_date{0, 1, 1, 12, 0, 0}));
    EXPECT_EQ(day, (rf_day_time{1, 12, 0, 0}));
}

TEST_F(RfDownlink, EventAcknowledgement) {
    struct { uint8_t rtu; uint8_t source_byte; } cases[] = {{10, 0x8A}, {21, 0x95}};
    for (auto c : cases) {
        ack_data ack;
        rf_local_time(r, &ack.date, nullptr);
        std::string out;
        int rc = 0;
        out = stdout_of([&] { rc = send_command_frame(r, group, c.rtu, 3, CMD_EVENT_DATA_ACK, ack); });
        EXPECT_EQ(rc, 17);
        bytes expected{0x01, 0x0E, 0x81, 0x82, 0x83, 0x84, 0x85, c.source_byte, 0x83, 0x45,
                       0x9A, 0x83, 0x89, 0x87, 0x85, 0x82, 0x04};
        EXPECT_EQ(sent(17), expected);
        char line[128];
        std::snprintf(line, sizeof line, "ACK (17): 01 0E 81 82 83 84 85 %02X 83 45 9A 83 89 87 85 82 04 \n",
                      c.source_byte);
        EXPECT_EQ(out, std::string(line) + "rtu: Sending ACK wrote 17 bytes\n");
    }
}

TEST_F(RfDownlink, RemoteReset) {
    std::string out = stdout_of([&] { EXPECT_EQ(fi_reset_write(r, rf_address{group, 10}, 5), 1); });
    EXPECT_EQ(sent(15),
              (bytes{0x01, 0x0C, 0x81, 0x82, 0x83, 0x84, 0x85, 0x8A, 0x85, 0x4F, 0x89, 0x87, 0x85, 0x82, 0x04}));
    EXPECT_EQ(out,
              "ACK (15): 01 0C 81 82 83 84 85 8A 85 4F 89 87 85 82 04 \n"
              "rtu: Sending ACK wrote 15 bytes\n"
              "FPI reset write operation successful for slave 5\n");

    // The low 8 bits of rtu_id are the source.
    stdout_of([&] { EXPECT_EQ(fi_reset_write(r, rf_address{group, 0x10A}, 1), 1); });
    EXPECT_EQ(sent(15)[7], 0x8A);
}

TEST_F(RfDownlink, RemoteResetRefusesOtherSlaveIds) {
    for (int id : {0, 10, -1}) {
        std::string out = stdout_of([&] { EXPECT_EQ(fi_reset_write(r, rf_address{group, 10}, id), 0); });
        EXPECT_EQ(out, "FPI reset write operation failed for slave " + std::to_string(id) + "\n");
    }
    EXPECT_TRUE(nothing_sent());
}

TEST_F(RfDownlink, PausesBeforeEveryFrame) {
    r.downlink.pause_ms = 100;
    auto start = std::chrono::steady_clock::now();
    stdout_of([&] { EXPECT_EQ(send_command_frame(r, group, 10, 3, CMD_REMOTE_RESET, event_time_data{}), 15); });
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST_F(RfDownlink, InfoSetFrame) {
    infoset_data s;
    s.location = {'P', 'o', 'l', 'e', ' ', '7'};
    s.di_dt_level = 10;
    s.imax_level = 1234;
    s.period = 15;
    s.date = {26, 3, 9, 7, 5, 2};
    stdout_of([&] { EXPECT_EQ(send_command_frame(r, group, 10, 4, CMD_INFO_SET, s), 48); });
    bytes b = sent(48);
    ASSERT_EQ(b.size(), 48u);
    EXPECT_EQ(bytes(b.begin(), b.begin() + 16),
              (bytes{0x01, 0x2D, 0x81, 0x82, 0x83, 0x84, 0x85, 0x8A, 0x84, 0x55, 'P', 'o', 'l', 'e', ' ', '7'}));
    EXPECT_EQ(b[30], 0x5A);
    EXPECT_EQ(b[31], 0x8C);
    EXPECT_EQ(b[32], 0xA2);
    EXPECT_EQ(bytes(b.begin() + 39, b.end()), (bytes{0x9A, 0x83, 0x89, 0x87, 0x85, 0x82, 0x80, 0x8F, 0x04}));
}

TEST_F(RfDownlink, CodeOutsideTableStillGoesOut) {
    std::string out = stdout_of([&] { EXPECT_EQ(send_command_frame(r, group, 10, 3, 0x30, {}), 11); });
    EXPECT_EQ(sent(11), (bytes{0x01, 0x08, 0x81, 0x82, 0x83, 0x84, 0x85, 0x8A, 0x83, 0x30, 0x04}));
    EXPECT_EQ(out, "ACK (11): 01 08 81 82 83 84 85 8A 83 30 04 \nrtu: Sending ACK wrote 11 bytes\n");
}

TEST_F(RfDownlink, FailuresAreReported) {
    // Write error: the port is there but refuses the write.
    core::unique_fd read_only(open("/dev/null", O_RDONLY | O_CLOEXEC));
    r.rtu_fd = read_only.get();
    testing::internal::CaptureStderr();
    std::string out = stdout_of([&] { EXPECT_EQ(fi_reset_write(r, rf_address{group, 10}, 2), 0); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "uart_write: write error: Bad file descriptor\n");
    EXPECT_NE(out.find("rtu: Sending ACK wrote -1 bytes\nFPI reset write operation failed for slave 2\n"),
              std::string::npos)
        << out;

    // No port open: nothing is written anywhere (descriptor 0 is standard input).
    r.rtu_fd = 0;
    testing::internal::CaptureStderr();
    out = stdout_of([&] { EXPECT_EQ(send_command_frame(r, group, 10, 3, CMD_EVENT_DATA_ACK, ack_data{}), -1); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "send_command_frame: serial port not open\n");

    // A record that does not fit the command is not sent.
    r.rtu_fd = port.get();
    testing::internal::CaptureStderr();
    out = stdout_of([&] { EXPECT_EQ(send_command_frame(r, group, 10, 3, CMD_INFO_SET, ack_data{}), -1); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "send_command_frame: record does not fit command 0x55\n");
    EXPECT_TRUE(nothing_sent());
}
