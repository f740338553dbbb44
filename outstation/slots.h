// The connection slots: which masters receive cyclic and spontaneous data.
// A slot is taken when a connection opens and goes offline when it closes.
// Until every slot has been taken once, a new connection takes a fresh slot;
// after that, the first offline one. A connection without a slot is served
// but gets no cyclic or spontaneous ASDUs.
//
// With an event buffer, a slot whose master has gone offline keeps the
// spontaneous ASDUs it would have been sent, the newest `event_buffer` of
// them; the next connection to take the slot is sent them first, then live
// data. They are kept in memory only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

#include "lib/iec104/server.h"

namespace outstation {

struct connection_slot {
    iec104::ConnectionPtr connection;
    bool online = false;
    bool initialised = false;  // taken at least once; never cleared
    bool end_of_init_sent = false;  // M_EI_NA_1 has gone to a master of it; never cleared
    std::deque<iec104::Asdu> kept;  // spontaneous ASDUs since it went offline
    uint64_t kept_dropped = 0;      // pushed out of a full buffer
};

struct slot_table {
    std::mutex lock;  // guards everything below; taken inside the station's value_store_lock
    std::vector<connection_slot> slots;
    int initialised_count = 0;
    bool initialized_master_count = false;  // every slot taken at least once
    size_t event_buffer = 0;  // ASDUs kept per offline slot; 0: none
};

// n empty slots (never initialised, offline), each keeping up to
// event_buffer spontaneous ASDUs while its master is away.
void slots_allocate(slot_table& t, int n, int event_buffer = 0);

// Connection opened / closed, with their lines on `out`.
void slot_take(slot_table& t, const iec104::ConnectionPtr& c, FILE* out);
void slot_release(slot_table& t, const iec104::Connection& c, FILE* out);

// A spontaneous ASDU: sent to every online slot, kept by every offline one
// that has had a master, and by an online one whose connection has already
// closed (its closed event has not released it yet).
void send_spontaneous(slot_table& t, const iec104::Asdu& asdu);

// Calls send(connection) for the connection of every online slot, in slot order.
template <class Send>
void for_each_online(slot_table& t, Send&& send) {
    std::lock_guard lk(t.lock);
    for (connection_slot& s : t.slots)
        if (s.online && s.connection) send(*s.connection);
}

// The index of the online slot the connection holds, or -1 when it holds none.
int slot_of(slot_table& t, const iec104::Connection& c);

// The index of the online slot the connection holds when no end of
// initialisation has gone from that slot yet, which now counts as sent;
// -1 otherwise.
int slot_claim_end_of_init(slot_table& t, const iec104::Connection& c);

}  // namespace outstation
