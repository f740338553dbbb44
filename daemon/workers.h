// The worker threads of fpigate, in start order. Each body runs until the
// gateway stops; the subsystem that owns a thread puts its loop here.
#pragma once

#include <span>

#include "daemon/gateway.h"

namespace fpigate {

void di_scanning_thread(gateway& g);  // samples inputs and outputs
void do_toggling_thread(gateway& g);  // ends timed output pulses
void rf_reader_thread(gateway& g);    // RF frames in, downlink frames out
void ubus_thread(gateway& g);         // rf.service
void supervision_thread(gateway& g);  // FPI offline detection, day change
void infoset_thread(gateway& g);      // FPI parameter exchange
void dcu_reset_thread(gateway& g);    // one DCU pulse per post of the dio state's dcu_reset_sem

// The seven workers: the first five each followed by the thread spacing.
std::span<const worker> standard_workers();

}  // namespace fpigate
