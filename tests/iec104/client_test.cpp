// The client library against our server: acknowledgement keeps the server's
// window moving, test frames keep an idle link alive, and a closed station
// is reported.
#include <gtest/gtest.h>

#include <atomic>

#include "lib/iec104/client.h"
#include "lib/iec104/commands.h"
#include "raw_master.h"

using namespace iec104;
using test::ServerFixture;
using test_support::wait_until;

namespace {

Asdu spontaneous(const AppLayerParameters& p, uint32_t ioa) {
    Asdu a = make_asdu(p, M_SP_NA_1, false, COT_SPONTANEOUS, 1);
    add_object(a, p, {.ioa = ioa, .value = 1});
    return a;
}

struct Counter {
    std::atomic<int> asdus{0};
    std::atomic<bool> closed{false};
    ClientHandlers handlers() {
        ClientHandlers h;
        h.asdu = [this](const Asdu&) { ++asdus; };
        h.closed = [this] { closed = true; };
        return h;
    }
};

TEST(Client, AcknowledgesSoThatMoreThanKFramesFlow) {
    ServerFixture f;
    f.config.apci.k = 4;
    ClientConfig cc;
    cc.port = f.start();
    cc.apci.w = 2;
    Counter counter;
    std::string error;
    ClientPtr c = client_connect(cc, counter.handlers(), error);
    ASSERT_TRUE(c) << error;
    ASSERT_TRUE(client_start_dt(*c, 5000));
    ASSERT_TRUE(wait_until([&] { return f.connection(0) != nullptr; }));
    for (uint32_t i = 0; i < 100; ++i) send_asdu(*f.connection(0), spontaneous(cc.app, i));
    EXPECT_TRUE(wait_until([&] { return counter.asdus == 100; }));
}

TEST(Client, AnswersTestFramesOfTheStation) {
    ServerFixture f;
    f.config.apci.t3 = 1;
    f.config.apci.t1 = 1;
    ClientConfig cc;
    cc.port = f.start();
    Counter counter;
    std::atomic<int> tests{0};
    ClientHandlers h = counter.handlers();
    h.tap = [&](bool outgoing, std::span<const uint8_t> apdu) { tests += !outgoing && apdu[2] == kTestfrAct; };
    std::string error;
    ClientPtr c = client_connect(cc, h, error);
    ASSERT_TRUE(c) << error;
    // Had the first TESTFR gone unanswered, the station would have closed
    // (t3 + t1) instead of sending the second.
    EXPECT_TRUE(wait_until([&] { return tests >= 2; }));
    EXPECT_FALSE(counter.closed);
    EXPECT_TRUE(client_connected(*c));
}

TEST(Client, ReportsAStationThatGoesAway) {
    ServerFixture f;
    ClientConfig cc;
    cc.port = f.start();
    Counter counter;
    std::string error;
    ClientPtr c = client_connect(cc, counter.handlers(), error);
    ASSERT_TRUE(c) << error;
    ASSERT_TRUE(client_start_dt(*c, 5000));
    f.server.reset();
    EXPECT_TRUE(wait_until([&] { return counter.closed.load(); }));
    EXPECT_FALSE(client_connected(*c));
    EXPECT_FALSE(client_send(*c, interrogation_command(cc.app, 1)));
    EXPECT_FALSE(client_start_dt(*c, 100));
}

TEST(Client, ConnectFailsWithAReason) {
    ServerFixture f;
    ClientConfig cc;
    cc.port = f.start();
    f.server.reset();  // nothing listens there now
    std::string error;
    EXPECT_FALSE(client_connect(cc, {}, error));
    EXPECT_NE(error.find("connect"), std::string::npos) << error;
    cc.host = "no-such-host.invalid";
    EXPECT_FALSE(client_connect(cc, {}, error));
    EXPECT_FALSE(error.empty());
}

}  // namespace

namespace {

// Batches sent to an idle connection, each while the previous one may still
// fill the window: no batch may be left waiting for a wake-up that never comes.
TEST(Client, EveryBatchIsDeliveredAfterTheLinkWentIdle) {
    ServerFixture f;
    f.config.apci.k = 3;
    ClientConfig cc;
    cc.port = f.start();
    cc.apci.w = 2;
    Counter counter;
    std::string error;
    ClientPtr c = client_connect(cc, counter.handlers(), error);
    ASSERT_TRUE(c) << error;
    ASSERT_TRUE(client_start_dt(*c, 5000));
    ASSERT_TRUE(wait_until([&] { return f.connection(0) != nullptr; }));
    for (int round = 1; round <= 100; ++round) {
        for (uint32_t i = 0; i < 500; ++i) send_asdu(*f.connection(0), spontaneous(cc.app, i));
        ASSERT_TRUE(wait_until([&] { return counter.asdus == round * 500; })) << "round " << round;
    }
}

}  // namespace
