// The gateway's parts without a gateway: the radio, the stores, the station,
// the FPI and digital I/O state and the ubus services over them, built in the
// gateway's order, for tests, benchmarks and fuzz targets that drive the ubus
// objects or the FPI side directly. Nothing is opened or started.
#pragma once

#include "config/config.h"
#include "dio/state.h"
#include "fpi/state.h"
#include "logs/stores.h"
#include "outstation/station.h"
#include "rf/radio.h"
#include "services/state.h"

namespace test_support {

struct gateway_parts {
    config::config cfg;
    rf::radio radio;
    logs::log_stores stores;
    outstation::station station;
    fpi::fpi_state fpis{radio, stores, station};
    dio::dio_state io{stores, station};
    services::service_state services{radio, stores, station, io, fpis};
};

}  // namespace test_support
