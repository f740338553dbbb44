// Clock synchronisation from a master, with the clock setter replaced.
#include <gtest/gtest.h>

#include <cerrno>

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

TEST(ClockSync, PrintsTheTimeFields) {
    test_support::captured_output out;
    outstation::print_cp56_time(out.file, iec104::cp56_from_ms(946684800000));  // 2000-01-01 00:00:00
    outstation::print_cp56_time(out.file, iec104::cp56_from_ms(4102444799999)); // 2099-12-31 23:59:59.999
    EXPECT_EQ(out.text(), "00:00:00 01/01/200023:59:59 31/12/2099");
}

}  // namespace
