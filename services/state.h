// The state of the ubus services, one per gateway: the parts of the gateway
// the objects read and act on, and the connection the ubus thread serves
// (so that a stop from another thread can end its event loop).
#pragma once

#include <cstdint>
#include <mutex>

#include "config/config.h"
#include "dio/state.h"
#include "fpi/state.h"
#include "lib/ubus/client.h"
#include "logs/stores.h"
#include "outstation/station.h"
#include "rf/radio.h"

namespace services {

struct service_state {
    service_state(rf::radio& radio, logs::log_stores& stores, outstation::station& station, dio::dio_state& io,
                  fpi::fpi_state& fpis)
        : radio(radio), stores(stores), station(station), io(io), fpis(fpis) {}
    service_state(const service_state&) = delete;
    service_state& operator=(const service_state&) = delete;

    const config::config* cfg = nullptr;  // set at start-up (services_configure)
    rf::radio& radio;                     // write_channel, the radio's counters
    logs::log_stores& stores;             // the RF data and the exports
    outstation::station& station;         // the masters and the value store
    dio::dio_state& io;                   // the GPIO chip, the DCU reset
    fpi::fpi_state& fpis;                 // the FPIs' records, pending resets and parameter sets
    uint64_t start_ms = 0;                // monotonic ms the gateway started at (the uptime's base)

    std::mutex current_lock;
    ubus::connection* current = nullptr;  // the one being served, under current_lock
};

inline void services_configure(service_state& s, const config::config& cfg, uint64_t start_ms) {
    s.cfg = &cfg;
    s.start_ms = start_ms;
}

}  // namespace services
