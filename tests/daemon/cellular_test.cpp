// Reading the cellular modem's status reply.
#include <gtest/gtest.h>

#include "daemon/cellular.h"

namespace {

ubus::table message(std::string text) { return {{"message", ubus::value::str(std::move(text))}}; }

TEST(CellularReply, WhatCountsAsFoundAndWhatIsRead) {
    struct reply_case {
        const char* name;
        ubus::table reply;
        bool found;
        int32_t rssi;
        uint8_t connected;
    };
    const reply_case cases[] = {
        {"the usual answer", message(R"([{"rssi": -71, "data_connectivity": "connected"}])"), true, -71, 1},
        {"case of connected", message(R"([{"rssi": -60.9, "data_connectivity": "CONNECTED"}])"), true, -60, 1},
        {"disconnected", message(R"([{"rssi": 12, "data_connectivity": "disconnected"}])"), true, 12, 0},
        {"fields of other types", message(R"([{"rssi": "-70", "data_connectivity": true}])"), true, 0, 0},
        {"fields missing", message(R"([{}, {"rssi": 5}])"), true, 0, 0},
        {"only the first element counts", message(R"([{"rssi": 1}, {"rssi": 2}])"), true, 1, 0},
        {"rssi beyond 32 bits", message(R"([{"rssi": 1e30}])"), true, 0, 0},
        {"an object, not an array", message(R"({"rssi": -71, "data_connectivity": "connected"})"), false, 0, 0},
        {"an empty array", message("[]"), false, 0, 0},
        {"first element not an object", message(R"([5, {"rssi": -71}])"), false, 0, 0},
        {"not JSON", message("rssi=-71"), false, 0, 0},
        {"message not a string", {{"message", ubus::value::i32(3)}}, false, 0, 0},
        {"no message", {{"rssi", ubus::value::i32(-71)}}, false, 0, 0},
    };
    for (const reply_case& c : cases) {
        fpigate::cellular_reading r{99, 9};
        EXPECT_EQ(fpigate::cellular_parse_reply(c.reply, r), c.found) << c.name;
        EXPECT_EQ(r.rssi, c.rssi) << c.name;
        EXPECT_EQ(r.data_connectivity, c.connected) << c.name;
    }
}

TEST(CellularStatus, NoBrokerGivesZeros) {
    fpigate::cellular_reading r{99, 9};
    EXPECT_FALSE(fpigate::cellular_status("/nonexistent/ubus.sock", r));
    EXPECT_EQ(r.rssi, 0);
    EXPECT_EQ(r.data_connectivity, 0);
}

}  // namespace
