// An object served by lib/ubus on ubusd-lite, listed and called by ubus-call
// and by other clients.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "lib/ubus/client.h"
#include "tests/ubus/support.h"

using namespace ubus;
using test_support::bin;
using test_support::run;
using test_support::wait_until;

namespace {

std::vector<method> demo_methods()
{
    return {
        {"echo", {{"text", type::string}},
         [](request& req, const args& a) {
             if (!a[0]) return status::invalid_argument;
             reply(req, {{"text", *a[0]}, {"len", value::i32(std::int32_t(a[0]->s.size()))}});
             return status::ok;
         }},
        {"add", {{"a", type::int32}, {"b", type::int32}},
         [](request& req, const args& a) {
             if (!a[0] || !a[1]) return status::invalid_argument;
             reply(req, {{"sum", value::i32(std::int32_t(a[0]->i + a[1]->i))}});
             return status::ok;
         }},
        {"fail", {}, [](request&, const args&) { return status::unknown_error; }},
        // Tells which slots the arguments filled.
        {"misc", {{"n", type::int64}, {"on", boolean}, {"list", type::array}, {"opts", type::table}, {"x", type::int16}, {"d", type::dbl}},
         [](request& req, const args& a) {
             const char* names[] = {"n", "on", "list", "opts", "x", "d"};
             table t;
             for (std::size_t k = 0; k < a.size(); ++k) t.push_back({names[k], value::boolean(bool(a[k]))});
             reply(req, t);
             return status::ok;
         }},
        {"types", {},
         [](request& req, const args&) {
             reply(req, {{"b", value::boolean(true)}, {"i16", value::i16(-2)}, {"i32", value::i32(-3)},
                         {"i64", value::i64(5000000000)}, {"dbl", value::dbl(1.5)}, {"s", value::str("a\"b\\\n\x01")},
                         {"nul", value::null()}, {"arr", value::array({value::i32(1), value::str("two")})},
                         {"tbl", value::table({{"k", value::boolean(false)}})}, {"empty", value::table({})}});
             return status::ok;
         }},
        // A reply above the message limit is refused, the connection stays.
        {"huge", {},
         [](request& req, const args&) {
             return reply(req, {{"s", value::str(std::string(2 * 1024 * 1024, 'x'))}}) ? status::ok
                                                                                        : status::no_memory;
         }},
        {"twice", {},
         [](request& req, const args&) {
             reply(req, {{"n", value::i32(1)}});
             reply(req, {});
             return status::ok;
         }},
    };
}

// A server connection on the fixture's broker, its loop on a thread.
struct server {
    std::unique_ptr<connection> conn;
    std::thread loop;
    explicit server(const std::string& sock) : conn(ubus::connect(sock)) {}
    void start() { loop = std::thread([this] { run(*conn); }); }
    ~server()
    {
        if (loop.joinable()) {
            stop(*conn);
            loop.join();
        }
    }
};

struct ServiceTest : ubus_test::broker_fixture {
    std::unique_ptr<server> srv;
    std::uint32_t demo_id = 0;

    void SetUp() override
    {
        broker_fixture::SetUp();
        srv = std::make_unique<server>(sock);
        ASSERT_TRUE(srv->conn);
        ASSERT_EQ(add_object(*srv->conn, {"test.demo", "demo", demo_methods()}, &demo_id), status::ok);
        srv->start();
    }
    void TearDown() override
    {
        srv.reset();
        broker_fixture::TearDown();
    }

    test_support::run_result cli(std::vector<std::string> a)
    {
        a.insert(a.begin(), {bin("ubus-call"), "-s", sock});
        return run(a);
    }
};

}  // namespace

TEST_F(ServiceTest, ListShowsObjectsWithSignatures)
{
    char id[16];
    std::snprintf(id, sizeof id, "%08x", demo_id);
    auto r = cli({"list", "-v"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, std::string("'test.demo' @") + id +
                         "\n"
                         "\t\"echo\":{\"text\":\"String\"}\n"
                         "\t\"add\":{\"a\":\"Integer\",\"b\":\"Integer\"}\n"
                         "\t\"fail\":{}\n"
                         "\t\"misc\":{\"n\":\"(unknown)\",\"on\":\"Boolean\",\"list\":\"Array\",\"opts\":\"Table\","
                         "\"x\":\"(unknown)\",\"d\":\"(unknown)\"}\n"
                         "\t\"types\":{}\n"
                         "\t\"huge\":{}\n"
                         "\t\"twice\":{}\n");

    // A second object of the same type reuses the type and is listed with it.
    ASSERT_EQ(add_object(*srv->conn, {"test.again", "demo", demo_methods()}), status::ok);
    r = cli({"list"});
    EXPECT_EQ(r.out, "test.again\ntest.demo\n");
    r = cli({"-v", "list", "test.again"});
    EXPECT_NE(r.out.find("\t\"echo\":{\"text\":\"String\"}\n"), std::string::npos) << r.out;
    r = cli({"list", "test.*"});
    EXPECT_EQ(r.out, "test.again\ntest.demo\n");

    r = cli({"list", "nosuch"});
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(r.err, "Command failed: Not found\n");
}

TEST_F(ServiceTest, CallPrintsRepliesAsJson)
{
    struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"call", "test.demo", "echo", "{\"text\":\"hi\"}"}, "{\n\t\"text\": \"hi\",\n\t\"len\": 2\n}\n"},
        {{"-S", "call", "test.demo", "echo", "{\"text\":\"hi\"}"}, "{\"text\":\"hi\",\"len\":2}\n"},
        {{"call", "test.demo", "add", "{\"a\":-5,\"b\":7}"}, "{\n\t\"sum\": 2\n}\n"},
        {{"call", "test.demo", "twice"}, "{\n\t\"n\": 1\n}\n{\n\t\n}\n"},
        {{"call", "test.demo", "types"},
         "{\n\t\"b\": true,\n\t\"i16\": -2,\n\t\"i32\": -3,\n\t\"i64\": 5000000000,\n\t\"dbl\": 1.500000,\n"
         "\t\"s\": \"a\\\"b\\\\\\n\\u0001\",\n\t\"nul\": null,\n\t\"arr\": [\n\t\t1,\n\t\t\"two\"\n\t],\n"
         "\t\"tbl\": {\n\t\t\"k\": false\n\t},\n\t\"empty\": {\n\t\t\n\t}\n}\n"},
        // JSON to blobmsg: int32 in range, int64 beyond, double with a point, bool from true.
        {{"-S", "call", "test.demo", "misc", "{\"n\":5}"},
         "{\"n\":false,\"on\":false,\"list\":false,\"opts\":false,\"x\":false,\"d\":false}\n"},
        {{"-S", "call", "test.demo", "misc", "{\"n\":5000000000,\"on\":true,\"list\":[1],\"opts\":{\"a\":null},\"x\":1,\"d\":1.0}"},
         "{\"n\":true,\"on\":true,\"list\":true,\"opts\":true,\"x\":false,\"d\":true}\n"},
        {{"-S", "call", "test.demo", "misc", "{\"on\":1,\"d\":2}"},
         "{\"n\":false,\"on\":false,\"list\":false,\"opts\":false,\"x\":false,\"d\":false}\n"},
    };
    for (const auto& c : cases) {
        auto r = cli(c.args);
        EXPECT_EQ(r.code, 0) << c.args.back() << r.err;
        EXPECT_EQ(r.out, c.out) << c.args.back();
    }
}

// Failures as scripts see them: the command line echoed, exit code 256 - status.
TEST_F(ServiceTest, CallReportsFailures)
{
    struct {
        std::vector<std::string> args;
        int code;
        std::string first_line;
    } cases[] = {
        {{"call", "test.demo", "add", "{\"a\":1}"}, 254,
         "Command failed: ubus call test.demo add {\"a\":1} (Invalid argument)"},
        {{"call", "test.demo", "add", "{\"a\":2147483648,\"b\":1}"}, 254,
         "Command failed: ubus call test.demo add {\"a\":2147483648,\"b\":1} (Invalid argument)"},
        {{"call", "test.demo", "add", "{\"a\":\"1\",\"b\":1}"}, 254,
         "Command failed: ubus call test.demo add {\"a\":\"1\",\"b\":1} (Invalid argument)"},
        {{"call", "test.demo", "nosuch"}, 253, "Command failed: ubus call test.demo nosuch (Method not found)"},
        {{"call", "test.demo", "fail"}, 247, "Command failed: ubus call test.demo fail (Unknown error)"},
        {{"call", "test.nope", "echo"}, 4, "Command failed: Not found"},
        // Any failed lookup is reported that way: an empty path is refused with 2.
        {{"call", "", "echo"}, 2, "Command failed: Invalid argument"},
        {{"call", "test.demo", "echo", "{bad"}, 244,
         "Command failed: ubus call test.demo echo {bad (Parsing message data failed)"},
        {{"call", "test.demo", "echo", "[1]"}, 244,
         "Command failed: ubus call test.demo echo [1] (Parsing message data failed)"},
        {{"-S", "call", "test.demo", "nosuch"}, 3, ""},
    };
    for (const auto& c : cases) {
        auto r = cli(c.args);
        EXPECT_EQ(r.code, c.code) << c.first_line;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.first_line);
        EXPECT_EQ(r.out, "");
        // Status 2 also prints the usage text, as the ubus command line does.
        EXPECT_EQ(r.err.find("Usage:") != std::string::npos, c.code == 254) << c.first_line;
    }
    auto r = run({bin("ubus-call"), "-s", dir / "none.sock", "list"});
    EXPECT_EQ(r.code, 255);
    EXPECT_EQ(r.err, "Failed to connect to ubus\n");
}

// Library callers get the same statuses.
TEST_F(ServiceTest, LibraryCallStatuses)
{
    auto c = ubus::connect(sock);
    ASSERT_TRUE(c);
    struct {
        const char* object;
        const char* method;
        table args;
        int status;
    } cases[] = {
        {"test.demo", "add", {{"a", value::i32(1)}, {"b", value::i32(2)}}, status::ok},
        {"test.demo", "add", {{"a", value::i32(1)}, {"b", value::i64(2)}}, status::invalid_argument},
        {"test.demo", "nosuch", {}, status::method_not_found},
        {"test.nope", "add", {}, status::not_found},
        {"test.demo", "fail", {}, status::unknown_error},
    };
    for (const auto& k : cases) {
        result r = call(*c, k.object, k.method, k.args, 5000);
        EXPECT_EQ(r.status, k.status) << k.object << " " << k.method;
    }
    result r = call(*c, "test.demo", "add", {{"a", value::i32(40)}, {"b", value::i32(2)}}, 5000);
    ASSERT_EQ(r.data.size(), 1u);
    EXPECT_EQ(find(r.data[0], "sum")->i, 42);
    EXPECT_EQ(ping(*c), status::ok);
    EXPECT_EQ(add_object(*c, {"test.demo", "other", {}}), status::invalid_argument);

    // Messages above 1 MiB are refused on both sides without losing a connection.
    EXPECT_EQ(call(*c, "test.demo", "huge", {}, 5000).status, status::no_memory);
    table big = {{"text", value::str(std::string(2 * 1024 * 1024, 'x'))}};
    EXPECT_EQ(call(*c, "test.demo", "echo", big, 5000).status, status::invalid_argument);
    EXPECT_EQ(call(*c, "test.demo", "echo", {{"text", value::str("ok")}}, 5000).status, status::ok);
}

// A call whose object never answers ends with a time-out on the caller's
// side, and the caller serves its own object all along.
TEST_F(ServiceTest, CallerTimesOutWhileServing)
{
    // The silent owner: registered, but nobody ever reads its socket.
    auto silent = ubus::connect(sock);
    ASSERT_TRUE(silent);
    ASSERT_EQ(add_object(*silent, {"test.silent", "silent", {{"hang", {}, nullptr}}}), status::ok);

    constexpr int relay_timeout_ms = 3000;
    std::atomic<bool> relaying{false};
    std::atomic<bool> served_while_relaying{false};
    std::atomic<int> relay_status{-1};
    std::atomic<long long> relay_ms{0};
    std::vector<method> methods = {
        {"relay", {},
         [&](request& req, const args&) {
             relaying = true;
             auto t0 = std::chrono::steady_clock::now();
             result r = call(req.conn, "test.silent", "hang", {}, relay_timeout_ms);
             relay_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
             relay_status = r.status;
             relaying = false;
             return r.status;
         }},
        {"hello", {},
         [&](request&, const args&) {
             if (relaying) served_while_relaying = true;
             return status::ok;
         }},
    };
    server caller(sock);
    ASSERT_EQ(add_object(*caller.conn, {"test.caller", "caller", methods}), status::ok);
    caller.start();

    auto relay = std::async(std::launch::async, [&] {
        auto c = ubus::connect(sock);
        return call(*c, "test.caller", "relay", {}, 20000).status;
    });
    ASSERT_TRUE(wait_until([&] { return relaying.load(); }));
    auto r = cli({"call", "test.caller", "hello"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(served_while_relaying);

    EXPECT_EQ(relay.get(), status::timeout);
    EXPECT_EQ(relay_status, status::timeout);
    EXPECT_GE(relay_ms, relay_timeout_ms);
    EXPECT_LT(relay_ms, relay_timeout_ms + 5000);

    // The caller goes on serving after the time-out.
    r = cli({"call", "test.caller", "hello"});
    EXPECT_EQ(r.code, 0) << r.err;

    // The command line gives up after -t seconds as well.
    r = cli({"-t", "1", "call", "test.silent", "hang"});
    EXPECT_EQ(r.code, 249);
    EXPECT_EQ(r.err, "Command failed: ubus call test.silent hang (Request timed out)\n");

    // Data that came before the time-out is printed before the failure.
    std::atomic<bool> cli_done{false};
    server partial(sock);
    ASSERT_EQ(add_object(*partial.conn, {"test.partial", "partial", {{"half", {}, [&](request& req, const args&) {
                                             reply(req, {{"n", value::i32(1)}});
                                             wait_until([&] { return cli_done.load(); });
                                             return status::ok;
                                         }}}}),
              status::ok);
    partial.start();
    r = cli({"-t", "1", "call", "test.partial", "half"});
    cli_done = true;
    EXPECT_EQ(r.code, 249);
    EXPECT_EQ(r.out, "{\n\t\"n\": 1\n}\n");
    EXPECT_EQ(r.err, "Command failed: ubus call test.partial half (Request timed out)\n");
}

// Objects go when their client does; `stop` ends the loop from another thread.
TEST_F(ServiceTest, ObjectsLeaveWithTheirClient)
{
    EXPECT_EQ(cli({"list", "test.demo"}).code, 0);
    srv.reset();
    EXPECT_TRUE(wait_until([&] { return cli({"list", "test.demo"}).code == 4; }));
}

// When the last object of a type goes, the broker frees the type: the next
// object of that type is registered with its signature again and is listed.
TEST_F(ServiceTest, TypeFreedByRemovalIsRegisteredAgain)
{
    auto c = ubus::connect(sock);
    ASSERT_TRUE(c);
    std::vector<method> methods = {{"get", {{"n", type::int32}}, nullptr}};
    std::uint32_t id = 0;
    ASSERT_EQ(add_object(*c, {"test.first", "kind", methods}, &id), status::ok);
    ASSERT_EQ(remove_object(*c, id), status::ok);
    ASSERT_EQ(add_object(*c, {"test.second", "kind", methods}), status::ok);
    auto r = cli({"-v", "list", "test.second"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\t\"get\":{\"n\":\"Integer\"}\n"), std::string::npos) << r.out;
}

TEST_F(ServiceTest, StopBeforeRunReturnsAtOnce)
{
    auto c = ubus::connect(sock);
    ASSERT_TRUE(c);
    stop(*c);
    EXPECT_EQ(run(*c), 0);
}
