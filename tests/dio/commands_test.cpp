// Commands from a real master over loopback, on the gateway with the
// simulated chip: outputs 1 to 5, the DCU reset, FPI RESET points and
// parameter writes, the stack's own answer for types the gateway does not
// take, select before execute, deactivation and causes it does not know.
#include <mutex>
#include <optional>
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
// point of an FPI 12 that cannot exist. The time tags below lie well before
// the clock: the sample's limit on their age is lifted (it has a test of its
// own).
void command_points(config::config& cfg) {
    cfg.settings.command_max_age_s = 0;
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

// What the first parameter write to FPI 3 prints before its own line: its
// exchange reported as started.
const std::string first_write_of_fpi_3 =
    "==== Slave 3 infoset status: 1 ====\n"
    "Added data to list, list count 1\n"
    "==== Slave 3 infoset status: 0 ====\n"
    "Added data to list, list count 2\n";

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
         "Value 11.500000\n" +
             first_write_of_fpi_3 + "Parameter stored successful IOA 336\n"},
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

// OFF (1) and ON (2) reach the output as 0 and 1; 0 (indeterminate) and 3
// are no state a master may command: refused, and nothing is driven.
TEST(DioCommands, DoubleCommandStatesZeroAndThreeAreRefused) {
    dio_gateway gw({.tweak = command_points});
    ASSERT_TRUE(gw.ok);
    drive_recorder drives(gw.g.station);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    struct state_case {
        int state;
        std::optional<int64_t> time_ms;
        std::vector<reply> replies;
        std::vector<std::pair<int, int32_t>> driven;
        int line;  // output 4's line afterwards
    };
    const state_case cases[] = {
        {2, {}, executed, {{4, 1}}, 1},    {0, {}, refused, {}, 1},          {1, {}, executed, {{4, 0}}, 0},
        {3, {}, refused, {}, 0},           {3, tag_ms, refused, {}, 0},      {0, tag_ms, refused, {}, 0},
        {2, tag_ms, executed, {{4, 1}}, 1},
    };
    for (const state_case& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << (c.time_ms ? " time-tagged" : ""));
        const size_t before = gw.output().size();
        EXPECT_EQ(exchange(m, iec104::double_command(m.app, 1, 14, c.state, {.time_ms = c.time_ms})), c.replies);
        EXPECT_EQ(drive_recorder::taken(), c.driven);
        EXPECT_EQ(gw.line_file(do_offsets[3]), c.line);
        const std::string line =
            "Command for IOA 14 refused: double command state " + std::to_string(c.state) + " not permitted\n";
        EXPECT_EQ(gw.output().find(line, before) != std::string::npos, c.driven.empty());
    }
    // nor does one reach an FPI reset
    for (int state : {0, 3}) EXPECT_EQ(exchange(m, iec104::double_command(m.app, 1, 545, state)), refused);
    EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 5), 0);
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
    const std::vector<reply> deactivation_refused = {{iec104::COT_DEACTIVATION_CON, true}};
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

namespace {

using namespace dio_test;

const iec104::CommandOptions select_it{.select = true};

void select_before_operate(config::config& cfg) {
    command_points(cfg);
    cfg.settings.select_timeout_ms = 5000;
}

std::function<void(dio_gateway&)> nothing_driven = [](dio_gateway& gw) {
    EXPECT_TRUE(drive_recorder::taken().empty());
    EXPECT_FALSE(gw.g.io.dcu_reset_sem.try_acquire());
};

// With select_timeout_ms an output, the DCU and an FPI reset act only on an
// execute that matches a live select of the same connection, once.
TEST(DioCommands, WithSelectTimeoutAnExecuteNeedsItsSelect) {
    dio_gateway gw({.tweak = select_before_operate});
    ASSERT_TRUE(gw.ok);
    drive_recorder drives(gw.g.station);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    auto on = [](auto& p) { return iec104::single_command(p, 1, 12, true); };
    auto select_on = [](auto& p) { return iec104::single_command(p, 1, 12, true, select_it); };
    auto driven_on = [](dio_gateway& gw) {
        EXPECT_EQ(drive_recorder::taken(), (std::vector<std::pair<int, int32_t>>{{2, 1}}));
        EXPECT_EQ(gw.line_file(do_offsets[1]), 1);
    };
    auto then_wait = [](uint64_t ms) {
        return [ms](dio_gateway& gw) {
            nothing_driven(gw);
            fake_monotonic_clock::advance(ms);
        };
    };
    const std::vector<reply> deactivated = {{iec104::COT_DEACTIVATION_CON, false}};
    const std::vector<reply> deactivation_refused = {{iec104::COT_DEACTIVATION_CON, true}};
    const std::string received = "received single command\n";
    std::vector<command_case> cases = {
        {"execute without a select", on, refused, received + "Command for IOA 12 refused: not selected\n", nothing_driven},
        {"select", select_on, accepted, received, nothing_driven},
        {"its execute", on, executed, received, driven_on},
        {"the same execute again: a select serves once", on, refused,
         received + "Command for IOA 12 refused: not selected\n", nothing_driven},
        {"select OFF", [](auto& p) { return iec104::single_command(p, 1, 12, false, select_it); }, accepted, received,
         nothing_driven},
        {"execute ON", on, refused, received + "Command for IOA 12 refused: it differs from its select\n",
         nothing_driven},
        {"select", select_on, accepted, received, nothing_driven},
        {"execute with a time tag: another type",
         [](auto& p) { return iec104::single_command(p, 1, 12, true, {.time_ms = tag_ms}); }, refused,
         "received single command with timestamp\nCommand for IOA 12 refused: it differs from its select\n",
         nothing_driven},
        {"select, and its whole time passes", select_on, accepted, received, then_wait(5000)},
        {"its execute at the last moment", on, executed, received, driven_on},
        {"select, and a moment more passes", select_on, accepted, received, then_wait(5001)},
        {"its execute too late", on, refused, received + "Command for IOA 12 refused: its select has expired\n",
         nothing_driven},
        {"select", select_on, accepted, received, nothing_driven},
        {"deactivation cancels it", [](auto& p) { return with_cause(iec104::single_command(p, 1, 12, true, select_it), iec104::COT_DEACTIVATION); },
         deactivated, received + "Select of IOA 12 cancelled\n", nothing_driven},
        {"the execute after the cancel", on, refused, received + "Command for IOA 12 refused: not selected\n",
         nothing_driven},
        {"a deactivation with nothing selected", [](auto& p) { return with_cause(iec104::single_command(p, 1, 12, true), iec104::COT_DEACTIVATION); },
         deactivation_refused, received, nothing_driven},
        {"select the DCU reset", [](auto& p) { return iec104::single_command(p, 1, 16, false, select_it); }, accepted,
         received, nothing_driven},
        {"execute the DCU reset", [](auto& p) { return iec104::single_command(p, 1, 16, false); }, executed, received,
         [](dio_gateway& gw) {
             EXPECT_TRUE(gw.g.io.dcu_reset_sem.try_acquire());
             EXPECT_FALSE(gw.g.io.dcu_reset_sem.try_acquire());
         }},
        {"a RESET without a select", [](auto& p) { return iec104::single_command(p, 1, 340, true); }, refused,
         received + "Command for IOA 340 refused: not selected\n",
         [](dio_gateway& gw) { EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 3), 0); }},
        {"select the RESET", [](auto& p) { return iec104::single_command(p, 1, 340, true, select_it); }, accepted,
         received, [](dio_gateway& gw) { EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 3), 0); }},
        {"execute the RESET", [](auto& p) { return iec104::single_command(p, 1, 340, true); }, executed,
         received +
             "Stored pending RESET command for slave_id 3 at monotonic time 10010001 ms\n"
             "RESET command stored for Slave 3, IOA 340 and typeid 30\n",
         [](dio_gateway& gw) { EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 3), 1); }},
        {"select a RESET by scaled set-point", [](auto& p) { return iec104::set_point_scaled(p, 1, 326, 1, select_it); },
         accepted, "received measure value scaled command\nValue 1\n", nothing_driven},
        {"execute it", [](auto& p) { return iec104::set_point_scaled(p, 1, 326, 1); }, executed,
         "received measure value scaled command\nValue 1\n"
         "Stored pending RESET command for slave_id 3 at monotonic time 10010001 ms\n"
         "RESET command stored for Slave 3, IOA 326 and typeid 35\n"},
        {"a RESET selected with OFF is refused, not held",
         [](auto& p) { return iec104::double_command(p, 1, 545, 1, select_it); }, refused,
         "received double command\nRESET command ignored because value is 0 for Slave 5\n", nothing_driven},
        {"select the seventh output: nothing behind it",
         [](auto& p) { return iec104::single_command(p, 1, 18, true, select_it); }, refused, received, nothing_driven},
        {"an IOA nothing has, without a select", [](auto& p) { return iec104::single_command(p, 1, 17, true); },
         unknown_ioa, received, nothing_driven},
        {"an IOA nothing has, selected", [](auto& p) { return iec104::single_command(p, 1, 17, true, select_it); },
         unknown_ioa, received, nothing_driven},
        {"a parameter write needs no select: it drives nothing",
         [](auto& p) { return iec104::set_point_short(p, 1, 336, 11.5f); }, accepted,
         "received measure value short command\n"
         "Value 11.500000\n" +
             first_write_of_fpi_3 + "Parameter stored successful IOA 336\n"},
    };
    run_cases(gw, m, cases);
}

// A select holds for the connection that sent it: another master can
// neither execute it nor select the point meanwhile.
TEST(DioCommands, ASelectBelongsToItsConnection) {
    dio_gateway gw({.tweak = select_before_operate});
    ASSERT_TRUE(gw.ok);
    drive_recorder drives(gw.g.station);
    master a(gw.port()), b(gw.port());
    ASSERT_TRUE(a.started);
    ASSERT_TRUE(b.started);
    auto on = [](const master& m) { return iec104::single_command(m.app, 1, 13, true); };
    auto select_on = [](const master& m) { return iec104::single_command(m.app, 1, 13, true, select_it); };

    EXPECT_EQ(exchange(a, select_on(a)), accepted);
    size_t before = gw.output().size();
    EXPECT_EQ(exchange(b, on(b)), refused);
    EXPECT_EQ(gw.output().substr(before), "received single command\nCommand for IOA 13 refused: not selected\n");
    before = gw.output().size();
    EXPECT_EQ(exchange(b, select_on(b)), refused);
    EXPECT_EQ(gw.output().substr(before),
              "received single command\nCommand for IOA 13 refused: selected by another master\n");
    // b's deactivation does not end a's select, and ends none of its own
    EXPECT_EQ(exchange(b, with_cause(select_on(b), iec104::COT_DEACTIVATION)),
              (std::vector<reply>{{iec104::COT_DEACTIVATION_CON, true}}));
    EXPECT_TRUE(drive_recorder::taken().empty());
    EXPECT_EQ(exchange(a, on(a)), executed);
    EXPECT_EQ(drive_recorder::taken(), (std::vector<std::pair<int, int32_t>>{{3, 1}}));
    // the point is free again; another point was free all along
    EXPECT_EQ(exchange(b, select_on(b)), accepted);
    EXPECT_EQ(exchange(a, iec104::single_command(a.app, 1, 11, true, select_it)), accepted);
    EXPECT_EQ(exchange(b, on(b)), executed);
    EXPECT_EQ(exchange(a, iec104::single_command(a.app, 1, 11, true)), executed);
    EXPECT_EQ(drive_recorder::taken(), (std::vector<std::pair<int, int32_t>>{{3, 1}, {1, 1}}));
    // an expired select of one master leaves the point to the other
    EXPECT_EQ(exchange(a, select_on(a)), accepted);
    fake_monotonic_clock::advance(5001);
    EXPECT_EQ(exchange(b, select_on(b)), accepted);
    EXPECT_EQ(exchange(a, on(a)), refused);
    EXPECT_EQ(exchange(b, on(b)), executed);
}

// With command_max_age_s a time tag further than that from the gateway's
// clock (shifted by asdu_time_offset) refuses the command, whatever it is.
TEST(DioCommands, WithCommandMaxAgeAnOldTimeTagIsRefused) {
    dio_gateway gw({.tweak = [](config::config& cfg) {
        command_points(cfg);
        cfg.settings.command_max_age_s = 30;  // the sample's
        cfg.settings.asdu_time_offset = 60;
    }});
    ASSERT_TRUE(gw.ok);
    drive_recorder drives(gw.g.station);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    const int64_t now = fake_wall_clock::now + 3600000;  // as the gateway's time tags have it
    auto output_1 = [](int64_t tag) {
        return [tag](auto& p) { return iec104::single_command(p, 1, 11, true, {.time_ms = tag}); };
    };
    auto driven = [](dio_gateway&) {
        EXPECT_EQ(drive_recorder::taken(), (std::vector<std::pair<int, int32_t>>{{1, 1}}));
    };
    const std::string received = "received single command with timestamp\n";
    // the same time with its IV bit set
    auto invalid = [now](auto& p) {
        iec104::Asdu a = iec104::single_command(p, 1, 11, true, {.time_ms = now});
        a.payload[size_t(p.size_of_ioa) + 1 + 2] |= 0x80;
        return a;
    };
    const int64_t old_tag = now - 30001;
    std::vector<command_case> cases = {
        {"a time tag 30 s old", output_1(now - 30000), executed, received, driven},
        {"a time tag 30 s ahead", output_1(now + 30000), executed, received, driven},
        {"a time tag 30.001 s old", output_1(now - 30001), refused,
         received + "Command for IOA 11 refused: time tag 30001 ms old\n", nothing_driven},
        {"a time tag 30.001 s ahead", output_1(now + 30001), refused,
         received + "Command for IOA 11 refused: time tag -30001 ms old\n", nothing_driven},
        {"a time tag of the clock without its shift", output_1(fake_wall_clock::now), refused,
         received + "Command for IOA 11 refused: time tag 3600000 ms old\n", nothing_driven},
        {"a time tag marked invalid", invalid, refused, received + "Command for IOA 11 refused: time tag marked invalid\n",
         nothing_driven},
        {"no time tag", [](auto& p) { return iec104::single_command(p, 1, 11, true); }, executed,
         "received single command\n", driven},
        {"an old select", [old_tag](auto& p) { return iec104::single_command(p, 1, 11, true, {.select = true, .time_ms = old_tag}); },
         refused, received + "Command for IOA 11 refused: time tag 30001 ms old\n", nothing_driven},
        {"an old RESET", [old_tag](auto& p) { return iec104::double_command(p, 1, 545, 2, {.time_ms = old_tag}); },
         refused,
         "received double command with timestamp\nCommand for IOA 545 refused: time tag 30001 ms old\n",
         [](dio_gateway& gw) { EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 5), 0); }},
        {"an old parameter write", [old_tag](auto& p) { return iec104::set_point_short(p, 1, 336, 11.5f, {.time_ms = old_tag}); },
         refused,
         "received measure value short command\nValue 11.500000\nShort Time-tag received: " +
             std::to_string(old_tag / 1000) + "\nCommand for IOA 336 refused: time tag 30001 ms old\n"},
        {"a parameter write in time", [now](auto& p) { return iec104::set_point_short(p, 1, 336, 11.5f, {.time_ms = now}); },
         accepted,
         "received measure value short command\nValue 11.500000\nShort Time-tag received: " +
             std::to_string(now / 1000) + "\n" + first_write_of_fpi_3 + "Parameter stored successful IOA 336\n"},
    };
    run_cases(gw, m, cases);
}

// A read is answered from what the points hold: a configured point without
// a value, and an IOA nothing has, are unknown.
TEST(DioCommands, AReadAnswersWithThePointsValue) {
    dio_gateway gw;
    ASSERT_TRUE(gw.ok);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    gw.set_line_file(di4_offset, 1);
    dio::scanner_state scan;
    dio::di_scan_pass(gw.g.io, scan);
    auto read = [&](uint32_t ioa) -> std::optional<iec104::Asdu> {
        m.clear();
        if (!m.send(iec104::read_command(m.app, 1, ioa))) return std::nullopt;
        auto answer = [](const iec104::Asdu& a) {
            return a.cot == iec104::COT_REQUEST || a.cot == iec104::COT_UNKNOWN_IOA;
        };
        if (!wait_until([&] { return m.count(answer) > 0; })) return std::nullopt;
        for (const iec104::Asdu& a : m.received())
            if (answer(a)) return a;
        return std::nullopt;
    };
    const auto di4 = read(4);
    ASSERT_TRUE(di4);
    EXPECT_EQ(di4->type, iec104::M_SP_NA_1);
    EXPECT_EQ(di4->cot, iec104::COT_REQUEST);
    EXPECT_FALSE(di4->negative);
    EXPECT_EQ(iec104::get_object(*di4, m.app, 0), (iec104::InformationObject{.ioa = 4, .value = 1}));
    for (uint32_t ioa : {301u, 440u, 17u}) {  // an FPI value, an FPI RESET, nothing
        SCOPED_TRACE(ioa);
        const auto a = read(ioa);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->type, iec104::C_RD_NA_1);
        EXPECT_EQ(a->cot, iec104::COT_UNKNOWN_IOA);
        EXPECT_TRUE(a->negative);
    }
    EXPECT_NE(gw.output().find("Received read command for IOA 301\n"), std::string::npos);
}

}  // namespace
