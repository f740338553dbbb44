// Commands from a real master over loopback, on the gateway with the
// simulated chip: outputs 1 to 5, the DCU reset, FPI RESET points and
// parameter writes, the stack's own answer for types the gateway does not
// take, select before execute, deactivation and causes it does not know.
#include <mutex>
#include <utility>

#include "tests/dio/dio_gateway.h"

namespace {

using namespace dio_test;

// What the command handling handed to the outputs, recorded on the way to
// the real target.
struct drive_recorder {
    static inline std::mutex m;
    static inline std::vector<std::pair<int, int32_t>> calls;
    outstation::station& station;
    std::function<bool(int, int32_t)> target;
    explicit drive_recorder(outstation::station& st) : station(st), target(st.commands.drive_output) {
        calls.clear();
        station.commands.drive_output = [this](int k, int32_t value) {
            {
                std::lock_guard lk(m);
                calls.push_back({k, value});
            }
            return target(k, value);
        };
    }
    ~drive_recorder() { station.commands.drive_output = target; }
    static std::vector<std::pair<int, int32_t>> taken() {
        std::lock_guard lk(m);
        auto out = calls;
        calls.clear();
        return out;
    }
};

// The points the commands below need besides the sample's: output 4 taking
// double commands, a seventh digital output, a RESET point of FPI 5 as a
// double point and one of FPI 6 as a normalized value, a RESET point of FPI
// 7 on output 5's IOA and type, FPI 3's VOLTAGE in lower case and a VOLTAGE
// point of an FPI 12 that cannot exist.
void command_points(config::config& cfg) {
    dio_point(cfg, "do4").type_id = 31;
    cfg.dio_points.push_back({"do7", "digital_output", 18, 30, 1, 2000, 0});
    cfg.fpi_points.push_back({"fpi7_reset_on_do5", 7, "RESET", 15, 30});
    fpi_point(cfg, "fpi3_set_voltage").ioa_name = "voltage";
    cfg.fpi_points.push_back({"fpi5_reset_double", 5, "RESET", 545, 31});
    cfg.fpi_points.push_back({"fpi6_reset_normalized", 6, "RESET", 646, 34});
    cfg.fpi_points.push_back({"fpi12_set_voltage", 12, "voltage", 1236, 36});
}

// 2024-06-05 12:00:00 UTC, a time tag for the time-tagged commands.
constexpr int64_t tag_ms = 1717588800000;

struct command_case {
    const char* name;
    std::function<iec104::Asdu(const iec104::AppLayerParameters&)> command;
    std::vector<reply> replies;
    std::string printed;  // everything standard output got meanwhile
    std::function<void(dio_gateway&)> check = [](dio_gateway&) {};
};

void run_cases(dio_gateway& gw, master& m, const std::vector<command_case>& cases) {
    for (const command_case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = gw.output().size();
        EXPECT_EQ(exchange(m, c.command(m.app)), c.replies);
        EXPECT_EQ(gw.output().substr(before), c.printed);
        c.check(gw);
    }
}

// A C_BO_NA_1 (bitstring of 32 bits), which this stack cannot build: IOA 12,
// BSI 0x00000001.
iec104::Asdu bitstring_command(const iec104::AppLayerParameters& p) {
    iec104::Asdu a = iec104::make_asdu(p, 51, false, iec104::COT_ACTIVATION, 1);
    const uint8_t object[] = {12, 0, 0, 1, 0, 0, 0};
    std::copy(std::begin(object), std::end(object), a.payload.begin());
    a.payload_size = sizeof object;
    a.count = 1;
    return a;
}

iec104::Asdu with_cause(iec104::Asdu a, uint8_t cot) {
    a.cot = cot;
    return a;
}

TEST(DioCommands, EveryCommandTargetThroughAMaster) {
    dio_gateway gw({.tweak = command_points});
    ASSERT_TRUE(gw.ok);
    EXPECT_EQ(gw.gpio_errors, "");
    drive_recorder drives(gw.g.station);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    const uint64_t now = fake_monotonic_clock::now;

    std::vector<command_case> cases = {
        {"single command ON to the second output: line 2 driven, its pulse armed",
         [](auto& p) { return iec104::single_command(p, 1, 12, true); }, executed, "received single command\n",
         [now](dio_gateway& gw) {
             EXPECT_EQ(gw.line_file(do_offsets[1]), 1);
             EXPECT_EQ(gw.g.io.pulse_deadlines[1].load(), now + 2000);
             EXPECT_EQ(drive_recorder::taken(), (std::vector<std::pair<int, int32_t>>{{2, 1}}));
         }},
        {"double command to the same IOA: no double point there",
         [](auto& p) { return iec104::double_command(p, 1, 12, 2); }, unknown_ioa, "received double command\n",
         [now](dio_gateway& gw) {
             EXPECT_EQ(gw.line_file(do_offsets[1]), 1);
             EXPECT_EQ(gw.g.io.pulse_deadlines[1].load(), now + 2000);
             EXPECT_TRUE(drive_recorder::taken().empty());
         }},
        {"single command OFF to the sixth output: the DCU reset all the same",
         [](auto& p) { return iec104::single_command(p, 1, 16, false); }, executed, "received single command\n",
         [](dio_gateway& gw) {
             EXPECT_TRUE(gw.g.io.dcu_reset_sem.try_acquire());
             EXPECT_FALSE(gw.g.io.dcu_reset_sem.try_acquire());
             EXPECT_TRUE(drive_recorder::taken().empty());
         }},
        {"a time-tagged single command to output 1",
         [](auto& p) { return iec104::single_command(p, 1, 11, true, {.time_ms = tag_ms}); }, executed,
         "received single command with timestamp\n",
         [](dio_gateway& gw) {
             EXPECT_EQ(gw.line_file(do_offsets[0]), 1);
             EXPECT_EQ(drive_recorder::taken(), (std::vector<std::pair<int, int32_t>>{{1, 1}}));
         }},
        {"a single command to an IOA nothing has",
         [](auto& p) { return iec104::single_command(p, 1, 17, true); }, unknown_ioa, "received single command\n"},
        {"a single command to a digital input",
         [](auto& p) { return iec104::single_command(p, 1, 4, true); }, unknown_ioa, "received single command\n"},
        {"a single command to the seventh output: nothing behind it",
         [](auto& p) { return iec104::single_command(p, 1, 18, true); }, refused, "received single command\n",
         [](dio_gateway& gw) {
             EXPECT_TRUE(drive_recorder::taken().empty());
             EXPECT_FALSE(gw.g.io.dcu_reset_sem.try_acquire());
         }},
        {"output 5 and a RESET point on one IOA and type: the output wins",
         [](auto& p) { return iec104::single_command(p, 1, 15, true); }, executed, "received single command\n",
         [](dio_gateway& gw) {
             EXPECT_EQ(drive_recorder::taken(), (std::vector<std::pair<int, int32_t>>{{5, 1}}));
             EXPECT_EQ(gw.line_file(do_offsets[4]), 1);
             EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 7), 0);
         }},
        {"a single command to an FPI value that is no RESET point",
         [](auto& p) { return iec104::single_command(p, 1, 301, true); }, unknown_ioa, "received single command\n"},
        {"RESET of FPI 3 by single command ON",
         [](auto& p) { return iec104::single_command(p, 1, 340, true); }, executed,
         "received single command\n"
         "Stored pending RESET command for slave_id 3 at monotonic time 10000000 ms\n"
         "RESET command stored for Slave 3, IOA 340 and typeid 30\n",
         [](dio_gateway& gw) { EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 3), 1); }},
        {"RESET of FPI 5, a double point, by double command ON",
         [](auto& p) { return iec104::double_command(p, 1, 545, 2); }, executed,
         "received double command\n"
         "Stored pending RESET command for slave_id 5 at monotonic time 10000000 ms\n"
         "RESET command stored for Slave 5, IOA 545 and typeid 31\n",
         [](dio_gateway& gw) {
             EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 5), 1);
             fpi::pending_reset_clear(gw.g.fpis, 5);
         }},
        {"double command OFF to the same RESET point: ignored and refused",
         [](auto& p) { return iec104::double_command(p, 1, 545, 1); }, refused,
         "received double command\n"
         "RESET command ignored because value is 0 for Slave 5\n",
         [](dio_gateway& gw) { EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 5), 0); }},
        {"VOLTAGE of FPI 3 written in lower case: a parameter write, no termination",
         [](auto& p) { return iec104::set_point_short(p, 1, 336, 11.5f); }, accepted,
         "received measure value short command\n"
         "Value 11.500000\n"
         // the first write of FPI 3's set reports its exchange as started
         "==== Slave 3 infoset status: 1 ====\n"
         "Added data to list, list count 1\n"
         "==== Slave 3 infoset status: 0 ====\n"
         "Added data to list, list count 2\n"
         "Parameter stored successful IOA 336\n"},
        {"the same with a time tag",
         [](auto& p) { return iec104::set_point_short(p, 1, 336, 11.5f, {.time_ms = tag_ms}); }, accepted,
         "received measure value short command\n"
         "Value 11.500000\n"
         "Short Time-tag received: 1717588800\n"
         "Parameter stored successful IOA 336\n"},
        {"a VOLTAGE the FPI cannot carry (3000 V is 30000 tenths)",
         [](auto& p) { return iec104::set_point_short(p, 1, 336, 3000.0f); }, refused,
         "received measure value short command\n"
         "Value 3000.000000\n"
         "Invalid parameter IOA 336\n"},
        {"VOLTAGE of FPI 12: no such FPI",
         [](auto& p) { return iec104::set_point_short(p, 1, 1236, 11.5f); }, refused,
         "received measure value short command\n"
         "Value 11.500000\n"
         "Invalid parameter IOA 1236\n"},
        {"a scaled parameter write with a time tag",
         [](auto& p) { return iec104::set_point_scaled(p, 1, 330, 7, {.time_ms = tag_ms}); }, accepted,
         "received measure value scaled command\n"
         "Value 7\n"
         "Scaled Time-tag received: 1717588800\n"
         "Parameter stored successful IOA 330\n"},
        {"scaled 1 to FPI 3's RESET value point (type 35): a RESET too",
         [](auto& p) { return iec104::set_point_scaled(p, 1, 326, 1); }, executed,
         "received measure value scaled command\n"
         "Value 1\n"
         "Stored pending RESET command for slave_id 3 at monotonic time 10000000 ms\n"
         "RESET command stored for Slave 3, IOA 326 and typeid 35\n"},
        {"-0.5 normalized to a RESET point of type 34: value 0, refused",
         [](auto& p) { return iec104::set_point_normalized(p, 1, 646, -0.5f); }, refused,
         "received measure value normalized command\n"
         "Value -0.500000\n"
         "RESET command ignored because value is 0 for Slave 6\n",
         [](dio_gateway& gw) { EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 6), 0); }},
        {"the same time-tagged",
         [](auto& p) { return iec104::set_point_normalized(p, 1, 646, -0.5f, {.time_ms = tag_ms}); }, refused,
         "received measure value normalized command\n"
         "Value -0.500000\n"
         "Time-tag received: 1717588800\n"
         "RESET command ignored because value is 0 for Slave 6\n"},
        {"a set-point to a point that is no parameter and no RESET",
         [](auto& p) { return iec104::set_point_short(p, 1, 307, 1.0f); }, unknown_ioa,
         "received measure value short command\n"
         "Value 1.000000\n"},
        {"C_BO_NA_1 is left to the stack: unknown type, nothing printed", bitstring_command,
         {{iec104::COT_UNKNOWN_TYPE_ID, true}}, "",
         [](dio_gateway& gw) { EXPECT_EQ(gw.line_file(do_offsets[1]), 1); }},
    };
    run_cases(gw, m, cases);
}

TEST(DioCommands, DoubleCommandStatesReachTheOutputUnchanged) {
    dio_gateway gw({.tweak = command_points});
    ASSERT_TRUE(gw.ok);
    drive_recorder drives(gw.g.station);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    // state: what the output is handed, what its line holds afterwards
    struct state_case {
        int state;
        int32_t value;
        int line;
    };
    const state_case cases[] = {{0, -1, 1}, {1, 0, 0}, {3, 2, 1}, {1, 0, 0}, {2, 1, 1}};
    for (const state_case& c : cases) {
        SCOPED_TRACE(c.state);
        EXPECT_EQ(exchange(m, iec104::double_command(m.app, 1, 14, c.state)), executed);
        EXPECT_EQ(drive_recorder::taken(), (std::vector<std::pair<int, int32_t>>{{4, c.value}}));
        EXPECT_EQ(gw.line_file(do_offsets[3]), c.line);
        EXPECT_EQ(gw.g.io.pulse_deadlines[3].load(), fake_monotonic_clock::now + 2000);
    }
}

TEST(DioCommands, ASelectIsConfirmedAndDoesNothingTheExecuteActs) {
    dio_gateway gw({.tweak = command_points});
    ASSERT_TRUE(gw.ok);
    drive_recorder drives(gw.g.station);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    const iec104::CommandOptions select{.select = true};
    const uint64_t now = fake_monotonic_clock::now;
    auto nothing_done = [](dio_gateway& gw) {
        EXPECT_TRUE(drive_recorder::taken().empty());
        for (unsigned offset : do_offsets) EXPECT_EQ(gw.line_file(offset), 0) << offset;
        for (const auto& d : gw.g.io.pulse_deadlines) EXPECT_EQ(d.load(), 0u);
        EXPECT_FALSE(gw.g.io.dcu_reset_sem.try_acquire());
        for (int s = 1; s <= 9; ++s) EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, s), 0) << s;
    };
    std::vector<command_case> cases = {
        {"select output 3", [&](auto& p) { return iec104::single_command(p, 1, 13, true, select); }, accepted,
         "received single command\n", nothing_done},
        {"select the DCU reset", [&](auto& p) { return iec104::single_command(p, 1, 16, true, select); }, accepted,
         "received single command\n", nothing_done},
        {"select output 3 by double command: no such point",
         [&](auto& p) { return iec104::double_command(p, 1, 13, 2, select); }, unknown_ioa,
         "received double command\n", nothing_done},
        {"select a RESET with ON", [&](auto& p) { return iec104::double_command(p, 1, 545, 2, select); }, accepted,
         "received double command\n", nothing_done},
        {"select a RESET with OFF: refused as an execute would be",
         [&](auto& p) { return iec104::double_command(p, 1, 545, 1, select); }, refused,
         "received double command\n"
         "RESET command ignored because value is 0 for Slave 5\n",
         nothing_done},
        {"select a parameter write: checked, not stored",
         [&](auto& p) { return iec104::set_point_short(p, 1, 336, 11.5f, select); }, accepted,
         "received measure value short command\n"
         "Value 11.500000\n",
         nothing_done},
        {"select a VOLTAGE the FPI cannot carry: refused as an execute would be",
         [&](auto& p) { return iec104::set_point_short(p, 1, 336, 3000.0f, select); }, refused,
         "received measure value short command\n"
         "Value 3000.000000\n"
         "Invalid parameter IOA 336\n",
         nothing_done},
        {"select a parameter of FPI 12: refused",
         [&](auto& p) { return iec104::set_point_short(p, 1, 1236, 11.5f, select); }, refused,
         "received measure value short command\n"
         "Value 11.500000\n"
         "Invalid parameter IOA 1236\n",
         nothing_done},
        {"execute output 3", [](auto& p) { return iec104::single_command(p, 1, 13, true); }, executed,
         "received single command\n",
         [now](dio_gateway& gw) {
             EXPECT_EQ(drive_recorder::taken(), (std::vector<std::pair<int, int32_t>>{{3, 1}}));
             EXPECT_EQ(gw.line_file(do_offsets[2]), 1);
             EXPECT_EQ(gw.g.io.pulse_deadlines[2].load(), now + 2000);
         }},
        {"execute the DCU reset", [](auto& p) { return iec104::single_command(p, 1, 16, true); }, executed,
         "received single command\n",
         [](dio_gateway& gw) {
             EXPECT_TRUE(gw.g.io.dcu_reset_sem.try_acquire());
             EXPECT_FALSE(gw.g.io.dcu_reset_sem.try_acquire());
         }},
        {"execute the RESET", [](auto& p) { return iec104::double_command(p, 1, 545, 2); }, executed,
         "received double command\n"
         "Stored pending RESET command for slave_id 5 at monotonic time 10000000 ms\n"
         "RESET command stored for Slave 5, IOA 545 and typeid 31\n",
         [](dio_gateway& gw) { EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 5), 1); }},
    };
    run_cases(gw, m, cases);
}

TEST(DioCommands, DeactivationIsConfirmedOtherCausesAreRefusedNothingIsDone) {
    dio_gateway gw({.tweak = command_points});
    ASSERT_TRUE(gw.ok);
    drive_recorder drives(gw.g.station);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    auto nothing_done = [](dio_gateway& gw) {
        EXPECT_TRUE(drive_recorder::taken().empty());
        for (unsigned offset : do_offsets) EXPECT_EQ(gw.line_file(offset), 0) << offset;
        for (const auto& d : gw.g.io.pulse_deadlines) EXPECT_EQ(d.load(), 0u);
        EXPECT_FALSE(gw.g.io.dcu_reset_sem.try_acquire());
        EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 5), 0);
    };
    const std::vector<reply> deactivated = {{iec104::COT_DEACTIVATION_CON, false}};
    const std::vector<reply> unknown_cause = {{iec104::COT_UNKNOWN_COT, true}};
    std::vector<command_case> cases = {
        {"deactivate output 2",
         [](auto& p) { return with_cause(iec104::single_command(p, 1, 12, true), iec104::COT_DEACTIVATION); },
         deactivated, "received single command\n", nothing_done},
        {"deactivate the DCU reset",
         [](auto& p) { return with_cause(iec104::single_command(p, 1, 16, true), iec104::COT_DEACTIVATION); },
         deactivated, "received single command\n", nothing_done},
        {"deactivate a RESET",
         [](auto& p) { return with_cause(iec104::double_command(p, 1, 545, 2), iec104::COT_DEACTIVATION); },
         deactivated, "received double command\n", nothing_done},
        {"output 2 with cause 3 (spontaneous)",
         [](auto& p) { return with_cause(iec104::single_command(p, 1, 12, true), iec104::COT_SPONTANEOUS); },
         unknown_cause, "received single command\n", nothing_done},
        {"the DCU reset with cause 5 (request)",
         [](auto& p) { return with_cause(iec104::single_command(p, 1, 16, true), iec104::COT_REQUEST); },
         unknown_cause, "received single command\n", nothing_done},
        {"a parameter write with cause 7",
         [](auto& p) { return with_cause(iec104::set_point_short(p, 1, 336, 1.0f), iec104::COT_ACTIVATION_CON); },
         unknown_cause, "received measure value short command\n", nothing_done},
        {"a single command without an information object",
         [](auto& p) { return iec104::make_asdu(p, iec104::C_SC_NA_1, false, iec104::COT_ACTIVATION, 1); },
         refused, "received single command\n", nothing_done},
    };
    run_cases(gw, m, cases);

    // the mirrored ASDU is the command itself, IOA and state included
    const auto back = exchange_asdus(m, with_cause(iec104::single_command(m.app, 1, 12, true), iec104::COT_SPONTANEOUS));
    ASSERT_EQ(back.size(), 1u);
    const auto o = iec104::get_object(back[0], m.app, 0);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->ioa, 12u);
    EXPECT_EQ(o->value, 1);
}

// Output 3's file cannot be created: the line is missing, a command to it
// is refused and it is not published; the other lines serve as usual.
TEST(DioCommands, AnOutputWhoseLineIsMissingIsRefused) {
    dio_gateway gw({.prepare_chip = [](const std::filesystem::path& chip) {
        std::filesystem::create_directory(chip / "38.tmp");
    }});
    ASSERT_TRUE(gw.ok);
    EXPECT_EQ(gw.gpio_errors,
              "gpio_init: cannot request line 38 of " + gw.cfg->settings.gpio_chip + ": Is a directory\n");
    master m(gw.port());
    ASSERT_TRUE(m.started);

    EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, 13, true, {.select = true})), refused);
    EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, 13, true)), refused);
    EXPECT_EQ(gw.g.io.pulse_deadlines[2].load(), 0u);
    EXPECT_EQ(gw.line_file(38), -1);
    EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, 12, true)), executed);
    EXPECT_EQ(gw.line_file(do_offsets[1]), 1);

    dio::scanner_state scan;
    dio::di_scan_pass(gw.g.io, scan);
    const auto values = interrogated(m);
    for (uint32_t ioa : {1u, 2u, 3u, 4u, 5u, 11u, 14u, 15u}) EXPECT_EQ(values.count(ioa), 1u) << ioa;
    EXPECT_EQ(values.count(12u) ? values.at(12u) : -1, 1);
    EXPECT_EQ(values.count(13u), 0u);  // never published
}

// Without the DCU power line a DCU reset cannot be done: the command is
// refused, and a post from elsewhere is told on standard error and never
// reported successful.
TEST(DioCommands, ADcuResetWithoutItsLineIsRefused) {
    dio_gateway gw({.workers = dcu_reset_only, .prepare_chip = [](const std::filesystem::path& chip) {
        std::filesystem::create_directory(chip / "76.tmp");
    }});
    ASSERT_TRUE(gw.ok);
    EXPECT_EQ(gw.gpio_errors,
              "gpio_init: cannot request line 76 of " + gw.cfg->settings.gpio_chip + ": Is a directory\n");
    master m(gw.port());
    ASSERT_TRUE(m.started);
    EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, 16, true, {.select = true})), refused);
    EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, 16, true)), refused);
    EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, 12, true)), executed);  // the other lines serve

    stream_tap err(stderr, (gw.dir.path / "stderr.txt").string());
    const size_t before = gw.output().size();
    gw.g.io.dcu_reset_sem.release();
    EXPECT_TRUE(wait_until([&] { return err.text().find("dcu_reset_pulse:") != std::string::npos; }));
    EXPECT_EQ(err.text(), "dcu_reset_pulse: the DCU power line is not available\n");
    EXPECT_EQ(gw.output().substr(before), "DCU reset semaphore released\n");
    EXPECT_FALSE(gw.g.io.dcu_reset_sem.try_acquire());
}

}  // namespace
