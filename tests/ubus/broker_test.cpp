// ubusd-lite spoken to with raw frames: its answers must be those the real
// ubusd gave in the captures.
#include <gtest/gtest.h>

#include "lib/ubus/client.h"
#include "tests/ubus/support.h"

using namespace ubus;
using ubus_test::hex;
using ubus_test::raw_peer;
using ubus_test::to_hex;

namespace {

struct BrokerTest : ubus_test::broker_fixture {
    // A raw client past its HELLO; `id` receives its client id.
    raw_peer client(std::uint32_t* id = nullptr)
    {
        raw_peer p;
        EXPECT_TRUE(p.connect(sock));
        frame hello;
        EXPECT_TRUE(parse_frame(p.next(), hello));
        EXPECT_EQ(hello.type, msg::hello);
        EXPECT_EQ(hello.seq, 0);
        EXPECT_EQ(hello.raw.size(), 12u);
        EXPECT_GE(hello.peer, 1024u);
        if (id) *id = hello.peer;
        return p;
    }

    frame next(raw_peer& p)
    {
        frame f;
        EXPECT_TRUE(parse_frame(p.next(), f));
        return f;
    }

    object demo()
    {
        object o;
        o.path = "gw.demo";
        o.methods = {{"echo", {{"text", type::string}}, nullptr}, {"fail", {}, nullptr}};
        return o;
    }

    // Registers gw.demo; returns its object id.
    std::uint32_t add_demo(raw_peer& p, std::uint16_t seq)
    {
        p.send(builder{}.str(attr_id::objpath, "gw.demo").blob(attr_id::signature, encode_signature(demo()))
                   .finish(msg::add_object, seq, 0));
        frame d = next(p);
        EXPECT_EQ(d.type, msg::data);
        EXPECT_EQ(d.seq, seq);
        EXPECT_TRUE(d.u32(attr_id::objtype));
        frame s = next(p);
        EXPECT_EQ(to_hex(s.raw), to_hex(builder{}.u32(attr_id::status, 0).finish(msg::status, seq, 0)));
        return d.u32(attr_id::objid).value_or(0);
    }
};

}  // namespace

TEST_F(BrokerTest, AnswersRequestsLikeUbusd)
{
    raw_peer p = client();
    struct {
        const char* what;
        const char* request;
        std::vector<const char*> answers;
    } cases[] = {
        {"PING", "00 03 00 01 00 00 00 00 00 00 00 04",
         {"00 02 00 01 00 00 00 00 00 00 00 04", "00 01 00 01 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 00"}},
        {"LOOKUP of an unknown path", "00 04 00 01 00 00 00 00 00 00 00 10 02 00 00 0c 67 77 2e 6e 6f 70 65 00",
         {"00 01 00 01 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 04"}},
        {"LOOKUP of an empty path", "00 04 00 02 00 00 00 00 00 00 00 0c 02 00 00 05 00 00 00 00",
         {"00 01 00 02 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 02"}},
        {"LOOKUP of a prefix matching nothing", "00 04 00 03 00 00 00 00 00 00 00 0c 02 00 00 08 7a 7a 2a 00",
         {"00 01 00 03 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 04"}},
        {"INVOKE of an unknown object",
         "00 05 00 02 0b ad f0 0d 00 00 00 1c 03 00 00 08 0b ad f0 0d 04 00 00 09 65 63 68 6f 00 00 00 00 07 00 00 04",
         {"00 01 00 02 0b ad f0 0d 00 00 00 0c 01 00 00 08 00 00 00 04"}},
        {"INVOKE without a method", "00 05 00 04 0b ad f0 0d 00 00 00 0c 03 00 00 08 0b ad f0 0d",
         {"00 01 00 04 0b ad f0 0d 00 00 00 0c 01 00 00 08 00 00 00 02"}},
        {"REMOVE_OBJECT of an unknown id", "00 07 00 05 00 00 00 00 00 00 00 0c 03 00 00 08 0b ad f0 0d",
         {"00 01 00 05 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 04"}},
        {"unknown message type", "00 0c 00 06 00 00 00 00 00 00 00 04",
         {"00 01 00 06 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 01"}},
    };
    for (const auto& c : cases) {
        p.send(hex(c.request));
        for (const char* a : c.answers) EXPECT_EQ(to_hex(p.next()), to_hex(hex(a))) << c.what;
    }
}

TEST_F(BrokerTest, RegistersListsAndRemovesObjects)
{
    raw_peer owner = client();
    std::uint32_t id = add_demo(owner, 1);

    // Exact path and prefix give the signature back unchanged.
    raw_peer other = client();
    for (const char* path : {"gw.demo", "gw.*", "*"}) {
        other.send(builder{}.str(attr_id::objpath, path).finish(msg::lookup, 1, 0));
        frame d = next(other);
        EXPECT_EQ(d.type, msg::data) << path;
        EXPECT_EQ(d.str(attr_id::objpath), "gw.demo");
        EXPECT_EQ(d.u32(attr_id::objid), id);
        ASSERT_TRUE(d.blob(attr_id::signature));
        EXPECT_EQ(bytes(d.blob(attr_id::signature)->begin(), d.blob(attr_id::signature)->end()),
                  encode_signature(demo()));
        EXPECT_EQ(next(other).u32(attr_id::status), 0u);
    }

    // A path already taken: STATUS 2 and nothing else.
    other.send(builder{}.str(attr_id::objpath, "gw.demo").blob(attr_id::signature, {}).finish(msg::add_object, 2, 0));
    EXPECT_EQ(to_hex(other.next()), to_hex(hex("00 01 00 02 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 02")));

    // A malformed signature: the object exists, without a type, and is never listed.
    other.send(builder{}.str(attr_id::objpath, "gw.bad").blob(attr_id::signature, hex("05 00 00 08 00 00 00 01"))
                   .finish(msg::add_object, 3, 0));
    frame d = next(other);
    EXPECT_TRUE(d.u32(attr_id::objid));
    EXPECT_FALSE(d.u32(attr_id::objtype));
    EXPECT_EQ(next(other).u32(attr_id::status), 0u);
    other.send(builder{}.str(attr_id::objpath, "gw.bad").finish(msg::lookup, 4, 0));
    EXPECT_EQ(to_hex(other.next()), to_hex(hex("00 01 00 04 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 00")));

    // Removing someone else's object is refused.
    other.send(builder{}.u32(attr_id::objid, id).finish(msg::remove_object, 5, 0));
    EXPECT_EQ(next(other).u32(attr_id::status), std::uint32_t(status::permission_denied));

    // The owner hangs up: its object goes.
    owner.fd.reset();
    EXPECT_TRUE(test_support::wait_until([&] {
        other.send(builder{}.str(attr_id::objpath, "gw.demo").finish(msg::lookup, 6, 0));
        frame f = next(other);
        return f.type == msg::status && f.u32(attr_id::status) == std::uint32_t(status::not_found);
    }));
}

TEST_F(BrokerTest, RoutesInvokeAndReplies)
{
    std::uint32_t caller_id = 0;
    raw_peer owner = client();
    raw_peer caller = client(&caller_id);
    std::uint32_t obj = add_demo(owner, 1);
    bytes args = encode({{"text", value::str("hi")}});
    caller.send(builder{}.u32(attr_id::objid, obj).str(attr_id::method, "echo").blob(attr_id::data, args)
                    .finish(msg::invoke, 7, obj));

    frame inv = next(owner);
    EXPECT_EQ(inv.type, msg::invoke);
    EXPECT_EQ(inv.seq, 7);
    EXPECT_EQ(inv.peer, caller_id);
    EXPECT_EQ(inv.u32(attr_id::objid), obj);
    EXPECT_EQ(inv.str(attr_id::method), "echo");
    ASSERT_TRUE(inv.blob(attr_id::data));
    EXPECT_EQ(bytes(inv.blob(attr_id::data)->begin(), inv.blob(attr_id::data)->end()), args);

    // Replies that ubusd would drop: no OBJID, no DATA attribute, unknown caller.
    owner.send(builder{}.u32(attr_id::status, 0).finish(msg::status, 7, caller_id));
    owner.send(builder{}.u32(attr_id::objid, obj).finish(msg::data, 7, caller_id));
    owner.send(builder{}.u32(attr_id::status, 0).u32(attr_id::objid, obj).finish(msg::status, 7, 0x12345678));
    // The real answer: DATA then STATUS, forwarded with peer = object id.
    bytes data = builder{}.u32(attr_id::objid, obj).blob(attr_id::data, args).finish(msg::data, 7, caller_id);
    bytes st = builder{}.u32(attr_id::status, 0).u32(attr_id::objid, obj).finish(msg::status, 7, caller_id);
    owner.send(data);
    owner.send(st);
    for (auto* f : {&data, &st}) {
        (*f)[4] = std::uint8_t(obj >> 24), (*f)[5] = std::uint8_t(obj >> 16);
        (*f)[6] = std::uint8_t(obj >> 8), (*f)[7] = std::uint8_t(obj);
    }
    EXPECT_EQ(to_hex(caller.next()), to_hex(data));
    EXPECT_EQ(to_hex(caller.next()), to_hex(st));

    // A caller may not answer in the name of an object it does not own.
    caller.send(builder{}.u32(attr_id::status, 0).u32(attr_id::objid, obj).finish(msg::status, 8, caller_id));
    EXPECT_TRUE(caller.quiet(100));
}

TEST_F(BrokerTest, DropsClientsThatBreakFraming)
{
    const char* bad[] = {
        "00 03 00 01 00 00 00 00 00 00 00 02",  // blob shorter than its header
        "00 03 00 01 00 00 00 00 00 10 00 04",  // above 1 MiB
    };
    for (const char* b : bad) {
        raw_peer p = client();
        p.send(hex(b));
        EXPECT_TRUE(p.closed()) << b;
    }
    // The broker serves on.
    EXPECT_NE(ubus::connect(sock), nullptr);
}
