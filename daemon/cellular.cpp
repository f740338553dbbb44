#include "daemon/cellular.h"

#include <strings.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "lib/ubus/client.h"

namespace fpigate {

bool cellular_parse_reply(const ubus::table& reply, cellular_reading& out) {
    out = {};
    const ubus::value* message = ubus::find(reply, "message");
    if (!message || message->t != ubus::type::string) return false;
    const nlohmann::json j = nlohmann::json::parse(message->s, nullptr, false);
    if (!j.is_array() || j.empty() || !j[0].is_object()) return false;
    const nlohmann::json& status = j[0];
    if (auto it = status.find("rssi"); it != status.end() && it->is_number()) {
        const double rssi = it->get<double>();
        if (std::isfinite(rssi) && rssi > double(std::numeric_limits<int32_t>::min()) - 1 &&
            rssi < double(std::numeric_limits<int32_t>::max()) + 1)
            out.rssi = int32_t(rssi);
    }
    if (auto it = status.find("data_connectivity"); it != status.end() && it->is_string())
        out.data_connectivity = strcasecmp(it->get_ref<const std::string&>().c_str(), "connected") == 0;
    return true;
}

bool cellular_status(const std::string& socket_path, cellular_reading& out) {
    out = {};
    std::unique_ptr<ubus::connection> c = ubus::connect(socket_path);
    if (!c) return false;
    uint32_t id = 0;
    if (ubus::lookup_id(*c, "cellular", id, cellular_timeout_ms) != ubus::status::ok) return false;
    ubus::result r = ubus::invoke(*c, id, "status", {}, cellular_timeout_ms);
    if (r.status != ubus::status::ok || r.data.empty()) return false;
    return cellular_parse_reply(r.data.front(), out);
}

}  // namespace fpigate
