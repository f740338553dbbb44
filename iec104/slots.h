// The connection slots: which masters receive cyclic and spontaneous data.
// A slot is taken when a connection opens and goes offline when it closes.
// Until every slot has been taken once, a new connection takes a fresh slot;
// after that, the first offline one. A connection without a slot is served
// but gets no cyclic or spontaneous ASDUs.
#pragma once

#include <cstdio>
#include <mutex>
#include <vector>

#include "lib/iec104/server.h"

namespace outstation {

struct connection_slot {
    iec104::ConnectionPtr connection;
    bool online = false;
    bool initialised = false;  // taken at least once; never cleared
};

struct slot_table {
    std::mutex lock;  // guards everything below; taken after app::value_store_lock
    std::vector<connection_slot> slots;
    int initialised_count = 0;
    bool initialized_master_count = false;  // every slot taken at least once
};

extern slot_table connection_slots;

// n empty slots (never initialised, offline).
void slots_allocate(slot_table& t, int n);

// Connection opened / closed, with their lines on `out`.
void slot_take(slot_table& t, const iec104::ConnectionPtr& c, FILE* out);
void slot_release(slot_table& t, const iec104::Connection& c, FILE* out);

// Calls send(connection) for the connection of every online slot, in slot order.
template <class Send>
void for_each_online(slot_table& t, Send&& send) {
    std::lock_guard lk(t.lock);
    for (connection_slot& s : t.slots)
        if (s.online && s.connection) send(*s.connection);
}

}  // namespace outstation
