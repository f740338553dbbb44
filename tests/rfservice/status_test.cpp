// The diagnostics object fpigate: the gateway runs in this process (RF reader
// on a pseudo-terminal, ubus thread on ubusd-lite over a Unix socket, server
// on a free loopback port, both clocks replaced), the test plays the radio and
// three masters, and every field of status is compared with what the script
// has made happen, in its order.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <regex>
#include <set>

#include "core/semaphore.h"
#include "core/unique_fd.h"
#include "dio/gpio.h"
#include "fpi/contacts.h"
#include "fpi/infoset.h"
#include "fpi/pending_reset.h"
#include "lib/ubus/client.h"
#include "tests/support/child_process.h"
#include "tests/support/parts.h"
#include "tests/radio/radio.h"
#include "services/fpigate_status.h"

namespace {

using radio_test::frame_bytes;
using radio_test::radio_gateway;
using test_support::bytes;
using ubus::value;


// ubusd-lite on its own socket in a temporary directory.
struct broker {
    test_support::temp_dir dir{"fpigate-station"};
    std::string sock = (dir.path / "ubus.sock").string();
    std::unique_ptr<test_support::child_process> p;

    broker() { start(); }
    void start() {
        p = std::make_unique<test_support::child_process>(std::vector<std::string>{test_support::bin("ubusd-lite"), "-s", sock});
        test_support::wait_until([&] { return ubus::connect(sock) != nullptr; });
    }
    void kill() { p.reset(); }
};

const fpigate::worker reader_and_ubus[] = {
    {"RF reader", fpigate::rf_reader_thread, false},
    {"ubus", fpigate::ubus_thread, false},
};

bool registered(const std::string& sock, const char* path) {
    auto c = ubus::connect(sock);
    uint32_t id = 0;
    return c && ubus::lookup_id(*c, path, id, 2000) == ubus::status::ok;
}

std::optional<ubus::table> status(const std::string& sock) {
    auto c = ubus::connect(sock);
    if (!c) return std::nullopt;
    ubus::result r = ubus::call(*c, "fpigate", "status", {}, 5000);
    if (r.status != ubus::status::ok || r.data.size() != 1) return std::nullopt;
    return r.data[0];
}

// A reply as ubus-call prints it: tab-indented, one member per line.
void pretty(std::string& out, const value& v, int level) {
    switch (v.t) {
    case ubus::type::unspec: out += "null"; return;
    case ubus::type::int8: out += v.i ? "true" : "false"; return;
    case ubus::type::int16:
    case ubus::type::int32:
    case ubus::type::int64: out += std::to_string(v.i); return;
    case ubus::type::dbl: out += std::to_string(v.d); return;
    case ubus::type::string: out += "\"" + v.s + "\""; return;
    case ubus::type::array:
    case ubus::type::table: break;
    }
    const bool table = v.t == ubus::type::table;
    const std::string sep = "\n" + std::string(size_t(level) + 1, '\t');
    out += table ? '{' : '[';
    out += sep;
    for (size_t k = 0; k < v.items.size(); ++k) {
        if (k) out += "," + sep;
        if (table) out += "\"" + v.items[k].name + "\": ";
        pretty(out, v.items[k].val, level + 1);
    }
    out += "\n" + std::string(size_t(level), '\t');
    out += table ? '}' : ']';
}
std::string pretty(const ubus::table& t) {
    std::string out;
    pretty(out, value::table(t), 0);
    return out;
}

// What status should say, built in the documented order from the script's
// own account of what it did.
struct expected_status {
    struct fpi {
        bool online = false;
        int period = 0;
        std::optional<uint64_t> last_contact;  // test time in ms
        bool pending_reset = false;
        std::string infoset = "idle";
        int64_t frames_ok = 0;
    };
    struct master {
        std::string peer;
        std::optional<int> slot;
        bool active = false;
        int64_t queued = 0, sent = 0, dropped = 0;
    };
    struct radio {
        int64_t frames_ok = 0, framing_errors = 0, parse_errors = 0, refused_group = 0, refused_rtu = 0,
                unknown_command = 0, bytes_read = 0;
    };

    uint64_t now = 0;  // test time in ms (fake monotonic clock - start_ms)
    std::array<fpi, 9> fpis;
    std::vector<master> masters;
    radio rf;
    int points = 0;
    int64_t refused = 0;
    std::string chip;
    bool gpio_ok = false;

    ubus::table table() const {
        std::vector<value> f;
        for (int k = 0; k < 9; ++k) {
            const fpi& e = fpis[size_t(k)];
            f.push_back(value::table({
                {"slave_id", value::i32(k + 1)},
                {"online", value::boolean(e.online)},
                {"period_min", value::i32(e.period)},
                {"last_contact_age_s", e.last_contact ? value::i64(int64_t((now - *e.last_contact) / 1000)) : value::null()},
                {"pending_reset", value::boolean(e.pending_reset)},
                {"infoset", value::str(e.infoset)},
                {"frames_ok", value::i64(e.frames_ok)},
            }));
        }
        std::vector<value> m;
        for (const master& e : masters)
            m.push_back(value::table({
                {"peer", value::str(e.peer)},
                {"slot", e.slot ? value::i32(*e.slot) : value::null()},
                {"active", value::boolean(e.active)},
                {"queued", value::i64(e.queued)},
                {"sent", value::i64(e.sent)},
                {"dropped", value::i64(e.dropped)},
            }));
        return {
            {"uptime_s", value::i64(int64_t(now / 1000))},
            {"fpis", value::array(std::move(f))},
            {"masters", value::array(std::move(m))},
            {"rf", value::table({
                       {"frames_ok", value::i64(rf.frames_ok)},
                       {"framing_errors", value::i64(rf.framing_errors)},
                       {"parse_errors", value::i64(rf.parse_errors)},
                       {"refused_group", value::i64(rf.refused_group)},
                       {"refused_rtu", value::i64(rf.refused_rtu)},
                       {"unknown_command", value::i64(rf.unknown_command)},
                       {"bytes_read", value::i64(rf.bytes_read)},
                   })},
            {"store", value::table({
                          {"points", value::i32(points)},
                          {"capacity", value::i32(1000)},
                          {"refused", value::i64(refused)},
                      })},
            {"gpio", value::table({{"chip", value::str(chip)}, {"ok", value::boolean(gpio_ok)}})},
        };
    }
};

// The gateway with its RF reader and ubus threads, the object switched on.
struct status_gateway {
    broker ubusd;
    radio_gateway gw;
    expected_status want;

    explicit status_gateway(int connections = 2)
        : gw(
              [&](config::config& c) {
                  c.settings.ubus_socket = ubusd.sock;
                  c.settings.diagnostics = 1;
                  c.settings.gpio_chip = "sim:" + (ubusd.dir.path / "gpio").string();
                  c.settings.no_of_connections = connections;
                  c.derived.infoset_ack_timeout = 0;  // the ACK wait of a test pass ends at once
              },
              reader_and_ubus) {
        want.chip = gw.cfg->settings.gpio_chip;
    }

    void advance(uint64_t ms) {
        radio_test::fake_monotonic_clock::advance(ms);
        want.now += ms;
    }
    // Plays bytes on the line and waits until the reader has dealt with them.
    bool play(const bytes& b) {
        gw.send(b);
        want.rf.bytes_read += int64_t(b.size());
        return gw.reader_has_read(uint64_t(want.rf.bytes_read));
    }
    // A telegram the gateway answers: the answer's command code, once the
    // reader is done with the telegram.
    int answered(const bytes& b) {
        gw.send(b);
        want.rf.bytes_read += int64_t(b.size());
        const auto f = gw.next_downlink();
        return f && gw.reader_has_read(uint64_t(want.rf.bytes_read)) ? f->command : -1;
    }
    // The FPI was heard now and its telegram recorded "OK".
    void heard(int slave, int period = -1) {
        expected_status::fpi& f = want.fpis[size_t(slave - 1)];
        f.online = true;
        if (period >= 0) f.period = period;
        f.last_contact = want.now;
        ++f.frames_ok;
        ++want.rf.frames_ok;
    }
    expected_status::fpi& fpi(int slave) { return want.fpis[size_t(slave - 1)]; }

    // The reply, compared whole with the expected one.
    void check(const char* step) {
        const auto got = status(ubusd.sock);
        ASSERT_TRUE(got) << step;
        EXPECT_EQ(pretty(*got), pretty(want.table())) << step;
    }
};

rf::wakeup_data join_record(uint8_t period) {
    rf::wakeup_data w;
    w.period = period;
    w.i_mean = 10;
    w.v_status = 1;
    w.v_inst = 2300;
    w.battery_v = 36;
    w.rssi = 60;
    return w;
}

// The same measurements as join_record with I mean and RSSI changed.
rf::event_data changed_event() {
    rf::event_data e;
    e.i_mean = 20;
    e.v_status = 1;
    e.v_inst = 2300;
    e.battery_v = 36;
    e.rssi = 70;
    return e;
}

// Parameter k of FPI `slave` as a master's set-point writes it (IOA N30 + k).
int write_parameter(fpi::fpi_state& fpis, int slave, int k) {
    constexpr int32_t type[fpi::infoset_parameter_count] = {35, 36, 35, 35, 35, 35, 36, 35, 35};
    constexpr float values[fpi::infoset_parameter_count] = {30, 400, 2, 3, 1, 4, 11.5f, 50, 15};
    return fpi::infoset_store_parameter(fpis, uint32_t(slave * 100 + 30 + k), uint32_t(type[k]),
                                        uint64_t(station_test::fake_epoch_ms), values[k]);
}

// A pipe whose buffer is full: a descriptor the reader's next write blocks
// on until the test drains it. Closed with a write still blocked, that write
// fails (SIGPIPE is ignored in this process).
struct full_pipe {
    core::unique_fd out, in;  // read and write ends; the read end does not block
    size_t filled = 0;        // bytes put in before the reader's write
    bool full = false;

    full_pipe() {
        std::signal(SIGPIPE, SIG_IGN);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
        out.reset(fds[0]);
        in.reset(fds[1]);
        const uint8_t zero[1] = {0};
        while (::write(in.get(), zero, 1) == 1) ++filled;
        const bool no_room = errno == EAGAIN;
        const int flags = ::fcntl(in.get(), F_GETFL);
        full = no_room && flags >= 0 && ::fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK) == 0;  // writes block again
    }
    // Drains the filling and waits (bounded) for the frame the blocked
    // write puts behind it.
    std::optional<rf::rf_frame> frame_after_filling() {
        bytes got;
        const bool whole = test_support::wait_until([&] {
            uint8_t buf[4096];
            for (ssize_t n; (n = ::read(out.get(), buf, sizeof buf)) > 0;) got.insert(got.end(), buf, buf + n);
            return got.size() > filled + 1 && got.size() >= filled + got[filled + 1] + 3;  // length byte + 3
        });
        rf::rf_frame f;
        if (!whole || rf::rf_frame_decode(got.data() + filled, size_t(got[filled + 1]) + 3, &f) != 0) return std::nullopt;
        return f;
    }
};

size_t spontaneous(const station_test::master& m) {
    return m.count([](const iec104::Asdu& a) { return a.cot == iec104::COT_SPONTANEOUS; });
}

// Joins, refused frames of every kind, a parameter set from collection to
// its acknowledgement, a pending reset until it expires, three masters (one
// active with a slot, one with a slot but no STARTDT, one active without a
// slot) and a full value store, each step checked field by field.
TEST(FpigateStatus, EveryFieldFollowsTheScript) {
    status_gateway t;
    ASSERT_TRUE(t.gw.ok);
    ASSERT_TRUE(test_support::wait_until([&] { return registered(t.ubusd.sock, "fpigate"); })) << "not registered";

    // Just started: nothing heard, no master, the GPIO lines not requested
    // yet (the DI scanning thread, which requests them, does not run here).
    // The radio's counters are the process's own: a gateway started earlier
    // in this process may have counted already.
    {
        const rf::reader_statistics& s = t.gw.g.radio.reader_stats;
        t.want.rf = {int64_t(s.frames_ok.load()),     int64_t(s.framing_errors.load()), int64_t(s.parse_errors.load()),
                     int64_t(s.refused_group.load()), int64_t(s.refused_rtu.load()),    int64_t(s.unknown_command.load()),
                     int64_t(s.bytes.load())};
    }
    t.check("start");

    ASSERT_TRUE(dio::gpio_init(t.gw.g.io, t.gw.cfg->settings.gpio_chip));
    t.want.gpio_ok = true;
    t.check("lines requested");

    // FPI 3 joins with a period of 15 minutes; its 27 values are stored
    t.advance(5000);
    ASSERT_EQ(t.answered(frame_bytes(rf::CMD_JOIN_DATA, join_record(15), 3)), rf::CMD_JOIN_DATA_ACK);
    t.heard(3, 15);
    t.want.points = 27;
    t.check("FPI 3 joined");

    // Refused frames, one of each kind; none is an FPI's telegram
    t.advance(7000);
    ASSERT_TRUE(t.play({0x01, 0x05, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));  // no end byte
    ++t.want.rf.framing_errors;
    ASSERT_TRUE(t.play({0x01, 0x02, 0x00, 0x00, 0x04}));  // framed, but too short for a frame
    ++t.want.rf.parse_errors;
    bytes no_payload = frame_bytes(rf::CMD_EVENT_DATA, changed_event(), 6);  // an event without its payload
    no_payload = bytes(no_payload.begin(), no_payload.begin() + 10);
    no_payload[1] = 0x08;
    no_payload.push_back(0x04);
    ASSERT_TRUE(t.play(no_payload));
    ++t.want.rf.parse_errors;
    // another group, to us or to every RTU (21): the group is refused
    const rf::group_id foreign{9, 9, 9, 9, 9};
    for (const uint8_t to : {radio_test::gateway_rtu_id, uint8_t(21)}) {
        ASSERT_TRUE(t.play(frame_bytes(rf::CMD_EVENT_DATA, changed_event(), 5, to, foreign)));
        ++t.want.rf.refused_group;
    }
    // another RTU, whatever the group
    for (const rf::group_id& g : {radio_test::group, foreign, radio_test::group}) {
        ASSERT_TRUE(t.play(frame_bytes(rf::CMD_EVENT_DATA, changed_event(), 5, 11, g)));
        ++t.want.rf.refused_rtu;
    }
    ASSERT_TRUE(t.play(frame_bytes(rf::CMD_WAKEUP_NOTSET_ACK, rf::ack_data{}, 5)));
    ++t.want.rf.unknown_command;
    t.check("refused frames");

    // A parameter set for FPI 2: collected, complete, sent at its join
    // (held in sending while the line takes no byte), awaiting its
    // acknowledgement past FPI 5's, acknowledged, reported. Its
    // INFOSET_STATUS point is stored with the first write.
    ASSERT_EQ(write_parameter(t.gw.g.fpis, 2, 0), 3);
    t.fpi(2).infoset = "collecting";
    t.want.points = 28;
    t.check("first parameter");
    for (int k = 1; k < fpi::infoset_parameter_count; ++k) ASSERT_EQ(write_parameter(t.gw.g.fpis, 2, k), 3);
    t.fpi(2).infoset = "complete";
    t.check("nine parameters");
    t.advance(1000);
    {
        // The reader keeps reading its port; its writes go to the full pipe.
        full_pipe line;
        ASSERT_TRUE(line.full);
        std::atomic<int>& rtu_fd = t.gw.g.radio.rtu_fd;
        struct restore {
            std::atomic<int>& rtu_fd;
            int port;
            ~restore() { rtu_fd = port; }
        } restore_port{rtu_fd, rtu_fd.exchange(line.in.get())};
        const bytes join = frame_bytes(rf::CMD_JOIN_DATA, join_record(15), 2);
        t.gw.send(join);
        ASSERT_TRUE(test_support::wait_until(
            [&] { return fpi::infoset_phase_of(t.gw.g.fpis, 2) == fpi::infoset_phase::sending; }));
        t.heard(2, 15);
        t.want.points = 55;
        t.fpi(2).infoset = "sending";
        t.check("parameter set being sent");  // the join's bytes count once it is handled
        const std::optional<rf::rf_frame> f = line.frame_after_filling();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->command, rf::CMD_INFO_SET);
        EXPECT_EQ(f->destination_id, 2);
        t.want.rf.bytes_read += int64_t(join.size());
        ASSERT_TRUE(t.gw.reader_has_read(uint64_t(t.want.rf.bytes_read)));
    }
    ASSERT_TRUE(test_support::wait_until(
        [&] { return fpi::infoset_phase_of(t.gw.g.fpis, 2) == fpi::infoset_phase::awaiting_ack; }));
    t.fpi(2).infoset = "awaiting_ack";
    t.check("parameter set sent");
    ASSERT_TRUE(t.play(frame_bytes(rf::CMD_INFO_SET_ACK, rf::event_time_data{}, 5)));
    ++t.fpi(5).frames_ok;  // handled, but neither a contact nor FPI 2's
    ++t.want.rf.frames_ok;
    t.check("another FPI's acknowledgement");
    ASSERT_TRUE(t.play(frame_bytes(rf::CMD_INFO_SET_ACK, rf::event_time_data{}, 2)));
    ++t.fpi(2).frames_ok;
    ++t.want.rf.frames_ok;
    t.fpi(2).infoset = "acknowledged";
    t.check("acknowledgement received");  // the infoset thread has not looked yet
    fpi::infoset_pass(t.gw.g.fpis);
    t.fpi(2).infoset = "idle";
    t.check("acknowledgement taken");

    // A RESET for FPI 5 through rf.service waits for its next flash-mode telegram
    {
        auto c = ubus::connect(t.ubusd.sock);
        ASSERT_TRUE(c);
        EXPECT_EQ(ubus::call(*c, "rf.service", "reset_fpi_slave", {{"slave_id", value::i32(5)}}, 5000).status,
                  ubus::status::ok);
    }
    t.fpi(5).pending_reset = true;
    t.check("reset stored");

    // Three masters on two slots: A active on slot 0, B without STARTDT on
    // slot 1, C active without a slot.
    station_test::master a(t.gw.port());
    ASSERT_TRUE(a.started);
    ASSERT_TRUE(test_support::wait_until([&] { return station_test::slot_online(t.gw.g.station, 0); }));
    station_test::master b(t.gw.port(), false);
    ASSERT_TRUE(b.client);
    ASSERT_TRUE(test_support::wait_until([&] { return station_test::slot_online(t.gw.g.station, 1); }));
    station_test::master c(t.gw.port());
    ASSERT_TRUE(c.started);
    std::optional<ubus::table> got;
    ASSERT_TRUE(test_support::wait_until([&] {
        got = status(t.ubusd.sock);
        const ubus::value* m = got ? ubus::find(*got, "masters") : nullptr;
        return m && m->items.size() == 3;
    }));
    std::set<std::string> peers;
    for (const ubus::member& m : ubus::find(*got, "masters")->items) {
        const ubus::value* peer = ubus::find(m.val.items, "peer");
        ASSERT_TRUE(peer);
        EXPECT_TRUE(std::regex_match(peer->s, std::regex(R"(127\.0\.0\.1:[0-9]+)"))) << peer->s;
        peers.insert(peer->s);
        expected_status::master e;
        e.peer = peer->s;
        t.want.masters.push_back(e);
    }
    EXPECT_EQ(peers.size(), 3u);
    t.want.masters[0].slot = 0;
    t.want.masters[0].active = true;
    // The sample configuration's end_of_init: A, slot 0's first master, has
    // been sent the end of initialisation.
    ASSERT_TRUE(test_support::wait_until([&] {
        return a.count([](const iec104::Asdu& x) { return x.type == iec104::M_EI_NA_1; }) == 1;
    }));
    t.want.masters[0].sent = 1;
    t.want.masters[1].slot = 1;
    t.want.masters[2].active = true;
    t.check("three masters");

    // FPI 3 reports two changed values: both go to A, wait on B's queue for
    // its STARTDT, and never reach C
    t.advance(2000);
    ASSERT_EQ(t.answered(frame_bytes(rf::CMD_EVENT_DATA, changed_event(), 3)), rf::CMD_EVENT_DATA_ACK);
    t.heard(3);
    ASSERT_TRUE(test_support::wait_until([&] { return spontaneous(a) == 2; }));
    t.want.masters[0].sent = 3;
    t.want.masters[1].queued = 2;
    t.check("spontaneous values");
    EXPECT_EQ(spontaneous(c), 0u);

    // The store filled to its capacity with points of no FPI: FPI 7's join
    // then has none of its 27 values stored
    {
        outstation::station& st = t.gw.g.station;
        std::lock_guard lk(st.value_store_lock);
        for (int32_t ioa = 60000; st.station_values.count < outstation::value_store_capacity; ++ioa)
            outstation::value_update(st, ioa, int32_t(0), 35, station_test::fake_epoch_ms);
    }
    t.want.points = 1000;
    t.advance(1000);
    ASSERT_EQ(t.answered(frame_bytes(rf::CMD_JOIN_DATA, join_record(15), 7)), rf::CMD_JOIN_DATA_ACK);
    t.heard(7, 15);
    t.want.refused = 27;
    t.check("store full");

    // An hour later the reset has expired (it is no longer reported, though
    // only a flash-mode telegram would drop it); the ages have grown
    t.advance(3'600'001);
    t.fpi(5).pending_reset = false;
    t.check("an hour later");

    // ubus-call prints the reply in the same order
    test_support::child_process call({test_support::bin("ubus-call"), "-s", t.ubusd.sock, "call", "fpigate", "status"});
    EXPECT_EQ(call.wait_exit(std::chrono::seconds(20)), 0) << call.err;
    EXPECT_EQ(call.out, pretty(t.want.table()) + "\n");
}

// With the sample configuration nothing is added to the bus.
TEST(FpigateStatus, WithoutTheOptionOnlyRfServiceIsOnTheBus) {
    broker ubusd;
    radio_gateway gw([&](config::config& c) { c.settings.ubus_socket = ubusd.sock; }, reader_and_ubus);
    ASSERT_TRUE(gw.ok);
    EXPECT_EQ(gw.cfg->settings.diagnostics, 0);
    ASSERT_TRUE(test_support::wait_until([&] { return registered(ubusd.sock, "rf.service"); }));
    auto c = ubus::connect(ubusd.sock);
    ASSERT_TRUE(c);
    std::vector<ubus::object_info> objects;
    ASSERT_EQ(ubus::lookup(*c, "", objects), ubus::status::ok);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0].path, "rf.service");
    EXPECT_FALSE(status(ubusd.sock));
}

// The object rides on rf.service's connection: a broker restart brings both back.
TEST(FpigateStatus, TheObjectComesBackAfterABrokerRestart) {
    status_gateway t;
    ASSERT_TRUE(t.gw.ok);
    ASSERT_TRUE(test_support::wait_until([&] { return registered(t.ubusd.sock, "fpigate"); }));
    t.ubusd.kill();
    t.ubusd.start();
    ASSERT_TRUE(test_support::wait_until([&] { return registered(t.ubusd.sock, "fpigate"); })) << "not back";
    EXPECT_TRUE(registered(t.ubusd.sock, "rf.service"));
    t.advance(4000);
    const auto got = status(t.ubusd.sock);
    ASSERT_TRUE(got);
    EXPECT_EQ(ubus::find(*got, "uptime_s")->i, 4);
    EXPECT_EQ(ubus::find(*got, "fpis")->items.size(), 9u);
}

// The reply reads its clock once, first; a telegram or a RESET handled by
// another thread before the reply reaches that FPI is younger than that
// reading. It is "just now" (age 0, a pending reset), never a wrapped age of
// 584 million years or a reset taken for expired. Here the interleaving is
// played with the injected clock: the FPI is heard 1.5 s after the moment
// the reply then reads.
TEST(FpigateStatus, AContactNewerThanTheReplysClockIsJustNow) {
    radio_test::fake_monotonic_clock mono;
    test_support::gateway_parts p;
    services::services_configure(p.services, p.cfg, 0);
    const uint64_t reply_clock = radio_test::fake_monotonic_clock::now;
    radio_test::fake_monotonic_clock::advance(1500);
    fpi::record_contact(p.fpis, 4, 15);
    fpi::pending_reset_store(p.fpis, 4);
    radio_test::fake_monotonic_clock::now = reply_clock;

    const ubus::table got = services::fpigate_status(p.services);

    const ubus::value* fpis = ubus::find(got, "fpis");
    ASSERT_TRUE(fpis);
    ASSERT_EQ(fpis->items.size(), 9u);
    const ubus::table& four = fpis->items[3].val.items;
    ASSERT_EQ(ubus::find(four, "slave_id")->i, 4);
    EXPECT_TRUE(ubus::find(four, "online")->i);
    const ubus::value* age = ubus::find(four, "last_contact_age_s");
    ASSERT_TRUE(age);
    EXPECT_EQ(age->t, ubus::type::int64);
    EXPECT_EQ(age->i, 0);
    EXPECT_TRUE(ubus::find(four, "pending_reset")->i);
}

}  // namespace
