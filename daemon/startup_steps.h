// The start-up and shutdown steps that belong to other subsystems, called by
// gateway_start / gateway_serve / gateway_stop in this order. Each subsystem
// fills its step here; an empty step does nothing.
#pragma once

#include "daemon/gateway.h"

namespace fpigate {

// Step 7: the fault counter database, the system and communication event logs.
void open_persistent_stores(gateway& g);
void close_persistent_stores(gateway& g);

// Step 8: no_of_connections empty connection slots.
void allocate_connection_slots(gateway& g);

// Step 9: the data point table over the FPI data point list.
void build_data_point_table(gateway& g);

// Step 10: create, configure and start the IEC 60870-5-104 server, with the
// communication log writer its connection events go to.
void start_iec104_server(gateway& g);
// Step 15: is it running? (true until the server exists)
bool iec104_server_running(gateway& g);
// End of serving, and at gateway_stop; both must be harmless when repeated.
// Destroying the server also stops the writer, which writes what is queued.
void stop_iec104_server(gateway& g);
void destroy_iec104_server(gateway& g);

// At stop, after the running flag is cleared: wakes the workers that block
// elsewhere than in gateway_sleep (the ubus event loop, the RF reader's wait
// for the radio, the idle DO toggling and infoset threads, the DCU reset
// thread's wait for a post).
void wake_blocked_workers(gateway& g);

// Step 12: the FPI contact table, under supervision_lock.
void reset_contact_table(gateway& g);

// Step 15: publish LATITUDE, LONGITUDE and the fault totals.
void publish_start_values(gateway& g);

// Step 15: the cyclic transmission, every cyclic_time_interval seconds
// (user_data: the gateway).
void cyclic_transmission(core::timer* t, void* user_data);

}  // namespace fpigate
