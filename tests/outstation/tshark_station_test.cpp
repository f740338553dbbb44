// A session of the outstation with a master (interrogation, cyclic and
// spontaneous data, clock synchronisation), recorded APDU by APDU as the
// master saw it, written as a pcap file and decoded by Wireshark's
// IEC 60870-5-104 dissector: no malformed packet, no expert warning or error.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

#include "tests/iec104/tshark_check.h"
#include "tests/outstation/station.h"
#include "tests/support/points.h"

namespace {

using station_test::station;
using test::run_command;
using test_support::wait_until;

TEST(StationTshark, DissectorDecodesASessionWithTheOutstation) {
    if (!test::have_tshark()) GTEST_SKIP() << "tshark is not installed";

    station st;
    ASSERT_TRUE(st.start());
    for (int i = 0; i < 31; ++i) st.update(100 + i, int32_t(i & 1), 30);  // cyclically two ASDUs
    st.update(200, int32_t(2), 31);
    st.update(300, 0.25, 34);
    st.update(400, int32_t(-300), 35);
    for (int i = 0; i < 3; ++i) st.update(500 + i, 230.5 + i, 36);

    test::RecordedMaster m;
    std::string error;
    ASSERT_TRUE(m.connect(st.port(), error)) << error;
    ASSERT_TRUE(wait_until([&] { return st.slot_online(0); }));
    const iec104::AppLayerParameters p;

    iec104::client_send(*m.client, iec104::interrogation_command(p, 1));  // con, 5 groups, term
    ASSERT_TRUE(wait_until([&] { return m.received == 7; }));
    outstation::cyclic_transmission(st.state);  // 31 points in two ASDUs, then 4 more groups
    ASSERT_TRUE(wait_until([&] { return m.received == 13; }));
    st.update(100, int32_t(1), 30);
    st.update(200, int32_t(1), 31);
    st.update(300, -0.5, 34);
    st.update(400, int32_t(1234), 35);
    st.update(500, 49.5, 36);
    ASSERT_TRUE(wait_until([&] { return m.received == 18; }));
    iec104::client_send(*m.client, iec104::clock_sync_command(p, 1, station_test::fake_epoch_ms));
    iec104::client_send(*m.client, iec104::interrogation_command(p, 1, 21));  // refused
    ASSERT_TRUE(wait_until([&] { return m.received == 20; }));
    ASSERT_TRUE(m.stop_and_close());

    EXPECT_EQ(m.record.i_frames(), 20 + 3);  // received, and the three the master sent
    const std::string types = test::expect_tshark_decodes(m.record, (st.dir.path / "session.pcap").string());
    // the time-tagged cyclic and spontaneous types were all among them
    for (const char* t : {"30\n", "31\n", "34\n", "35\n", "36\n", "103\n"})
        EXPECT_NE(types.find(t), std::string::npos) << t;
}

// With asdu_packing, an interrogation and a cyclic transmission of the
// sample configuration with every point holding a value: ASDUs with an IOA
// per object, full up to max_asdu_length, beside sequences.
TEST(StationTshark, DissectorDecodesPackedInterrogationAndCyclicData) {
    if (!test::have_tshark()) GTEST_SKIP() << "tshark is not installed";

    station st;
    st.cfg.settings.asdu_packing = 1;
    ASSERT_TRUE(st.start());
    std::string problem;
    const std::vector<test_support::point> points = test_support::repository_sample_points(problem);
    ASSERT_FALSE(points.empty()) << problem;
    for (const test_support::point& p : points) st.update(p.ioa, p.value, p.type_id);

    std::atomic<int> packed{0};
    test::RecordedMaster m;
    m.on_asdu = [&](const iec104::Asdu& a) { packed += !a.sequence && a.count > 1; };
    std::string error;
    ASSERT_TRUE(m.connect(st.port(), error)) << error;
    ASSERT_TRUE(wait_until([&] { return st.slot_online(0); }));
    const iec104::AppLayerParameters p;

    iec104::client_send(*m.client, iec104::interrogation_command(p, 1));  // con, 10 packed, term
    ASSERT_TRUE(wait_until([&] { return m.received == 12; }));
    outstation::cyclic_transmission(st.state);  // 21 with time tags
    ASSERT_TRUE(wait_until([&] { return m.received == 33; }));
    ASSERT_TRUE(m.stop_and_close());
    EXPECT_GE(packed, 10);

    EXPECT_EQ(m.record.i_frames(), 33 + 1);
    const std::string pcap = (st.dir.path / "packed.pcap").string();
    test::expect_tshark_decodes(m.record, pcap);
    test::expect_tshark_reads_every_ioa(m.record, pcap, p);
}

// End of initialisation, values reported, interrogated and read not
// topical, an interrogation to the broadcast address, ASDUs to another
// common address sent back with cause 46, and a read of an unknown IOA.
TEST(StationTshark, DissectorDecodesEndOfInitNotTopicalValuesAndAnUnknownCommonAddress) {
    if (!test::have_tshark()) GTEST_SKIP() << "tshark is not installed";

    station st;
    st.cfg.settings.end_of_init = 1;
    ASSERT_TRUE(st.start());
    const std::pair<int32_t, int32_t> points[] = {{100, 30}, {200, 31}, {300, 34}, {400, 35}, {500, 36}};
    for (auto [ioa, type] : points) st.update(ioa, int32_t(1), type);

    test::RecordedMaster r;
    std::string error;
    ASSERT_TRUE(r.connect(st.port(), error)) << error;
    ASSERT_TRUE(wait_until([&] { return r.received == 1; }));  // end of initialisation
    {
        std::lock_guard lk(st.state.value_store_lock);
        for (auto [ioa, type] : points)
            outstation::quality_update(st.state, ioa, type, outstation::quality_not_topical, station_test::fake_epoch_ms);
    }
    ASSERT_TRUE(wait_until([&] { return r.received == 6; }));
    const iec104::AppLayerParameters p;
    iec104::client_send(*r.client, iec104::interrogation_command(p, 0xffff));  // con, 5 groups, term
    ASSERT_TRUE(wait_until([&] { return r.received == 13; }));
    iec104::client_send(*r.client, iec104::single_command(p, 7, 11, true));
    iec104::client_send(*r.client, iec104::clock_sync_command(p, 7, station_test::fake_epoch_ms));
    ASSERT_TRUE(wait_until([&] { return r.received == 15; }));
    for (uint32_t ioa : {100u, 500u, 999u}) iec104::client_send(*r.client, iec104::read_command(p, 1, ioa));
    ASSERT_TRUE(wait_until([&] { return r.received == 18; }));  // two values, one unknown IOA
    ASSERT_TRUE(r.stop_and_close());

    const std::string pcap = (st.dir.path / "conformance.pcap").string();
    test::expect_tshark_decodes(r.record, pcap);
    const std::string tshark = "tshark -n -r " + pcap + " ";
    int status = 0;

    const std::string first = run_command(tshark + "-Y iec60870_asdu -T fields -e iec60870_asdu.typeid -e iec60870_asdu.causetx -e iec60870_asdu.coi_r 2>/dev/null | head -1", status);
    EXPECT_EQ(first, "70\t4\t0\n");
    const std::string unknown_ca = run_command(tshark + "-Y 'iec60870_asdu.causetx == 46' -T fields -e iec60870_asdu.typeid 2>/dev/null", status);
    EXPECT_EQ(unknown_ca, "45\n103\n");
    const std::string read = run_command(tshark + "-Y 'iec60870_asdu.causetx == 5 && iec60870_asdu.typeid != 102' -T fields -e iec60870_asdu.typeid -e iec60870_asdu.ioa 2>/dev/null", status);
    EXPECT_EQ(read, "1\t100\n13\t500\n");
    const std::string unknown_ioa = run_command(tshark + "-Y 'iec60870_asdu.causetx == 47' -T fields -e iec60870_asdu.typeid -e iec60870_asdu.ioa 2>/dev/null", status);
    EXPECT_EQ(unknown_ioa, "102\t999\n");
    // Five not topical reported spontaneously, five more interrogated, two read.
    const std::string not_topical = run_command(tshark + "-Y 'iec60870_asdu.siq.nt == 1 || iec60870_asdu.diq.nt == 1 || iec60870_asdu.qds.nt == 1' -T fields -e iec60870_asdu.causetx 2>/dev/null", status);
    EXPECT_EQ(not_topical, "3\n3\n3\n3\n3\n20\n20\n20\n20\n20\n5\n5\n");
}

}  // namespace

