// The ubus object fpigate (type "fpigate"), for field engineers: its one
// method, status, tells what the daemon sees right now — uptime, every FPI,
// every connected master, the radio's counters, the value store and the GPIO
// chip. Registered beside rf.service only when the option diagnostics is 1.
#pragma once

#include "lib/ubus/client.h"
#include "services/state.h"

namespace services {

ubus::object fpigate_status_object(service_state& s);

// The reply of status, its fields in this order:
//   uptime_s      monotonic seconds since the gateway started
//   fpis          slaves 1 to 9: slave_id, online, period_min (0 until a
//                 wake-up or join telegram brings one), last_contact_age_s
//                 (null while never heard), pending_reset, infoset
//                 ("idle", "collecting", "complete", "sending",
//                 "awaiting_ack", "acknowledged"), frames_ok (its
//                 telegrams handled and recorded "OK")
//   masters       each open connection: peer "ip:port", slot (null when it
//                 holds none), active (STARTDT), queued, sent, dropped
//   rf            frames_ok, framing_errors, parse_errors, refused_group,
//                 refused_rtu, unknown_command, bytes_read
//   store         points, capacity, refused (points turned away by a full store)
//   gpio          chip (as configured), ok (every line requested)
// Each lock it needs is taken on its own and released before the next.
ubus::table fpigate_status(service_state& s);

}  // namespace services
