// A session of the outstation with a master (interrogation, cyclic and
// spontaneous data, clock synchronisation), recorded APDU by APDU as the
// master saw it, written as a pcap file and decoded by Wireshark's
// IEC 60870-5-104 dissector: no malformed packet, no expert warning or error.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

#include "tests/iec104/run_command.h"
#include "tests/iec104/pcap_writer.h"
#include "tests/outstation/station.h"

namespace {

using station_test::station;
using test_support::wait_until;

using test::run_command;

// A master that records every APDU both ways, as a capture would, and
// counts the ASDUs it receives.
struct recording_master {
    std::mutex m;
    std::vector<std::pair<bool, std::vector<uint8_t>>> apdus;
    std::atomic<int> received{0};
    iec104::ClientPtr client;
    std::string error;

    bool connect(uint16_t port) {
        iec104::ClientHandlers h;
        h.tap = [this](bool outgoing, std::span<const uint8_t> apdu) {
            std::lock_guard lk(m);
            apdus.emplace_back(outgoing, std::vector<uint8_t>(apdu.begin(), apdu.end()));
        };
        h.asdu = [this](const iec104::Asdu&) { ++received; };
        return test_support::connect_master(client, port, h, error);
    }
    ~recording_master() { client.reset(); }
};

TEST(StationTshark, DissectorDecodesASessionWithTheOutstation) {
    int status = 0;
    run_command("command -v tshark >/dev/null 2>&1", status);
    if (status != 0) GTEST_SKIP() << "tshark is not installed";

    station st;
    ASSERT_TRUE(st.start());
    for (int i = 0; i < 31; ++i) st.update(100 + i, int32_t(i & 1), 30);  // cyclically two ASDUs
    st.update(200, int32_t(2), 31);
    st.update(300, 0.25, 34);
    st.update(400, int32_t(-300), 35);
    for (int i = 0; i < 3; ++i) st.update(500 + i, 230.5 + i, 36);

    recording_master r;
    ASSERT_TRUE(r.connect(st.port())) << r.error;
    std::mutex& m = r.m;
    auto& apdus = r.apdus;
    std::atomic<int>& received = r.received;
    iec104::Client& client = *r.client;
    ASSERT_TRUE(wait_until([&] { return st.slot_online(0); }));
    const iec104::AppLayerParameters p;

    iec104::client_send(client, iec104::interrogation_command(p, 1));  // con, 5 groups, term
    ASSERT_TRUE(wait_until([&] { return received == 7; }));
    outstation::cyclic_transmission(st.state);  // 31 points in two ASDUs, then 4 more groups
    ASSERT_TRUE(wait_until([&] { return received == 13; }));
    st.update(100, int32_t(1), 30);
    st.update(200, int32_t(1), 31);
    st.update(300, -0.5, 34);
    st.update(400, int32_t(1234), 35);
    st.update(500, 49.5, 36);
    ASSERT_TRUE(wait_until([&] { return received == 18; }));
    iec104::client_send(client, iec104::clock_sync_command(p, 1, station_test::fake_epoch_ms));
    iec104::client_send(client, iec104::interrogation_command(p, 1, 21));  // refused
    ASSERT_TRUE(wait_until([&] { return received == 20; }));
    ASSERT_TRUE(iec104::client_stop_dt(client, 5000));
    iec104::client_close(client);

    const std::string pcap = (st.dir.path / "session.pcap").string();
    int i_frames = 0;
    {
        test::PcapWriter w(pcap);
        ASSERT_TRUE(w.ok());
        std::lock_guard lk(m);
        for (auto& [outgoing, bytes] : apdus) {
            w.apdu(outgoing, bytes);
            i_frames += (bytes[2] & 1) == 0;
        }
    }
    EXPECT_EQ(i_frames, 20 + 3);  // received, and the three the master sent

    const std::string tshark = "tshark -n -r " + pcap + " ";
    const std::string bad = run_command(tshark + "-Y '_ws.malformed || _ws.expert.severity >= \"Warning\"' 2>/dev/null", status);
    EXPECT_EQ(status, 0) << bad;
    EXPECT_EQ(bad, "") << "malformed or expert-flagged packets";

    const std::string apci = run_command(tshark + "-Y iec60870_104 -T fields -e iec60870_104.type 2>/dev/null", status);
    std::lock_guard lk(m);
    EXPECT_EQ(std::count(apci.begin(), apci.end(), '\n'), std::ptrdiff_t(apdus.size()));
    const std::string types = run_command(tshark + "-Y iec60870_asdu -T fields -e iec60870_asdu.typeid 2>/dev/null", status);
    std::string expected;
    for (auto& [outgoing, bytes] : apdus)
        if ((bytes[2] & 1) == 0) expected += std::to_string(bytes[6]) + "\n";
    EXPECT_EQ(types, expected);
    // the time-tagged cyclic and spontaneous types were all among them
    for (const char* t : {"30\n", "31\n", "34\n", "35\n", "36\n", "103\n"})
        EXPECT_NE(types.find(t), std::string::npos) << t;
}

// End of initialisation, values reported and interrogated not topical, an
// interrogation to the broadcast address and ASDUs to another common address
// sent back with cause 46.
TEST(StationTshark, DissectorDecodesEndOfInitNotTopicalValuesAndAnUnknownCommonAddress) {
    int status = 0;
    run_command("command -v tshark >/dev/null 2>&1", status);
    if (status != 0) GTEST_SKIP() << "tshark is not installed";

    station st;
    st.cfg.settings.end_of_init = 1;
    ASSERT_TRUE(st.start());
    const std::pair<int32_t, int32_t> points[] = {{100, 30}, {200, 31}, {300, 34}, {400, 35}, {500, 36}};
    for (auto [ioa, type] : points) st.update(ioa, int32_t(1), type);

    recording_master r;
    ASSERT_TRUE(r.connect(st.port())) << r.error;
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
    ASSERT_TRUE(iec104::client_stop_dt(*r.client, 5000));
    iec104::client_close(*r.client);

    const std::string pcap = (st.dir.path / "conformance.pcap").string();
    {
        test::PcapWriter w(pcap);
        ASSERT_TRUE(w.ok());
        std::lock_guard lk(r.m);
        for (auto& [outgoing, bytes] : r.apdus) w.apdu(outgoing, bytes);
    }
    const std::string tshark = "tshark -n -r " + pcap + " ";
    const std::string bad = run_command(tshark + "-Y '_ws.malformed || _ws.expert.severity >= \"Warning\"' 2>/dev/null", status);
    EXPECT_EQ(status, 0) << bad;
    EXPECT_EQ(bad, "") << "malformed or expert-flagged packets";

    const std::string first = run_command(tshark + "-Y iec60870_asdu -T fields -e iec60870_asdu.typeid -e iec60870_asdu.causetx -e iec60870_asdu.coi_r 2>/dev/null | head -1", status);
    EXPECT_EQ(first, "70\t4\t0\n");
    const std::string unknown_ca = run_command(tshark + "-Y 'iec60870_asdu.causetx == 46' -T fields -e iec60870_asdu.typeid 2>/dev/null", status);
    EXPECT_EQ(unknown_ca, "45\n103\n");
    // Five not topical reported spontaneously, five more interrogated.
    const std::string not_topical = run_command(tshark + "-Y 'iec60870_asdu.siq.nt == 1 || iec60870_asdu.diq.nt == 1 || iec60870_asdu.qds.nt == 1' -T fields -e iec60870_asdu.causetx 2>/dev/null", status);
    EXPECT_EQ(not_topical, "3\n3\n3\n3\n3\n20\n20\n20\n20\n20\n");
}

}  // namespace

