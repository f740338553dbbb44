// Supervision of the FPIs: a slave silent for longer than twice its wake-up
// period plus two minutes is reported offline; when every supervised slave
// is offline the DCU is reset once (again only after one came back); the
// fault totals are republished after each local midnight.
#pragma once

#include <cstdint>

namespace fpi {

struct fpi_state;

struct supervision_state {
    int previous_day = -1;  // local day of the year of the last pass, -1 before the first
    bool all_offline = false;
};

// One pass of the supervision thread (it runs one every 5 seconds).
void supervision_pass(fpi_state& fs, supervision_state& s);

// The supervision thread's body: a pass every 5 seconds while `keep_going`
// (which waits up to its argument in milliseconds) says so.
void slave_supervisor(fpi_state& fs, bool (*keep_going)(int wait_ms, void* user), void* user);

// "==== Slave %d is offline ====", an RF data entry, SLAVE_STATUS = status.
void report_slave_offline(fpi_state& fs, int slave_id, int status);
// "==== Slave %d infoset status: %d ====", an RF data entry, INFOSET_STATUS = status.
void report_infoset_status(fpi_state& fs, int slave_id, int status);

}  // namespace fpi
