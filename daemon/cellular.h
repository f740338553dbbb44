// The cellular modem's signal strength and data connection state, asked from
// the "cellular" ubus object of another program on the gateway.
#pragma once

#include <cstdint>
#include <string>

#include "lib/ubus/blobmsg.h"

namespace fpigate {

constexpr int cellular_timeout_ms = 3000;

struct cellular_reading {
    int32_t rssi = 0;
    uint8_t data_connectivity = 0;  // 1 when "connected"
};

// Reads a "status" reply: its string field "message" must hold a JSON array
// whose first element is an object; "rssi" (a number, cut toward zero) and
// "data_connectivity" (a string, "connected" in any case) come from there.
// False for any other reply; `out` is then 0/0.
bool cellular_parse_reply(const ubus::table& reply, cellular_reading& out);

// Connects to the broker on `socket_path`, calls cellular.status with an empty
// request (3000 ms) and disconnects. False (0/0) when the broker, the object
// or a well-formed answer is missing.
bool cellular_status(const std::string& socket_path, cellular_reading& out);

}  // namespace fpigate
