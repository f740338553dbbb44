#include "fpi/uplink.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <pthread.h>
#include <system_error>
#include <thread>

#include "core/clock.h"
#include "fpi/binding.h"
#include "fpi/contacts.h"
#include "fpi/fault_counter.h"
#include "fpi/infoset.h"
#include "fpi/pending_reset.h"
#include "fpi/state.h"
#include "logs/rf_data.h"
#include "rf/downlink.h"
#include "rf/radio.h"

namespace fpi {

namespace {

// The payload's record, or a logged refusal when the payload is too short.
template <class T>
bool decode(fpi_state& s, const rf::rf_frame& frame, std::span<const uint8_t> bytes, T& out) {
    if (rf::rf_payload_decode_as(frame, out) == 0) return true;
    s.radio.reader_stats.parse_errors.fetch_add(1, std::memory_order_relaxed);
    record_rf_frame(s, bytes, rf::rf_frame_time(s.radio), &frame, "Failed to parse incoming frame", 0, 0, nullptr,
                    nullptr);
    std::printf("Failed to parse incoming frame.\n");
    return false;
}

void acknowledge(fpi_state& s, const rf::rf_frame& frame, uint8_t code) {
    rf::ack_data ack;
    rf::rf_local_time(s.radio, &ack.date, nullptr);
    rf::send_command_frame(s.radio, frame.group, frame.destination_id, frame.source_id, code, ack);
}

uint8_t ack_code(uint8_t command) {
    switch (command) {
    case rf::CMD_WAKEUP_SET: return rf::CMD_WAKEUP_SET_ACK;
    case rf::CMD_JOIN_DATA: return rf::CMD_JOIN_DATA_ACK;
    default: return rf::CMD_WAKEUP_NOTSET_ACK;
    }
}

// Counts one fault, saves the database (through the stores' writer) and,
// after the pause, republishes the totals. On the fault worker the pause is
// cut short by a stop. The fault queue's lock is not held meanwhile: the RF
// reader queuing the next fault never waits for this one.
void count_one(fpi_state& s, const counted_fault& f, bool on_worker) {
    std::printf("Saving Fault for Slave id %d and Group id %d\n", f.slave, f.group);
    fault_counter_add(s.faults, f.group, f.time_ms);
    const auto pause = std::chrono::milliseconds(s.fault_pause_ms);
    if (s.fault_pause_ms > 0) {
        fault_queue& q = s.fault_work;
        if (on_worker) {
            std::unique_lock lk(q.m);
            q.cv.wait_for(lk, pause, [&] { return q.stopping; });
        } else {
            std::this_thread::sleep_for(pause);
        }
    }
    publish_fault_totals(s.faults, s.station, s.cfg->aux_points, s.cfg->settings.asdu_time_offset);
}

void fault_worker_loop(fpi_state& s) {
    fault_queue& q = s.fault_work;
    std::unique_lock lk(q.m);
    for (;;) {
        q.cv.wait(lk, [&] { return q.stopping || !q.queue.empty(); });
        if (q.queue.empty()) return;  // stopping, every fault counted
        const counted_fault f = q.queue.front();
        q.queue.pop_front();
        q.busy = true;
        lk.unlock();
        count_one(s, f, true);
        lk.lock();
        q.busy = false;
        q.cv.notify_all();
    }
}

// A flash-mode telegram that follows the FPI's previous one by more than the
// flash transmit period counts a fault in its group: queued for the fault
// worker, or counted here when none runs.
void count_fault(fpi_state& s, int slave) {
    fpi_contact& c = s.contact_table[size_t(slave - 1)];
    const uint64_t now = core::monotonic_ms();
    // The first flash-mode telegram since start counts, also within the
    // period after boot (the monotonic clock starts at 0 then).
    if (c.last_flash_ms == 0 || now - c.last_flash_ms > uint64_t(s.cfg->derived.flash_transmit_period_ms)) {
        const counted_fault f{slave, fault_group_of_slave(slave), uint64_t(core::wall_clock.now_ms())};
        fault_queue& q = s.fault_work;
        std::unique_lock lk(q.m);
        if (!q.stopping && q.thread.joinable()) {  // stopping first: a stop joins the thread
            q.queue.push_back(f);
            q.cv.notify_all();
        } else {
            lk.unlock();
            count_one(s, f, false);
        }
    }
    c.last_flash_ms = now;
}

// A handled telegram: its "OK" record, and one more handled for its FPI.
void record_ok(fpi_state& s, std::span<const uint8_t> bytes, int64_t frame_time, const rf::rf_frame& frame,
               const rf::wakeup_data* wakeup, const rf::event_data* event, uint8_t fault, uint16_t reset) {
    s.radio.reader_stats.frames_ok.fetch_add(1, std::memory_order_relaxed);
    record_rf_frame(s, bytes, frame_time, &frame, "OK", fault, reset, wakeup, event);
    count_frame_ok(s, frame.source_id);
}

}  // namespace

void record_rf_frame(fpi_state& s, std::span<const uint8_t> bytes, int64_t frame_time, const rf::rf_frame* frame,
                     const char* text, uint8_t fault, uint16_t reset, const rf::wakeup_data* wakeup,
                     const rf::event_data* event) {
    logs::log_stores& stores = s.stores;
    std::lock_guard lk(stores.rf_data_lock);
    logs::rf_data_add(stores, bytes, frame_time, frame ? frame->source_id : 0,
                      frame ? frame->command : 0, fault, reset, text, wakeup, event);
}

void fpi_configure(fpi_state& s, const config::config& cfg) {
    s.cfg = &cfg;
    s.radio.reader = {rf::rf_address_from(cfg.derived), cfg.settings.asdu_time_offset};
}

void handle_wakeup(fpi_state& s, const rf::rf_frame& frame, std::span<const uint8_t> bytes) {
    const int slave = frame.source_id;
    rf::wakeup_data w;
    if (!decode(s, frame, bytes, w)) return;
    record_contact(s, slave, w.period);
    const int64_t frame_time = rf::rf_frame_time(s.radio);
    publish_slave_points(s, wakeup_binding(w), frame_time * 1000, slave);
    record_ok(s, bytes, frame_time, frame, &w, nullptr, 0, 0);
    if (infoset_send_pending(s, slave) == 0) acknowledge(s, frame, ack_code(frame.command));
}

void handle_event(fpi_state& s, const rf::rf_frame& frame, std::span<const uint8_t> bytes) {
    const int slave = frame.source_id;
    rf::event_data e;
    if (!decode(s, frame, bytes, e)) return;
    record_contact(s, slave, 0);
    const int64_t frame_time = rf::rf_frame_time(s.radio);
    const bool flash_mode = frame.command == rf::CMD_FLASH_MODE;
    // FAULT = 1 goes to the masters first; the reset and the record follow,
    // and what a counted fault costs is the fault worker's.
    publish_slave_points(s, event_binding(e, flash_mode), frame_time * 1000, slave);
    if (flash_mode && valid_slave(slave)) pending_reset_process(s, slave);
    record_ok(s, bytes, frame_time, frame, nullptr, &e, flash_mode, 0);
    if (flash_mode && valid_slave(slave)) count_fault(s, slave);
    if (!flash_mode && infoset_send_pending(s, slave) == 0) acknowledge(s, frame, rf::CMD_EVENT_DATA_ACK);
}

void handle_fi_reset(fpi_state& s, const rf::rf_frame& frame, std::span<const uint8_t> bytes) {
    const int slave = frame.source_id;
    std::printf("\nSlave id %d fault is reset successfully\n", slave);
    rf::fi_reset_data r;
    if (!decode(s, frame, bytes, r)) return;
    const int64_t frame_time = rf::rf_frame_time(s.radio);
    publish_slave_points(s, fi_reset_binding(r.reset_type), frame_time * 1000, slave);
    record_ok(s, bytes, frame_time, frame, nullptr, nullptr, 0, r.reset_type);
}

void handle_infoset_ack(fpi_state& s, const rf::rf_frame& frame, std::span<const uint8_t> bytes) {
    rf::event_time_data t;
    if (!decode(s, frame, bytes, t)) return;
    record_ok(s, bytes, rf::rf_frame_time(s.radio), frame, nullptr, nullptr, 0, 0);
    std::printf("Received Info Set ACK from SlaveId %d\n", int(frame.source_id));
    infoset_acknowledged(s, frame.source_id);
}

namespace {

// The reading loop's calls, with the state as their context.
template <void (*handle)(fpi_state&, const rf::rf_frame&, std::span<const uint8_t>)>
void on_frame(void* context, const rf::rf_frame& frame, std::span<const uint8_t> bytes) {
    handle(*static_cast<fpi_state*>(context), frame, bytes);
}

void on_record(void* context, std::span<const uint8_t> bytes, int64_t frame_time, const rf::rf_frame* frame,
               const char* text, uint8_t fault, uint16_t reset, const rf::wakeup_data* wakeup,
               const rf::event_data* event) {
    record_rf_frame(*static_cast<fpi_state*>(context), bytes, frame_time, frame, text, fault, reset, wakeup, event);
}

}  // namespace

void fault_worker_start(fpi_state& s) {
    fault_queue& q = s.fault_work;
    std::lock_guard lk(q.m);
    if (q.thread.joinable()) return;
    q.stopping = false;
    try {
        q.thread = std::thread(fault_worker_loop, std::ref(s));
        ::pthread_setname_np(q.thread.native_handle(), "fault worker");
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "fault_worker_start: %s\n", e.what());
    }
}

void fault_worker_stop(fpi_state& s) {
    fault_queue& q = s.fault_work;
    {
        std::lock_guard lk(q.m);
        if (!q.thread.joinable()) return;
        q.stopping = true;
    }
    q.cv.notify_all();
    q.thread.join();
    std::lock_guard lk(q.m);
    q.stopping = false;
}

void fault_worker_wait_idle(fpi_state& s) {
    fault_queue& q = s.fault_work;
    std::unique_lock lk(q.m);
    q.cv.wait(lk, [&] { return q.queue.empty() && !q.busy; });
}

rf::uplink_handlers uplink_handler_table(fpi_state& s) {
    return {&s, on_frame<handle_wakeup>, on_frame<handle_event>, on_frame<handle_fi_reset>,
            on_frame<handle_infoset_ack>, on_record};
}

}  // namespace fpi
