// Everything the FPI side of the gateway keeps while it runs: the contact
// records, the frame counts, the parameter exchanges, the
// pending resets and the fault counter database, each beside its lock, and
// the neighbours it works with (the radio, the log stores, the outstation).
// The gateway owns one and hands it to the RF reader, the supervision and
// infoset threads, the masters' commands and the ubus objects.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "config/config.h"
#include "core/semaphore.h"
#include "fpi/contacts.h"
#include "fpi/fault_counter.h"
#include "fpi/infoset.h"
#include "fpi/pending_reset.h"
#include "fpi/uplink.h"
#include "logs/stores.h"
#include "outstation/station.h"
#include "rf/radio.h"

namespace fpi {

struct fpi_state {
    // The neighbours, the gateway's: frame times, downlink frames and the
    // reader's counters; where frames and status lines are recorded; where
    // the FPIs' values go.
    rf::radio& radio;
    logs::log_stores& stores;
    outstation::station& station;

    // Set by fpi_configure before the first frame or command.
    const config::config* cfg = nullptr;
    int fault_pause_ms = 500;  // after a counted fault, before the totals are republished (fault worker)
    // The DCU reset's semaphore (dio's), posted when every supervised FPI has
    // gone offline; set by the gateway, none in tests that do not need it.
    core::semaphore* dcu_reset_sem = nullptr;

    // Where two locks are held: infoset_write_lock before infoset_lock;
    // infoset_lock before supervision_lock, the stores' rf_data_lock or the
    // station's value_store_lock. pending_reset_lock and the fault counter's
    // fault_db_lock are held alone.
    std::mutex supervision_lock;
    std::array<fpi_contact, slave_count> contact_table;  // record n - 1 for slave id n

    // Record n - 1 for slave id n; atomic, no lock (see count_frame_ok).
    std::array<std::atomic<uint64_t>, slave_count> frames_ok{};

    std::mutex infoset_write_lock;  // one parameter set sent at a time
    std::mutex infoset_lock;
    std::array<infoset_exchange, slave_count> infosets;  // record n - 1 for slave id n, under infoset_lock
    // With infoset_lock: notified when an exchange leaves idle, a set is sent
    // or acknowledged, and at the stop; the infoset thread waits on it.
    std::condition_variable infoset_changed;

    std::mutex pending_reset_lock;
    std::array<pending_reset, slave_count> pending_resets;  // under pending_reset_lock

    fault_counter faults;     // under its fault_db_lock
    fault_queue fault_work;   // under its own m; held alone

    fpi_state(rf::radio& r, logs::log_stores& s, outstation::station& st) : radio(r), stores(s), station(st) {
        for (int i = 0; i < slave_count; ++i) contact_table[size_t(i)].index = uint8_t(i);
    }
    fpi_state(const fpi_state&) = delete;
    fpi_state& operator=(const fpi_state&) = delete;
    ~fpi_state() { fault_worker_stop(*this); }  // counts what is still queued
};

}  // namespace fpi
