// End of initialisation: with end_of_init, the first master of each
// connection slot that starts data transfer after start-up gets M_EI_NA_1
// (cause 4, COI 0: local power on) before anything else; never again for
// that slot, whoever reconnects to it.
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "tests/outstation/station.h"

namespace {

using station_test::master;
using station_test::station;
using test_support::wait_until;

size_t end_of_inits(const master& m) {
    return m.count([](const iec104::Asdu& a) { return a.type == iec104::M_EI_NA_1; });
}

// The master's ASDUs from first to last are an end of initialisation to
// the station's address, then whatever follows.
void expect_end_of_init_first(const master& m) {
    const std::vector<iec104::Asdu> got = m.received();
    ASSERT_FALSE(got.empty());
    const iec104::Asdu& ei = got.front();
    EXPECT_EQ(ei.type, iec104::M_EI_NA_1);
    EXPECT_EQ(ei.cot, iec104::COT_INITIALIZED);
    EXPECT_FALSE(ei.negative);
    EXPECT_FALSE(ei.sequence);
    EXPECT_EQ(ei.ca, 1);
    ASSERT_EQ(ei.count, 1);
    const auto o = iec104::get_object(ei, m.app, 0);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->ioa, 0u);
    EXPECT_EQ(o->value, 0);  // local power on, parameters unchanged
    EXPECT_EQ(end_of_inits(m), 1u);
}

// Interrogates, keeping what arrived before, and returns whether the
// answer came (everything queued before it has arrived by then).
bool answered(master& m) {
    auto terminations = [&] {
        return m.count([](const iec104::Asdu& a) {
            return a.type == iec104::C_IC_NA_1 && a.cot == iec104::COT_ACTIVATION_TERMINATION;
        });
    };
    const size_t before = terminations();
    return m.send(iec104::interrogation_command(m.app, 1)) && wait_until([&] { return terminations() > before; });
}

TEST(EndOfInit, OncePerSlotToItsFirstMasterThatStartsBeforeAnythingElse) {
    station st;
    st.cfg.settings.no_of_connections = 2;
    st.cfg.settings.end_of_init = 1;
    st.cfg.derived.event_buffer = 10;
    ASSERT_TRUE(st.start());
    st.update(1, int32_t(0), 30);

    // Slot 0: the end of initialisation is the first thing it gets.
    auto a = std::make_unique<master>(st.port());
    ASSERT_TRUE(a->started);
    ASSERT_TRUE(answered(*a));
    expect_end_of_init_first(*a);

    // Slot 1: a master connected without starting data transfer has a
    // spontaneous change waiting for it; the end of initialisation still
    // goes first once it starts.
    master b(st.port(), false);
    ASSERT_TRUE(wait_until([&] { return st.slot_online(1); }));
    st.update(1, int32_t(1), 30);
    ASSERT_TRUE(iec104::client_start_dt(*b.client, 5000));
    ASSERT_TRUE(wait_until([&] { return b.count([](const iec104::Asdu& x) { return x.cot == iec104::COT_SPONTANEOUS; }) == 1; }));
    expect_end_of_init_first(b);
    EXPECT_EQ(b.received().at(1).cot, iec104::COT_SPONTANEOUS);

    // Slot 0 again, for a new master, and slot 1's master stopping and
    // starting again: no second end of initialisation. Kept events still come.
    a.reset();
    ASSERT_TRUE(wait_until([&] { return !st.slot_online(0); }));
    st.update(1, int32_t(0), 30);
    master c(st.port());
    ASSERT_TRUE(c.started);
    ASSERT_TRUE(st.slot_online(0));
    ASSERT_TRUE(answered(c));
    ASSERT_TRUE(iec104::client_stop_dt(*b.client, 5000));
    ASSERT_TRUE(iec104::client_start_dt(*b.client, 5000));
    ASSERT_TRUE(answered(b));
    EXPECT_EQ(end_of_inits(c), 0u);
    EXPECT_EQ(end_of_inits(b), 1u);  // still only the one of its first start
    EXPECT_EQ(c.count([](const iec104::Asdu& x) { return x.cot == iec104::COT_SPONTANEOUS; }), 1u);
}

TEST(EndOfInit, NotSentWithoutTheOption) {
    station st;
    ASSERT_TRUE(st.start());
    master m(st.port());
    ASSERT_TRUE(m.started);
    ASSERT_TRUE(answered(m));
    EXPECT_EQ(end_of_inits(m), 0u);
    EXPECT_EQ(m.received().front().type, iec104::C_IC_NA_1);
}

}  // namespace
