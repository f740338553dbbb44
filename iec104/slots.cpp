#include "iec104/slots.h"

namespace outstation {

slot_table connection_slots;

void slots_allocate(slot_table& t, int n) {
    std::lock_guard lk(t.lock);
    t.slots.assign(size_t(n < 0 ? 0 : n), connection_slot{});
    t.initialised_count = 0;
    t.initialized_master_count = false;
}

void slot_take(slot_table& t, const iec104::ConnectionPtr& c, FILE* out) {
    std::lock_guard lk(t.lock);
    const void* id = iec104::identity(*c);
    if (!t.initialized_master_count) {
        for (size_t i = 0; i < t.slots.size(); ++i) {
            connection_slot& s = t.slots[i];
            if (s.initialised) continue;
            std::fprintf(out, "Initializing connection index: %d and id: (%p)\n", int(i), id);
            s = {c, true, true};
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
        s.online = true;
        s.connection = c;
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

}  // namespace outstation
