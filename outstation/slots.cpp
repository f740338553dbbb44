#include "outstation/slots.h"

namespace outstation {

namespace {

// The ASDUs kept while the slot was offline go out ahead of anything live:
// they are queued before the slot is online again, under the table's lock.
void hand_over_kept(connection_slot& s, int index, FILE* out) {
    if (s.kept.empty() && s.kept_dropped == 0) return;
    std::fprintf(out, "Sending %zu kept events to connection id %p of slot %d, %llu dropped\n", s.kept.size(),
                 iec104::identity(*s.connection), index, (unsigned long long)s.kept_dropped);
    for (const iec104::Asdu& a : s.kept) iec104::send_asdu(*s.connection, a);
    s.kept.clear();
    s.kept_dropped = 0;
}

}  // namespace

void slots_allocate(slot_table& t, int n, int event_buffer) {
    std::lock_guard lk(t.lock);
    t.slots.assign(size_t(n < 0 ? 0 : n), connection_slot{});
    t.initialised_count = 0;
    t.initialized_master_count = false;
    t.event_buffer = size_t(event_buffer < 0 ? 0 : event_buffer);
}

void send_spontaneous(slot_table& t, const iec104::Asdu& asdu) {
    std::lock_guard lk(t.lock);
    for (connection_slot& s : t.slots) {
        if (s.online) {
            if (!s.connection || iec104::send_asdu(*s.connection, asdu)) continue;
            // Its connection has closed and the closed event has not yet
            // released the slot: the master is away already, so the ASDU is
            // kept like one for an offline slot rather than lost.
            if (t.event_buffer == 0 || iec104::is_open(*s.connection)) continue;
        }
        if (t.event_buffer == 0 || !s.initialised) continue;
        if (s.kept.size() >= t.event_buffer) {
            s.kept.pop_front();
            ++s.kept_dropped;
        }
        s.kept.push_back(asdu);
    }
}

void slot_take(slot_table& t, const iec104::ConnectionPtr& c, FILE* out) {
    std::lock_guard lk(t.lock);
    const void* id = iec104::identity(*c);
    if (!t.initialized_master_count) {
        for (size_t i = 0; i < t.slots.size(); ++i) {
            connection_slot& s = t.slots[i];
            if (s.initialised) continue;
            std::fprintf(out, "Initializing connection index: %d and id: (%p)\n", int(i), id);
            s.connection = c;
            s.online = true;
            s.initialised = true;
            ++t.initialised_count;
            break;
        }
        if (t.initialised_count == int(t.slots.size())) {
            std::fprintf(out, "All master connections have been initialized setting initialized_master_count\n");
            t.initialized_master_count = true;
        }
        return;
    }
    for (connection_slot& s : t.slots) {
        if (s.online) continue;
        std::fprintf(out, "Setting connection id %p online flag to 1\n", id);
        s.connection = c;
        hand_over_kept(s, int(&s - t.slots.data()), out);
        s.online = true;
        return;
    }
}

void slot_release(slot_table& t, const iec104::Connection& c, FILE* out) {
    std::lock_guard lk(t.lock);
    for (connection_slot& s : t.slots) {
        if (s.connection.get() != &c) continue;
        std::fprintf(out, "Setting connection id %p online flag to zero\n", iec104::identity(c));
        s.online = false;
    }
}

int slot_of(slot_table& t, const iec104::Connection& c) {
    std::lock_guard lk(t.lock);
    for (size_t i = 0; i < t.slots.size(); ++i)
        if (t.slots[i].online && t.slots[i].connection.get() == &c) return int(i);
    return -1;
}

int slot_claim_end_of_init(slot_table& t, const iec104::Connection& c) {
    std::lock_guard lk(t.lock);
    for (size_t i = 0; i < t.slots.size(); ++i) {
        connection_slot& s = t.slots[i];
        if (!s.online || s.connection.get() != &c || s.end_of_init_sent) continue;
        s.end_of_init_sent = true;
        return int(i);
    }
    return -1;
}

}  // namespace outstation
