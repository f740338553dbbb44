#include "lib/iec104/link.h"

#include <algorithm>

namespace iec104 {

bool valid(const ApciParameters& p) {
    return p.k >= 1 && p.k <= 32767 && p.w >= 1 && p.w <= 32767 && p.t0 >= 1 && p.t1 >= 1 &&
           p.t2 >= 1 && p.t3 >= 1;
}

void link_reset(Link& l, const ApciParameters& p, int64_t now) {
    l = Link{};
    l.params = p;
    l.last_received_at = now;
}

uint16_t link_i_sent(Link& l, int64_t now) {
    const uint16_t ns = l.vs;
    l.unacked.push_back({ns, now});
    l.vs = (l.vs + 1) & 0x7fff;
    l.unacked_received = 0;
    return ns;
}

bool link_ack(Link& l, uint16_t nr) {
    const uint16_t oldest = l.unacked.empty() ? l.vs : l.unacked.front().seq;
    const size_t acked = size_t((nr - oldest) & 0x7fff);
    if (acked > l.unacked.size()) return false;
    l.unacked.erase(l.unacked.begin(), l.unacked.begin() + std::ptrdiff_t(acked));
    return true;
}

bool link_i_received(Link& l, uint16_t ns, int64_t now) {
    if (ns != l.vr) return false;
    l.vr = (l.vr + 1) & 0x7fff;
    if (l.unacked_received++ == 0) l.first_unacked_received_at = now;
    return true;
}

LinkAction link_timers(Link& l, int64_t now) {
    const int64_t t1 = int64_t(l.params.t1) * 1000;
    if (!l.unacked.empty() && now - l.unacked.front().at >= t1) return LinkAction::close;
    if (l.testfr_pending && now - l.testfr_sent_at >= t1) return LinkAction::close;
    if (l.unacked_received > 0 && now - l.first_unacked_received_at >= int64_t(l.params.t2) * 1000)
        return LinkAction::send_s;
    if (!l.testfr_pending && now - l.last_received_at >= int64_t(l.params.t3) * 1000) {
        l.testfr_pending = true;
        l.testfr_sent_at = now;
        return LinkAction::send_testfr;
    }
    return LinkAction::none;
}

int64_t link_next_timeout(const Link& l, int64_t now) {
    const int64_t t1 = int64_t(l.params.t1) * 1000;
    int64_t due = l.testfr_pending ? l.testfr_sent_at + t1 : l.last_received_at + int64_t(l.params.t3) * 1000;
    if (!l.unacked.empty()) due = std::min(due, l.unacked.front().at + t1);
    if (l.unacked_received > 0)
        due = std::min(due, l.first_unacked_received_at + int64_t(l.params.t2) * 1000);
    return std::max<int64_t>(0, due - now);
}

}  // namespace iec104
