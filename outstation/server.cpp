#include "outstation/server.h"

#include <cstdio>

#include "core/clock.h"
#include "core/address_range.h"
#include "outstation/clock_sync.h"
#include "outstation/commands.h"
#include "outstation/reporting.h"
#include "outstation/station.h"

namespace outstation {

namespace {

constexpr int max_open_connections = 5;
constexpr size_t max_log_text = 255;

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

// The sink hands the entry on (the modem is asked and the entry written
// elsewhere), so that the connection goes on at once.
void post_comm_event(station& st, std::string text, bool with_modem) {
    if (!st.connection_events) return;
    const int64_t now_s = core::wall_clock.now_ms() / 1000;
    if (text.size() > max_log_text) text.resize(max_log_text);
    const int32_t offset = st.station_config ? st.station_config->settings.asdu_time_offset : 0;
    st.connection_events(now_s + 60 * int64_t(offset), std::move(text), with_modem);
}

// M_EI_NA_1 (local power on) to the first master of each slot that starts
// data transfer after start-up. Queued on its activation, before anything
// it asks for and ahead of the monitoring data waiting for it.
void send_end_of_init(station& st, const iec104::ConnectionPtr& c) {
    const int slot = slot_claim_end_of_init(st.connection_slots, *c);
    if (slot < 0) return;
    iec104::Asdu ei = iec104::make_asdu(st.settings.app, iec104::M_EI_NA_1, false, iec104::COT_INITIALIZED, st.settings.ca);
    iec104::add_object(ei, st.settings.app, iec104::InformationObject{.ioa = 0, .value = 0});
    iec104::send_asdu(*c, ei);
    std::printf("End of initialisation sent to connection id %p of slot %d\n", iec104::identity(*c), slot);
}

}  // namespace

bool connection_request_handler(station& st, const std::string& peer) {
    const config::config* station_config = st.station_config;
    if (station_config && station_config->derived.allowed_masters &&
        !core::ipv4_allowed(*station_config->derived.allowed_masters, peer)) {
        std::printf("Connection refused from %s\n", peer.c_str());
        post_comm_event(st, "Connection refused with " + peer, false);
        return false;
    }
    std::printf("New connection request from %s\n", peer.c_str());
    return true;
}

void connection_event_handler(station& st, const iec104::ConnectionPtr& c, iec104::ConnectionEvent event) {
    const char* word = event_word(event);
    if (!word) return;
    post_comm_event(st, std::string(word) + " with " + iec104::peer_endpoint(*c), true);

    std::printf("%s (%p)\n", word, iec104::identity(*c));
    if (event == iec104::ConnectionEvent::opened) slot_take(st.connection_slots, c, stdout);
    if (event == iec104::ConnectionEvent::closed) slot_release(st.connection_slots, *c, stdout);
    if (event == iec104::ConnectionEvent::activated && st.station_config && st.station_config->settings.end_of_init)
        send_end_of_init(st, c);
}

bool server_setup(station& st, const config::config& cfg) {
    st.station_config = &cfg;
    const config::iec104_slave& s = cfg.settings;
    const iec104::ServerConfig sc = server_config(s);
    reporting_configure(st, sc.app, uint16_t(s.ca));
    st.settings.asdu_packing = s.asdu_packing != 0;
    if (s.port < 0 || s.port > 65535) {
        std::fprintf(stderr, "server_setup: port %d out of range\n", s.port);
        return false;
    }

    iec104::ServerHandlers h;
    // Only ASDUs to the station's common address are taken; interrogation
    // and clock synchronisation also to the broadcast address, and their
    // answers then carry the station's own.
    h.common_address = [&st](const iec104::ConnectionPtr&, uint16_t ca) { return ca == st.settings.ca; };
    h.clock_sync = [&st, &cfg](const iec104::ConnectionPtr&, iec104::Asdu& asdu, iec104::Cp56Time2a& time) {
        asdu.ca = st.settings.ca;
        return clock_sync_handler(cfg.settings.clocksync_time_offset, time);
    };
    h.interrogation = [&st](const iec104::ConnectionPtr& c, iec104::Asdu& asdu, uint8_t qoi) {
        asdu.ca = st.settings.ca;
        return interrogation_handler(st, c, asdu, qoi);
    };
    h.asdu = [&st](const iec104::ConnectionPtr& c, iec104::Asdu& asdu) { return asdu_handler(st, c, asdu); };
    h.read = [&st](const iec104::ConnectionPtr& c, iec104::Asdu& asdu, uint32_t ioa) {
        return read_handler(st, c, asdu, ioa);
    };
    h.connection_request = [&st](const std::string& peer) { return connection_request_handler(st, peer); };
    h.connection_event = [&st](const iec104::ConnectionPtr& c, iec104::ConnectionEvent event) {
        connection_event_handler(st, c, event);
    };
    iec104::ServerPtr& server = st.server;
    server = iec104::server_create(sc, std::move(h));
    if (!iec104::server_start(*server)) {
        std::fprintf(stderr, "server_setup: port %d: %s\n", s.port, iec104::server_error(*server).c_str());
        return false;
    }
    // Host runs and tests ask for any free port; they learn which from here.
    if (s.port == 0) std::printf("IEC 60870-5-104 server listening on port %u\n", unsigned(iec104::server_port(*server)));
    return true;
}

bool server_is_running(const station& st) { return st.server && iec104::server_running(*st.server); }

uint16_t server_bound_port(const station& st) { return server_is_running(st) ? iec104::server_port(*st.server) : 0; }

std::vector<iec104::ConnectionPtr> server_connections(const station& st) {
    if (!server_is_running(st)) return {};
    return iec104::server_connections(*st.server);
}

void server_stop(station& st) {
    if (st.server) iec104::server_stop(*st.server);
}

void server_destroy(station& st) { st.server.reset(); }

}  // namespace outstation
