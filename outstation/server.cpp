#include "outstation/server.h"

#include <cstdio>

#include "core/clock.h"
#include "core/address_range.h"
#include "outstation/clock_sync.h"
#include "outstation/comm_log.h"
#include "outstation/commands.h"
#include "outstation/reporting.h"
#include "outstation/slots.h"

namespace outstation {

namespace {

constexpr int max_open_connections = 5;
constexpr size_t max_log_text = 255;

const config::config* station_config = nullptr;
iec104::ServerPtr server;

iec104::ServerConfig server_config(const config::iec104_slave& s) {
    iec104::ServerConfig c;
    c.local_address = "0.0.0.0";
    c.port = uint16_t(s.port);
    c.max_connections = max_open_connections;
    c.app.size_of_cot = s.sizeof_cot;
    c.app.originator_address = s.oa;
    c.app.size_of_ca = s.sizeof_ca;
    c.app.size_of_ioa = s.sizeof_ioa;
    c.app.max_size_of_asdu = s.max_asdu_length;
    c.apci.k = s.k;
    c.apci.w = s.w;
    c.apci.t0 = s.t0;
    c.apci.t1 = s.t1;
    c.apci.t2 = s.t2;
    c.apci.t3 = s.t3;
    return c;
}

const char* event_word(iec104::ConnectionEvent e) {
    switch (e) {
    case iec104::ConnectionEvent::opened: return "Connection opened";
    case iec104::ConnectionEvent::closed: return "Connection closed";
    case iec104::ConnectionEvent::activated: return "Connection activated";
    case iec104::ConnectionEvent::deactivated: return "Connection deactivated";
    }
    return nullptr;
}

// The modem is asked and the entry written by the log writer, so that the
// connection goes on at once.
void post_comm_event(std::string text, bool with_modem) {
    const int64_t now_s = core::wall_clock.now_ms() / 1000;
    if (text.size() > max_log_text) text.resize(max_log_text);
    const int32_t offset = station_config ? station_config->settings.asdu_time_offset : 0;
    comm_logger_post(now_s + 60 * int64_t(offset), std::move(text), with_modem);
}

}  // namespace

bool connection_request_handler(const std::string& peer) {
    if (station_config && station_config->derived.allowed_masters &&
        !core::ipv4_allowed(*station_config->derived.allowed_masters, peer)) {
        std::printf("Connection refused from %s\n", peer.c_str());
        post_comm_event("Connection refused with " + peer, false);
        return false;
    }
    std::printf("New connection request from %s\n", peer.c_str());
    return true;
}

void connection_event_handler(const iec104::ConnectionPtr& c, iec104::ConnectionEvent event) {
    const char* word = event_word(event);
    if (!word) return;
    post_comm_event(std::string(word) + " with " + iec104::peer_endpoint(*c), true);

    std::printf("%s (%p)\n", word, iec104::identity(*c));
    if (event == iec104::ConnectionEvent::opened) slot_take(connection_slots, c, stdout);
    if (event == iec104::ConnectionEvent::closed) slot_release(connection_slots, *c, stdout);
}

bool server_setup(const config::config& cfg) {
    station_config = &cfg;
    const config::iec104_slave& s = cfg.settings;
    const iec104::ServerConfig sc = server_config(s);
    reporting_configure(sc.app, uint16_t(s.ca));
    commands_configure(cfg);
    if (s.port < 0 || s.port > 65535) {
        std::fprintf(stderr, "server_setup: port %d out of range\n", s.port);
        return false;
    }
    comm_logger_start(s.ubus_socket);

    iec104::ServerHandlers h;
    h.clock_sync = [&cfg](const iec104::ConnectionPtr&, iec104::Asdu&, iec104::Cp56Time2a& time) {
        return clock_sync_handler(cfg.settings.clocksync_time_offset, time);
    };
    h.interrogation = interrogation_handler;
    h.asdu = asdu_handler;
    h.connection_request = connection_request_handler;
    h.connection_event = connection_event_handler;
    server = iec104::server_create(sc, std::move(h));
    if (!iec104::server_start(*server)) {
        std::fprintf(stderr, "server_setup: port %d: %s\n", s.port, iec104::server_error(*server).c_str());
        return false;
    }
    // Host runs and tests ask for any free port; they learn which from here.
    if (s.port == 0) std::printf("IEC 60870-5-104 server listening on port %u\n", unsigned(iec104::server_port(*server)));
    return true;
}

bool server_is_running() { return server && iec104::server_running(*server); }

uint16_t server_bound_port() { return server_is_running() ? iec104::server_port(*server) : 0; }

std::vector<iec104::ConnectionPtr> server_connections() {
    if (!server_is_running()) return {};
    return iec104::server_connections(*server);
}

void server_stop() {
    if (server) iec104::server_stop(*server);
}

void server_destroy() {
    server.reset();
    comm_logger_stop();
}

}  // namespace outstation
