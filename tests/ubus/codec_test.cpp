// blob/blobmsg and frame encoding against frames captured from the real ubusd,
// CLI and libubus, and refusal of malformed input.
#include <gtest/gtest.h>

#include "lib/ubus/client.h"
#include "lib/ubus/message.h"
#include "tests/ubus/support.h"

using namespace ubus;
using ubus_test::hex;
using ubus_test::to_hex;

namespace {

constexpr std::uint32_t demo_obj = 0x353eca54;
constexpr std::uint32_t demo_type = 0x7b887938;
constexpr std::uint32_t caller = 0x4fc5286b;

frame parsed(const bytes& raw)
{
    frame f;
    EXPECT_TRUE(parse_frame(raw, f)) << to_hex(raw);
    return f;
}

// The body {"b":true,"i16":-2,"i32":-3,"i64":5000000000,"dbl":1.5,"s":"x",
// "nul":null,"arr":[1,"two"],"tbl":{"k":false}}.
table every_type()
{
    return {
        {"b", value::boolean(true)},
        {"i16", value::i16(-2)},
        {"i32", value::i32(-3)},
        {"i64", value::i64(5000000000)},
        {"dbl", value::dbl(1.5)},
        {"s", value::str("x")},
        {"nul", value::null()},
        {"arr", value::array({value::i32(1), value::str("two")})},
        {"tbl", value::table({{"k", value::boolean(false)}})},
    };
}

const char* every_type_frame =
    "00 02 00 02 d9 d5 b4 38 00 00 00 b8 03 00 00 08 35 3e ca 54 07 00 00 ac"
    "87 00 00 09 00 01 62 00 01 00 00 00"
    "86 00 00 0e 00 03 69 31 36 00 00 00 ff fe 00 00"
    "85 00 00 10 00 03 69 33 32 00 00 00 ff ff ff fd"
    "84 00 00 14 00 03 69 36 34 00 00 00 00 00 00 01 2a 05 f2 00"
    "88 00 00 14 00 03 64 62 6c 00 00 00 3f f8 00 00 00 00 00 00"
    "83 00 00 0a 00 01 73 00 78 00 00 00"
    "80 00 00 0c 00 03 6e 75 6c 00 00 00"
    "81 00 00 24 00 03 61 72 72 00 00 00"
    "85 00 00 0c 00 00 00 00 00 00 00 01"
    "83 00 00 0c 00 00 00 00 74 77 6f 00"
    "82 00 00 18 00 03 74 62 6c 00 00 00"
    "87 00 00 09 00 01 6b 00 00 00 00 00";

}  // namespace

// Frames we send must equal, byte for byte, what the real tools sent.
TEST(UbusCodec, BuildsCapturedFrames)
{
    struct {
        const char* what;
        bytes built;
        const char* captured;
    } cases[] = {
        {"HELLO", builder{}.finish(msg::hello, 0, 0x5458ae7e), "00 00 00 00 54 58 ae 7e 00 00 00 04"},
        {"PING", builder{}.finish(msg::ping, 1, 0), "00 03 00 01 00 00 00 00 00 00 00 04"},
        {"LOOKUP", builder{}.str(attr_id::objpath, "gw.demo").finish(msg::lookup, 1, 0),
         "00 04 00 01 00 00 00 00 00 00 00 10 02 00 00 0c 67 77 2e 64 65 6d 6f 00"},
        {"ADD_OBJECT reply DATA",
         builder{}.u32(attr_id::objid, demo_obj).u32(attr_id::objtype, demo_type).finish(msg::data, 1, 0),
         "00 02 00 01 00 00 00 00 00 00 00 14 03 00 00 08 35 3e ca 54 05 00 00 08 7b 88 79 38"},
        {"INVOKE echo {text: hi}",
         builder{}
             .u32(attr_id::objid, demo_obj)
             .str(attr_id::method, "echo")
             .blob(attr_id::data, encode({{"text", value::str("hi")}}))
             .finish(msg::invoke, 2, demo_obj),
         "00 05 00 02 35 3e ca 54 00 00 00 2c 03 00 00 08 35 3e ca 54 04 00 00 09 65 63 68 6f 00 00 00 00"
         "07 00 00 14 83 00 00 0f 00 04 74 65 78 74 00 00 68 69 00 00"},
        {"DATA reply {text: hi, len: 2}",
         builder{}
             .u32(attr_id::objid, demo_obj)
             .blob(attr_id::data, encode({{"text", value::str("hi")}, {"len", value::i32(2)}}))
             .finish(msg::data, 2, caller),
         "00 02 00 02 4f c5 28 6b 00 00 00 30 03 00 00 08 35 3e ca 54 07 00 00 24 83 00 00 0f 00 04 74 65"
         "78 74 00 00 68 69 00 00 85 00 00 10 00 03 6c 65 6e 00 00 00 00 00 00 02"},
        {"STATUS 0", builder{}.u32(attr_id::status, 0).u32(attr_id::objid, demo_obj).finish(msg::status, 2, caller),
         "00 01 00 02 4f c5 28 6b 00 00 00 14 01 00 00 08 00 00 00 00 03 00 00 08 35 3e ca 54"},
        {"reply with every type",
         builder{}.u32(attr_id::objid, demo_obj).blob(attr_id::data, encode(every_type())).finish(msg::data, 2, 0xd9d5b438),
         every_type_frame},
    };
    for (const auto& c : cases) EXPECT_EQ(to_hex(c.built), to_hex(hex(c.captured))) << c.what;
}

// The method tables of the gw.demo registration: echo(text string),
// add(a int32, b int32), fail().
TEST(UbusCodec, SignatureMatchesCapturedRegistration)
{
    object o;
    o.path = "gw.demo";
    o.methods = {
        {"echo", {{"text", type::string}}, nullptr},
        {"add", {{"a", type::int32}, {"b", type::int32}}, nullptr},
        {"fail", {}, nullptr},
    };
    bytes sig = encode_signature(o);
    EXPECT_EQ(to_hex(sig), to_hex(hex("82 00 00 1c 00 04 65 63 68 6f 00 00 85 00 00 10 00 04 74 65 78 74 00 00"
                                      "00 00 00 03 82 00 00 24 00 03 61 64 64 00 00 00 85 00 00 0c 00 01 61 00"
                                      "00 00 00 05 85 00 00 0c 00 01 62 00 00 00 00 05 82 00 00 0c 00 04 66 61"
                                      "69 6c 00 00")));
}

TEST(UbusCodec, ParsesCapturedFrames)
{
    frame hello = parsed(hex("00 00 00 00 54 58 ae 7e 00 00 00 04"));
    EXPECT_EQ(hello.type, msg::hello);
    EXPECT_EQ(hello.peer, 0x5458ae7eu);

    frame status = parsed(hex("00 01 00 01 00 00 00 00 00 00 00 0c 01 00 00 08 00 00 00 04"));
    EXPECT_EQ(status.type, msg::status);
    EXPECT_EQ(status.seq, 1);
    EXPECT_EQ(status.u32(attr_id::status), 4u);

    // An INVOKE as the broker delivers it to the owner: caller in peer, USER and GROUP added.
    frame inv = parsed(hex("00 05 00 02 4f c5 28 6b 00 00 00 44 03 00 00 08 35 3e ca 54 04 00 00 09"
                           "65 63 68 6f 00 00 00 00 0c 00 00 09 72 6f 6f 74 00 00 00 00 0d 00 00 09"
                           "72 6f 6f 74 00 00 00 00 07 00 00 14 83 00 00 0f 00 04 74 65 78 74 00 00"
                           "68 69 00 00"));
    EXPECT_EQ(inv.type, msg::invoke);
    EXPECT_EQ(inv.seq, 2);
    EXPECT_EQ(inv.peer, caller);
    EXPECT_EQ(inv.u32(attr_id::objid), demo_obj);
    EXPECT_EQ(inv.str(attr_id::method), "echo");
    EXPECT_EQ(inv.str(attr_id::user), "root");
    EXPECT_EQ(inv.str(attr_id::group), "root");
    args a = parse_args(*inv.blob(attr_id::data), {{"text", type::string}});
    ASSERT_TRUE(a[0]);
    EXPECT_EQ(a[0]->s, "hi");
}

TEST(UbusCodec, DecodesEveryType)
{
    frame f = parsed(hex(every_type_frame));
    table t;
    ASSERT_TRUE(decode(*f.blob(attr_id::data), t));
    ASSERT_EQ(t.size(), 9u);
    EXPECT_EQ(find(t, "b")->t, type::int8);
    EXPECT_EQ(find(t, "b")->i, 1);
    EXPECT_EQ(find(t, "i16")->i, -2);
    EXPECT_EQ(find(t, "i32")->i, -3);
    EXPECT_EQ(find(t, "i64")->i, 5000000000);
    EXPECT_EQ(find(t, "dbl")->d, 1.5);
    EXPECT_EQ(find(t, "s")->s, "x");
    EXPECT_EQ(find(t, "nul")->t, type::unspec);
    const value* arr = find(t, "arr");
    ASSERT_EQ(arr->items.size(), 2u);
    EXPECT_EQ(arr->items[0].val.i, 1);
    EXPECT_EQ(arr->items[1].val.s, "two");
    const value* tbl = find(t, "tbl");
    ASSERT_EQ(tbl->items.size(), 1u);
    EXPECT_EQ(tbl->items[0].name, "k");
    EXPECT_EQ(tbl->items[0].val.i, 0);
    // Encoding what was decoded gives the same bytes back.
    EXPECT_EQ(encode(t), bytes(f.blob(attr_id::data)->begin(), f.blob(attr_id::data)->end()));
}

// Name header sizes: roundup4(2 + namelen + 1).
TEST(UbusCodec, NameHeaderPadding)
{
    const std::pair<std::size_t, std::size_t> cases[] = {{0, 4}, {1, 4}, {2, 8}, {3, 8}, {4, 8}, {5, 8}, {6, 12}};
    for (auto [namelen, h] : cases) {
        bytes b;
        put_element(b, std::string(namelen, 'n'), value::null());
        EXPECT_EQ(b.size(), 4 + h) << namelen;
        EXPECT_EQ(get_be32(b.data()) & 0xFFFFFF, 4 + h) << namelen;
    }
}

TEST(UbusCodec, RefusesMalformedElements)
{
    struct {
        const char* what;
        const char* list;
    } cases[] = {
        {"no extended flag", "05 00 00 0c 00 01 61 00 00 00 00 05"},
        {"type above 8", "89 00 00 0c 00 01 61 00 00 00 00 05"},
        {"name longer than element", "85 00 00 0c 00 09 61 00 00 00 00 05"},
        {"name without NUL", "85 00 00 0c 00 01 61 62 00 00 00 05"},
        {"empty name in a table", "85 00 00 0c 00 00 00 00 00 00 00 05"},
        {"int32 of 3 bytes", "85 00 00 0b 00 01 61 00 00 00 05 00"},
        {"int8 of 2 bytes", "87 00 00 0a 00 01 61 00 01 01 00 00"},
        {"int64 of 4 bytes", "84 00 00 0c 00 01 61 00 00 00 00 05"},
        {"double of 4 bytes", "88 00 00 0c 00 01 61 00 00 00 00 05"},
        {"string without NUL", "83 00 00 0a 00 01 73 00 78 79 00 00"},
        {"empty string value", "83 00 00 08 00 01 73 00"},
        {"length beyond the list", "85 00 00 40 00 01 61 00 00 00 00 05"},
        {"length below the header", "85 00 00 02 00 01 61 00"},
        {"padding beyond the list", "83 00 00 0f 00 04 74 65 78 74 00 00 68 69 00"},
        {"truncated header", "85 00 00"},
        {"child beyond its table", "82 00 00 10 00 01 74 00 85 00 00 0c 00 01 61 00 00 00 00 05"},
    };
    for (const auto& c : cases) {
        table t;
        EXPECT_FALSE(decode(hex(c.list), t)) << c.what;
    }
}

TEST(UbusCodec, RefusesNestingBeyondTheLimit)
{
    value v = value::i32(1);
    for (int k = 0; k < max_depth + 1; ++k) v = value::array({v});
    table t;
    EXPECT_FALSE(decode(encode({{"deep", v}}), t));
    value ok = value::i32(1);
    for (int k = 0; k < max_depth - 1; ++k) ok = value::array({ok});
    EXPECT_TRUE(decode(encode({{"deep", ok}}), t));
}

// Argument policies read arguments exactly as libubus does.
TEST(UbusCodec, PolicyRules)
{
    std::vector<policy> pol = {{"a", type::int32}, {"s", type::string}, {"any", type::unspec}};
    struct {
        const char* what;
        table body;
        bool a, s, any;
        std::int64_t a_value;
    } cases[] = {
        {"all present", {{"a", value::i32(7)}, {"s", value::str("x")}, {"any", value::dbl(1)}}, true, true, true, 7},
        {"int64 for an int32 slot is missing", {{"a", value::i64(7)}, {"s", value::str("x")}}, false, true, false, 0},
        {"string for an int32 slot is missing", {{"a", value::str("7")}}, false, false, false, 0},
        {"first match wins", {{"a", value::i32(1)}, {"a", value::i32(2)}}, true, false, false, 1},
        {"a mistyped first leaves room for a later match", {{"a", value::str("1")}, {"a", value::i32(2)}}, true, false, false, 2},
        {"unspec takes any type", {{"any", value::table({})}}, false, false, true, 0},
        {"names match exactly", {{"A", value::i32(1)}, {"aa", value::i32(1)}}, false, false, false, 0},
    };
    for (const auto& c : cases) {
        args a = parse_args(encode(c.body), pol);
        EXPECT_EQ(bool(a[0]), c.a) << c.what;
        EXPECT_EQ(bool(a[1]), c.s) << c.what;
        EXPECT_EQ(bool(a[2]), c.any) << c.what;
        if (c.a && a[0]) {
            EXPECT_EQ(a[0]->i, c.a_value) << c.what;
        }
    }
    // A malformed element ends the walk; what came before it stays.
    bytes list = encode({{"a", value::i32(3)}});
    bytes bad = hex("83 00 00 0a 00 01 73 00 78 79 00 00");
    list.insert(list.end(), bad.begin(), bad.end());
    args a = parse_args(list, pol);
    EXPECT_TRUE(a[0]);
    EXPECT_FALSE(a[1]);
    // A string argument whose DATA length leaves out its padding reads as absent.
    a = parse_args(hex("83 00 00 0f 00 04 74 65 78 74 00 00 68 69 00"), {{"text", type::string}});
    EXPECT_FALSE(a[0]);
}

TEST(UbusCodec, FrameReaderReassemblesAndRefuses)
{
    bytes two = hex("00 03 00 01 00 00 00 00 00 00 00 04 00 04 00 01 00 00 00 00 00 00 00 10"
                    "02 00 00 0c 67 77 2e 64 65 6d 6f 00");
    // Byte by byte: two frames come out whole.
    frame_reader r;
    std::vector<bytes> got;
    bytes out;
    for (auto b : two) {
        r.feed(&b, 1);
        while (r.next(out) == frame_reader::frame_ready) got.push_back(out);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), 12u);
    EXPECT_EQ(got[1].size(), 24u);

    const char* bad[] = {
        "00 03 00 01 00 00 00 00 00 00 00 03",  // blob shorter than its header
        "00 03 00 01 00 00 00 00 00 10 00 04",  // more than 1 MiB
    };
    for (const char* b : bad) {
        frame_reader br;
        bytes f = hex(b);
        br.feed(f.data(), f.size());
        EXPECT_EQ(br.next(out), frame_reader::bad) << b;
    }
    frame f;
    EXPECT_FALSE(parse_frame(hex("00 03 00 01 00 00 00 00 00 00 00 08 01 00"), f));
}

TEST(UbusCodec, AttributeRules)
{
    // Wrong sizes read as absent, unknown ids are ignored, the last duplicate wins.
    frame f = parsed(hex("00 01 00 01 00 00 00 00 00 00 00 2c"
                         "01 00 00 07 00 00 01 00"        // STATUS of 3 bytes
                         "03 00 00 08 00 00 00 01"        // OBJID 1
                         "03 00 00 08 00 00 00 02"        // OBJID 2
                         "7f 00 00 08 00 00 00 09"        // id 127
                         "02 00 00 08 61 62 63 64"));     // path without NUL
    EXPECT_FALSE(f.u32(attr_id::status));
    EXPECT_EQ(f.u32(attr_id::objid), 2u);
    EXPECT_FALSE(f.str(attr_id::objpath));
}
