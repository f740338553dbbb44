#include "daemon/startup_steps.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

#include "daemon/comm_log.h"
#include "dio/dio.h"
#include "dio/gpio.h"
#include "fpi/contacts.h"
#include "fpi/fault_counter.h"
#include "fpi/infoset.h"
#include "fpi/pending_reset.h"
#include "fpi/uplink.h"
#include "outstation/aux_values.h"
#include "outstation/reporting.h"
#include "outstation/server.h"
#include "logs/event_logs.h"
#include "rf/uart.h"
#include "services/rf_service.h"

namespace fpigate {

void open_persistent_stores(gateway& g) {
    const config::iec104_slave& s = g.cfg->settings;
    const std::string& dir = s.data_dir;
    fpi::fault_counter_load(g.fpis.faults, dir, &g.stores);
    logs::system_event_db_init(g.stores, dir, uint32_t(s.system_log_limit_kb));
    logs::comm_event_db_init(g.stores, dir, uint32_t(s.comm_log_limit_kb));
    // The RF log too, not only when the RF reader starts: a master's
    // parameter write reports into it from the moment the server runs.
    logs::rf_fpi_db_init(g.stores, dir, uint32_t(s.rf_log_limit_kb));
    // From here on only the writer touches the files, and a counted fault
    // is the fault worker's.
    logs::log_writer_start(g.stores);
    fpi::fault_worker_start(g.fpis);
}

// After every thread has ended: what is still queued reaches the files, and
// the GPIO lines are given back, for a gateway started again in this process.
void close_persistent_stores(gateway& g) {
    logs::log_writer_stop(g.stores);
    dio::gpio_close(g.io);
}

void allocate_connection_slots(gateway& g) {
    outstation::slots_allocate(g.station.connection_slots, g.cfg->settings.no_of_connections,
                                g.cfg->derived.event_buffer);
}

void build_data_point_table(gateway& g) {
    try {
        outstation::data_point_table_build(g.station.fpi_data_points, g.cfg->fpi_points, stdout);
    } catch (const std::bad_alloc&) {
        std::_Exit(255);
    }
}

namespace {
bool output_present(dio::dio_state& io, int k) {
    return k >= 1 && k <= 6 && dio::gpio_present(io, k == 6 ? dio::DCU_POWER : dio::line(dio::DO1 + k - 1));
}
}  // namespace

void start_iec104_server(gateway& g) {
    // what the masters' commands act on
    config::config& cfg = *g.cfg;
    fpi::fpi_state& fpis = g.fpis;
    fpi::fpi_configure(fpis, cfg);  // a master's parameter write may come at once
    fpis.dcu_reset_sem = &g.io.dcu_reset_sem;
    dio::dio_state& io = g.io;
    g.station.commands = {
        [&io](int k, int32_t value) { return dio::drive_output(io, k, value); },
        [&fpis](uint8_t slave_id) { fpi::pending_reset_store(fpis, slave_id); },
        [&fpis](uint32_t ioa, uint32_t type_id, uint64_t time_ms, float value) {
            return fpi::infoset_store_parameter(fpis, ioa, type_id, time_ms, value);
        },
        fpi::is_infoset_parameter,
        [&fpis](uint32_t ioa, uint32_t type_id, float value) {
            return fpi::infoset_check_parameter(fpis, ioa, type_id, value);
        },
        [&io](int k) { return output_present(io, k); },
        [&io] { io.dcu_reset_sem.release(); }};
    // The entries are written off the connection threads.
    comm_logger_start(g.comm_log, g.stores, cfg.settings.ubus_socket);
    g.station.connection_events = comm_logger_sink(g.comm_log);
    outstation::server_setup(g.station, cfg);
}
bool iec104_server_running(gateway& g) { return outstation::server_is_running(g.station); }
void stop_iec104_server(gateway& g) { outstation::server_stop(g.station); }
void destroy_iec104_server(gateway& g) {
    outstation::server_destroy(g.station);
    comm_logger_stop(g.comm_log);  // the entries still queued are written
}

void wake_blocked_workers(gateway& g) {
    services::rf_service_stop(g.services);
    rf::uart_wake_reader(g.radio);
    dio::do_toggling_wake(g.io);
    fpi::infoset_wake(g.fpis);
    g.io.dcu_reset_sem.wake_all();
}

void reset_contact_table(gateway& g) {
    fpi::contact_table_init(g.fpis);
}

void publish_start_values(gateway& g) {
    outstation::publish_aux_position(g.station, g.cfg->aux_points, g.cfg->settings.asdu_time_offset);
    fpi::publish_fault_totals(g.fpis.faults, g.station, g.cfg->aux_points, g.cfg->settings.asdu_time_offset);
}

void cyclic_transmission(core::timer*, void* user_data) {
    outstation::cyclic_transmission(static_cast<gateway*>(user_data)->station);
}

}  // namespace fpigate
