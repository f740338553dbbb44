// The server's APCI on real loopback sockets: link states, windows, timers,
// the connection limit and protocol violations.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <system_error>
#include <thread>

#include "lib/iec104/commands.h"
#include "raw_master.h"

using namespace iec104;
using test::RawMaster;
using test::ServerFixture;
using test_support::wait_until;

namespace {

const AppLayerParameters kApp;

std::vector<uint8_t> encoded(const Asdu& a) {
    std::vector<uint8_t> out(kMaxAsduSize);
    out.resize(encode_asdu(a, kApp, out));
    return out;
}

Asdu spontaneous(uint32_t ioa, int value) {
    Asdu a = make_asdu(kApp, M_SP_NA_1, false, COT_SPONTANEOUS, 1);
    add_object(a, kApp, {.ioa = ioa, .value = value});
    return a;
}

// A handler that takes every ASDU silently, so that no reply acknowledges.
void swallow_asdus(ServerFixture& f) {
    f.handlers.asdu = [](const ConnectionPtr&, Asdu&) { return true; };
}

TEST(ServerApci, StartStopAndTestFramesWithEvents) {
    ServerFixture f;
    RawMaster m(f.start());
    m.send_u(kTestfrAct);
    EXPECT_EQ(m.read_hex(), "68 04 83 00 00 00") << "TESTFR is answered before STARTDT";
    m.send_u(kStartdtAct);
    EXPECT_EQ(m.read_hex(), "68 04 0b 00 00 00");
    m.send_u(kStartdtAct);
    EXPECT_EQ(m.read_hex(), "68 04 0b 00 00 00") << "a repeated STARTDT is confirmed again";
    m.send_u(kStopdtAct);
    EXPECT_EQ(m.read_hex(), "68 04 23 00 00 00");
    ::shutdown(m.fd, SHUT_WR);
    ASSERT_TRUE(wait_until([&] { return f.event_count() == 4; }));
    EXPECT_EQ(f.event_list(), (std::vector<std::string>{"opened", "activated", "deactivated", "closed"}));
}

TEST(ServerApci, ViolationsCloseTheConnection) {
    struct Case {
        const char* what;
        std::function<void(RawMaster&)> act;
    };
    const std::vector<uint8_t> gi = encoded(interrogation_command(kApp, 1));
    const Case cases[] = {
        {"I-frame before STARTDT", [&](RawMaster& m) { m.send_i(gi); }},
        {"S-frame before STARTDT", [](RawMaster& m) { m.send_s(); }},
        {"bad start byte", [](RawMaster& m) { m.start(); m.send_bytes({0x69, 4, 1, 0, 0, 0}); }},
        {"length under 4", [](RawMaster& m) { m.start(); m.send_bytes({0x68, 2, 1, 0}); }},
        {"APDU longer than 253", [](RawMaster& m) {
             m.start();
             std::vector<uint8_t> f = {0x68, 0xfe, 0, 0, 0, 0};
             f.resize(256, 0x01);
             m.send_bytes(f);
         }},
        {"wrong N(S)", [&](RawMaster& m) { m.start(); m.vs = 5; m.send_i(gi); }},
        {"N(R) of a frame never sent", [](RawMaster& m) { m.start(); m.vr = 3; m.send_s(); }},
        {"ASDU shorter than its objects", [](RawMaster& m) { m.start(); m.send_i(hex("64 01 06 00 01 00 00 00")); }},
        {"I-frame after STOPDT", [&](RawMaster& m) {
             m.start();
             m.send_u(kStopdtAct);
             m.read_frame();
             m.send_i(gi);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ServerFixture f;
        swallow_asdus(f);
        RawMaster m(f.start());
        c.act(m);
        EXPECT_TRUE(m.closed_by_peer());
        EXPECT_TRUE(wait_until([&] {
            const auto e = f.event_list();
            return !e.empty() && e.back() == "closed";
        }));
    }
}

TEST(ServerApci, MasterThatSendsButNeverReadsIsDropped) {
    ServerFixture f;
    RawMaster m(f.start());
    int size = 64 * 1024;
    setsockopt(m.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    std::vector<uint8_t> tests;
    for (int i = 0; i < 10000; ++i) tests.insert(tests.end(), {0x68, 4, kTestfrAct, 0, 0, 0});
    // Each TESTFR act asks for a con that is never read; the server's backlog
    // of replies must not grow without end.
    size_t written = 0;
    while (written < (size_t(256) << 20)) {
        const ssize_t n = ::send(m.fd, tests.data(), tests.size(), MSG_NOSIGNAL);
        if (n <= 0) break;
        written += size_t(n);
    }
    EXPECT_LT(written, size_t(256) << 20) << "still accepting after 256 MiB";
    EXPECT_TRUE(wait_until([&] { return server_open_connections(*f.server) == 0; }));
}

TEST(ServerApci, GarbageClosesOnlyItsOwnConnection) {
    ServerFixture f;
    const uint16_t port = f.start();
    RawMaster good(port), bad(port);
    good.start();
    bad.start();
    bad.send_bytes({0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc});
    EXPECT_TRUE(bad.closed_by_peer());
    good.send_u(kTestfrAct);
    EXPECT_EQ(good.read_hex(), "68 04 83 00 00 00");
    EXPECT_TRUE(wait_until([&] { return server_open_connections(*f.server) == 1; }));
}

TEST(ServerApci, WindowKHoldsSendsBackUntilAcknowledged) {
    ServerFixture f;
    f.config.apci.k = 3;
    RawMaster m(f.start());
    m.start();
    ASSERT_TRUE(wait_until([&] { return f.connection(0) != nullptr; }));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(send_asdu(*f.connection(0), spontaneous(100 + uint32_t(i), 1)));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(m.read_asdu(), to_hex(encoded(spontaneous(100 + uint32_t(i), 1))));
    // Frames go out in order: had a fourth I-frame been sent, it would come before this TESTFR con.
    m.send_u(kTestfrAct);
    EXPECT_EQ(m.read_hex(), "68 04 83 00 00 00");
    EXPECT_EQ(stats(*f.connection(0)).queued_low, 2u);
    m.send_s();
    EXPECT_EQ(m.read_asdu(), to_hex(encoded(spontaneous(103, 1))));
    EXPECT_EQ(m.read_asdu(), to_hex(encoded(spontaneous(104, 1))));
}

TEST(ServerApci, WReceivedFramesAreAcknowledgedAtOnce) {
    ServerFixture f;
    swallow_asdus(f);
    f.config.apci.w = 2;
    RawMaster m(f.start());
    m.start();
    const auto asdu = encoded(single_command(kApp, 1, 5, true));
    m.send_i(asdu);
    m.send_i(asdu);
    EXPECT_EQ(m.read_hex(), "68 04 01 00 04 00") << "S-frame with N(R) 2";
    m.send_i(asdu);
    m.send_i(asdu);
    EXPECT_EQ(m.read_hex(), "68 04 01 00 08 00");
}

TEST(ServerApci, T2AcknowledgesFewerThanW) {
    ServerFixture f;
    swallow_asdus(f);
    f.config.apci.t2 = 1;
    RawMaster m(f.start());
    m.start();
    m.send_i(encoded(single_command(kApp, 1, 5, true)));
    EXPECT_EQ(m.read_hex(3000), "68 04 01 00 02 00");
}

TEST(ServerApci, T3SendsTestFrameAndT1ClosesWhenUnanswered) {
    ServerFixture f;
    f.config.apci.t3 = 1;
    f.config.apci.t1 = 1;
    RawMaster m(f.start());
    EXPECT_EQ(m.read_hex(3000), "68 04 43 00 00 00");
    EXPECT_TRUE(m.closed_by_peer(3000));
}

TEST(ServerApci, AnsweredTestFramesKeepAnIdleConnection) {
    ServerFixture f;
    f.config.apci.t3 = 1;
    f.config.apci.t1 = 1;
    RawMaster m(f.start());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(m.read_hex(3000), "68 04 43 00 00 00");
        m.send_u(kTestfrCon);
    }
    EXPECT_TRUE(is_open(*f.connection(0)));
}

TEST(ServerApci, T1ClosesWhenSentFramesStayUnacknowledged) {
    ServerFixture f;
    f.config.apci.t1 = 1;
    RawMaster m(f.start());
    m.start();
    ASSERT_TRUE(wait_until([&] { return f.connection(0) != nullptr; }));
    send_asdu(*f.connection(0), spontaneous(1, 1));
    EXPECT_EQ(m.read_asdu(), to_hex(encoded(spontaneous(1, 1))));
    EXPECT_TRUE(m.closed_by_peer(3000));
}

TEST(ServerApci, StopdtIsConfirmedOnlyWhenEverythingSentIsAcknowledged) {
    ServerFixture f;
    RawMaster m(f.start());
    m.start();
    ASSERT_TRUE(wait_until([&] { return f.connection(0) != nullptr; }));
    send_asdu(*f.connection(0), spontaneous(1, 1));
    m.read_frame();
    m.send_u(kStopdtAct);
    m.send_u(kTestfrAct);
    EXPECT_EQ(m.read_hex(), "68 04 83 00 00 00") << "no STOPDT con while the I-frame is unacknowledged";
    m.send_s();
    EXPECT_EQ(m.read_hex(), "68 04 23 00 00 00");
}

TEST(ServerApci, SixthConnectionIsAcceptedAndClosedAtOnce) {
    ServerFixture f;
    int requests = 0;
    f.handlers.connection_request = [&](const std::string& peer) {
        EXPECT_EQ(peer, "127.0.0.1");
        ++requests;
        return true;
    };
    const uint16_t port = f.start();
    std::vector<std::unique_ptr<RawMaster>> masters;
    for (int i = 0; i < 5; ++i) masters.push_back(std::make_unique<RawMaster>(port));
    ASSERT_TRUE(wait_until([&] { return f.event_count() == 5; }));

    RawMaster sixth(port);
    ASSERT_GE(sixth.fd, 0) << "the TCP connect itself succeeds";
    sixth.send_u(kStartdtAct);
    EXPECT_TRUE(sixth.closed_by_peer()) << "closed with no STARTDT con";
    EXPECT_EQ(requests, 5);
    EXPECT_EQ(f.event_count(), 5u) << "no event for the refused connection";

    masters[0].reset();
    ASSERT_TRUE(wait_until([&] { return server_open_connections(*f.server) == 4; }));
    RawMaster next(port);
    next.start();
    next.send_u(kTestfrAct);
    EXPECT_EQ(next.read_hex(), "68 04 83 00 00 00");
}

// A master for which no thread can be started (memory exhausted) is turned
// away, and the server goes on serving the next one. Run in a child process,
// whose address space is limited so that a thread stack no longer fits.
TEST(ServerApci, ConnectionWithoutAThreadIsRefusedAndTheServerRuns) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int failed = 0;
        {
            ServerFixture f;
            const uint16_t port = f.start();
            // Larger than any stack a finished thread left for reuse.
            pthread_attr_t usual, attr;
            pthread_getattr_default_np(&usual);
            pthread_attr_init(&attr);
            pthread_attr_setstacksize(&attr, size_t(64) << 20);
            pthread_setattr_default_np(&attr);
            pthread_attr_destroy(&attr);
            unsigned long pages = 0;
            if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
                std::fclose(statm);
            }
            rlimit old{};
            getrlimit(RLIMIT_AS, &old);
            const rlimit tight{pages * size_t(sysconf(_SC_PAGESIZE)) + (size_t(8) << 20), old.rlim_max};
            setrlimit(RLIMIT_AS, &tight);
            bool thread_started = false;
            try {
                std::thread([] {}).join();
                thread_started = true;
            } catch (const std::system_error&) {
            }
            if (thread_started) _exit(77);  // the limit does not bite here (sanitizer shadow memory)
            {
                RawMaster refused(port);
                if (!refused.closed_by_peer()) failed |= 1;
            }
            setrlimit(RLIMIT_AS, &old);
            pthread_setattr_default_np(&usual);
            pthread_attr_destroy(&usual);
            RawMaster next(port);
            next.send_u(kTestfrAct);
            if (next.read_hex() != "68 04 83 00 00 00") failed |= 2;
            if (f.event_count() != 1) failed |= 4;  // opened: only the second master
        }
        _exit(failed);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the server's process died";
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "thread creation cannot be made to fail here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not turned away, 2: next master not served, 4: events";
}

TEST(ServerApci, RefusedPeerGetsNoEvent) {
    ServerFixture f;
    f.handlers.connection_request = [](const std::string&) { return false; };
    RawMaster m(f.start());
    EXPECT_TRUE(m.closed_by_peer());
    EXPECT_EQ(f.event_count(), 0u);
}

TEST(ServerApci, EveryConnectionIsStartedOnItsOwn) {
    ServerFixture f;
    const uint16_t port = f.start();
    RawMaster a(port), b(port);
    a.start();
    b.start();
    ASSERT_TRUE(wait_until([&] { return f.connection(1) != nullptr; }));
    EXPECT_TRUE(is_active(*f.connection(0)));
    EXPECT_TRUE(is_active(*f.connection(1)));
    EXPECT_EQ(server_enqueue(*f.server, spontaneous(7, 1)), 2);
    EXPECT_EQ(a.read_asdu(), to_hex(encoded(spontaneous(7, 1))));
    EXPECT_EQ(b.read_asdu(), to_hex(encoded(spontaneous(7, 1))));
}

// Stopping closes every connection at once: a closed handler that takes its
// time (a status query) does not hold back the others' closing.
TEST(ServerApci, StopClosesEveryConnectionTogether) {
    ServerFixture f;
    std::atomic<int> closing{0}, saw_all{0};
    f.handlers.connection_event = [&](const ConnectionPtr&, ConnectionEvent e) {
        if (e != ConnectionEvent::closed) return;
        ++closing;
        saw_all += wait_until([&] { return closing == 3; }, std::chrono::milliseconds(3000));
    };
    const uint16_t port = f.start();
    RawMaster a(port), b(port), c(port);
    ASSERT_TRUE(wait_until([&] { return server_open_connections(*f.server) == 3; }));
    server_stop(*f.server);
    EXPECT_EQ(saw_all, 3) << "each closed handler ran while the others were closing too";
}

TEST(ServerApci, PortInUseIsReportedNotFatal) {
    ServerFixture f;
    const uint16_t port = f.start();
    ServerConfig c;
    c.local_address = "127.0.0.1";
    c.port = port;
    ServerPtr second = server_create(c, {});
    EXPECT_FALSE(server_start(*second));
    EXPECT_NE(server_error(*second).find("bind"), std::string::npos) << server_error(*second);
    EXPECT_FALSE(server_running(*second));
}

TEST(ServerApci, StartsAndStopsRepeatedlyWithMastersConnected) {
    for (int round = 0; round < 20; ++round) {
        ServerFixture f;
        RawMaster m(f.start());
        m.start();
        ASSERT_TRUE(wait_until([&] { return f.event_count() == 2; }));
        server_stop(*f.server);
        EXPECT_TRUE(m.closed_by_peer());
        EXPECT_EQ(f.event_list().back(), "closed");
        EXPECT_FALSE(send_asdu(*f.connection(0), spontaneous(1, 1))) << "a closed connection takes nothing";
    }
}

}  // namespace
