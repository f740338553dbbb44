// Clock synchronisation from a master, with the clock setter replaced.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "outstation/clock_sync.h"
#include "tests/outstation/station.h"
#include "tests/support/capture.h"

namespace {

using station_test::fake_wall_clock;
using station_test::master;
using station_test::station;

constexpr int64_t command_ms = 1717590896789;   // 2024-06-05 12:34:56.789 UTC
constexpr int64_t gateway_ms = 1700000000123;   // the gateway's clock before: 2023-11-14 22:13:20.123

// Sends C_CS_NA_1 and returns its confirmation.
iec104::Asdu synchronise(master& m) {
    m.clear();
    EXPECT_TRUE(m.send(iec104::clock_sync_command(m.app, 1, command_ms)));
    EXPECT_TRUE(test_support::wait_until([&] { return m.count([](const iec104::Asdu& a) { return a.type == iec104::C_CS_NA_1; }) == 1; }));
    const auto got = m.received();
    return got.empty() ? iec104::Asdu{} : got.front();
}

TEST(ClockSync, SetsTheClockWithTheOffsetAndConfirmsWithTheClockFromBefore) {
    for (int32_t offset : {0, -330}) {
        SCOPED_TRACE(offset);
        station st;
        st.cfg.settings.clocksync_time_offset = offset;
        ASSERT_TRUE(st.start());
        fake_wall_clock::now = gateway_ms;
        master m(st.port());
        ASSERT_TRUE(m.started);
        testing::internal::CaptureStdout();
        const iec104::Asdu con = synchronise(m);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("Process time sync command with time 12:34:56 05/06/2024\n"), std::string::npos) << out;
        // -330 minutes: 07:04:56.789 UTC
        EXPECT_EQ(fake_wall_clock::set_to, offset == 0 ? command_ms : 1717571096789);
        EXPECT_EQ(con.cot, iec104::COT_ACTIVATION_CON);
        EXPECT_FALSE(con.negative);
        EXPECT_EQ(iec104::get_object(con, m.app, 0)->time, iec104::cp56_from_ms(gateway_ms));
    }
}

TEST(ClockSync, AClockThatCannotBeSetIsRefused) {
    station st;
    ASSERT_TRUE(st.start());
    fake_wall_clock::set_error = EPERM;
    master m(st.port());
    ASSERT_TRUE(m.started);
    testing::internal::CaptureStderr();
    const iec104::Asdu con = synchronise(m);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "clock_sync_handler: Error setting system time: Operation not permitted\n");
    EXPECT_EQ(con.cot, iec104::COT_ACTIVATION_CON);
    EXPECT_TRUE(con.negative);
    EXPECT_EQ(iec104::get_object(con, m.app, 0)->time, iec104::cp56_from_ms(command_ms));  // as received
    EXPECT_EQ(fake_wall_clock::set_to, -1);
}

// A time marked invalid, or with a field out of range, is refused with a
// line naming the fault; the clock setter is never called.
TEST(ClockSync, AnUnusableTimeIsRefusedAndTheClockLeftAlone) {
    struct unusable_case {
        const char* what;
        std::vector<std::pair<int, uint8_t>> octets;  // written over the command's time
        std::string line;
    };
    // The command's time is 12:34:56.789 05/06/2024: octets dd dd 22 0c 05 06 18.
    const unusable_case cases[] = {
        {"IV", {{2, 0x80 | 34}}, "time marked invalid (IV)"},
        {"IV with every field in range", {{2, 0x80}}, "time marked invalid (IV)"},
        {"60000 ms", {{0, 0x60}, {1, 0xea}}, "millisecond 60000 out of range"},
        {"65535 ms", {{0, 0xff}, {1, 0xff}}, "millisecond 65535 out of range"},
        {"minute 60", {{2, 60}}, "minute 60 out of range"},
        {"minute 63", {{2, 63}}, "minute 63 out of range"},
        {"hour 24", {{3, 24}}, "hour 24 out of range"},
        {"hour 31 in summer time", {{3, 0x80 | 31}}, "hour 31 out of range"},
        {"day of month 0", {{4, 0}}, "day of month 0 out of range"},
        {"day of month 0 on a Wednesday", {{4, 3 << 5}}, "day of month 0 out of range"},
        {"month 0", {{5, 0}}, "month 0 out of range"},
        {"month 13", {{5, 13}}, "month 13 out of range"},
        {"month 15", {{5, 15}}, "month 15 out of range"},
        {"year 100", {{6, 100}}, "year 100 out of range"},
    };
    station st;
    ASSERT_TRUE(st.start());
    master m(st.port());
    ASSERT_TRUE(m.started);
    for (const unusable_case& c : cases) {
        SCOPED_TRACE(c.what);
        iec104::Cp56Time2a t = iec104::cp56_from_ms(command_ms);
        for (auto [at, octet] : c.octets) t.bytes[size_t(at)] = octet;
        iec104::Asdu command = iec104::make_asdu(m.app, iec104::C_CS_NA_1, false, iec104::COT_ACTIVATION, 1);
        ASSERT_TRUE(iec104::add_object(command, m.app, {.ioa = 0, .time = t}));
        m.clear();
        testing::internal::CaptureStdout();
        ASSERT_TRUE(m.send(command));
        EXPECT_TRUE(test_support::wait_until([&] { return m.count([](const iec104::Asdu& a) { return a.type == iec104::C_CS_NA_1; }) == 1; }));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("\nClock synchronisation refused: " + c.line + "\n"), std::string::npos) << out;
        const auto got = m.received();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].cot, iec104::COT_ACTIVATION_CON);
        EXPECT_TRUE(got[0].negative);
        EXPECT_EQ(iec104::get_object(got[0], m.app, 0)->time, t);  // as received
        EXPECT_EQ(fake_wall_clock::set_to, -1);
        EXPECT_EQ(fake_wall_clock::now, test_support::fake_epoch_ms);
    }
}

// Every field at the edge of its range, with summer time and a day of the
// week (both ignored), is a usable time.
TEST(ClockSync, ATimeAtTheEdgeOfEveryRangeIsAccepted) {
    constexpr int64_t last_ms = 4102444799999;  // 2099-12-31 23:59:59.999
    station st;
    ASSERT_TRUE(st.start());
    master m(st.port());
    ASSERT_TRUE(m.started);
    iec104::Cp56Time2a t = iec104::cp56_from_ms(last_ms);
    t.bytes[3] |= 0x80;    // SU
    t.bytes[4] |= 4 << 5;  // Thursday
    iec104::Asdu command = iec104::make_asdu(m.app, iec104::C_CS_NA_1, false, iec104::COT_ACTIVATION, 1);
    ASSERT_TRUE(iec104::add_object(command, m.app, {.ioa = 0, .time = t}));
    ASSERT_TRUE(m.send(command));
    ASSERT_TRUE(test_support::wait_until([&] { return m.count([](const iec104::Asdu& a) { return a.type == iec104::C_CS_NA_1; }) == 1; }));
    EXPECT_FALSE(m.received().front().negative);
    EXPECT_EQ(fake_wall_clock::set_to, last_ms);
}

// The broadcast address is taken and the confirmation carries the station's
// own; another address is mirrored with cause 46 and the clock left alone.
TEST(ClockSync, TheBroadcastAddressIsTakenAnotherIsNot) {
    station st;
    ASSERT_TRUE(st.start());
    master m(st.port());
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(m.send(iec104::clock_sync_command(m.app, 7, command_ms)));
    ASSERT_TRUE(test_support::wait_until([&] { return m.count([](const iec104::Asdu& a) { return a.type == iec104::C_CS_NA_1; }) == 1; }));
    iec104::Asdu got = m.received().front();
    EXPECT_EQ(got.cot, iec104::COT_UNKNOWN_CA);
    EXPECT_TRUE(got.negative);
    EXPECT_EQ(got.ca, 7);
    EXPECT_EQ(fake_wall_clock::set_to, -1);

    m.clear();
    ASSERT_TRUE(m.send(iec104::clock_sync_command(m.app, 0xffff, command_ms)));
    ASSERT_TRUE(test_support::wait_until([&] { return m.count([](const iec104::Asdu& a) { return a.type == iec104::C_CS_NA_1; }) == 1; }));
    got = m.received().front();
    EXPECT_EQ(got.cot, iec104::COT_ACTIVATION_CON);
    EXPECT_FALSE(got.negative);
    EXPECT_EQ(got.ca, 1);
    EXPECT_EQ(fake_wall_clock::set_to, command_ms);
}

TEST(ClockSync, PrintsTheTimeFields) {
    test_support::captured_output out;
    outstation::print_cp56_time(out.file, iec104::cp56_from_ms(946684800000));  // 2000-01-01 00:00:00
    outstation::print_cp56_time(out.file, iec104::cp56_from_ms(4102444799999)); // 2099-12-31 23:59:59.999
    EXPECT_EQ(out.text(), "00:00:00 01/01/200023:59:59 31/12/2099");
}

}  // namespace
