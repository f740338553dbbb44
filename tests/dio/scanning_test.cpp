// DI scanning and DO toggling with the clocks in the test's hand: the values
// published, the system event log (read back through its CSV export), the
// inversion of the inputs, the time shift, and the pulses that end commands.
#include <ctime>

#include "tests/dio/dio_gateway.h"

namespace {

using namespace dio_test;

// "YYYY-mm-dd HH:MM:SS" of a wall-clock millisecond time (UTC here).
std::string stamp(int64_t ms) {
    const time_t t = time_t(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &tm);
    return out;
}

// Both clocks moved on, the wall clock first: whatever a thread does once it
// sees the new monotonic time is logged with the new wall-clock time.
void advance(int64_t ms) {
    fake_wall_clock::now += ms;
    fake_monotonic_clock::advance(uint64_t(ms));
}

TEST(DioScanning, ValuesPresentAtStartAreNotEventsLaterChangesAre) {
    // DI1-DI4 high before the gateway starts; DI5 has no file and reads 0
    dio_gateway gw({.prepare_chip = [](const std::filesystem::path& chip) {
        for (int k = 0; k < 4; ++k) std::ofstream(chip / std::to_string(di_offsets[size_t(k)])) << "1\n";
    }});
    ASSERT_TRUE(gw.ok);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    dio::scanner_state scan;
    dio::di_scan_pass(gw.g.io, scan);
    dio::di_scan_pass(gw.g.io, scan);
    EXPECT_EQ(gw.system_events(), std::vector<std::string>{});
    EXPECT_EQ(interrogated(m), (std::map<uint32_t, int>{{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 0},
                                                         {11, 0}, {12, 0}, {13, 0}, {14, 0}, {15, 0}}));

    advance(2000);
    gw.set_line_file(di_offsets[0], 0);
    gw.set_line_file(di_offsets[4], 1);
    dio::di_scan_pass(gw.g.io, scan);
    dio::di_scan_pass(gw.g.io, scan);
    const std::string when = stamp(fake_epoch_ms + 2000);
    EXPECT_EQ(gw.system_events(), (std::vector<std::string>{when + ",AC_OK", when + ",DI5_HIGH"}));
}

// "echo 1 > DIR/22" empties the file before it writes: a scan in between
// sees the line as it was, not as a change.
TEST(DioScanning, AnInputFileBeingRewrittenKeepsItsValue) {
    dio_gateway gw;
    ASSERT_TRUE(gw.ok);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    dio::scanner_state scan;
    dio::di_scan_pass(gw.g.io, scan);
    gw.set_line_file(di4_offset, 1);
    dio::di_scan_pass(gw.g.io, scan);
    std::ofstream(gw.chip_dir / std::to_string(di4_offset), std::ios::trunc).close();
    dio::di_scan_pass(gw.g.io, scan);
    const auto values = interrogated(m);
    EXPECT_EQ(values.count(4) ? values.at(4) : -1, 1);
    advance(1000);
    gw.set_line_file(di4_offset, 0);
    dio::di_scan_pass(gw.g.io, scan);
    EXPECT_EQ(gw.system_events(), (std::vector<std::string>{stamp(fake_epoch_ms) + ",DOOR_OPEN",
                                                            stamp(fake_epoch_ms + 1000) + ",DOOR_CLOSE"}));
}

TEST(DioScanning, EveryInputLogsItsOwnCodes) {
    dio_gateway gw;
    ASSERT_TRUE(gw.ok);
    dio::scanner_state scan;
    dio::di_scan_pass(gw.g.io, scan);
    for (unsigned offset : di_offsets) gw.set_line_file(offset, 1);
    dio::di_scan_pass(gw.g.io, scan);
    advance(1000);
    for (unsigned offset : di_offsets) gw.set_line_file(offset, 0);
    dio::di_scan_pass(gw.g.io, scan);
    const std::string t0 = stamp(fake_epoch_ms), t1 = stamp(fake_epoch_ms + 1000);
    EXPECT_EQ(gw.system_events(),
              (std::vector<std::string>{t0 + ",AC_FAIL", t0 + ",CHARGER_FAIL", t0 + ",BATTERY_LOW", t0 + ",DOOR_OPEN",
                                        t0 + ",DI5_HIGH", t1 + ",AC_OK", t1 + ",CHARGER_OK", t1 + ",BATTERY_OK",
                                        t1 + ",DOOR_CLOSE", t1 + ",DI5_LOW"}));
}

// DI4 (the door) going from 0 to 1 on its line and back, with and without
// inversion and with event times shifted by asdu_time_offset minutes; the
// value published and reported spontaneously carries the shifted time too.
TEST(DioScanning, DoorEventsFollowInversionAndTheTimeOffset) {
    struct door_case {
        int invert;
        int offset_minutes;
        int published_when_low;  // what a master sees while the line reads 0
        const char* rising;      // the line going 0 -> 1
        const char* falling;
    };
    const door_case cases[] = {
        {0, 0, 0, "DOOR_OPEN", "DOOR_CLOSE"},
        {0, 90, 0, "DOOR_OPEN", "DOOR_CLOSE"},
        {1, 0, 1, "DOOR_CLOSE", "DOOR_OPEN"},
        {1, -45, 1, "DOOR_CLOSE", "DOOR_OPEN"},
    };
    for (const door_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "invert " << c.invert << ", offset " << c.offset_minutes);
        dio_gateway gw({.tweak = [&](config::config& cfg) {
            cfg.settings.invert_di_values = c.invert;
            cfg.settings.asdu_time_offset = c.offset_minutes;
        }});
        ASSERT_TRUE(gw.ok);
        master m(gw.port());
        ASSERT_TRUE(m.started);
        ASSERT_TRUE(wait_until([&] { return station_test::slot_online(gw.g.station); }));
        dio::scanner_state scan;
        dio::di_scan_pass(gw.g.io, scan);  // DI4 has no file yet: it reads 0
        const auto at_start = interrogated(m);
        EXPECT_EQ(at_start.count(4) ? at_start.at(4) : -1, c.published_when_low);

        m.clear();
        advance(5000);
        gw.set_line_file(di4_offset, 1);
        dio::di_scan_pass(gw.g.io, scan);
        const int64_t rise_ms = fake_epoch_ms + 5000;
        ASSERT_TRUE(wait_until([&] {
            return m.count([](const iec104::Asdu& a) { return a.cot == iec104::COT_SPONTANEOUS; }) > 0;
        }));
        const auto spontaneous = m.received();
        ASSERT_EQ(spontaneous.size(), 1u);
        EXPECT_EQ(spontaneous[0].type, iec104::M_SP_TB_1);
        const auto o = iec104::get_object(spontaneous[0], m.app, 0);
        ASSERT_TRUE(o);
        EXPECT_EQ(o->ioa, 4u);
        EXPECT_EQ(o->value, 1 - c.published_when_low);
        EXPECT_EQ(iec104::cp56_to_ms(o->time), rise_ms + int64_t(c.offset_minutes) * 60000);

        advance(61000);
        gw.set_line_file(di4_offset, 0);
        dio::di_scan_pass(gw.g.io, scan);
        dio::di_scan_pass(gw.g.io, scan);
        const int64_t shift = int64_t(c.offset_minutes) * 60000;
        EXPECT_EQ(gw.system_events(), (std::vector<std::string>{stamp(rise_ms + shift) + "," + c.rising,
                                                                stamp(rise_ms + 61000 + shift) + "," + c.falling}));
        const auto at_end = interrogated(m);
        EXPECT_EQ(at_end.count(4) ? at_end.at(4) : -1, c.published_when_low);
    }
}

// Each output with its own toggle action and time: commanded through a
// master, left alone until its deadline, then acted on by the toggling pass;
// every change of a line is logged by the next scan.
TEST(DioToggling, EachOutputEndsItsPulseWithItsOwnAction) {
    struct output_case {
        int k;
        int toggle_on;
        int timeout_ms;
        bool command_on;
        int line_after;            // after the pulse ended
        const char* command_event;  // logged by the scan after the command, or ""
        const char* toggle_event;   // logged by the scan after the toggle, or ""
    };
    const output_case cases[] = {
        {1, 1, 2000, true, 0, "DO1_HIGH", "DO1_LOW"},
        {2, 2, 500, false, 1, "", "DO2_HIGH"},
        {3, 3, 2000, true, 0, "DO3_HIGH", "DO3_LOW"},
        {4, 3, 1000, false, 1, "", "DO4_HIGH"},
        {5, 0, 300, true, 1, "DO5_HIGH", ""},
    };
    dio_gateway gw({.tweak = [&](config::config& cfg) {
        for (const output_case& c : cases) {
            config::iec104_ioa& p = dio_point(cfg, "do" + std::to_string(c.k));
            p.toggle_on = c.toggle_on;
            p.toggle_timeout = c.timeout_ms;
        }
    }});
    ASSERT_TRUE(gw.ok);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    dio::scanner_state scan;
    dio::di_scan_pass(gw.g.io, scan);
    std::vector<std::string> events;
    for (const output_case& c : cases) {
        SCOPED_TRACE(c.k);
        const size_t i = size_t(c.k - 1);
        const uint32_t ioa = uint32_t(10 + c.k);
        const std::string toggling = "Toggling DO" + std::to_string(c.k) + " pin\n";

        advance(1000);
        EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, ioa, c.command_on)), executed);
        EXPECT_EQ(gw.line_file(do_offsets[i]), c.command_on ? 1 : 0);
        const uint64_t deadline = fake_monotonic_clock::now + uint64_t(c.timeout_ms);
        EXPECT_EQ(gw.g.io.pulse_deadlines[i].load(), deadline);
        dio::di_scan_pass(gw.g.io, scan);
        if (*c.command_event) events.push_back(stamp(fake_wall_clock::now) + "," + c.command_event);

        // one millisecond early: nothing yet
        advance(c.timeout_ms - 1);
        size_t before = gw.output().size();
        dio::do_toggle_pass(gw.g.io);
        EXPECT_EQ(gw.output().substr(before), "");
        EXPECT_EQ(gw.line_file(do_offsets[i]), c.command_on ? 1 : 0);
        EXPECT_EQ(gw.g.io.pulse_deadlines[i].load(), deadline);

        advance(1);
        before = gw.output().size();
        dio::do_toggle_pass(gw.g.io);
        EXPECT_EQ(gw.output().substr(before), c.k == 1 ? "" : toggling);
        EXPECT_EQ(gw.line_file(do_offsets[i]), c.line_after);
        EXPECT_EQ(gw.g.io.pulse_deadlines[i].load(), 0u);
        dio::di_scan_pass(gw.g.io, scan);
        if (*c.toggle_event) events.push_back(stamp(fake_wall_clock::now) + "," + c.toggle_event);

        // done: later passes leave the line alone
        advance(10000);
        before = gw.output().size();
        dio::do_toggle_pass(gw.g.io);
        EXPECT_EQ(gw.output().substr(before), "");
        EXPECT_EQ(gw.line_file(do_offsets[i]), c.line_after);
    }
    EXPECT_EQ(gw.system_events(), events);
    // the master sees where the outputs ended
    const auto values = interrogated(m);
    for (const output_case& c : cases) {
        const uint32_t ioa = uint32_t(10 + c.k);
        EXPECT_EQ(values.count(ioa) ? values.at(ioa) : -1, c.line_after) << ioa;
    }
}

TEST(DioToggling, ASecondCommandBeforeTheDeadlineMovesIt) {
    dio_gateway gw({.tweak = [](config::config& cfg) { dio_point(cfg, "do3").toggle_on = 3; }});
    ASSERT_TRUE(gw.ok);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, 13, true)), executed);
    advance(1500);
    EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, 13, true)), executed);
    const uint64_t deadline = fake_monotonic_clock::now + 2000;
    EXPECT_EQ(gw.g.io.pulse_deadlines[2].load(), deadline);
    advance(600);  // past the first deadline
    dio::do_toggle_pass(gw.g.io);
    EXPECT_EQ(gw.line_file(38), 1);
    EXPECT_EQ(gw.g.io.pulse_deadlines[2].load(), deadline);
    advance(1400);
    const size_t before = gw.output().size();
    dio::do_toggle_pass(gw.g.io);
    EXPECT_EQ(gw.output().substr(before), "Toggling DO3 pin\n");
    EXPECT_EQ(gw.line_file(38), 0);
}

// A pulse armed before the configuration is made known again (a gateway
// started again) is disarmed: no toggle action from a previous run.
TEST(DioToggling, ConfiguringDisarmsEveryPulse) {
    logs::log_stores stores;
    outstation::station station;
    dio::dio_state io{stores, station};
    config::config cfg;
    io.pulse_deadlines[2] = 77;
    io.pulse_deadlines[4] = 1;
    EXPECT_TRUE(dio::do_pulse_pending(io));
    dio::dio_configure(io, cfg);
    EXPECT_EQ(io.cfg, &cfg);
    for (const auto& d : io.pulse_deadlines) EXPECT_EQ(d.load(), 0u);
    EXPECT_FALSE(dio::do_pulse_pending(io));
}

// The same road with the gateway's own threads: a command to output 3
// (invert after 2000 ms) is ended by the toggling thread once the clock has
// moved on, and the scanning thread logs both changes and a door opening.
TEST(DioThreads, ScanningAndTogglingThreadsDoTheirPasses) {
    dio_gateway gw({.tweak =
                        [](config::config& cfg) {
                            dio_point(cfg, "do3").toggle_on = 3;
                            cfg.settings.gpio_scan_frequency = 5;
                        },
                    .workers = gpio_threads});
    ASSERT_TRUE(gw.ok);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    // the scanning thread has opened the lines and published a first pass
    ASSERT_TRUE(wait_until([&] { return gw.line_file(dcu_offset) == 1 && interrogated(m).count(13) == 1; }));

    EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, 13, true)), executed);
    EXPECT_EQ(gw.line_file(38), 1);
    const std::string high = stamp(fake_epoch_ms) + ",DO3_HIGH";
    ASSERT_TRUE(wait_until([&] { return gw.system_events() == std::vector<std::string>{high}; }));

    advance(2000);
    EXPECT_TRUE(gw.printed("Toggling DO3 pin\n"));
    EXPECT_TRUE(wait_until([&] { return gw.line_file(38) == 0; }));
    const std::string low = stamp(fake_epoch_ms + 2000) + ",DO3_LOW";
    ASSERT_TRUE(wait_until([&] { return gw.system_events() == std::vector<std::string>{high, low}; }));

    advance(1000);
    gw.set_line_file(di4_offset, 1);
    const std::string open = stamp(fake_epoch_ms + 3000) + ",DOOR_OPEN";
    EXPECT_TRUE(wait_until([&] { return gw.system_events() == std::vector<std::string>{high, low, open}; }));
    EXPECT_EQ(occurrences(gw.output(), "Toggling DO3 pin\n"), 1u);
}

}  // namespace
