// The client against a scripted broker that sends the frames captured from the
// real ubusd: what the client answers must be the captured bytes.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "lib/ubus/client.h"
#include "tests/ubus/support.h"

using namespace ubus;
using ubus_test::hex;
using ubus_test::to_hex;

namespace {

constexpr std::uint32_t demo_obj = 0x353eca54;
constexpr std::uint32_t caller = 0x4fc5286b;

using scripted_peer = ubus_test::raw_peer;

struct WireTest : ::testing::Test {
    test_support::temp_dir dir;
    unique_fd listener;
    scripted_peer broker;
    std::unique_ptr<connection> conn;

    void SetUp() override
    {
        std::string path = dir / "ubus.sock";
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::strcpy(sa.sun_path, path.c_str());
        listener.reset(::socket(AF_UNIX, SOCK_STREAM, 0));
        ASSERT_EQ(::bind(listener.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        ASSERT_EQ(::listen(listener.fd, 1), 0);
        auto connecting = std::async(std::launch::async, [path] { return ubus::connect(path); });
        broker.fd.reset(::accept(listener.fd, nullptr, nullptr));
        broker.send(hex("00 00 00 00 54 58 ae 7e 00 00 00 04"));
        conn = connecting.get();
        ASSERT_TRUE(conn);
        EXPECT_EQ(conn->id, 0x5458ae7eu);
    }

    // Registers gw.demo with "echo" the way the captured owner did (seq 1);
    // `then` follows the broker's answer in the same write.
    void register_demo(const bytes& then = {})
    {
        object o;
        o.path = "gw.demo";
        o.type_name = "demo";
        o.methods = {{"echo", {{"text", type::string}}, [](request& req, const args& a) {
                          if (!a[0]) return status::invalid_argument;
                          reply(req, {{"text", *a[0]}, {"len", value::i32(std::int32_t(a[0]->s.size()))}});
                          return status::ok;
                      }}};
        auto adding = std::async(std::launch::async, [&] { return add_object(*conn, o); });
        frame f;
        ASSERT_TRUE(parse_frame(broker.next(), f));
        EXPECT_EQ(f.type, msg::add_object);
        EXPECT_EQ(f.seq, 1);
        EXPECT_EQ(f.peer, 0u);
        EXPECT_EQ(f.str(attr_id::objpath), "gw.demo");
        ASSERT_TRUE(f.blob(attr_id::signature));
        EXPECT_EQ(bytes(f.blob(attr_id::signature)->begin(), f.blob(attr_id::signature)->end()), encode_signature(o));
        bytes answer = hex("00 02 00 01 00 00 00 00 00 00 00 14 03 00 00 08 35 3e ca 54 05 00 00 08 7b 88 79 38"
                           "00 01 00 01 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 00");
        answer.insert(answer.end(), then.begin(), then.end());
        broker.send(answer);
        EXPECT_EQ(adding.get(), status::ok);
    }
};

const char* invoke_echo_delivered =
    "00 05 00 02 4f c5 28 6b 00 00 00 44 03 00 00 08 35 3e ca 54 04 00 00 09 65 63 68 6f 00 00 00 00"
    "0c 00 00 09 72 6f 6f 74 00 00 00 00 0d 00 00 09 72 6f 6f 74 00 00 00 00 07 00 00 14 83 00 00 0f"
    "00 04 74 65 78 74 00 00 68 69 00 00";
const char* echo_data_reply =
    "00 02 00 02 4f c5 28 6b 00 00 00 30 03 00 00 08 35 3e ca 54 07 00 00 24 83 00 00 0f 00 04 74 65"
    "78 74 00 00 68 69 00 00 85 00 00 10 00 03 6c 65 6e 00 00 00 00 00 00 02";
const char* echo_status_reply =
    "00 01 00 02 4f c5 28 6b 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 35 3e ca 54";

}  // namespace

// While its own call is pending, the client serves a call to its object, and
// both conversations are byte for byte the captured ones.
TEST_F(WireTest, CallsAndServesWithCapturedBytes)
{
    register_demo();
    auto calling = std::async(std::launch::async,
                              [&] { return invoke(*conn, demo_obj, "echo", {{"text", value::str("hi")}}, 10000); });
    EXPECT_EQ(to_hex(broker.next()),
              to_hex(hex("00 05 00 02 35 3e ca 54 00 00 00 2c 03 00 00 08 35 3e ca 54 04 00 00 09 65 63 68 6f"
                         "00 00 00 00 07 00 00 14 83 00 00 0f 00 04 74 65 78 74 00 00 68 69 00 00")));

    broker.send(hex(invoke_echo_delivered));
    EXPECT_EQ(to_hex(broker.next()), to_hex(hex(echo_data_reply)));
    EXPECT_EQ(to_hex(broker.next()), to_hex(hex(echo_status_reply)));

    // The answer to our own call, as the broker forwards it (peer = object id).
    bytes data = hex(echo_data_reply), st = hex(echo_status_reply);
    for (auto* f : {&data, &st}) {
        (*f)[4] = 0x35, (*f)[5] = 0x3e, (*f)[6] = 0xca, (*f)[7] = 0x54;
    }
    broker.send(data);
    broker.send(st);
    result r = calling.get();
    EXPECT_EQ(r.status, status::ok);
    ASSERT_EQ(r.data.size(), 1u);
    EXPECT_EQ(find(r.data[0], "text")->s, "hi");
    EXPECT_EQ(find(r.data[0], "len")->i, 2);
}

// A call may reach the object right behind the broker's answer to its
// registration; it is served, not dropped.
TEST_F(WireTest, ServesCallRightBehindRegistration)
{
    register_demo(hex(invoke_echo_delivered));
    EXPECT_EQ(to_hex(broker.next()), to_hex(hex(echo_data_reply)));
    EXPECT_EQ(to_hex(broker.next()), to_hex(hex(echo_status_reply)));
}

// What the owner answers to calls it cannot serve.
TEST_F(WireTest, AnswersBadCallsWithStatus)
{
    register_demo();
    std::thread loop([&] { run(*conn); });
    struct {
        const char* what;
        bytes invoke;
        const char* status;
    } cases[] = {
        {"unknown method",
         builder{}.u32(attr_id::objid, demo_obj).str(attr_id::method, "nosuch").blob(attr_id::data, {}).finish(msg::invoke, 2, caller),
         "00 01 00 02 4f c5 28 6b 00 00 00 14 01 00 00 08 00 00 00 03 03 00 00 08 35 3e ca 54"},
        {"no DATA attribute",
         builder{}.u32(attr_id::objid, demo_obj).str(attr_id::method, "echo").finish(msg::invoke, 3, caller),
         "00 01 00 03 4f c5 28 6b 00 00 00 14 01 00 00 08 00 00 00 02 03 00 00 08 35 3e ca 54"},
        {"argument of the wrong type",
         builder{}.u32(attr_id::objid, demo_obj).str(attr_id::method, "echo")
             .blob(attr_id::data, encode({{"text", value::i32(1)}})).finish(msg::invoke, 4, caller),
         "00 01 00 04 4f c5 28 6b 00 00 00 14 01 00 00 08 00 00 00 02 03 00 00 08 35 3e ca 54"},
        // DATA length 19: the argument's padding is left out, so libubus ignores it.
        {"argument outside its container",
         hex("00 05 00 05 4f c5 28 6b 00 00 00 2c 03 00 00 08 35 3e ca 54 04 00 00 09 65 63 68 6f 00 00 00 00"
             "07 00 00 13 83 00 00 0f 00 04 74 65 78 74 00 00 68 69 00 00"),
         "00 01 00 05 4f c5 28 6b 00 00 00 14 01 00 00 08 00 00 00 02 03 00 00 08 35 3e ca 54"},
    };
    for (const auto& c : cases) {
        broker.send(c.invoke);
        EXPECT_EQ(to_hex(broker.next()), to_hex(hex(c.status))) << c.what;
    }
    // A call to an object that is not ours gets no answer at all.
    broker.send(builder{}.u32(attr_id::objid, 0x0badf00d).str(attr_id::method, "echo").blob(attr_id::data, {})
                    .finish(msg::invoke, 6, caller));
    EXPECT_TRUE(broker.quiet(200));
    stop(*conn);
    loop.join();
}

// A reply that comes after the time-out, or that matches no request, is dropped.
TEST_F(WireTest, LateAndForeignRepliesAreDropped)
{
    register_demo();
    std::thread loop([&] { run(*conn); });
    result r = invoke(*conn, 0x11111111, "x", {}, 100);
    EXPECT_EQ(r.status, status::timeout);
    frame sent;
    ASSERT_TRUE(parse_frame(broker.next(), sent));
    // Late answer to that call, then one for a peer nobody called.
    broker.send(builder{}.u32(attr_id::status, 0).u32(attr_id::objid, 0x11111111).finish(msg::status, sent.seq, 0x11111111));
    broker.send(builder{}.u32(attr_id::status, 0).finish(msg::status, 99, 0x22222222));
    auto calling = std::async(std::launch::async, [&] { return invoke(*conn, 0x11111111, "x", {}, 10000); });
    frame next;
    ASSERT_TRUE(parse_frame(broker.next(), next));
    EXPECT_EQ(next.seq, sent.seq + 1);
    broker.send(builder{}.u32(attr_id::status, 9).u32(attr_id::objid, 0x11111111).finish(msg::status, next.seq, 0x11111111));
    EXPECT_EQ(calling.get().status, status::unknown_error);
    stop(*conn);
    loop.join();
}

// When the broker goes away the loop ends and waiting calls fail at once.
TEST_F(WireTest, LostBrokerEndsLoopAndCalls)
{
    std::atomic<int> loop_result{1};
    std::thread loop([&] { loop_result = run(*conn); });
    auto calling = std::async(std::launch::async, [&] { return invoke(*conn, 0x11111111, "x", {}, 0); });
    EXPECT_FALSE(broker.next().empty());
    broker.fd.reset();
    EXPECT_EQ(calling.get().status, status::connection_failed);
    loop.join();
    EXPECT_EQ(loop_result, -1);
}

TEST(UbusConnect, RefusesMissingSocketAndBadHello)
{
    test_support::temp_dir dir;
    EXPECT_EQ(ubus::connect(dir / "none.sock"), nullptr);

    std::string path = dir / "ubus.sock";
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, path.c_str());
    unique_fd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(::bind(listener.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(listener.fd, 4), 0);
    const char* hellos[] = {
        "00 01 00 00 54 58 ae 7e 00 00 00 04",  // not a HELLO
        "00 00 00 00 00 00 00 01 00 00 00 04",  // client id 1
        "00 00 00 00 54 58 ae 7e 00 00 00 02",  // broken length
    };
    for (const char* h : hellos) {
        auto connecting = std::async(std::launch::async, [path] { return ubus::connect(path); });
        scripted_peer peer;
        peer.fd.reset(::accept(listener.fd, nullptr, nullptr));
        peer.send(hex(h));
        EXPECT_EQ(connecting.get(), nullptr) << h;
    }
}
