// Masters that misbehave, against the running gateway: one that stops
// acknowledging, one that stops reading its socket, malformed frames and
// ASDUs, and masters that come and go by the thousand or all at once. The
// well-behaved masters must be served throughout, the RF reader must keep
// reading and acknowledging every FPI frame, and nothing may be left behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "daemon/comm_log.h"
#include "lib/iec104/commands.h"
#include "tests/iec104/raw_master.h"
#include "tests/radio/radio.h"
#include "tests/support/master.h"
#include "tests/support/temp_dir.h"

namespace {

using radio_test::frame_bytes;
using radio_test::radio_gateway;
using station_test::slot_online;
using test_support::wait_until;

constexpr auto generous = std::chrono::seconds(60);

// The stores go on tmpfs: these tests make thousands of connection events
// and RF records, and what they are about is the server, not the flash.
struct tmpfs_dir : test_support::temp_dir {
    tmpfs_dir() : temp_dir("fpigate-hostile", memory) {}
};

// The gateway with its stores in `dir` and its server settings changed by `server`.
std::function<void(config::config&)> settings(const tmpfs_dir& dir, std::function<void(config::iec104_slave&)> server = {}) {
    return [&dir, server](config::config& c) {
        c.settings.data_dir = dir.path.string();
        c.settings.export_dir = dir.path.string();
        if (server) server(c.settings);
    };
}

// An FPI event telegram of slave 1 whose mean current (IOA 107) is `i_mean`.
test_support::bytes event_frame(uint16_t i_mean) {
    rf::event_data e = radio_test::ordinary_event();
    e.i_mean = i_mean;
    return frame_bytes(rf::CMD_EVENT_DATA, e, 1);
}
constexpr uint32_t i_mean_ioa = 107;

// Sends the telegram as the radio would and reads the gateway's acknowledgement.
::testing::AssertionResult radio_exchange(radio_gateway& gw, uint16_t i_mean) {
    gw.send(event_frame(i_mean));
    const auto ack = gw.next_downlink(20000);
    if (!ack) return ::testing::AssertionFailure() << "no acknowledgement of the frame with i_mean " << i_mean;
    if (ack->command != rf::CMD_EVENT_DATA_ACK || ack->destination_id != 1)
        return ::testing::AssertionFailure() << "answered with command " << int(ack->command);
    return ::testing::AssertionSuccess();
}

iec104::ConnectionPtr slot_connection(outstation::station& st, int i) {
    std::lock_guard lk(st.connection_slots.lock);
    return st.connection_slots.slots.at(size_t(i)).connection;
}

// A master that behaves: it acknowledges within 1 s (t2), well inside the
// station's t1, and keeps every ASDU it receives.
struct good_master : test_support::master {
    explicit good_master(uint16_t port) : master(port, acknowledging_within_1s(), 20000) {}

    // The values of the spontaneous ASDUs for `ioa`, in the order they came.
    std::vector<double> spontaneous(uint32_t ioa) const {
        std::lock_guard lk(m);
        std::vector<double> out;
        for (const iec104::Asdu& a : asdus) {
            if (a.cot != iec104::COT_SPONTANEOUS) continue;
            const auto o = iec104::get_object(a, app, 0);
            if (!o || o->ioa != ioa) continue;
            out.push_back(a.type == iec104::M_ME_TF_1 ? double(o->real) : double(o->value));
        }
        return out;
    }
    bool has_spontaneous(uint32_t ioa, size_t n) const { return spontaneous(ioa).size() >= n; }

    // A station interrogation answered: confirmation, data, termination.
    bool interrogation_answered() {
        clear();
        if (!send(iec104::interrogation_command(app, 1))) return false;
        auto seen = [this](uint8_t cot) {
            std::lock_guard lk(m);
            for (const iec104::Asdu& a : asdus)
                if (a.type == iec104::C_IC_NA_1 && a.cot == cot && !a.negative) return true;
            return false;
        };
        return wait_until([&] { return seen(iec104::COT_ACTIVATION_TERMINATION); }, generous) &&
               seen(iec104::COT_ACTIVATION_CON);
    }

private:
    static iec104::ClientConfig acknowledging_within_1s() {
        iec104::ClientConfig c;
        c.apci.t2 = 1;
        return c;
    }
};

// Sequence of `n` values from `first` up by one.
std::vector<double> counting(double first, size_t n) {
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = first + double(i);
    return v;
}

// A plain socket on the station's port. A `narrow` one has a receive buffer
// as small as the kernel allows and a small segment size, as on a poor
// cellular link: the station's kernel then sizes its send buffer for that
// segment size (tens of kilobytes rather than the megabytes of loopback).
int connect_socket(uint16_t port, bool narrow = false, bool blocking = true) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0) return -1;
    if (narrow) {
        int size = 1, mss = 536;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        ::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss);
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void send_all(int fd, const std::vector<uint8_t>& b) {
    size_t done = 0;
    while (done < b.size()) {
        const ssize_t n = ::send(fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += size_t(n);
    }
}

// Reads and drops everything until the peer closes; false if it has not
// closed by the deadline.
bool drained_to_close(int fd, std::chrono::seconds limit = generous) {
    const auto end = std::chrono::steady_clock::now() + limit;
    uint8_t b[4096];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t r = ::recv(fd, b, sizeof b, MSG_DONTWAIT);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
}

const std::vector<uint8_t> startdt_act = {0x68, 4, iec104::kStartdtAct, 0, 0, 0};

// A master that reads every frame but never acknowledges one.
struct silent_master {
    int fd = -1;
    std::atomic<int> i_frames{0};
    std::atomic<bool> closed{false};
    std::atomic<bool> stop{false};
    std::thread reader;

    explicit silent_master(uint16_t port) : fd(connect_socket(port)) {
        send_all(fd, startdt_act);
        reader = std::thread([this] {
            std::vector<uint8_t> held;
            uint8_t b[4096];
            while (!stop) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                const ssize_t r = ::recv(fd, b, sizeof b, 0);
                if (r <= 0) {
                    closed = true;
                    return;
                }
                held.insert(held.end(), b, b + r);
                size_t at = 0;
                while (held.size() - at >= 2 && held.size() - at >= size_t(held[at + 1]) + 2) {
                    if ((held[at + 2] & 1) == 0) ++i_frames;
                    at += size_t(held[at + 1]) + 2;
                }
                held.erase(held.begin(), held.begin() + long(at));
            }
        });
    }
    ~silent_master() {
        stop = true;
        reader.join();
        ::close(fd);
    }
};

// A master on a narrow socket that sent STARTDT and then never reads again.
struct deaf_master {
    int fd = -1;
    explicit deaf_master(uint16_t port) : fd(connect_socket(port, true)) { send_all(fd, startdt_act); }
    ~deaf_master() { ::close(fd); }
    uint16_t local_port() const {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        return ntohs(sa.sin_port);
    }
    int unread() const {
        int n = 0;
        ::ioctl(fd, FIONREAD, &n);
        return n;
    }
};

// Bytes the kernel still holds to send on the loopback connection from
// local_port to remote_port (the tx_queue of /proc/net/tcp), or -1.
long kernel_send_queue(uint16_t local_port, uint16_t remote_port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        unsigned local_addr = 0, local = 0, remote_addr = 0, remote = 0, state = 0;
        unsigned long tx = 0, rx = 0;
        if (std::sscanf(line.c_str(), " %*d: %x:%x %x:%x %x %lx:%lx", &local_addr, &local, &remote_addr, &remote,
                        &state, &tx, &rx) == 7 &&
            local == local_port && remote == remote_port)
            return long(tx);
    }
    return -1;
}

bool within_queue_bounds(const iec104::ConnectionStats& s, std::string& why) {
    const iec104::ServerConfig bounds;  // the station keeps the stack's per-connection bounds
    if (s.queued_low_bytes <= bounds.low_queue_bytes && s.queued_high_bytes <= bounds.high_queue_bytes) return true;
    why = "queued " + std::to_string(s.queued_low_bytes) + " + " + std::to_string(s.queued_high_bytes) + " bytes";
    return false;
}

}  // namespace

// t1 of 3 s: the station closes a master whose acknowledgements stop. The
// two stuck masters hold slots 1 and 2 between two good ones, so every
// spontaneous ASDU is queued for them in between.
TEST(HostileMasters, MastersThatStopAcknowledgingOrReadingAreClosedByT1AndHoldUpNoOne) {
    tmpfs_dir dir;
    radio_gateway gw(settings(dir, [](config::iec104_slave& s) { s.t1 = 3, s.t2 = 1; }));
    ASSERT_TRUE(gw.ok);
    const uint16_t first = 1000;
    ASSERT_TRUE(radio_exchange(gw, first));  // the values exist; changes are spontaneous from here on

    good_master g1(gw.port());
    ASSERT_TRUE(g1.started && wait_until([&] { return slot_online(gw.g.station, 0); }));
    silent_master silent(gw.port());
    ASSERT_TRUE(wait_until([&] { return slot_online(gw.g.station, 1); }));
    deaf_master deaf(gw.port());
    ASSERT_TRUE(wait_until([&] { return slot_online(gw.g.station, 2); }));
    good_master g2(gw.port());
    ASSERT_TRUE(g2.started && wait_until([&] { return slot_online(gw.g.station, 3); }));
    const iec104::ConnectionPtr silent_c = slot_connection(gw.g.station, 1), deaf_c = slot_connection(gw.g.station, 2);

    // Events until both stuck masters are closed, and twenty more after.
    const uint64_t frames_before = gw.g.radio.reader_stats.frames_ok;
    const auto deadline = std::chrono::steady_clock::now() + generous;
    uint16_t sent = 0;
    int after_close = -1;
    while (after_close < 20) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "still open after " << sent << " events";
        ASSERT_TRUE(radio_exchange(gw, uint16_t(first + ++sent)));
        for (const iec104::ConnectionPtr& c : {silent_c, deaf_c}) {
            std::string why;
            ASSERT_TRUE(within_queue_bounds(iec104::stats(*c), why)) << why;
        }
        if (after_close >= 0 || (!iec104::is_open(*silent_c) && !iec104::is_open(*deaf_c))) ++after_close;
    }

    // Every frame was read and acknowledged (above) and handled.
    EXPECT_EQ(gw.g.radio.reader_stats.frames_ok - frames_before, sent);
    // The good masters got every event, in order.
    for (good_master* g : {&g1, &g2}) {
        EXPECT_TRUE(wait_until([&] { return g->has_spontaneous(i_mean_ioa, sent); }, generous));
        EXPECT_EQ(g->spontaneous(i_mean_ioa), counting(first + 1, sent));
        EXPECT_FALSE(g->closed);
    }
    EXPECT_TRUE(slot_online(gw.g.station, 0) && slot_online(gw.g.station, 3));
    EXPECT_FALSE(slot_online(gw.g.station, 1) || slot_online(gw.g.station, 2));
    // The silent master was sent its window of k = 12 and nothing after it.
    EXPECT_TRUE(wait_until([&] { return silent.closed.load(); }, generous));
    EXPECT_EQ(silent.i_frames, 12);
    EXPECT_TRUE(drained_to_close(deaf.fd));
}

// A master that acknowledges nothing and one that reads nothing, with a
// window k of 4000 so that the one that reads nothing is sent far more than
// its socket takes and the station's writes to it stop on a full socket.
// t1 is long enough never to end them here. Whatever else is produced stays
// queued for them only up to the queue bound, while the good masters and
// the RF reader go on.
TEST(HostileMasters, StuckMastersAreHeldToTheQueueBoundWhileTheOthersGetEverything) {
    tmpfs_dir dir;
    const int k = 4000;
    radio_gateway gw(settings(dir, [](config::iec104_slave& s) { s.k = k, s.t1 = 300, s.t2 = 1; }));
    ASSERT_TRUE(gw.ok);
    // A point of FPI 9 published straight into the value store, as the
    // producers do under value_store_lock, far faster than radio frames come.
    const int32_t point = 900, scaled = 35;
    station_test::update(gw.g.station, point, int32_t(0), scaled);
    const uint16_t first = 1000;
    ASSERT_TRUE(radio_exchange(gw, first));

    good_master g1(gw.port());
    ASSERT_TRUE(g1.started && wait_until([&] { return slot_online(gw.g.station, 0); }));
    silent_master silent(gw.port());
    ASSERT_TRUE(wait_until([&] { return slot_online(gw.g.station, 1); }));
    deaf_master deaf(gw.port());
    ASSERT_TRUE(wait_until([&] { return slot_online(gw.g.station, 2); }));
    good_master g2(gw.port());
    ASSERT_TRUE(g2.started && wait_until([&] { return slot_online(gw.g.station, 3); }));
    const iec104::ConnectionPtr silent_c = slot_connection(gw.g.station, 1), deaf_c = slot_connection(gw.g.station, 2);

    // 40 batches of 200 updates and one radio frame; each batch is let
    // through to the good masters before the next.
    const int batches = 40, batch = 200;
    const uint64_t frames_before = gw.g.radio.reader_stats.frames_ok;
    for (int b = 0; b < batches; ++b) {
        for (int i = 1; i <= batch; ++i) station_test::update(gw.g.station, point, int32_t(b * batch + i), scaled);
        ASSERT_TRUE(radio_exchange(gw, uint16_t(first + b + 1)));
        const size_t so_far = size_t((b + 1) * batch);
        for (good_master* g : {&g1, &g2})
            ASSERT_TRUE(wait_until([&] { return g->has_spontaneous(point, so_far); }, generous)) << "batch " << b;
        for (const iec104::ConnectionPtr& c : {silent_c, deaf_c}) {
            std::string why;
            ASSERT_TRUE(within_queue_bounds(iec104::stats(*c), why)) << "batch " << b << ": " << why;
        }
    }

    EXPECT_EQ(gw.g.radio.reader_stats.frames_ok - frames_before, uint64_t(batches));
    for (good_master* g : {&g1, &g2}) {
        EXPECT_EQ(g->spontaneous(point), counting(1, size_t(batches * batch)));
        EXPECT_TRUE(wait_until([&] { return g->has_spontaneous(i_mean_ioa, batches); }, generous));
        EXPECT_EQ(g->spontaneous(i_mean_ioa), counting(first + 1, batches));
        EXPECT_TRUE(g->interrogation_answered());
    }
    // Both stuck masters took their window and then had the oldest of the
    // rest pushed out at the bound; the silent one read all it was sent.
    const iec104::ConnectionStats s = iec104::stats(*silent_c), d = iec104::stats(*deaf_c);
    EXPECT_EQ(s.asdus_sent, uint64_t(k));
    EXPECT_EQ(d.asdus_sent, uint64_t(k));
    EXPECT_GT(s.dropped_low, 0u);
    EXPECT_GT(d.dropped_low, 0u);
    EXPECT_TRUE(wait_until([&] { return silent.i_frames == k; }, generous));
    // The deaf master really is behind a full socket: of the I-frames (each
    // at least 25 octets) the station wrote for it, the kernel holds fewer
    // octets than were written, in the master's receive buffer and the
    // station's send queue; the rest waits in the station.
    const long in_kernel = kernel_send_queue(gw.port(), deaf.local_port());
    ASSERT_GE(in_kernel, 0) << "no such connection in /proc/net/tcp";
    EXPECT_LT(in_kernel + deaf.unread(), long(d.asdus_sent) * 25);
    EXPECT_TRUE(iec104::is_open(*silent_c) && iec104::is_open(*deaf_c));
}

// Each malformed frame or ASDU comes from a master of its own. Frames the
// link cannot follow, and ASDUs the station cannot read, close that
// connection; an ASDU it can read but does not serve is mirrored back
// negative with the cause that says why, and the connection goes on. After
// each, a master that was there all along still has its interrogation
// answered and gets the next spontaneous event.
TEST(HostileMasters, MalformedFramesAndAsdusAreAnsweredOrCloseOnlyTheirOwnConnection) {
    using test::RawMaster;
    const std::vector<uint8_t> gi = hex("64 01 06 00 01 00 00 00 00 14");
    struct malformed {
        const char* what;
        std::function<void(RawMaster&)> send;
        const char* reply;  // the ASDU that answers it, or nullptr: the connection closes
    };
    auto started = [](std::function<void(RawMaster&)> then) {
        return [then](RawMaster& m) {
            m.start();
            then(m);
        };
    };
    auto asdu = [&](const char* bytes) { return started([bytes](RawMaster& m) { m.send_i(hex(bytes)); }); };
    const malformed cases[] = {
        {"bad start byte", started([](RawMaster& m) { m.send_bytes({0x69, 4, 0x43, 0, 0, 0}); }), nullptr},
        {"length under 4", started([](RawMaster& m) { m.send_bytes({0x68, 2, 1, 0}); }), nullptr},
        {"S-frame of length 5", started([](RawMaster& m) { m.send_bytes({0x68, 5, 1, 0, 0, 0, 0}); }), nullptr},
        {"APDU length over 253", started([](RawMaster& m) {
             std::vector<uint8_t> f = {0x68, 0xfe, 0, 0, 0, 0};
             f.resize(256, 0x01);
             m.send_bytes(f);
         }),
         nullptr},
        {"I-frame before STARTDT", [&](RawMaster& m) { m.send_i(gi); }, nullptr},
        {"S-frame before STARTDT", [](RawMaster& m) { m.send_s(); }, nullptr},
        {"I-frame with a wrong N(S)", started([&](RawMaster& m) { m.vs = 5, m.send_i(gi); }), nullptr},
        {"I-frame acknowledging a frame never sent", started([&](RawMaster& m) { m.vr = 3, m.send_i(gi); }), nullptr},
        {"S-frame acknowledging a frame never sent", started([](RawMaster& m) { m.vr = 3, m.send_s(); }), nullptr},
        {"I-frame after STOPDT", started([&](RawMaster& m) {
             m.send_u(iec104::kStopdtAct);
             m.read_frame();
             m.send_i(gi);
         }),
         nullptr},
        {"ASDU shorter than its header", asdu("64 01 06"), nullptr},
        {"ASDU cut before its last octet", asdu("64 01 06 00 01 00 00 00 00"), nullptr},
        {"object count beyond the objects", asdu("64 02 06 00 01 00 00 00 00 14"), nullptr},
        {"system command without its object", asdu("64 00 06 00 01 00"), nullptr},
        {"one-octet cause of transmission", asdu("64 01 06 01 00 00 00 00 14"), nullptr},
        {"one-octet common address", asdu("64 01 06 00 01 00 00 00 14"), nullptr},
        // Stricter than some stacks, which ignore octets past the objects.
        {"an octet past the objects", asdu("64 01 06 00 01 00 00 00 00 14 00"), nullptr},

        {"U-frame of no known function", started([](RawMaster& m) { m.send_u(0x05); }), ""},
        {"STARTDT con from the master", started([](RawMaster& m) { m.send_u(iec104::kStartdtCon); }), ""},
        {"ASDU of unknown type 200", asdu("c8 01 06 00 01 00 01 00 00 05"), "c8 01 6c 00 01 00 01 00 00 05"},
        {"monitor type sent to the station", asdu("01 01 03 00 01 00 01 00 00 01"), "01 01 6c 00 01 00 01 00 00 01"},
        {"test command without time (not in 104)", asdu("68 01 06 00 01 00 00 00 00 aa 55"),
         "68 01 6c 00 01 00 00 00 00 aa 55"},
        {"interrogation with cause 3", asdu("64 01 03 00 01 00 00 00 00 14"), "64 01 6d 00 01 00 00 00 00 14"},
        {"interrogation of IOA 5", asdu("64 01 06 00 01 00 05 00 00 14"), "64 01 6f 00 01 00 05 00 00 14"},
        {"group interrogation", asdu("64 01 06 00 01 00 00 00 00 15"), "64 01 47 00 01 00 00 00 00 15"},
        {"single command with cause 3", asdu("2d 01 03 00 01 00 0b 00 00 01"), "2d 01 6d 00 01 00 0b 00 00 01"},
    };

    tmpfs_dir dir;
    radio_gateway gw(settings(dir));
    ASSERT_TRUE(gw.ok);
    uint16_t i_mean = 1000;
    ASSERT_TRUE(radio_exchange(gw, i_mean));
    good_master observer(gw.port());
    ASSERT_TRUE(observer.started && wait_until([&] { return slot_online(gw.g.station, 0); }));
    auto online_slots = [&gw] {
        std::lock_guard lk(gw.g.station.connection_slots.lock);
        int n = 0;
        for (const outstation::connection_slot& s : gw.g.station.connection_slots.slots) n += s.online;
        return n;
    };

    for (const malformed& c : cases) {
        SCOPED_TRACE(c.what);
        {
            RawMaster m(gw.port());
            ASSERT_GE(m.fd, 0);
            c.send(m);
            if (!c.reply) {
                EXPECT_TRUE(m.closed_by_peer(60000)) << "still open";
            } else {
                if (*c.reply) {
                    EXPECT_EQ(m.read_asdu(60000), c.reply);
                }
                m.send_u(iec104::kTestfrAct);
                EXPECT_EQ(m.read_hex(60000), "68 04 83 00 00 00") << "the connection goes on";
            }
        }
        EXPECT_TRUE(wait_until([&] { return online_slots() == 1; }, generous)) << "its slot is released";
        EXPECT_TRUE(observer.interrogation_answered());
        ASSERT_TRUE(radio_exchange(gw, ++i_mean));
        EXPECT_TRUE(wait_until([&] {
            const auto v = observer.spontaneous(i_mean_ioa);
            return !v.empty() && v.back() == i_mean;
        }, generous));
        EXPECT_FALSE(observer.closed);
    }
}

// Given by the sanitizer runtimes only.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

size_t entries(const char* dir) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}
size_t open_fds() { return entries("/proc/self/fd"); }
size_t threads() { return entries("/proc/self/task"); }
// Bytes the allocator has handed out and not been given back, or -1 where
// it does not say. A sanitizer runtime has an allocator of its own.
long long heap_in_use() {
    if (__sanitizer_get_current_allocated_bytes) return (long long)__sanitizer_get_current_allocated_bytes();
#ifdef __GLIBC__
    const struct mallinfo2 m = mallinfo2();
    return (long long)(m.uordblks + m.hblkhd);
#else
    return -1;
#endif
}

// This process's resident memory in kB, or -1 where that figure says
// little of the program: in a sanitizer build (AddressSanitizer keeps freed
// blocks resident in its quarantine, so the resident size grows there
// whatever the program does), and under a user-mode emulator (qemu-arm),
// where the status file speaks of the emulator, whose own memory grows with
// every thread started, while the stat file names the program.
long own_rss_kb() {
    if (__sanitizer_get_current_allocated_bytes) return -1;
    std::ifstream status("/proc/self/status"), stat("/proc/self/stat");
    std::string name, line, stat_line;
    long rss = -1;
    while (std::getline(status, line)) {
        if (line.rfind("Name:", 0) == 0) name = line.substr(std::min(line.size(), line.find_first_not_of(" \t", 5)));
        if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
    }
    std::getline(stat, stat_line);
    const size_t open = stat_line.find('('), close = stat_line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return -1;
    return stat_line.substr(open + 1, close - open - 1) == name ? rss : -1;
}

// How a master leaves.
enum class leaving { at_once, after_startdt, answer_unread, by_reset };

// One master that connects, is served as far as `how` goes, and leaves.
::testing::AssertionResult come_and_go(uint16_t port, leaving how) {
    test::RawMaster m(port);
    if (m.fd < 0) return ::testing::AssertionFailure() << "connect: " << std::strerror(errno);
    if (how != leaving::at_once) {
        m.send_u(iec104::kStartdtAct);
        const std::string con = m.read_hex(60000);
        if (con != "68 04 0b 00 00 00") return ::testing::AssertionFailure() << "STARTDT answered " << con;
    }
    if (how == leaving::answer_unread) m.send_i(hex("64 01 06 00 01 00 00 00 00 14"));
    if (how == leaving::by_reset) {
        const linger hard{1, 0};
        ::setsockopt(m.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    return ::testing::AssertionSuccess();
}

struct burst_result {
    int served = 0, turned_away = 0, other = 0;
};

// `n` masters connect at once, each sends STARTDT as soon as it is
// connected; served ones get STARTDT con, turned away ones a close with no
// frame at all. The served stay connected until `close_served` runs.
struct burst {
    std::vector<int> fds;
    burst_result result;

    burst(uint16_t port, int n) {
        for (int i = 0; i < n; ++i) fds.push_back(connect_socket(port, false, false));
        enum class st { connecting, waiting, served, away, failed };
        std::vector<st> state(fds.size(), st::connecting);
        std::vector<std::vector<uint8_t>> got(fds.size());
        const auto end = std::chrono::steady_clock::now() + generous;
        auto pending = [&] {
            return std::count_if(state.begin(), state.end(), [](st s) { return s == st::connecting || s == st::waiting; });
        };
        while (pending() > 0 && std::chrono::steady_clock::now() < end) {
            std::vector<pollfd> p;
            for (size_t i = 0; i < fds.size(); ++i)
                if (state[i] == st::connecting) p.push_back({fds[i], POLLOUT, 0});
                else if (state[i] == st::waiting) p.push_back({fds[i], POLLIN, 0});
                else p.push_back({-1, 0, 0});
            if (::poll(p.data(), p.size(), 100) <= 0) continue;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (!p[i].revents) continue;
                if (state[i] == st::connecting) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    ::getsockopt(fds[i], SOL_SOCKET, SO_ERROR, &err, &len);
                    state[i] = err ? st::failed : st::waiting;
                    if (!err) send_all(fds[i], startdt_act);
                    continue;
                }
                uint8_t b[64];
                const ssize_t r = ::recv(fds[i], b, sizeof b, MSG_DONTWAIT);
                if (r > 0) got[i].insert(got[i].end(), b, b + r);
                if (got[i].size() >= 6) state[i] = to_hex(got[i]) == "68 04 0b 00 00 00" ? st::served : st::failed;
                else if (r == 0 || (r < 0 && errno != EAGAIN)) state[i] = got[i].empty() ? st::away : st::failed;
            }
        }
        for (st s : state) {
            result.served += s == st::served;
            result.turned_away += s == st::away;
            result.other += s != st::served && s != st::away;
        }
    }
    ~burst() {
        for (int fd : fds) ::close(fd);
    }
};

}  // namespace

// The same accounting before and after: descriptors and threads exactly,
// the allocator's live bytes within 1 MiB (a kilobyte a connection would
// show) and, where the figure is the program's own, resident memory within
// a generous bound. The gateway runs in this process, so the counts are
// this process's own; the baseline is taken once every connection slot has
// held a connection and the allocator has seen a burst.
TEST(HostileMasters, AThousandConnectionsAndFiftyAtOnceLeaveNothingBehind) {
    tmpfs_dir dir;
    radio_gateway gw(settings(dir));
    ASSERT_TRUE(gw.ok);
    const uint16_t port = gw.port();
    const size_t max_connections = 5;
    testing::internal::CaptureStdout();  // several lines per connection

    // A connection's thread ends a moment before the server's listener reaps
    // it and its socket and event descriptor close, so the baseline may hold
    // the two of the last one: no more descriptors than before, none left
    // behind by a thousand connections.
    auto settled = [&](size_t fds, size_t tasks) {
        return wait_until([&] { return fpigate::comm_logger_wait_idle(gw.g.comm_log, 0) && open_fds() <= fds && threads() == tasks; },
                        generous);
    };
    const leaving ways[] = {leaving::at_once, leaving::after_startdt, leaving::answer_unread, leaving::by_reset};
    size_t tasks = threads();
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(come_and_go(port, ways[i % 4]));
        ASSERT_TRUE(wait_until([&] { return threads() == tasks; }, generous));
    }
    { burst warm(port, 10); }
    ASSERT_TRUE(fpigate::comm_logger_wait_idle(gw.g.comm_log, 60000));
    ASSERT_TRUE(wait_until([&] { return threads() == tasks; }, generous));
    const size_t fds = open_fds();
    const long rss = own_rss_kb();
    const long long heap = heap_in_use();

    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(come_and_go(port, ways[i % 4])) << "cycle " << i;
        ASSERT_TRUE(wait_until([&] { return threads() == tasks; }, generous)) << "cycle " << i;
    }
    burst_result at_once;
    {
        burst b(port, 50);
        at_once = b.result;
    }
    const bool settled_again = settled(fds, tasks);
    testing::internal::GetCapturedStdout();  // a failure below is printed, not captured
    EXPECT_EQ(at_once.served, int(max_connections));
    EXPECT_EQ(at_once.turned_away, 50 - int(max_connections));
    EXPECT_EQ(at_once.other, 0);
    EXPECT_TRUE(settled_again) << open_fds() << " descriptors (" << fds << " before), " << threads()
                               << " threads (" << tasks << " before)";
    if (heap >= 0) {
        EXPECT_LT(heap_in_use() - heap, 1 << 20) << "bytes more held by the allocator";
    }
    if (rss >= 0 && own_rss_kb() >= 0) {
        const long grown = own_rss_kb() - rss;
        RecordProperty("rss_growth_kb", std::to_string(grown));
        EXPECT_LT(grown, 16 * 1024) << "kB of resident memory more";
    }

    good_master after(port);
    EXPECT_TRUE(after.started && after.interrogation_answered());
}
