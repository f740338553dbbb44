// Connection slots and the communication event log as masters come and go,
// with the modem's status from a fake "cellular" object on ubusd-lite.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <regex>
#include <sstream>

#include "core/address_range.h"
#include "daemon/comm_log.h"
#include "lib/ubus/client.h"
#include "logs/csv_export.h"
#include "tests/support/child_process.h"
#include "tests/outstation/station.h"

namespace {

using station_test::master;
using station_test::station;
using test_support::wait_until;

const void* slot_connection(station& st, int i) {
    std::lock_guard lk(st.state.connection_slots.lock);
    return st.state.connection_slots.slots[size_t(i)].connection.get();
}
bool all_initialised(station& st) {
    std::lock_guard lk(st.state.connection_slots.lock);
    return st.state.connection_slots.initialized_master_count;
}

std::string ptr(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// The lines of `out` that speak of slots, in order.
std::vector<std::string> slot_lines(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        if (l.rfind("Initializing", 0) == 0 || l.rfind("All master", 0) == 0 || l.rfind("Setting", 0) == 0)
            lines.push_back(l);
    return lines;
}

void close_master(master& m) {
    iec104::client_close(*m.client);
    m.client.reset();
}

TEST(Slots, TwoSlotsAreEachTakenOnceBeforeAnyIsReused) {
    station st;
    st.cfg.settings.no_of_connections = 2;
    ASSERT_TRUE(st.start());
    testing::internal::CaptureStdout();
    auto first = std::make_unique<master>(st.port());
    ASSERT_TRUE(wait_until([&] { return st.slot_online(0); }));
    const void* p1 = slot_connection(st, 0);
    close_master(*first);
    ASSERT_TRUE(wait_until([&] { return !st.slot_online(0); }));
    master second(st.port());
    ASSERT_TRUE(wait_until([&] { return st.slot_online(1) && all_initialised(st); }));
    const void* p2 = slot_connection(st, 1);
    EXPECT_EQ(slot_connection(st, 0), p1);  // a closed connection's slot keeps it until reused
    master third(st.port());
    ASSERT_TRUE(wait_until([&] { return st.slot_online(0) && slot_connection(st, 0) != p1; }));
    const void* p3 = slot_connection(st, 0);
    master fourth(st.port());  // both online: no slot
    ASSERT_TRUE(fourth.started);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(slot_lines(out), (std::vector<std::string>{
                                   "Initializing connection index: 0 and id: (" + ptr(p1) + ")",
                                   "Setting connection id " + ptr(p1) + " online flag to zero",
                                   "Initializing connection index: 1 and id: (" + ptr(p2) + ")",
                                   "All master connections have been initialized setting initialized_master_count",
                                   "Setting connection id " + ptr(p3) + " online flag to 1",
                               }));
    EXPECT_NE(out.find("Connection opened (" + ptr(p3) + ")\n"), std::string::npos);
    EXPECT_NE(out.find("Connection activated (" + ptr(p2) + ")\n"), std::string::npos);
    EXPECT_NE(out.find("New connection request from 127.0.0.1\n"), std::string::npos);
}

TEST(Slots, NoSlotsMeansNoMasterEverGetsOne) {
    station st;
    st.cfg.settings.no_of_connections = 0;
    ASSERT_TRUE(st.start());
    testing::internal::CaptureStdout();
    master a(st.port());
    ASSERT_TRUE(a.started);
    ASSERT_TRUE(wait_until([&] { return all_initialised(st); }));
    master b(st.port());
    ASSERT_TRUE(b.started);
    st.update(1, int32_t(0), 30);
    st.update(1, int32_t(1), 30);
    outstation::cyclic_transmission(st.state);
    // answered when asked; the spontaneous and cyclic ASDUs queued before
    // this went nowhere
    EXPECT_EQ(b.interrogate().size(), 3u);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(slot_lines(out), (std::vector<std::string>{
                                   "All master connections have been initialized setting initialized_master_count"}));
    EXPECT_EQ(a.count([](const iec104::Asdu& x) { return x.cot == iec104::COT_SPONTANEOUS || x.cot == 1; }), 0u);
}

TEST(Slots, StopdtKeepsTheSlotOnline) {
    station st;
    ASSERT_TRUE(st.start());
    master m(st.port());
    ASSERT_TRUE(wait_until([&] { return st.slot_online(0); }));
    ASSERT_TRUE(iec104::client_stop_dt(*m.client, 5000));
    EXPECT_TRUE(st.slot_online(0));
    ASSERT_TRUE(iec104::client_start_dt(*m.client, 5000));
    EXPECT_TRUE(st.slot_online(0));
}

TEST(Slots, FiveMastersAreServedAndASixthIsTurnedAway) {
    station st;
    ASSERT_TRUE(st.start());
    std::vector<std::unique_ptr<master>> masters;
    for (int i = 0; i < 5; ++i) {
        masters.push_back(std::make_unique<master>(st.port()));
        ASSERT_TRUE(masters.back()->started) << i;
    }
    master sixth(st.port());
    EXPECT_FALSE(sixth.started);
    EXPECT_TRUE(wait_until([&] { return sixth.closed.load(); }));
    for (auto& m : masters) EXPECT_EQ(m->interrogate().size(), 2u);  // all five still served
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(st.slot_online(i));
}

// ---- the communication event log ----

// ubusd-lite on a socket of its own.
struct broker {
    std::string sock;
    std::unique_ptr<test_support::child_process> process;
    explicit broker(const std::filesystem::path& dir) : sock((dir / "ubus.sock").string()) {
        process = std::make_unique<test_support::child_process>(
            std::vector<std::string>{test_support::bin("ubusd-lite"), "-s", sock});
        // ready once it takes a client (the socket file appears before it listens)
        wait_until([&] { return ubus::connect(sock) != nullptr; });
    }
};

// A "cellular" object: replies with `body`, or, when holding, takes the call
// and answers only after release().
struct fake_cellular {
    std::unique_ptr<ubus::connection> conn;
    std::thread loop;
    std::atomic<int> calls{0};
    std::mutex m;
    std::condition_variable cv;
    bool hold = false, released = false;
    bool registered = false;
    ubus::table body;

    fake_cellular(const std::string& sock, ubus::table reply, bool holding) : hold(holding), body(std::move(reply)) {
        conn = ubus::connect(sock);
        if (!conn) return;
        ubus::object o;
        o.path = "cellular";
        o.type_name = "cellular";
        o.methods.push_back({"status", {}, [this](ubus::request& req, const ubus::args&) {
                                 ++calls;
                                 std::unique_lock lk(m);
                                 if (hold) cv.wait_for(lk, std::chrono::seconds(10), [this] { return released; });
                                 ubus::reply(req, body);
                                 return 0;
                             }});
        if (ubus::add_object(*conn, std::move(o)) != 0) return;
        registered = true;
        loop = std::thread([this] { ubus::run(*conn); });
    }
    void release() {
        std::lock_guard lk(m);
        released = true;
        cv.notify_all();
    }
    ~fake_cellular() {
        release();
        if (conn) ubus::stop(*conn);
        if (loop.joinable()) loop.join();
    }
};

ubus::table message(const std::string& json) { return {{"message", ubus::value::str(json)}}; }

std::vector<std::string> comm_log_rows(station& st) {
    const std::string csv = (st.dir.path / "comm.csv").string();
    EXPECT_GE(logs::comm_event_db_export_csv(st.stores, csv), 0);
    std::ifstream in(csv);
    std::vector<std::string> rows;
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) rows.push_back(line);
    return rows;
}

std::string local_time(int64_t seconds) {
    time_t t = time_t(seconds);
    tm parts{};
    localtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

// One master opens, starts, stops and closes; the four rows that follow.
std::vector<std::string> session_rows(station& st) {
    {
        master m(st.port());
        EXPECT_TRUE(m.started);
        EXPECT_TRUE(iec104::client_stop_dt(*m.client, 5000));
        EXPECT_TRUE(wait_until([&] { return st.slot_online(0); }));
    }
    EXPECT_TRUE(wait_until([&] { return !st.slot_online(0); }));
    EXPECT_TRUE(fpigate::comm_logger_wait_idle(st.comm_log, 10000));
    return comm_log_rows(st);
}

void expect_session(const std::vector<std::string>& rows, const std::string& time, const std::string& modem) {
    ASSERT_EQ(rows.size(), 4u);
    const char* const words[] = {"opened", "activated", "deactivated", "closed"};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(std::regex_match(rows[size_t(i)], std::regex(time + ",\"Connection " + words[i] +
                                                                 " with 127\\.0\\.0\\.1:[0-9]+\"," + modem)))
            << rows[size_t(i)];
}

struct CommLog : ::testing::Test {
    station st;
    std::unique_ptr<broker> ubusd;
    void with_broker() {
        ubusd = std::make_unique<broker>(st.dir.path);
        st.cfg.settings.ubus_socket = ubusd->sock;
    }
};

TEST_F(CommLog, EveryEventIsLoggedWithTheModemsValues) {
    with_broker();
    fake_cellular modem(ubusd->sock, message(R"([{"rssi": -71.6, "data_connectivity": "Connected"}])"), false);
    ASSERT_TRUE(modem.registered);
    st.cfg.settings.asdu_time_offset = 90;
    ASSERT_TRUE(st.start());
    expect_session(session_rows(st), local_time(station_test::fake_epoch_ms / 1000 + 90 * 60), "-71,Connected");
    EXPECT_GE(modem.calls, 1);
}

TEST_F(CommLog, AModemAnswerOfAnotherFormGivesZeros) {
    with_broker();
    fake_cellular modem(ubusd->sock, message(R"({"rssi": -71, "data_connectivity": "connected"})"), false);
    ASSERT_TRUE(modem.registered);
    ASSERT_TRUE(st.start());
    expect_session(session_rows(st), local_time(station_test::fake_epoch_ms / 1000), "0,Disconnected");
    EXPECT_GE(modem.calls, 1);
}

TEST_F(CommLog, NoCellularObjectOrNoBrokerGivesZeros) {
    with_broker();  // a broker without the object
    ASSERT_TRUE(st.start());
    expect_session(session_rows(st), local_time(station_test::fake_epoch_ms / 1000), "0,Disconnected");
    st.stop();
    ubusd.reset();  // and no broker at all
    ASSERT_TRUE(st.start());
    const auto rows = session_rows(st);
    ASSERT_EQ(rows.size(), 8u);
    expect_session({rows.begin() + 4, rows.end()}, local_time(station_test::fake_epoch_ms / 1000), "0,Disconnected");
}

// The modem takes the call and does not answer: the master is served all the
// same while the query waits for its 3 s, and the entries follow it.
TEST_F(CommLog, AModemThatNeverAnswersHoldsUpNoMaster) {
    with_broker();
    fake_cellular modem(ubusd->sock, message(R"([{"rssi": -50, "data_connectivity": "connected"}])"), true);
    ASSERT_TRUE(modem.registered);
    ASSERT_TRUE(st.start());
    st.update(1001, 52.520008, 36);
    master m(st.port(), false);
    ASSERT_TRUE(m.client);
    ASSERT_TRUE(wait_until([&] { return modem.calls == 1; }));  // the query for "opened" is out
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(iec104::client_start_dt(*m.client, 5000));
    const auto answer = m.interrogate();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(answer.size(), 3u);
    EXPECT_EQ(answer.back().cot, iec104::COT_ACTIVATION_TERMINATION);
    // STARTDT confirmed and GI answered while the query is still outstanding
    EXPECT_EQ(modem.calls, 1);
    EXPECT_TRUE(comm_log_rows(st).empty());
    std::printf("STARTDT and interrogation answered in %.1f ms with the query outstanding\n",
                std::chrono::duration<double, std::milli>(elapsed).count());
    iec104::client_close(*m.client);
    ASSERT_TRUE(wait_until([&] { return !st.slot_online(0); }));
    ASSERT_TRUE(fpigate::comm_logger_wait_idle(st.comm_log, 15000));
    const auto rows = comm_log_rows(st);
    ASSERT_EQ(rows.size(), 3u);  // opened, activated, closed, in that order
    const std::string t = local_time(station_test::fake_epoch_ms / 1000);
    EXPECT_TRUE(std::regex_match(rows[0], std::regex(t + ",\"Connection opened with .*\",0,Disconnected")));
    EXPECT_TRUE(std::regex_match(rows[1], std::regex(t + ",\"Connection activated with .*\",0,Disconnected")));
    EXPECT_TRUE(std::regex_match(rows[2], std::regex(t + ",\"Connection closed with .*\",0,Disconnected")));
}

// ---- the allow-list of masters ----

bool any_slot_taken(station& st) {
    std::lock_guard lk(st.state.connection_slots.lock);
    for (const auto& s : st.state.connection_slots.slots)
        if (s.initialised || s.connection) return true;
    return false;
}

TEST_F(CommLog, AMasterOffTheAllowListIsRefusedBeforeAnySlotAndLoggedWithoutTheModem) {
    with_broker();
    fake_cellular modem(ubusd->sock, message(R"([{"rssi": -71.6, "data_connectivity": "Connected"}])"), false);
    ASSERT_TRUE(modem.registered);
    st.cfg.derived.allowed_masters = std::vector<core::ipv4_range>{*core::parse_ipv4_range("127.0.0.0/31")};
    ASSERT_TRUE(st.start());
    testing::internal::CaptureStdout();
    {
        master stranger(st.port(), true, "127.0.0.2");
        ASSERT_TRUE(stranger.client);
        EXPECT_FALSE(stranger.started);
        EXPECT_TRUE(wait_until([&] { return stranger.closed.load(); }));
    }
    ASSERT_TRUE(fpigate::comm_logger_wait_idle(st.comm_log, 10000));
    EXPECT_FALSE(any_slot_taken(st));
    EXPECT_EQ(modem.calls, 0);
    {
        master known(st.port(), true, "127.0.0.1");
        EXPECT_TRUE(known.started);
        EXPECT_TRUE(wait_until([&] { return st.slot_online(0); }));
    }
    EXPECT_TRUE(wait_until([&] { return !st.slot_online(0); }));
    ASSERT_TRUE(fpigate::comm_logger_wait_idle(st.comm_log, 10000));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Connection refused from 127.0.0.2\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("New connection request from 127.0.0.2"), std::string::npos) << out;
    EXPECT_NE(out.find("New connection request from 127.0.0.1\n"), std::string::npos) << out;

    const auto rows = comm_log_rows(st);
    ASSERT_EQ(rows.size(), 4u);  // refused, then opened, activated, closed
    const std::string t = local_time(station_test::fake_epoch_ms / 1000);
    EXPECT_EQ(rows[0], t + ",\"Connection refused with 127.0.0.2\",0,Disconnected");
    EXPECT_TRUE(std::regex_match(rows[1], std::regex(t + ",\"Connection opened with 127\\.0\\.0\\.1:[0-9]+\",-71,Connected")))
        << rows[1];
}

}  // namespace
