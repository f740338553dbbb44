// What the server answers by itself, how the handlers are called, and the
// per-connection queues.
#include <gtest/gtest.h>

#include <atomic>

#include "lib/iec104/commands.h"
#include "raw_master.h"

using namespace iec104;
using test::RawMaster;
using test::ServerFixture;
using test_support::wait_until;

namespace {

const AppLayerParameters kApp;
const std::string kTime = "8d e5 3b 01 1f 03 18";  // 2024-03-31 01:59:58.765 UTC
constexpr int64_t kTimeMs = 1711850398765;

// Replies of a server without any handler, and of one with the handlers
// installed (which take nothing but what reaches them).
TEST(ServerAnswers, AutomaticRepliesMirrorTheRequest) {
    struct Row {
        const char* what;
        bool handlers;
        std::string request, reply;
    };
    const Row rows[] = {
        {"GI without handler", false, "64 01 06 00 01 00 00 00 00 14", "64 01 6c 00 01 00 00 00 00 14"},
        {"GI with wrong cause", true, "64 01 03 00 01 00 00 00 00 14", "64 01 6d 00 01 00 00 00 00 14"},
        {"GI with IOA 5", true, "64 01 06 00 01 00 05 00 00 14", "64 01 6f 00 01 00 05 00 00 14"},
        {"counter interrogation without handler", false, "65 01 06 00 01 00 00 00 00 05", "65 01 6c 00 01 00 00 00 00 05"},
        {"clock sync without handler", false, "67 01 06 00 01 00 00 00 00 " + kTime, "67 01 6c 00 01 00 00 00 00 " + kTime},
        {"clock sync with wrong cause", true, "67 01 03 00 01 00 00 00 00 " + kTime, "67 01 6d 00 01 00 00 00 00 " + kTime},
        {"clock sync with IOA 1", true, "67 01 06 00 01 00 01 00 00 " + kTime, "67 01 6f 00 01 00 01 00 00 " + kTime},
        {"read to broadcast CA", true, "66 01 05 00 ff ff 64 00 00", "66 01 6e 00 ff ff 64 00 00"},
        {"read with wrong cause", true, "66 01 06 00 01 00 64 00 00", "66 01 6d 00 01 00 64 00 00"},
        {"test command without time", false, "68 01 06 00 01 00 00 00 00 aa 55", "68 01 6c 00 01 00 00 00 00 aa 55"},
        {"test command with time", false, "6b 01 06 00 01 00 00 00 00 38 49 " + kTime, "6b 01 07 00 01 00 00 00 00 38 49 " + kTime},
        {"test command with wrong cause", false, "6b 01 03 00 01 00 00 00 00 38 49 " + kTime, "6b 01 6d 00 01 00 00 00 00 38 49 " + kTime},
        {"test command with IOA 1", false, "6b 01 06 00 01 00 01 00 00 38 49 " + kTime, "6b 01 6f 00 01 00 01 00 00 38 49 " + kTime},
        {"reset process without handler", false, "69 01 06 00 01 00 00 00 00 01", "69 01 6c 00 01 00 00 00 00 01"},
        {"single command, no handler", false, "2d 01 06 00 01 00 88 13 00 01", "2d 01 6c 00 01 00 88 13 00 01"},
        {"unknown type 200, test bit kept", false, "c8 01 86 00 01 00 01 00 00 05", "c8 01 ec 00 01 00 01 00 00 05"},
        {"monitor type sent to us", false, "01 01 03 00 01 00 01 00 00 01", "01 01 6c 00 01 00 01 00 00 01"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ServerFixture f;
        if (r.handlers) {
            f.handlers.interrogation = [](const ConnectionPtr&, Asdu&, uint8_t) { return false; };
            f.handlers.clock_sync = [](const ConnectionPtr&, Asdu&, Cp56Time2a&) { return true; };
            f.handlers.read = [](const ConnectionPtr&, Asdu&, uint32_t) { return false; };
        }
        RawMaster m(f.start());
        m.start();
        m.send_i(hex(r.request));
        EXPECT_EQ(m.read_asdu(), r.reply);
    }
}

// The common address check runs before any handler: an address it refuses
// is mirrored with cause 46, and the broadcast address passes only for the
// commands a station takes as a broadcast, with one and with two CA octets.
TEST(ServerAnswers, CommonAddressCheckComesBeforeEveryHandler) {
    struct Row {
        const char* what;
        int ca_octets;
        std::string request, reply;
        bool reaches_handler;
    };
    const Row rows[] = {
        {"GI to our CA", 2, "64 01 06 00 01 00 00 00 00 14", "64 01 07 00 01 00 00 00 00 14", true},
        {"GI to CA 7", 2, "64 01 06 00 07 00 00 00 00 14", "64 01 6e 00 07 00 00 00 00 14", false},
        {"GI to the broadcast CA", 2, "64 01 06 00 ff ff 00 00 00 14", "64 01 07 00 ff ff 00 00 00 14", true},
        {"GI to the one-octet broadcast CA", 1, "64 01 06 00 ff 00 00 00 14", "64 01 07 00 ff 00 00 00 14", true},
        {"GI to 0xff with two CA octets", 2, "64 01 06 00 ff 00 00 00 00 14", "64 01 6e 00 ff 00 00 00 00 14", false},
        {"clock sync to CA 7", 2, "67 01 06 00 07 00 00 00 00 " + kTime, "67 01 6e 00 07 00 00 00 00 " + kTime, false},
        {"clock sync to the broadcast CA", 2, "67 01 06 00 ff ff 00 00 00 " + kTime, "67 01 07 00 ff ff 00 00 00 " + kTime, true},
        {"counter interrogation to the broadcast CA, no handler", 2, "65 01 06 00 ff ff 00 00 00 05", "65 01 6c 00 ff ff 00 00 00 05", false},
        {"single command to our CA", 2, "2d 01 06 00 01 00 88 13 00 01", "2d 01 07 00 01 00 88 13 00 01", true},
        {"single command to CA 7", 2, "2d 01 06 00 07 00 88 13 00 01", "2d 01 6e 00 07 00 88 13 00 01", false},
        {"single command to the broadcast CA", 2, "2d 01 06 00 ff ff 88 13 00 01", "2d 01 6e 00 ff ff 88 13 00 01", false},
        {"read to the broadcast CA", 2, "66 01 05 00 ff ff 64 00 00", "66 01 6e 00 ff ff 64 00 00", false},
        {"test command to the broadcast CA", 2, "6b 01 06 00 ff ff 00 00 00 38 49 " + kTime, "6b 01 6e 00 ff ff 00 00 00 38 49 " + kTime, false},
        {"unknown type to CA 7", 2, "c8 01 06 00 07 00 01 00 00 05", "c8 01 6e 00 07 00 01 00 00 05", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ServerFixture f;
        f.config.app.size_of_ca = r.ca_octets;
        std::atomic<int> reached{0};
        f.handlers.common_address = [](const ConnectionPtr&, uint16_t ca) { return ca == 1; };
        f.handlers.interrogation = [&](const ConnectionPtr& c, Asdu& a, uint8_t) {
            ++reached;
            return send_act_con(*c, a, false);
        };
        f.handlers.clock_sync = [&](const ConnectionPtr&, Asdu&, Cp56Time2a&) { return ++reached, true; };
        f.handlers.read = [&](const ConnectionPtr&, Asdu&, uint32_t) { return ++reached, false; };
        f.handlers.asdu = [&](const ConnectionPtr& c, Asdu& a) {
            if (a.type != C_SC_NA_1) return false;
            ++reached;
            return send_act_con(*c, a, false);
        };
        RawMaster m(f.start());
        m.start();
        m.send_i(hex(r.request));
        EXPECT_EQ(m.read_asdu(), r.reply);
        EXPECT_EQ(reached.load(), r.reaches_handler ? 1 : 0);
    }
}

TEST(ServerAnswers, InterrogationHandlerSendsConfirmationDataAndTermination) {
    ServerFixture f;
    uint8_t qoi_seen = 0;
    f.handlers.interrogation = [&](const ConnectionPtr& c, Asdu& request, uint8_t qoi) {
        qoi_seen = qoi;
        if (qoi != 20) return send_act_con(*c, request, true);
        send_act_con(*c, request, false);
        const AppLayerParameters& p = app_parameters(*c);
        Asdu data = make_asdu(p, M_SP_NA_1, true, COT_INTERROGATED_BY_STATION, 1);
        for (uint32_t ioa = 100; ioa < 103; ++ioa) add_object(data, p, {.ioa = ioa, .value = 1});
        send_asdu(*c, data);
        send_act_term(*c, request);
        return true;
    };
    RawMaster m(f.start());
    m.start();
    m.send_i(hex("64 01 06 00 01 00 00 00 00 14"));
    EXPECT_EQ(m.read_asdu(), "64 01 07 00 01 00 00 00 00 14");
    EXPECT_EQ(m.read_asdu(), "01 83 14 00 01 00 64 00 00 01 01 01");
    EXPECT_EQ(m.read_asdu(), "64 01 0a 00 01 00 00 00 00 14");
    EXPECT_EQ(qoi_seen, 20);
    m.send_i(hex("64 01 06 00 01 00 00 00 00 15"));
    EXPECT_EQ(m.read_asdu(), "64 01 47 00 01 00 00 00 00 15") << "group 1 refused";
}

TEST(ServerAnswers, ClockSyncConfirmsWithTheTimeTheHandlerLeaves) {
    ServerFixture f;
    bool accept = true;
    int64_t received = 0;
    f.handlers.clock_sync = [&](const ConnectionPtr&, Asdu&, Cp56Time2a& time) {
        received = cp56_to_ms(time);
        time = cp56_from_ms(0x0102030405LL);  // the outstation's clock before it changes
        return accept;
    };
    RawMaster m(f.start());
    m.start();
    m.send_i(hex("67 01 06 00 01 00 00 00 00 " + kTime));
    Asdu expected = make_asdu(kApp, C_CS_NA_1, false, COT_ACTIVATION_CON, 1);
    add_object(expected, kApp, {.ioa = 0, .time = cp56_from_ms(0x0102030405LL)});
    std::vector<uint8_t> bytes(kMaxAsduSize);
    bytes.resize(encode_asdu(expected, kApp, bytes));
    EXPECT_EQ(m.read_asdu(), to_hex(bytes));
    EXPECT_EQ(received, kTimeMs);

    accept = false;
    m.send_i(hex("67 01 06 00 01 00 00 00 00 " + kTime));
    EXPECT_EQ(m.read_asdu(), "67 01 47 00 01 00 00 00 00 " + kTime) << "refused: negative, received time";
}

TEST(ServerAnswers, CommandHandlerDecidesTheReply) {
    ServerFixture f;
    f.handlers.asdu = [](const ConnectionPtr& c, Asdu& a) {
        if (a.type != C_SC_NA_1) return false;
        const auto o = get_object(a, app_parameters(*c), 0);
        if (o->ioa != 5000) {
            a.cot = COT_UNKNOWN_IOA;
            a.negative = true;
            return send_asdu(*c, a);
        }
        send_act_con(*c, a, false);
        send_act_term(*c, a);
        return true;
    };
    RawMaster m(f.start());
    m.start();
    m.send_i(hex("2d 01 06 00 01 00 88 13 00 01"));
    EXPECT_EQ(m.read_asdu(), "2d 01 07 00 01 00 88 13 00 01");
    EXPECT_EQ(m.read_asdu(), "2d 01 0a 00 01 00 88 13 00 01");
    m.send_i(hex("2d 01 06 00 01 00 89 13 00 01"));
    EXPECT_EQ(m.read_asdu(), "2d 01 6f 00 01 00 89 13 00 01");
    m.send_i(hex("2e 01 06 00 01 00 88 13 00 02"));
    EXPECT_EQ(m.read_asdu(), "2e 01 6c 00 01 00 88 13 00 02") << "handler declined: unknown type";
}

TEST(ServerAnswers, SystemCommandWithoutObjectClosesTheConnection) {
    ServerFixture f;
    f.handlers.interrogation = [](const ConnectionPtr&, Asdu&, uint8_t) { return true; };
    RawMaster m(f.start());
    m.start();
    m.send_i(hex("64 00 06 00 01 00"));
    EXPECT_TRUE(m.closed_by_peer());
}

Asdu spontaneous(uint32_t ioa) {
    Asdu a = make_asdu(kApp, M_SP_TB_1, false, COT_SPONTANEOUS, 1);
    add_object(a, kApp, {.ioa = ioa, .value = 1, .time = cp56_from_ms(kTimeMs)});
    return a;
}

// A master that stopped reading must not stall the producer: sending only
// queues, and what does not fit is counted, with memory bounded.
TEST(ServerQueues, ProducerNeverWaitsForAMasterThatStoppedReading) {
    ServerFixture f;
    f.config.low_queue_bytes = 64 * 1024;
    RawMaster m(f.start());
    m.start();  // and then never reads or acknowledges again
    ASSERT_TRUE(wait_until([&] { return f.connection(0) != nullptr; }));
    Connection& c = *f.connection(0);
    const int n = 20000;
    for (int i = 0; i < n; ++i) send_asdu(c, spontaneous(uint32_t(i)));
    ASSERT_TRUE(wait_until([&] { return stats(c).asdus_sent == 12; })) << "k frames out";
    const ConnectionStats s = stats(c);
    EXPECT_GT(s.dropped_low, 0u);
    EXPECT_EQ(s.asdus_sent + s.queued_low + s.dropped_low, uint64_t(n));
    EXPECT_LE(s.queued_low * (17 + 64), f.config.low_queue_bytes);

    Asdu reply = make_asdu(kApp, C_SC_NA_1, false, COT_ACTIVATION_CON, 1);
    add_object(reply, kApp, {.ioa = 1, .value = 1});
    EXPECT_TRUE(send_asdu(c, reply)) << "command replies have their own queue";
}

TEST(ServerQueues, FullInterrogationAndBurstArriveComplete) {
    // 1000 points answered one ASDU each (the worst grouping), plus a burst
    // of 2000 spontaneous events, to a master that keeps acknowledging.
    ServerFixture f;
    f.handlers.interrogation = [](const ConnectionPtr& c, Asdu& request, uint8_t) {
        const AppLayerParameters& p = app_parameters(*c);
        send_act_con(*c, request, false);
        for (uint32_t ioa = 0; ioa < 1000; ++ioa) {
            Asdu a = make_asdu(p, M_ME_NC_1, true, COT_INTERROGATED_BY_STATION, 1);
            add_object(a, p, {.ioa = ioa * 2, .real = float(ioa)});
            EXPECT_TRUE(send_asdu(*c, a));
        }
        for (uint32_t ioa = 0; ioa < 2000; ++ioa) EXPECT_TRUE(send_asdu(*c, spontaneous(ioa)));
        send_act_term(*c, request);
        return true;
    };
    RawMaster m(f.start());
    m.start();
    m.send_i(hex("64 01 06 00 01 00 00 00 00 14"));
    int interrogated = 0, spontaneous_count = 0, frames = 0;
    bool terminated = false;
    while (!terminated || spontaneous_count < 2000) {
        auto fr = m.read_frame();
        ASSERT_TRUE(fr) << "after " << interrogated << " + " << spontaneous_count;
        const uint8_t cot = (*fr)[8] & 0x3f;
        if (cot == COT_INTERROGATED_BY_STATION) {
            EXPECT_FALSE(terminated) << "data after ACT_TERM";
            ++interrogated;
        }
        if (cot == COT_SPONTANEOUS) ++spontaneous_count;
        if (cot == COT_ACTIVATION_TERMINATION) terminated = true;
        if (++frames % 8 == 0) m.send_s();
    }
    EXPECT_EQ(interrogated, 1000);
    EXPECT_EQ(stats(*f.connection(0)).dropped_low + stats(*f.connection(0)).dropped_high, 0u);
}

TEST(ServerQueues, MonitoringDataQueuedBeforeStartdtWaitsForIt) {
    ServerFixture f;
    RawMaster m(f.start());
    ASSERT_TRUE(wait_until([&] { return f.connection(0) != nullptr; }));
    Connection& c = *f.connection(0);
    EXPECT_TRUE(send_asdu(c, spontaneous(1)));
    Asdu reply = make_asdu(kApp, C_SC_NA_1, false, COT_ACTIVATION_CON, 1);
    add_object(reply, kApp, {.ioa = 1, .value = 1});
    EXPECT_TRUE(send_asdu(c, reply));
    m.send_u(kStartdtAct);
    EXPECT_EQ(m.read_hex(), "68 04 0b 00 00 00");
    std::vector<uint8_t> bytes(kMaxAsduSize);
    bytes.resize(encode_asdu(spontaneous(1), kApp, bytes));
    EXPECT_EQ(m.read_asdu(), to_hex(bytes)) << "the command reply was discarded by STARTDT";
}

TEST(ServerQueues, SendingFromManyThreadsWakesTheWriterEachTime) {
    ServerFixture f;
    RawMaster m(f.start());
    m.start();
    ASSERT_TRUE(wait_until([&] { return f.connection(0) != nullptr; }));
    ConnectionPtr c = f.connection(0);
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
        producers.emplace_back([c, t] {
            for (int i = 0; i < 250; ++i) send_asdu(*c, spontaneous(uint32_t(t * 1000 + i)));
        });
    for (auto& p : producers) p.join();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(m.read_frame()) << i;
        if (i % 8 == 7) m.send_s();
    }
}

TEST(ServerQueues, ConnectionHandleOutlivesTheServer) {
    ConnectionPtr kept;
    {
        ServerFixture f;
        RawMaster m(f.start());
        ASSERT_TRUE(wait_until([&] { return f.connection(0) != nullptr; }));
        kept = f.connection(0);
        EXPECT_EQ(peer_address(*kept), "127.0.0.1");
        EXPECT_EQ(identity(*kept), kept.get());
    }
    EXPECT_FALSE(is_open(*kept));
    EXPECT_FALSE(send_asdu(*kept, spontaneous(1)));
}

}  // namespace
