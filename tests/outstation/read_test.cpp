// A master's read command (C_RD_NA_1) over loopback TCP: the point's object
// as the interrogation carries it, with cause 5; cause 47 without a value.
#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "outstation/aux_values.h"
#include "tests/outstation/station.h"

namespace {

using iec104::Asdu;
using station_test::master;
using station_test::station;
using test_support::wait_until;

// The one answer to a read of `ioa` (cause 5 or 47), or nothing.
std::optional<Asdu> read(master& m, uint32_t ioa) {
    m.clear();
    if (!m.send(iec104::read_command(m.app, m.ca, ioa))) return std::nullopt;
    auto answer = [](const Asdu& a) { return a.cot == iec104::COT_REQUEST || a.cot == iec104::COT_UNKNOWN_IOA; };
    if (!wait_until([&] { return m.count(answer) > 0; })) return std::nullopt;
    for (const Asdu& a : m.received())
        if (answer(a)) return a;
    return std::nullopt;
}

// Every object of a station interrogation by IOA, with the type it came in.
std::map<uint32_t, std::pair<uint8_t, iec104::InformationObject>> interrogated(master& m) {
    std::map<uint32_t, std::pair<uint8_t, iec104::InformationObject>> out;
    for (const Asdu& a : m.interrogate()) {
        if (a.cot != iec104::COT_INTERROGATED_BY_STATION) continue;
        for (int i = 0; i < a.count; ++i)
            if (const auto o = iec104::get_object(a, m.app, i)) out[o->ioa] = {a.type, *o};
    }
    return out;
}

config::fpi_aux_iec104_ioa aux(const char* name, int32_t ioa, int32_t type_id, const char* value = nullptr) {
    config::fpi_aux_iec104_ioa p;
    p.ioa_name = name;
    p.ioa = ioa;
    p.type_id = type_id;
    if (value) p.ioa_value = value;
    return p;
}

TEST(ReadCommand, EachPointIsAnsweredAsTheInterrogationCarriesIt) {
    station st;
    st.cfg.settings.ca = 3;
    ASSERT_TRUE(st.start());
    st.update(100, int32_t(1), 30);
    st.update(101, 1.0, 30);  // a real single point
    st.update(200, int32_t(2), 31);
    st.update(300, 0.25, 34);
    st.update(400, int32_t(-1234), 35);
    st.update(500, 230.5, 36);
    st.update(501, int32_t(7), 36);  // an integer short float
    st.update(600, int32_t(1), 33);  // stored, never sent
    // the aux values as start-up and the fault counter publish them
    const std::vector<config::fpi_aux_iec104_ioa> position = {aux("LATITUDE", 1001, 36, "52.520008"),
                                                              aux("LONGITUDE", 1002, 36, "13.404954")};
    outstation::publish_aux_position(st.state, position, 0);
    const std::vector<config::fpi_aux_iec104_ioa> totals = {aux("Group1_Last_7_Days_Faults", 1003, 35),
                                                            aux("Group1_Total_Faults", 1004, 35)};
    outstation::publish_group_totals(st.state, totals, station_test::fake_epoch_ms, {{{2, 9}, {0, 0}, {0, 0}}});

    master m(st.port());
    ASSERT_TRUE(m.started);
    m.ca = 3;  // the station's own address
    const auto gi = interrogated(m);
    ASSERT_EQ(gi.size(), 11u);
    for (const auto& [ioa, expected] : gi) {
        SCOPED_TRACE(ioa);
        const auto a = read(m, ioa);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->type, expected.first);
        EXPECT_EQ(a->cot, iec104::COT_REQUEST);
        EXPECT_FALSE(a->negative);
        EXPECT_FALSE(a->sequence);
        EXPECT_EQ(a->ca, 3);
        ASSERT_EQ(a->count, 1);
        EXPECT_EQ(iec104::get_object(*a, m.app, 0), expected.second);
    }
    // the values themselves, so that the comparison above compares something
    EXPECT_EQ(gi.at(100).first, iec104::M_SP_NA_1);
    EXPECT_EQ(gi.at(200).second.value, 2);
    EXPECT_EQ(gi.at(300).first, iec104::M_ME_NA_1);
    EXPECT_EQ(gi.at(400).second.value, -1234);
    EXPECT_EQ(gi.at(500).second.real, 230.5f);
    EXPECT_EQ(gi.at(1001).second.real, 52.520008f);
    EXPECT_EQ(gi.at(1004).first, iec104::M_ME_NB_1);
    EXPECT_EQ(gi.at(1004).second.value, 9);

    // a changed value is read as it is now
    st.update(400, int32_t(17), 35);
    const auto changed = read(m, 400);
    ASSERT_TRUE(changed);
    EXPECT_EQ(iec104::get_object(*changed, m.app, 0)->value, 17);
}

TEST(ReadCommand, AnIoaWithoutAValueIsUnknown) {
    station st;
    ASSERT_TRUE(st.start());
    st.update(100, int32_t(1), 30);
    st.update(600, int32_t(1), 33);  // a type that is never sent
    master m(st.port());
    ASSERT_TRUE(m.started);
    for (uint32_t ioa : {101u, 600u, 0u, 16777215u}) {
        SCOPED_TRACE(ioa);
        const auto a = read(m, ioa);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->type, iec104::C_RD_NA_1);
        EXPECT_EQ(a->cot, iec104::COT_UNKNOWN_IOA);
        EXPECT_TRUE(a->negative);
        ASSERT_EQ(a->count, 1);
        EXPECT_EQ(iec104::get_object(*a, m.app, 0)->ioa, ioa);
    }
    // nothing was sent besides the answers
    EXPECT_EQ(m.count([](const Asdu& a) { return a.type != iec104::C_RD_NA_1; }), 0u);
}

}  // namespace
