// The station's common address over a real master: commands to another
// address, or to the broadcast address, reach nothing and are mirrored with
// cause 46; an interrogation to the broadcast address is answered with the
// station's own address throughout.
#include "tests/dio/dio_gateway.h"

namespace {

using namespace dio_test;

constexpr uint16_t station_ca = 1;  // the sample configuration's
constexpr uint16_t foreign_ca = 7;
constexpr uint16_t broadcast = 0xffff;

// 2024-06-05 12:00:00 UTC, a time tag for the time-tagged commands.
constexpr int64_t tag_ms = 1717588800000;

TEST(CommonAddress, ACommandToAnotherOrTheBroadcastAddressChangesNothing) {
    dio_gateway gw;
    ASSERT_TRUE(gw.ok);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    struct command_case {
        const char* name;
        std::function<iec104::Asdu(const iec104::AppLayerParameters&, uint16_t ca)> command;
    };
    const command_case cases[] = {
        {"output 1 ON", [](auto& p, uint16_t ca) { return iec104::single_command(p, ca, 11, true); }},
        {"output 1 ON, time-tagged",
         [](auto& p, uint16_t ca) { return iec104::single_command(p, ca, 11, true, {.time_ms = tag_ms}); }},
        {"the DCU reset", [](auto& p, uint16_t ca) { return iec104::single_command(p, ca, 16, true); }},
        {"FPI 3's RESET", [](auto& p, uint16_t ca) { return iec104::set_point_scaled(p, ca, 326, 1); }},
        {"FPI 3's VOLTAGE", [](auto& p, uint16_t ca) { return iec104::set_point_short(p, ca, 336, 11.5f); }},
    };
    for (const command_case& c : cases)
        for (uint16_t ca : {foreign_ca, broadcast}) {
            SCOPED_TRACE(std::string(c.name) + " to CA " + std::to_string(ca));
            const size_t printed_before = gw.output().size();
            const iec104::Asdu command = c.command(m.app, ca);
            const std::vector<iec104::Asdu> got = exchange_asdus(m, command);
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].cot, iec104::COT_UNKNOWN_CA);
            EXPECT_TRUE(got[0].negative);
            EXPECT_EQ(got[0].ca, ca);
            EXPECT_EQ(got[0].payload_size, command.payload_size);
            // Nothing reached the command handling: no line, no output, no
            // DCU reset, no pending reset, no parameter.
            EXPECT_EQ(gw.output().substr(printed_before), "");
            for (unsigned offset : do_offsets) EXPECT_EQ(gw.line_file(offset), 0) << offset;
            for (const auto& d : gw.g.io.pulse_deadlines) EXPECT_EQ(d.load(), 0u);
            EXPECT_FALSE(gw.g.io.dcu_reset_sem.try_acquire());
            EXPECT_EQ(fpi::pending_reset_check(gw.g.fpis, 3), 0);
        }
    // The same command to the station's address acts.
    EXPECT_EQ(exchange(m, iec104::single_command(m.app, station_ca, 11, true)), executed);
    EXPECT_EQ(gw.line_file(do_offsets[0]), 1);
}

TEST(CommonAddress, AnInterrogationToTheBroadcastAddressIsAnsweredWithTheStationsAddress) {
    dio_gateway gw;
    ASSERT_TRUE(gw.ok);
    for (int32_t ioa : {1, 2, 3}) station_test::update(gw.g.station, ioa, ioa % 2, 30);
    station_test::update(gw.g.station, 100, 1.5, 36);
    master m(gw.port());
    ASSERT_TRUE(m.started);
    const std::map<uint32_t, int> direct = interrogated(m);  // to CA 1
    ASSERT_FALSE(direct.empty());

    m.clear();
    ASSERT_TRUE(m.send(iec104::interrogation_command(m.app, broadcast)));
    ASSERT_TRUE(wait_until([&] {
        return m.count([](const iec104::Asdu& a) {
                   return a.type == iec104::C_IC_NA_1 && a.cot == iec104::COT_ACTIVATION_TERMINATION;
               }) == 1;
    }));
    std::map<uint32_t, int> values;
    const std::vector<iec104::Asdu> got = m.received();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front().type, iec104::C_IC_NA_1);
    EXPECT_EQ(got.front().cot, iec104::COT_ACTIVATION_CON);
    EXPECT_FALSE(got.front().negative);
    for (const iec104::Asdu& a : got) {
        EXPECT_EQ(a.ca, station_ca) << int(a.type) << " cause " << int(a.cot);
        if (a.cot != iec104::COT_INTERROGATED_BY_STATION) continue;
        for (int i = 0; i < a.count; ++i)
            if (const auto o = iec104::get_object(a, m.app, i)) values[o->ioa] = o->value;
    }
    EXPECT_EQ(values, direct);

    // To another address: cause 46 and nothing else.
    const std::vector<reply> answer = exchange(m, iec104::interrogation_command(m.app, foreign_ca));
    EXPECT_EQ(answer, (std::vector<reply>{{iec104::COT_UNKNOWN_CA, true}}));
}

}  // namespace
