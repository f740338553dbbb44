// A master on loopback: lib/iec104's client connected to a port of this
// machine with data transfer started, and one that keeps every ASDU it
// receives.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "lib/iec104/client.h"
#include "lib/iec104/commands.h"
#include "tests/support/wait.h"

namespace test_support {

// Connects to `port` with `config` (the client's defaults: 127.0.0.1, the
// sample configuration's application layer, k 12, w 8, t0-t3 10/15/10/20 s)
// and activates data transfer (start_timeout_ms 0: connects only). `client`
// is set once the connection is up; true once STARTDT is confirmed, false
// with `error` set before.
inline bool connect_master(iec104::ClientPtr& client, uint16_t port, iec104::ClientHandlers handlers,
                           std::string& error, iec104::ClientConfig config = {}, int start_timeout_ms = 5000) {
    config.port = port;
    client = iec104::client_connect(config, std::move(handlers), error);
    if (!client) return false;
    if (start_timeout_ms <= 0 || iec104::client_start_dt(*client, start_timeout_ms)) return true;
    error = "no STARTDT con";
    return false;
}

// A master that keeps every ASDU it receives.
struct master {
    iec104::AppLayerParameters app;
    iec104::ClientPtr client;
    mutable std::mutex m;
    std::vector<iec104::Asdu> asdus;
    std::atomic<bool> closed{false};
    bool started = false;
    uint16_t ca = 1;  // the common address interrogate() sends to

    // `start_dt` false: connected only. `local`: the address it connects from
    // (any loopback address).
    explicit master(uint16_t port, bool start_dt = true, const std::string& local = {})
        : master(port, from(local), start_dt ? 5000 : 0) {}
    // start_timeout_ms 0: connected only.
    master(uint16_t port, const iec104::ClientConfig& config, int start_timeout_ms) {
        iec104::ClientHandlers h;
        h.asdu = [this](const iec104::Asdu& a) {
            std::lock_guard lk(m);
            asdus.push_back(a);
        };
        h.closed = [this] { closed = true; };
        std::string error;
        started = connect_master(client, port, std::move(h), error, config, start_timeout_ms) && start_timeout_ms > 0;
    }
    // The client's thread calls into the members above: it ends first.
    ~master() { client.reset(); }

    std::vector<iec104::Asdu> received() const {
        std::lock_guard lk(m);
        return asdus;
    }
    size_t count(const std::function<bool(const iec104::Asdu&)>& pred) const {
        std::lock_guard lk(m);
        size_t n = 0;
        for (const iec104::Asdu& a : asdus) n += pred(a);
        return n;
    }
    void clear() {
        std::lock_guard lk(m);
        asdus.clear();
    }
    bool send(const iec104::Asdu& a) { return client && iec104::client_send(*client, a); }

    // Sends a station interrogation and waits for its end: ACT_TERM, or a
    // negative ACT_CON. Returns the ASDUs that arrived meanwhile.
    std::vector<iec104::Asdu> interrogate(uint8_t qoi = 20, int timeout_ms = 5000) {
        clear();
        if (!send(iec104::interrogation_command(app, ca, qoi))) return {};
        auto done = [this] {
            return count([](const iec104::Asdu& a) {
                       return a.type == iec104::C_IC_NA_1 &&
                              (a.cot == iec104::COT_ACTIVATION_TERMINATION ||
                               (a.cot == iec104::COT_ACTIVATION_CON && a.negative));
                   }) > 0;
        };
        wait_until(done, std::chrono::milliseconds(timeout_ms));
        return received();
    }

private:
    static iec104::ClientConfig from(const std::string& local) {
        iec104::ClientConfig c;
        c.local_address = local;
        return c;
    }
};

}  // namespace test_support
