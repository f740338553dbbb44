#include "services/rf_service.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

#include "fpi/pending_reset.h"
#include "logs/csv_export.h"
#include "logs/rf_data.h"
#include "logs/text.h"
#include "rf/radio.h"
#include "rf/uart.h"
#include "services/fpigate_status.h"

namespace services {

namespace {

constexpr int answer_timeout_ms = 1000;
constexpr int max_backoff_ms = 2000;
constexpr size_t max_received_shown = 16;

int get_rf_data(logs::log_stores& stores, ubus::request& req) {
    std::printf("Read request received\n");
    std::optional<std::string> json = logs::rf_data_to_json(stores);
    if (!json) {
        std::fprintf(stderr, "Failed to serialize JSON\n");
        return ubus::status::unknown_error;
    }
    std::printf("response: %s\n", json->c_str());
    if (!ubus::reply(req, {{"json", ubus::value::str(*json)}})) {
        std::fprintf(stderr, "Failed to add JSON to blob buffer\n");
        return ubus::status::unknown_error;
    }
    return ubus::status::ok;
}

// One of the three exports into the export directory.
ubus::handler export_method(const config::config& cfg, logs::log_stores& stores, const char* file,
                            int (*export_csv)(logs::log_stores&, const std::string&)) {
    const std::string path = cfg.settings.export_dir + "/" + file;
    return [path, &stores, export_csv](ubus::request& req, const ubus::args&) {
        std::printf("Received request for %s download\n", path.c_str());
        std::printf("Exporting %s file\n", path.c_str());
        const int rows = export_csv(stores, path);
        if (rows < 1) return ubus::status::unknown_error;  // empty or failed: the header-only file stays
        ubus::reply(req, {{"path", ubus::value::str(path)}});
        return ubus::status::ok;
    };
}

int write_channel(rf::radio& radio, ubus::request& req, const ubus::args& a) {
    if (!a[0]) return ubus::status::invalid_argument;
    const std::string& text = a[0]->s;
    std::printf("Received set channel command: %s\n", text.c_str());
    std::printf("Converting data to hex bytes\n");
    const auto bytes = logs::hex_to_bytes(text);
    if (!bytes) {
        std::printf("\nHex conversion failed\n\n");
        ubus::reply(req, {{"status", ubus::value::str("FAILED")}});
        return ubus::status::ok;
    }
    std::printf("Converted %zu bytes:\n", bytes->size());
    for (uint8_t b : *bytes) std::printf("0x%02X ", b);
    std::printf("\n");

    // The port is held from the write to the answer, so the RF reader
    // cannot take the radio's acknowledgement meanwhile.
    const uint8_t third = bytes->size() > 2 ? (*bytes)[2] : 0;
    const uint8_t expected[4] = {0x24, 0x06, third, 0x2A};
    uint8_t answer[512] = {};
    int written = -1;
    const int rx = rf::uart_exchange(radio, radio.rtu_fd.load(), bytes->data(), bytes->size(), written, expected,
                                     answer, answer_timeout_ms);
    std::printf("Wrote %d bytes\n", written);
    if (rx == 4 && std::equal(answer, answer + 4, expected)) {
        ubus::reply(req, {{"status", ubus::value::str("OK")}});
        std::printf("Received ACK\n");
        for (uint8_t b : expected) std::printf("0x%02X ", b);
        std::printf("\nChannel set successfully\n\n");
        return ubus::status::ok;
    }
    std::string received;
    for (int i = 0; i < std::min<int>(rx, int(max_received_shown)); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X ", answer[i]);
        received += hex;
    }
    ubus::reply(req, {{"status", ubus::value::str("FAILED")},
                      {"rx_len", ubus::value::i32(rx)},
                      {"received", ubus::value::str(received)},
                      {"expected", ubus::value::str("24 06 2A")}});
    std::printf("\nChannel set failed\n\n");
    return ubus::status::ok;
}

int reset_fpi_slave(fpi::fpi_state& fpis, ubus::request& req, const ubus::args& a) {
    if (!a[0]) return ubus::status::invalid_argument;
    const int32_t id = int32_t(a[0]->i);
    std::printf("Received FPI reset command for slave_id: %d\n", id);
    const bool valid = id >= 1 && id <= 9;
    if (valid) fpi::pending_reset_store(fpis, uint8_t(id));
    ubus::reply(req, {{"status", ubus::value::str(valid ? "OK" : "FAILED")}, {"slave_id", ubus::value::i32(id)}});
    return ubus::status::ok;
}

int dcu_reset_write(dio::dio_state& io, ubus::request& req, const ubus::args& a) {
    if (!a[0]) return ubus::status::invalid_argument;
    const int32_t value = int32_t(a[0]->i);
    std::printf("Received DCU reset command: %d\n", value);
    io.dcu_reset_sem.release();
    ubus::reply(req, {{"status", ubus::value::str("OK")}, {"dcu_reset", ubus::value::i32(value)}});
    return ubus::status::ok;
}

}  // namespace

ubus::object rf_service_object(service_state& s) {
    const config::config& cfg = *s.cfg;
    rf::radio& radio = s.radio;
    logs::log_stores& stores = s.stores;
    dio::dio_state& io = s.io;
    fpi::fpi_state& fpis = s.fpis;
    ubus::object o;
    o.path = "rf.service";
    o.type_name = "object_rf";
    o.methods = {
        {"get_rf_data", {}, [&stores](ubus::request& req, const ubus::args&) { return get_rf_data(stores, req); }},
        {"export_fpi_data_csv_file", {},
         export_method(cfg, stores, logs::rf_fpi_csv_file, logs::rf_fpi_db_export_csv)},
        {"export_comm_event_csv_file", {},
         export_method(cfg, stores, logs::comm_event_csv_file, logs::comm_event_db_export_csv)},
        {"export_system_event_csv_file", {},
         export_method(cfg, stores, logs::system_event_csv_file, logs::system_event_db_export_csv)},
        {"write_channel", {{"set_channel", ubus::type::string}},
         [&radio](ubus::request& req, const ubus::args& a) { return write_channel(radio, req, a); }},
        {"reset_fpi_slave", {{"slave_id", ubus::type::int32}},
         [&fpis](ubus::request& req, const ubus::args& a) { return reset_fpi_slave(fpis, req, a); }},
        {"dcu_reset_write", {{"dcu_reset", ubus::type::int32}},
         [&io](ubus::request& req, const ubus::args& a) { return dcu_reset_write(io, req, a); }},
    };
    return o;
}

void rf_service_thread(service_state& s, const std::atomic<bool>& running, bool (*sleep_ms)(int ms, void* user),
                       void* user) {
    const config::config& cfg = *s.cfg;
    bool said = false;
    int backoff_ms = 100;
    while (running) {
        std::unique_ptr<ubus::connection> conn = ubus::connect(cfg.settings.ubus_socket);
        if (!conn) {
            if (!said) std::fprintf(stderr, "Failed to connect to ubus\n");
            said = true;
            if (!sleep_ms(backoff_ms, user)) break;
            backoff_ms = std::min(backoff_ms * 2, max_backoff_ms);
            continue;
        }
        if (int st = ubus::add_object(*conn, rf_service_object(s)); st != ubus::status::ok)
            std::fprintf(stderr, "rf.service: cannot register: %s\n", ubus::status::text(st).c_str());
        // The diagnostics object rides on the same connection, and so comes
        // back with rf.service after a broker restart.
        if (cfg.settings.diagnostics != 0)
            if (int st = ubus::add_object(*conn, fpigate_status_object(s));
                st != ubus::status::ok)
                std::fprintf(stderr, "fpigate: cannot register: %s\n", ubus::status::text(st).c_str());
        {
            std::lock_guard lk(s.current_lock);
            s.current = conn.get();
        }
        if (said) std::printf("Connected to ubus, rf.service registered\n");
        said = false;
        backoff_ms = 100;
        const bool lost = running && ubus::run(*conn) < 0;
        {
            std::lock_guard lk(s.current_lock);
            s.current = nullptr;
        }
        if (!lost) break;
        std::fprintf(stderr, "Lost the ubus connection, connecting again\n");
        said = true;
        if (!sleep_ms(backoff_ms, user)) break;
    }
}

void rf_service_stop(service_state& s) {
    std::lock_guard lk(s.current_lock);
    if (s.current) ubus::stop(*s.current);
}

}  // namespace services
