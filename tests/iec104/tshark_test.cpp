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

#include "run_command.h"
#include "demo_station.h"
#include "lib/iec104/client.h"
#include "lib/iec104/commands.h"
#include "pcap_writer.h"
#include "tests/support/master.h"
#include "tests/support/temp_dir.h"

using namespace iec104;

namespace {

using test::run_command;

bool have_tshark() {
    int status;
    run_command("command -v tshark >/dev/null 2>&1", status);
    return status == 0;
}

TEST(Tshark, DissectorDecodesEveryApduOfASession) {
    if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";

    test::DemoStation station;
    const uint16_t port = station.start();

    std::mutex mutex;
    std::vector<std::pair<bool, std::vector<uint8_t>>> apdus;
    std::atomic<int> received{0};
    ClientHandlers handlers;
    handlers.tap = [&](bool outgoing, std::span<const uint8_t> apdu) {
        std::lock_guard lock(mutex);
        apdus.emplace_back(outgoing, std::vector<uint8_t>(apdu.begin(), apdu.end()));
    };
    handlers.asdu = [&](const Asdu&) { ++received; };
    ClientPtr client;
    std::string error;
    ASSERT_TRUE(test_support::connect_master(client, port, handlers, error)) << error;
    const AppLayerParameters p;

    client_send(*client, interrogation_command(p, 1));
    ASSERT_TRUE(test_support::wait_until([&] { return received == 7; }));

    ASSERT_TRUE(test_support::wait_until([&] { return station.fixture.connection(0) != nullptr; }));
    for (const Asdu& a : test::demo_monitoring(p, COT_SPONTANEOUS, true)) send_asdu(*station.fixture.connection(0), a);
    ASSERT_TRUE(test_support::wait_until([&] { return received == 12; }));

    for (const CommandOptions& o : {CommandOptions{}, CommandOptions{.select = true, .qualifier = 1, .time_ms = test::kDemoTimeMs}}) {
        client_send(*client, single_command(p, 1, 5000, true, o));
        client_send(*client, double_command(p, 1, 5001, 2, o));
        client_send(*client, set_point_normalized(p, 1, 5002, 0.25f, o));
        client_send(*client, set_point_scaled(p, 1, 5003, -300, o));
        client_send(*client, set_point_short(p, 1, 5004, 49.5f, o));
    }
    ASSERT_TRUE(test_support::wait_until([&] { return received == 32; }));

    client_send(*client, clock_sync_command(p, 1, test::kDemoTimeMs));
    client_send(*client, read_command(p, 1, 100));
    client_send(*client, counter_interrogation_command(p, 1));
    client_send(*client, test_command(p, 1, 0x4938, test::kDemoTimeMs));
    ASSERT_TRUE(test_support::wait_until([&] { return received == 36; }));
    ASSERT_TRUE(client_stop_dt(*client, 5000));
    client_close(*client);

    test_support::temp_dir dir{"iec104-tshark"};
    ASSERT_FALSE(dir.path.empty());
    const std::string pcap = (dir.path / "session.pcap").string();
    int i_frames = 0;
    {
        test::PcapWriter w(pcap);
        ASSERT_TRUE(w.ok());
        std::lock_guard lock(mutex);
        for (auto& [outgoing, bytes] : apdus) {
            w.apdu(outgoing, bytes);
            i_frames += (bytes[2] & 1) == 0;
        }
    }
    EXPECT_EQ(i_frames, 36 + 15);

    int status;
    const std::string tshark = "tshark -n -r " + pcap + " ";
    const std::string bad = run_command(tshark + "-Y '_ws.malformed || _ws.expert.severity >= \"Warning\"' 2>/dev/null", status);
    EXPECT_EQ(status, 0) << bad;
    EXPECT_EQ(bad, "") << "malformed or expert-flagged packets";

    // Every APDU was recognised, and every ASDU's type read back as sent.
    const std::string apci = run_command(tshark + "-Y iec60870_104 -T fields -e iec60870_104.type 2>/dev/null", status);
    EXPECT_EQ(std::count(apci.begin(), apci.end(), '\n'), std::ptrdiff_t(apdus.size()));
    const std::string types = run_command(tshark + "-Y iec60870_asdu -T fields -e iec60870_asdu.typeid 2>/dev/null", status);
    std::string expected;
    {
        std::lock_guard lock(mutex);
        for (auto& [outgoing, bytes] : apdus)
            if ((bytes[2] & 1) == 0) expected += std::to_string(bytes[6]) + "\n";
    }
    EXPECT_EQ(types, expected);
}

}  // namespace
