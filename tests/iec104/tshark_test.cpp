// A real session between our client and server — interrogation, spontaneous
// data, every command type, clock synchronisation — recorded APDU by APDU,
// written as a pcap file and decoded by Wireshark's IEC 60870-5-104 dissector,
// which must find no malformed packet and no expert warning or error.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "demo_station.h"
#include "lib/iec104/client.h"
#include "lib/iec104/commands.h"
#include "tests/iec104/tshark_check.h"
#include "tests/support/master.h"
#include "tests/support/temp_dir.h"

using namespace iec104;

namespace {

// The demo station and a master connected to it, its APDUs recorded.
struct Tshark : ::testing::Test {
    test::DemoStation station;
    test::RecordedMaster m;  // after the station: closes first

    void SetUp() override {
        if (!test::have_tshark()) GTEST_SKIP() << "tshark is not installed";
        std::string error;
        ASSERT_TRUE(m.connect(station.start(), error)) << error;
    }
};

TEST_F(Tshark, DissectorDecodesEveryApduOfASession) {
    const AppLayerParameters p;

    client_send(*m.client, interrogation_command(p, 1));
    ASSERT_TRUE(test_support::wait_until([&] { return m.received == 7; }));

    ASSERT_TRUE(test_support::wait_until([&] { return station.fixture.connection(0) != nullptr; }));
    for (const Asdu& a : test::demo_monitoring(p, COT_SPONTANEOUS, true)) send_asdu(*station.fixture.connection(0), a);
    ASSERT_TRUE(test_support::wait_until([&] { return m.received == 12; }));

    for (const CommandOptions& o : {CommandOptions{}, CommandOptions{.select = true, .qualifier = 1, .time_ms = test::kDemoTimeMs}}) {
        client_send(*m.client, single_command(p, 1, 5000, true, o));
        client_send(*m.client, double_command(p, 1, 5001, 2, o));
        client_send(*m.client, set_point_normalized(p, 1, 5002, 0.25f, o));
        client_send(*m.client, set_point_scaled(p, 1, 5003, -300, o));
        client_send(*m.client, set_point_short(p, 1, 5004, 49.5f, o));
    }
    ASSERT_TRUE(test_support::wait_until([&] { return m.received == 32; }));

    client_send(*m.client, clock_sync_command(p, 1, test::kDemoTimeMs));
    client_send(*m.client, read_command(p, 1, 100));
    client_send(*m.client, counter_interrogation_command(p, 1));
    client_send(*m.client, test_command(p, 1, 0x4938, test::kDemoTimeMs));
    ASSERT_TRUE(test_support::wait_until([&] { return m.received == 36; }));
    ASSERT_TRUE(m.stop_and_close());

    EXPECT_EQ(m.record.i_frames(), 36 + 15);
    test_support::temp_dir dir{"iec104-tshark"};
    ASSERT_FALSE(dir.path.empty());
    test::expect_tshark_decodes(m.record, (dir.path / "session.pcap").string());
}

// Full ASDUs of every monitoring type with and without time tag, each as a
// sequence and with an IOA per object (SQ = 0), as packing fills them: tshark
// reads every object's IOA.
TEST_F(Tshark, DissectorDecodesFullPackedAndSequenceAsdus) {
    ASSERT_TRUE(test_support::wait_until([&] { return station.fixture.connection(0) != nullptr; }));
    const AppLayerParameters p;

    int sent = 0;
    for (uint8_t type : {M_SP_NA_1, M_DP_NA_1, M_ME_NA_1, M_ME_NB_1, M_ME_NC_1, M_SP_TB_1, M_DP_TB_1, M_ME_TD_1,
                         M_ME_TE_1, M_ME_TF_1})
        for (bool sequence : {false, true}) {
            Asdu a = make_asdu(p, type, sequence, sequence ? COT_INTERROGATED_BY_STATION : COT_PERIODIC, 1);
            for (uint32_t i = 0;; ++i) {
                const InformationObject o{.ioa = sequence ? 2000 + i : 1000 + 3 * i + i % 2,
                                          .value = type == M_DP_NA_1 || type == M_DP_TB_1 ? int32_t(1 + i % 2)
                                                                                        : int32_t(i % 2 ? -300 : 1),
                                          .real = float(i) * 0.5f - 3.0f,
                                          .quality = uint8_t(i % 3 == 1 ? QUALITY_NON_TOPICAL : 0),
                                          .time = cp56_from_ms(test::kDemoTimeMs + i)};
                if (!add_object(a, p, o)) break;
            }
            EXPECT_EQ(a.count, object_capacity(p, type, sequence)) << type_name(type);
            send_asdu(*station.fixture.connection(0), a);
            ++sent;
        }
    ASSERT_TRUE(test_support::wait_until([&] { return m.received == sent; }));
    ASSERT_TRUE(m.stop_and_close());

    EXPECT_EQ(m.record.i_frames(), sent);
    test_support::temp_dir dir{"iec104-tshark"};
    ASSERT_FALSE(dir.path.empty());
    const std::string pcap = (dir.path / "packed.pcap").string();
    test::expect_tshark_decodes(m.record, pcap);
    test::expect_tshark_reads_every_ioa(m.record, pcap, p);
}

}  // namespace
