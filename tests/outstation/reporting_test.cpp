// Interrogation, cyclic and spontaneous reporting as a master sees them over
// loopback TCP.
#include <gtest/gtest.h>

#include <tuple>

#include "daemon/gateway.h"
#include "tests/outstation/station.h"

namespace {

using iec104::Asdu;
using station_test::master;
using station_test::station;

// (type, cot, first IOA, object count) of an ASDU, for compact expectations.
struct shape {
    uint8_t type, cot;
    uint32_t first_ioa;
    int count;
    bool operator==(const shape&) const = default;
};
std::ostream& operator<<(std::ostream& o, const shape& s) {
    return o << "{" << int(s.type) << ", cot " << int(s.cot) << ", ioa " << s.first_ioa << ", n " << s.count << "}";
}

std::vector<shape> shapes(const std::vector<Asdu>& asdus, const iec104::AppLayerParameters& app) {
    std::vector<shape> out;
    for (const Asdu& a : asdus) {
        const auto first = iec104::get_object(a, app, 0);
        out.push_back({a.type, a.cot, first ? first->ioa : 0, a.count});
    }
    return out;
}

bool is_periodic(const Asdu& a) { return a.cot == iec104::COT_PERIODIC; }
bool is_spontaneous(const Asdu& a) { return a.cot == iec104::COT_SPONTANEOUS; }

struct Reporting : ::testing::Test {
    station st;
};

TEST_F(Reporting, InterrogationSendsPointsThenMeasuredValuesOneSequencePerGroup) {
    st.cfg.settings.oa = 7;
    st.cfg.settings.ca = 3;
    ASSERT_TRUE(st.start());
    // insertion order decides the positions of each type
    st.update(300, 230.5, 36);
    st.update(102, int32_t(1), 30);
    st.update(100, int32_t(0), 30);
    st.update(301, -1.25, 36);
    st.update(101, int32_t(7), 30);
    st.update(200, int32_t(2), 31);
    st.update(400, int32_t(-1234), 35);
    st.update(500, 0.5, 34);
    st.update(600, int32_t(1), 33);  // stored, never sent
    st.update(103, 1.0, 30);         // a real single point: its own record

    master m(st.port());
    ASSERT_TRUE(m.started);
    m.ca = 3;
    const std::vector<Asdu> got = m.interrogate();
    using namespace iec104;
    // Each type keeps the positions it was inserted at (36, 30, 30, 36, 30,
    // 31, 35, 34, 33, 30), so the store reads 300, 100, 101, 301, 102, 200,
    // 400, 500, 600, 103: runs are cut where another type stands between.
    EXPECT_EQ(shapes(got, m.app), (std::vector<shape>{
                                      {C_IC_NA_1, COT_ACTIVATION_CON, 0, 1},
                                      {M_SP_NA_1, 20, 100, 2},
                                      {M_SP_NA_1, 20, 102, 1},
                                      {M_DP_NA_1, 20, 200, 1},
                                      {M_SP_NA_1, 20, 103, 1},
                                      {M_ME_NC_1, 20, 300, 1},
                                      {M_ME_NC_1, 20, 301, 1},
                                      {M_ME_NB_1, 20, 400, 1},
                                      {M_ME_NA_1, 20, 500, 1},
                                      {C_IC_NA_1, COT_ACTIVATION_TERMINATION, 0, 1},
                                  }));
    ASSERT_EQ(got.size(), 10u);
    EXPECT_FALSE(got[0].negative);
    for (size_t i = 1; i + 1 < got.size(); ++i) {
        EXPECT_TRUE(got[i].sequence) << i;
        EXPECT_EQ(got[i].oa, 7) << i;
        EXPECT_EQ(got[i].ca, 3) << i;
        EXPECT_FALSE(got[i].negative || got[i].test) << i;
    }
    EXPECT_EQ(get_object(got[1], m.app, 0)->value, 0);
    EXPECT_EQ(get_object(got[1], m.app, 1)->value, 1);  // 7 is ON
    EXPECT_EQ(get_object(got[2], m.app, 0)->value, 1);
    EXPECT_EQ(get_object(got[3], m.app, 0)->value, 2);
    EXPECT_EQ(get_object(got[4], m.app, 0)->value, 1);
    EXPECT_EQ(get_object(got[5], m.app, 0)->real, 230.5f);
    EXPECT_EQ(get_object(got[6], m.app, 0)->real, -1.25f);
    EXPECT_EQ(get_object(got[7], m.app, 0)->value, -1234);
    EXPECT_EQ(get_object(got[8], m.app, 0)->value, 16384);

    // cyclic and spontaneous ASDUs carry the same addresses
    m.clear();
    outstation::cyclic_transmission(st.state);
    st.update(301, -2.5, 36);
    ASSERT_TRUE(test_support::wait_until([&] { return m.count(is_periodic) == 8 && m.count(is_spontaneous) == 1; }));
    for (const Asdu& a : m.received()) {
        EXPECT_EQ(a.oa, 7);
        EXPECT_EQ(a.ca, 3);
        EXPECT_FALSE(a.negative || a.test);
        EXPECT_EQ(a.sequence, a.cot == COT_PERIODIC);
    }
}

TEST_F(Reporting, InterrogationOfAnEmptyStoreAndOfAGroupIsAnsweredAsSuch) {
    ASSERT_TRUE(st.start());
    master m(st.port());
    ASSERT_TRUE(m.started);
    using namespace iec104;
    EXPECT_EQ(shapes(m.interrogate(), m.app),
              (std::vector<shape>{{C_IC_NA_1, COT_ACTIVATION_CON, 0, 1}, {C_IC_NA_1, COT_ACTIVATION_TERMINATION, 0, 1}}));

    st.update(1, int32_t(1), 30);
    // A group interrogation gets a negative confirmation and nothing else:
    // the station interrogation sent right after it is answered next.
    m.clear();
    ASSERT_TRUE(m.send(interrogation_command(m.app, 1, 21)));
    ASSERT_TRUE(m.send(interrogation_command(m.app, 1, 20)));
    ASSERT_TRUE(test_support::wait_until([&] { return m.count([](const Asdu& a) { return a.cot == COT_ACTIVATION_TERMINATION; }) == 1; }));
    const auto got = m.received();
    EXPECT_EQ(shapes(got, m.app), (std::vector<shape>{{C_IC_NA_1, COT_ACTIVATION_CON, 0, 1},
                                                      {C_IC_NA_1, COT_ACTIVATION_CON, 0, 1},
                                                      {M_SP_NA_1, 20, 1, 1},
                                                      {C_IC_NA_1, COT_ACTIVATION_TERMINATION, 0, 1}}));
    EXPECT_TRUE(got[0].negative);
    EXPECT_EQ(get_object(got[0], m.app, 0)->value, 21);
    EXPECT_FALSE(got[1].negative);
}

// 31 consecutive single points fit one ASDU without time tag but not with
// one; 60 short floats fit neither. Every value must still reach the master.
TEST_F(Reporting, GroupsLargerThanOneAsduArriveWholeByInterrogationAndCyclically) {
    ASSERT_TRUE(st.start());
    for (int i = 0; i < 31; ++i) st.update(100 + i, int32_t(i & 1), 30);
    for (int i = 0; i < 60; ++i) st.update(500 + i, double(i), 36);
    master m(st.port());
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(test_support::wait_until([&] { return st.slot_online(0); }));
    using namespace iec104;
    EXPECT_EQ(shapes(m.interrogate(), m.app), (std::vector<shape>{{C_IC_NA_1, COT_ACTIVATION_CON, 0, 1},
                                                                  {M_SP_NA_1, 20, 100, 31},
                                                                  {M_ME_NC_1, 20, 500, 48},
                                                                  {M_ME_NC_1, 20, 548, 12},
                                                                  {C_IC_NA_1, COT_ACTIVATION_TERMINATION, 0, 1}}));
    m.clear();
    outstation::cyclic_transmission(st.state);
    ASSERT_TRUE(test_support::wait_until([&] { return m.count(is_periodic) == 5; }));
    const auto got = m.received();
    EXPECT_EQ(shapes(got, m.app), (std::vector<shape>{{M_SP_TB_1, 1, 100, 30},
                                                      {M_SP_TB_1, 1, 130, 1},
                                                      {M_ME_TF_1, 1, 500, 20},
                                                      {M_ME_TF_1, 1, 520, 20},
                                                      {M_ME_TF_1, 1, 540, 20}}));
    for (const Asdu& a : got) {
        EXPECT_TRUE(a.sequence);
        for (int i = 0; i < a.count; ++i)
            EXPECT_EQ(get_object(a, m.app, i)->time, cp56_from_ms(station_test::fake_epoch_ms));
    }
    EXPECT_EQ(get_object(got[1], m.app, 0)->value, 0);   // IOA 130: i = 30
    EXPECT_EQ(get_object(got[4], m.app, 19)->real, 59.0f);
}

TEST_F(Reporting, CyclicAndSpontaneousDataGoOnlyToOnlineSlots) {
    st.cfg.settings.no_of_connections = 2;
    ASSERT_TRUE(st.start());
    st.update(10, int32_t(1), 30, station_test::fake_epoch_ms - 5000);
    st.update(20, 4.5, 36);
    master a(st.port()), b(st.port());
    ASSERT_TRUE(a.started && b.started);
    ASSERT_TRUE(test_support::wait_until([&] {
        std::lock_guard lk(st.state.connection_slots.lock);
        return st.state.connection_slots.initialized_master_count;
    }));
    master c(st.port());  // no slot left
    ASSERT_TRUE(c.started);

    outstation::cyclic_transmission(st.state);
    st.update(20, 5.5, 36);
    using namespace iec104;
    for (master* m : {&a, &b}) {
        ASSERT_TRUE(test_support::wait_until([&] { return m->count(is_periodic) == 2 && m->count(is_spontaneous) == 1; }));
        const auto got = m->received();
        EXPECT_EQ(shapes(got, m->app), (std::vector<shape>{{M_SP_TB_1, 1, 10, 1}, {M_ME_TF_1, 1, 20, 1},
                                                           {M_ME_TF_1, 3, 20, 1}}));
        EXPECT_EQ(get_object(got[0], m->app, 0)->time, cp56_from_ms(station_test::fake_epoch_ms - 5000));
        EXPECT_EQ(get_object(got[2], m->app, 0)->real, 5.5f);
    }
    // the master without a slot is answered when it asks, and gets nothing else
    EXPECT_EQ(shapes(c.interrogate(), c.app), (std::vector<shape>{{C_IC_NA_1, COT_ACTIVATION_CON, 0, 1},
                                                                  {M_SP_NA_1, 20, 10, 1},
                                                                  {M_ME_NC_1, 20, 20, 1},
                                                                  {C_IC_NA_1, COT_ACTIVATION_TERMINATION, 0, 1}}));
    EXPECT_EQ(c.count([](const Asdu& x) { return is_periodic(x) || is_spontaneous(x); }), 0u);
}

// Spontaneous reports come only for changed values. Each case's last update
// is a change of a marker point: once it arrives, everything before it has.
TEST_F(Reporting, SpontaneousReportsOnlyChangedValues) {
    ASSERT_TRUE(st.start());
    master m(st.port());
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(test_support::wait_until([&] { return st.slot_online(0); }));
    st.update(999, int32_t(0), 35);
    int32_t marker = 0;
    using iec104::M_ME_TE_1;
    struct update {
        int32_t ioa;
        outstation::point_value v;
        int32_t type_id;
    };
    struct spont_case {
        const char* name;
        std::vector<update> updates;
        std::vector<shape> reported;  // before the marker
    };
    const float f = 3.6f;
    const spont_case cases[] = {
        {"a first value is not reported", {{1, int32_t(1), 30}}, {}},
        {"the same value again is not reported", {{1, int32_t(1), 30}, {1, int32_t(1), 30}}, {}},
        {"a changed value is reported once", {{1, int32_t(0), 30}}, {{iec104::M_SP_TB_1, 3, 1, 1}}},
        {"a widened float again is not reported", {{2, double(f), 36}, {2, double(f), 36}}, {}},
        {"a double float32 cannot hold is reported every time",
         {{3, 0.1, 36}, {3, 0.1, 36}, {3, 0.1, 36}},
         {{iec104::M_ME_TF_1, 3, 3, 1}, {iec104::M_ME_TF_1, 3, 3, 1}}},
        {"integer and real values are separate records", {{4, int32_t(5), 35}, {4, 5.0, 35}, {4, 6.0, 35}},
         {{M_ME_TE_1, 3, 4, 1}}},
        {"a real double point is cut to its integer part", {{5, 1.0, 31}, {5, 2.7, 31}}, {{iec104::M_DP_TB_1, 3, 5, 1}}},
        {"a type that is not reported", {{6, int32_t(1), 33}, {6, int32_t(2), 33}}, {}},
    };
    for (const spont_case& c : cases) {
        m.clear();
        for (const update& u : c.updates) st.update(u.ioa, u.v, u.type_id);
        st.update(999, ++marker, 35);
        ASSERT_TRUE(test_support::wait_until([&] {
            return m.count([&](const Asdu& a) {
                       const auto o = iec104::get_object(a, m.app, 0);
                       return o && o->ioa == 999 && o->value == marker;
                   }) == 1;
        })) << c.name;
        auto got = shapes(m.received(), m.app);
        got.pop_back();
        EXPECT_EQ(got, c.reported) << c.name;
    }
}

TEST_F(Reporting, AnEqualValueRefreshesTheTimestamp) {
    ASSERT_TRUE(st.start());
    st.update(1, int32_t(1), 30, 1000);
    st.update(1, int32_t(1), 30, 2000);
    std::lock_guard lk(st.state.value_store_lock);
    ASSERT_EQ(st.state.station_values.count, 1);
    EXPECT_EQ(st.state.station_values.records[0].timestamp, 2000);
}

TEST_F(Reporting, SpontaneousTimeTagAndValueOfARealDoublePoint) {
    ASSERT_TRUE(st.start());
    master m(st.port());
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(test_support::wait_until([&] { return st.slot_online(0); }));
    st.update(5, 1.0, 31);
    st.update(5, 2.7, 31, 1717590000123);
    ASSERT_TRUE(test_support::wait_until([&] { return m.count(is_spontaneous) == 1; }));
    const Asdu a = m.received().front();
    EXPECT_EQ(a.type, iec104::M_DP_TB_1);
    EXPECT_FALSE(a.sequence);
    const auto o = iec104::get_object(a, m.app, 0);
    EXPECT_EQ(o->value, 2);
    EXPECT_EQ(o->time, iec104::cp56_from_ms(1717590000123));
}

// max_asdu_length 20 holds two short floats in sequence without time tag
// (6 + 3 + 2 x 5 octets) but none with one (6 + 3 + 12): the interrogation
// sends them, the cyclic transmission cannot, and says so once per point.
// Packed the same: with an IOA each only one would fit an ASDU.
TEST_F(Reporting, APointThatFitsNoAsduIsNamedOnce) {
    station packed;
    packed.cfg.settings.asdu_packing = 1;
    for (station* s : {&st, &packed}) {
        SCOPED_TRACE(s == &packed ? "packed" : "not packed");
        s->cfg.settings.max_asdu_length = 20;
        ASSERT_TRUE(s->start());
        s->update(500, 1.5, 36);
        s->update(501, 2.5, 36);
        master m(s->port());
        ASSERT_TRUE(m.started);
        using namespace iec104;
        const std::vector<Asdu> got = m.interrogate();
        EXPECT_EQ(shapes(got, m.app), (std::vector<shape>{{C_IC_NA_1, COT_ACTIVATION_CON, 0, 1},
                                                          {M_ME_NC_1, 20, 500, 2},
                                                          {C_IC_NA_1, COT_ACTIVATION_TERMINATION, 0, 1}}));
        ASSERT_EQ(got.size(), 3u);
        EXPECT_TRUE(got[1].sequence);
        testing::internal::CaptureStdout();
        outstation::cyclic_transmission(s->state);
        outstation::cyclic_transmission(s->state);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Data point IOA 500 type 36 does not fit an ASDU and is not sent\n"
                  "Data point IOA 501 type 36 does not fit an ASDU and is not sent\n");
    }
}

// Serving: the start values are published and the cyclic timer runs every
// cyclic_time_interval seconds.
TEST_F(Reporting, ServingPublishesThePositionAndSendsItCyclically) {
    st.cfg.settings.cyclic_time_interval = 1;
    for (auto [name, ioa, value] : {std::tuple{"LATITUDE", 1001, "52.5"}, std::tuple{"LONGITUDE", 1002, "13.25"}}) {
        config::fpi_aux_iec104_ioa p;
        p.ioa_name = name;
        p.ioa = ioa;
        p.type_id = 36;
        p.ioa_value = value;
        st.cfg.aux_points.push_back(p);
    }
    static const fpigate::worker none[] = {{"idle", [](fpigate::gateway& g) { while (fpigate::gateway_sleep(g, std::chrono::hours(1))) {} }, false}};
    fpigate::gateway g;
    fpigate::gateway_options opts;
    opts.thread_spacing = std::chrono::milliseconds(0);
    opts.wait_step = std::chrono::milliseconds(1);
    opts.workers = none;
    fpigate::gateway_start(g, st.cfg, opts);
    std::thread serving([&] { fpigate::gateway_serve(g, opts); });
    master m(outstation::server_bound_port(g.station));
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(test_support::wait_until([&] { return m.count(is_periodic) >= 2; }));  // within about 2 s
    for (const Asdu& a : m.received()) {
        if (!is_periodic(a)) continue;
        const auto o = iec104::get_object(a, m.app, 0);
        EXPECT_EQ(a.type, iec104::M_ME_TF_1);
        EXPECT_EQ(o->real, o->ioa == 1001 ? 52.5f : 13.25f);
        EXPECT_EQ(o->time, iec104::cp56_from_ms(station_test::fake_epoch_ms / 1000 * 1000));
    }
    g.running = false;
    serving.join();
    fpigate::gateway_stop(g);
}

}  // namespace
