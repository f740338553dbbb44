// The thread that serves one master connection: APCI state machine, timers,
// and moving queued ASDUs onto the wire as the k window allows.
#include "lib/iec104/server_internal.h"
#include "lib/iec104/transport.h"

namespace iec104 {
namespace {

enum class State { stopped, started, unconfirmed_stopped };

struct Session {
    Server& server;
    const ConnectionPtr& c;
    State state = State::stopped;
    Link link;
    FrameParser parser;
    TxBuffer tx;
};

void fire(Session& s, ConnectionEvent e) {
    if (s.server.handlers.connection_event) s.server.handlers.connection_event(s.c, e);
}

void send_s(Session& s) {
    tx_s(s.tx, s.link.vr);
    link_ack_sent(s.link);
}

// STOPDT_CON goes out once everything we sent is acknowledged.
void confirm_stop_when_acked(Session& s) {
    if (s.state == State::unconfirmed_stopped && s.link.unacked.empty()) {
        tx_u(s.tx, kStopdtCon);
        s.state = State::stopped;
    }
}

// Moves queued ASDUs, high priority first, into I-frames while the window has room.
void fill_window(Session& s, int64_t now) {
    Connection& c = *s.c;
    std::lock_guard lock(c.mutex);
    while (!link_window_full(s.link)) {
        AsduQueue& q = !c.high.entries.empty() ? c.high : c.low;
        if (q.entries.empty()) break;
        const std::vector<uint8_t>& asdu = q.entries.front();
        const uint16_t nr = s.link.vr;
        tx_i(s.tx, link_i_sent(s.link, now), nr, asdu);
        q.bytes -= asdu.size() + kEntryOverhead;
        q.entries.pop_front();
        ++c.counters.asdus_sent;
    }
}

void clear_high_queue(Connection& c) {
    std::lock_guard lock(c.mutex);
    c.high.entries.clear();
    c.high.bytes = 0;
}

bool handle_i_frame(Session& s, std::span<const uint8_t> f, int64_t now) {
    if (s.state != State::started) return false;
    if (!link_i_received(s.link, send_seq(f), now) || !link_ack(s.link, recv_seq(f))) return false;
    link_frame_received(s.link, now);
    Asdu asdu;
    const DecodeError e = decode_asdu(f.subspan(6), s.c->app, asdu);
    if (e != DecodeError::ok && e != DecodeError::unknown_type) return false;
    {
        std::lock_guard lock(s.c->mutex);
        ++s.c->counters.asdus_received;
    }
    return dispatch_asdu(s.server.handlers, s.c, asdu, e == DecodeError::ok);
}

// Handles one received frame; false closes the connection.
bool handle_frame(Session& s, std::span<const uint8_t> f, int64_t now) {
    switch (classify(f[2])) {
    case Frame::i:
        if (!handle_i_frame(s, f, now)) return false;
        break;
    case Frame::s:
        if (s.state == State::stopped || !link_ack(s.link, recv_seq(f))) return false;
        link_frame_received(s.link, now);
        confirm_stop_when_acked(s);
        break;
    case Frame::testfr_act:
        link_frame_received(s.link, now);
        tx_u(s.tx, kTestfrCon);
        break;
    case Frame::testfr_con:
        link_frame_received(s.link, now);
        s.link.testfr_pending = false;
        break;
    case Frame::startdt_act:
        link_frame_received(s.link, now);
        clear_high_queue(*s.c);
        tx_u(s.tx, kStartdtCon);
        if (s.state != State::started) {
            s.state = State::started;
            s.c->active = true;
            fire(s, ConnectionEvent::activated);
        }
        break;
    case Frame::stopdt_act:
        link_frame_received(s.link, now);
        if (s.state == State::started) {
            s.c->active = false;
            fire(s, ConnectionEvent::deactivated);
        }
        s.state = State::unconfirmed_stopped;
        if (s.link.unacked_received > 0) send_s(s);
        confirm_stop_when_acked(s);
        break;
    default:  // STARTDT/STOPDT con or an unknown U-frame: ignored, t3 runs on
        break;
    }
    if (s.link.unacked_received >= s.link.params.w) send_s(s);
    return true;
}

bool receive(Session& s) {
    if (read_some(s.c->socket, s.parser) != ReadStatus::ok) return false;
    std::span<const uint8_t> frame;
    ParseError error;
    while (parser_next(s.parser, frame, error))
        if (!handle_frame(s, frame, monotonic_now_ms())) return false;
    return error == ParseError::none;
}

bool run_timers(Session& s) {
    const int64_t now = monotonic_now_ms();
    for (;;) {
        switch (link_timers(s.link, now)) {
        case LinkAction::none: return true;
        case LinkAction::close: return false;
        case LinkAction::send_s: send_s(s); break;
        case LinkAction::send_testfr: tx_u(s.tx, kTestfrAct); break;
        }
    }
}

}  // namespace

void run_connection(Server& server, const ConnectionPtr& c) {
    Session s{server, c, State::stopped, {}, {}, {}};
    link_reset(s.link, server.config.apci, monotonic_now_ms());
    fire(s, ConnectionEvent::opened);
    while (!c->stop) {
        if (s.state == State::started) fill_window(s, monotonic_now_ms());
        if (!tx_flush(c->socket, s.tx)) break;
        bool readable = false, woken = false;
        wait_io(c->socket, tx_pending(s.tx), c->event, link_next_timeout(s.link, monotonic_now_ms()), readable,
                woken);
        if (c->stop) break;
        if (woken) {
            // Drain before clearing the flag: a sender that finds the flag
            // still set has queued before the fill below, one that finds it
            // clear writes the event again. The other order could swallow a
            // wake-up and leave the flag set for good.
            drain(c->event);
            c->wake_pending = false;
        }
        if (readable && !receive(s)) break;
        if (!run_timers(s) || tx_overrun(s.tx, s.link.params.k)) break;
    }
    c->active = false;
    close_orderly(c->socket);
    {
        std::lock_guard lock(c->mutex);
        c->open = false;
        c->high = AsduQueue{};
        c->low = AsduQueue{};
    }
    fire(s, ConnectionEvent::closed);
}

}  // namespace iec104
