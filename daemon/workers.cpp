#include "daemon/workers.h"

#include <algorithm>
#include <cstdio>

#include "dio/dio.h"
#include "dio/gpio.h"
#include "fpi/infoset.h"
#include "fpi/supervision.h"
#include "fpi/uplink.h"
#include "outstation/data_points.h"
#include "rf/radio.h"
#include "rf/uart.h"
#include "services/rf_service.h"

namespace fpigate {

namespace {

// For loops that wait between passes: false once the gateway stops.
bool sleep_while_running(int wait_ms, void* user) {
    return gateway_sleep(*static_cast<gateway*>(user), std::chrono::milliseconds(wait_ms));
}

// The RF reader: the mapping list first, then the port (the RF log was opened
// at start-up with the other stores); -1 when there is no port to read.
int rtu_reader(gateway& g) {
    std::printf("Starting RTU rf device reading...\n");
    outstation::rtu_ioa_map_publish(g.station, g.cfg->fpi_points, stdout);
    const auto& port = g.cfg->settings.rtu_port;
    if (!port) {
        std::fprintf(stderr, "RTU port not configured\n");
        return -1;
    }
    core::unique_fd fd = rf::uart_open(port->c_str(), g.cfg->settings.rtu_baud);
    if (!fd) {
        std::fprintf(stderr, "Failed to open serial port %s\n", port->c_str());
        return -1;
    }
    // Printed before the port is published: whoever waits for the port sees
    // no more start-up lines after it.
    std::printf("rtu: Waiting for RF RTU data...\n");
    g.radio.rtu_fd = fd.get();
    rf::rf_reading_loop(g.radio, fd.get(), fpi::uplink_handler_table(g.fpis), g.running);
    g.radio.rtu_fd = 0;
    return 0;
}

const worker table[] = {
    {"DI scanning", di_scanning_thread, true},
    {"DO toggling", do_toggling_thread, true},
    {"RF reader", rf_reader_thread, true},
    {"ubus", ubus_thread, true},
    {"supervision", supervision_thread, true},
    {"infoset", infoset_thread, false},
    {"DCU reset", dcu_reset_thread, false},
};

}  // namespace

void di_scanning_thread(gateway& g) {
    dio::gpio_init(g.io, g.cfg->settings.gpio_chip);
    // a scan period of 0 would spin: at least a millisecond between scans
    const auto pause = std::chrono::milliseconds(std::max(1, g.cfg->settings.gpio_scan_frequency));
    dio::scanner_state state;
    do {
        dio::di_scan_pass(g.io, state);
    } while (gateway_sleep(g, pause));
}

void do_toggling_thread(gateway& g) {
    // Passes every 100 ms while a pulse is running; with none, asleep until
    // a command starts one.
    do {
        dio::do_toggle_pass(g.io);
    } while (dio::do_pulse_pending(g.io) ? gateway_sleep(g, std::chrono::milliseconds(100))
                                         : dio::do_wait_for_pulse(g.io, g.running));
}
void rf_reader_thread(gateway& g) { rtu_reader(g); }
void ubus_thread(gateway& g) {
    services::rf_service_thread(g.services, g.running, sleep_while_running, &g);
}
void supervision_thread(gateway& g) { fpi::slave_supervisor(g.fpis, sleep_while_running, &g); }
void infoset_thread(gateway& g) { fpi::infoset_thread(g.fpis, sleep_while_running, &g, &g.running); }

void dcu_reset_thread(gateway& g) {
    // The stop wakes the wait (wake_blocked_workers) without a post.
    while (g.io.dcu_reset_sem.acquire_while(g.running)) {
        std::printf("DCU reset semaphore released\n");
        if (dio::dcu_reset_pulse(g.io)) std::printf("DCU reset successful\n");
    }
}

std::span<const worker> standard_workers() { return table; }

}  // namespace fpigate
