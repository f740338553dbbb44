// Spontaneous data kept for a master that is away: what the next master to
// take the slot receives, and in which order.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/outstation/station.h"

namespace {

using station_test::fake_epoch_ms;
using station_test::master;
using station_test::station;
using test_support::wait_until;

constexpr int32_t ioa = 100;
constexpr int32_t scaled = 35;  // scaled value, spontaneous with time tag

bool spontaneous(const iec104::Asdu& a) { return a.cot == iec104::COT_SPONTANEOUS; }

struct event {
    int32_t value;
    iec104::Cp56Time2a time;
    bool operator==(const event&) const = default;
};

std::vector<event> spontaneous_events(const master& m) {
    std::vector<event> got;
    for (const iec104::Asdu& a : m.received()) {
        if (!spontaneous(a)) continue;
        for (int i = 0; i < a.count; ++i) {
            const auto o = iec104::get_object(a, m.app, i);
            if (o && o->ioa == uint32_t(ioa)) got.push_back({o->value, o->time});
        }
    }
    return got;
}

event at(int32_t value, int64_t ms) { return {value, iec104::cp56_from_ms(ms)}; }

TEST(EventBuffer, TheNextMasterOfTheSlotGetsWhatHappenedWhileItWasAwayThenLiveData) {
    struct {
        int buffer;
        int first_kept;  // value of the oldest event delivered, 0: none
        const char* line;
    } cases[] = {
        {20, 1, "Sending 20 kept events to connection id "},
        {5, 16, "Sending 5 kept events to connection id "},
        {0, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.buffer);
        station st;
        st.cfg.settings.no_of_connections = 1;
        st.cfg.derived.event_buffer = c.buffer;
        ASSERT_TRUE(st.start());
        st.update(ioa, int32_t(0), scaled);
        {
            master away(st.port());
            ASSERT_TRUE(away.started);
            ASSERT_TRUE(wait_until([&] { return st.slot_online(0); }));
        }
        ASSERT_TRUE(wait_until([&] { return !st.slot_online(0); }));

        for (int32_t v = 1; v <= 20; ++v) st.update(ioa, v, scaled, fake_epoch_ms + v * 1000);
        outstation::cyclic_transmission(st.state);  // not kept

        testing::internal::CaptureStdout();
        master back(st.port());
        ASSERT_TRUE(back.started);
        ASSERT_TRUE(wait_until([&] { return st.slot_online(0); }));
        st.update(ioa, int32_t(1000), scaled, fake_epoch_ms + 60000);

        std::vector<event> expected;
        if (c.first_kept)
            for (int32_t v = c.first_kept; v <= 20; ++v) expected.push_back(at(v, fake_epoch_ms + v * 1000));
        expected.push_back(at(1000, fake_epoch_ms + 60000));
        ASSERT_TRUE(wait_until([&] { return spontaneous_events(back).size() >= expected.size(); }));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(spontaneous_events(back), expected);
        EXPECT_EQ(back.count([](const iec104::Asdu& a) { return a.cot == iec104::COT_PERIODIC; }), 0u);
        if (c.line) {
            const size_t line = out.find(c.line);
            ASSERT_NE(line, std::string::npos) << out;
            const std::string rest = out.substr(line, out.find('\n', line) - line);
            EXPECT_NE(rest.find(" of slot 0, " + std::to_string(c.first_kept - 1) + " dropped"),
                      std::string::npos)
                << rest;
        } else {
            EXPECT_EQ(out.find("kept events"), std::string::npos) << out;
        }
    }
}

// A slot that never had a master keeps nothing: the first master of all
// starts from the interrogation, as without a buffer.
TEST(EventBuffer, ASlotThatNeverHadAMasterKeepsNothing) {
    station st;
    st.cfg.settings.no_of_connections = 1;
    st.cfg.derived.event_buffer = 20;
    ASSERT_TRUE(st.start());
    for (int32_t v = 1; v <= 3; ++v) st.update(ioa, v, scaled);
    master first(st.port());
    ASSERT_TRUE(first.started);
    ASSERT_TRUE(wait_until([&] { return st.slot_online(0); }));
    st.update(ioa, int32_t(7), scaled, fake_epoch_ms + 1);
    ASSERT_TRUE(wait_until([&] { return !spontaneous_events(first).empty(); }));
    EXPECT_EQ(spontaneous_events(first), (std::vector<event>{at(7, fake_epoch_ms + 1)}));
}

// Between the moment a connection closes and its closed event releasing the
// slot, the slot is still online but nothing can be sent to it any more: a
// spontaneous ASDU of that moment is kept for the next master, not lost. The
// slot table here is the test's own, fed with the station's real
// connections, so that the closed connection can be held in that state.
TEST(EventBuffer, AnEventWhileTheClosedConnectionStillHoldsItsSlotIsKept) {
    station st;
    st.cfg.settings.no_of_connections = 1;
    ASSERT_TRUE(st.start());
    auto only_connection = [&st] {
        std::vector<iec104::ConnectionPtr> open = outstation::server_connections(st.state);
        return open.size() == 1 ? open[0] : nullptr;
    };
    outstation::slot_table t;
    outstation::slots_allocate(t, 1, 5);
    FILE* lines = std::fopen("/dev/null", "w");
    ASSERT_TRUE(lines);

    iec104::ConnectionPtr gone;
    {
        master away(st.port());
        ASSERT_TRUE(away.started);
        ASSERT_TRUE(wait_until([&] { return (gone = only_connection()) != nullptr; }));
        outstation::slot_take(t, gone, lines);
    }
    ASSERT_TRUE(wait_until([&] { return !iec104::is_open(*gone); }));
    ASSERT_TRUE(wait_until([&] { return outstation::server_connections(st.state).empty(); }));

    const iec104::AppLayerParameters app = iec104::app_parameters(*gone);
    iec104::Asdu asdu = iec104::make_asdu(app, iec104::M_ME_TE_1, false, iec104::COT_SPONTANEOUS, 1);
    iec104::InformationObject o;
    o.ioa = uint32_t(ioa);
    o.value = 42;
    o.time = iec104::cp56_from_ms(fake_epoch_ms + 5000);
    ASSERT_TRUE(iec104::add_object(asdu, app, o));
    outstation::send_spontaneous(t, asdu);  // the slot is still online: its closed event has not run here
    {
        std::lock_guard lk(t.lock);
        EXPECT_TRUE(t.slots[0].online);
        EXPECT_EQ(t.slots[0].kept.size(), 1u);
    }

    outstation::slot_release(t, *gone, lines);
    master back(st.port());
    ASSERT_TRUE(back.started);
    iec104::ConnectionPtr next;
    ASSERT_TRUE(wait_until([&] { return (next = only_connection()) != nullptr; }));
    outstation::slot_take(t, next, lines);
    std::fclose(lines);
    ASSERT_TRUE(wait_until([&] { return !spontaneous_events(back).empty(); }));
    EXPECT_EQ(spontaneous_events(back), (std::vector<event>{at(42, fake_epoch_ms + 5000)}));
}

}  // namespace
