// The APCI link state of one connection: send and receive sequence numbers,
// the k and w windows and the t1, t2, t3 timers. Shared by the server and the
// client; times are monotonic milliseconds.
#pragma once

#include <cstdint>
#include <deque>

namespace iec104 {

struct ApciParameters {
    int k = 12;  // unacknowledged I-frames sent
    int w = 8;   // acknowledge after w received I-frames
    int t0 = 10; // connect time-out, seconds (client)
    int t1 = 15; // time-out of sent I-frames and TESTFR, seconds
    int t2 = 10; // acknowledge received I-frames after, seconds
    int t3 = 20; // TESTFR after idle, seconds
};

bool valid(const ApciParameters& p);

struct Link {
    ApciParameters params;
    uint16_t vs = 0;  // next N(S)
    uint16_t vr = 0;  // next expected N(S) from the peer
    struct Sent {
        uint16_t seq;
        int64_t at;
    };
    std::deque<Sent> unacked;     // sent I-frames not yet acknowledged
    int unacked_received = 0;     // received I-frames not yet acknowledged
    int64_t first_unacked_received_at = 0;
    int64_t last_received_at = 0; // restarts t3
    bool testfr_pending = false;  // our TESTFR act waits for its con
    int64_t testfr_sent_at = 0;
};

void link_reset(Link& l, const ApciParameters& p, int64_t now);

inline bool link_window_full(const Link& l) { return int(l.unacked.size()) >= l.params.k; }

// Takes the next N(S) for an I-frame sent now; it acknowledges everything received.
uint16_t link_i_sent(Link& l, int64_t now);
// After an S-frame went out.
inline void link_ack_sent(Link& l) { l.unacked_received = 0; }

// Applies a received N(R); false when it acknowledges something never sent.
bool link_ack(Link& l, uint16_t nr);
// Checks a received I-frame's N(S); false when out of order.
bool link_i_received(Link& l, uint16_t ns, int64_t now);
// Any handled frame restarts t3.
inline void link_frame_received(Link& l, int64_t now) { l.last_received_at = now; }

enum class LinkAction { none, send_s, send_testfr, close };
// What the timers ask for now; call until it says none.
LinkAction link_timers(Link& l, int64_t now);
// Milliseconds until the next timer is due (>= 0).
int64_t link_next_timeout(const Link& l, int64_t now);

}  // namespace iec104
