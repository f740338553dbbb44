#include "lib/iec104/client.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "lib/iec104/transport.h"

namespace iec104 {

struct Client {
    ClientConfig config;
    ClientHandlers handlers;
    Fd socket;
    Fd event;
    std::thread thread;
    std::atomic<bool> stop{false};

    mutable std::mutex mutex;  // guards what follows
    std::condition_variable changed;
    bool open = true;
    bool started = false;
    std::deque<std::vector<uint8_t>> outgoing;  // encoded ASDUs
    std::vector<uint8_t> u_requests;            // U-frames to send
    bool all_acknowledged = true;

    // Owned by the thread.
    Link link;
    FrameParser parser;
    TxBuffer tx;
};

namespace {

constexpr size_t kMaxOutgoing = 4096;

void tap(Client& c, bool outgoing, std::span<const uint8_t> frame) {
    if (c.handlers.tap) c.handlers.tap(outgoing, frame);
}

void append_tapped(Client& c, size_t from) {
    // Hands each frame appended at `from` to the tap.
    while (from < c.tx.data.size()) {
        const size_t size = size_t(c.tx.data[from + 1]) + 2;
        tap(c, true, {c.tx.data.data() + from, size});
        from += size;
    }
}

void send_s(Client& c) {
    const size_t from = c.tx.data.size();
    tx_s(c.tx, c.link.vr);
    link_ack_sent(c.link);
    append_tapped(c, from);
}

void send_u(Client& c, uint8_t control) {
    const size_t from = c.tx.data.size();
    tx_u(c.tx, control);
    append_tapped(c, from);
}

void fill_window(Client& c) {
    const size_t from = c.tx.data.size();
    {
        std::lock_guard lock(c.mutex);
        // Acknowledge what was received before STARTDT/STOPDT, so that the
        // station can confirm a STOPDT at once.
        if (!c.u_requests.empty() && c.link.unacked_received > 0) {
            tx_s(c.tx, c.link.vr);
            link_ack_sent(c.link);
        }
        for (uint8_t u : c.u_requests) tx_u(c.tx, u);
        c.u_requests.clear();
        while (!link_window_full(c.link) && !c.outgoing.empty()) {
            const uint16_t nr = c.link.vr;
            tx_i(c.tx, link_i_sent(c.link, monotonic_now_ms()), nr, c.outgoing.front());
            c.outgoing.pop_front();
        }
    }
    append_tapped(c, from);
}

void note_acknowledged(Client& c) {
    std::lock_guard lock(c.mutex);
    const bool all = c.link.unacked.empty() && c.outgoing.empty();
    if (all != c.all_acknowledged) {
        c.all_acknowledged = all;
        c.changed.notify_all();
    }
}

void set_started(Client& c, bool started) {
    std::lock_guard lock(c.mutex);
    c.started = started;
    c.changed.notify_all();
}

bool handle_frame(Client& c, std::span<const uint8_t> f) {
    tap(c, false, f);
    const int64_t now = monotonic_now_ms();
    switch (classify(f[2])) {
    case Frame::i: {
        if (!link_i_received(c.link, send_seq(f), now) || !link_ack(c.link, recv_seq(f))) return false;
        Asdu asdu;
        const DecodeError e = decode_asdu(f.subspan(6), c.config.app, asdu);
        if (e != DecodeError::ok && e != DecodeError::unknown_type) return false;
        if (c.handlers.asdu) c.handlers.asdu(asdu);
        break;
    }
    case Frame::s:
        if (!link_ack(c.link, recv_seq(f))) return false;
        break;
    case Frame::testfr_act: send_u(c, kTestfrCon); break;
    case Frame::startdt_act: send_u(c, kStartdtCon); break;
    case Frame::testfr_con: c.link.testfr_pending = false; break;
    case Frame::startdt_con: set_started(c, true); break;
    case Frame::stopdt_con: set_started(c, false); break;
    default: break;
    }
    link_frame_received(c.link, now);
    if (c.link.unacked_received >= c.link.params.w) send_s(c);
    note_acknowledged(c);
    return true;
}

bool receive(Client& c) {
    if (read_some(c.socket, c.parser) != ReadStatus::ok) return false;
    std::span<const uint8_t> frame;
    ParseError error;
    while (parser_next(c.parser, frame, error))
        if (!handle_frame(c, frame)) return false;
    return error == ParseError::none;
}

bool run_timers(Client& c) {
    const int64_t now = monotonic_now_ms();
    for (;;) {
        switch (link_timers(c.link, now)) {
        case LinkAction::none: return true;
        case LinkAction::close: return false;
        case LinkAction::send_s: send_s(c); break;
        case LinkAction::send_testfr: send_u(c, kTestfrAct); break;
        }
    }
}

void run(Client& c) {
    while (!c.stop) {
        fill_window(c);
        if (!tx_flush(c.socket, c.tx)) break;
        bool readable = false, woken = false;
        wait_io(c.socket, tx_pending(c.tx), c.event, link_next_timeout(c.link, monotonic_now_ms()), readable, woken);
        if (woken) drain(c.event);
        if (readable && !receive(c)) break;
        if (!run_timers(c) || tx_overrun(c.tx, c.link.params.k)) break;
    }
    if (c.link.unacked_received > 0) {
        send_s(c);
        tx_flush(c.socket, c.tx);
    }
    close_orderly(c.socket);
    {
        std::lock_guard lock(c.mutex);
        c.open = false;
        c.started = false;
        c.changed.notify_all();
    }
    if (c.handlers.closed) c.handlers.closed();
}

bool request_u(Client& c, uint8_t control, bool want_started, int timeout_ms) {
    std::unique_lock lock(c.mutex);
    if (!c.open) return false;
    c.u_requests.push_back(control);
    wake(c.event);
    return c.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return !c.open || c.started == want_started; }) &&
           c.open;
}

}  // namespace

void ClientDeleter::operator()(Client* c) const {
    client_close(*c);
    delete c;
}

ClientPtr client_connect(const ClientConfig& config, ClientHandlers handlers, std::string& error) {
    if (!valid(config.app) || !valid(config.apci)) {
        error = "invalid application layer or APCI parameters";
        return nullptr;
    }
    Fd socket = connect_tcp(config.host, config.port, config.apci.t0 * 1000, error, config.local_address);
    if (!socket) return nullptr;
    ClientPtr c(new Client);
    c->config = config;
    c->handlers = std::move(handlers);
    c->socket = std::move(socket);
    c->event = make_eventfd();
    link_reset(c->link, config.apci, monotonic_now_ms());
    c->thread = std::thread(run, std::ref(*c));
    return c;
}

bool client_start_dt(Client& c, int timeout_ms) { return request_u(c, kStartdtAct, true, timeout_ms); }
bool client_stop_dt(Client& c, int timeout_ms) { return request_u(c, kStopdtAct, false, timeout_ms); }

bool client_send(Client& c, const Asdu& asdu) {
    std::vector<uint8_t> bytes(size_t(header_size(c.config.app)) + asdu.payload_size);
    if (encode_asdu(asdu, c.config.app, bytes) == 0) return false;
    std::lock_guard lock(c.mutex);
    if (!c.open || c.outgoing.size() >= kMaxOutgoing) return false;
    c.outgoing.push_back(std::move(bytes));
    c.all_acknowledged = false;
    wake(c.event);
    return true;
}

bool client_connected(const Client& c) {
    std::lock_guard lock(c.mutex);
    return c.open;
}

bool client_wait_acknowledged(Client& c, int timeout_ms) {
    std::unique_lock lock(c.mutex);
    return c.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return !c.open || c.all_acknowledged; }) &&
           c.open;
}

void client_close(Client& c) {
    c.stop = true;
    if (c.event) wake(c.event);
    if (c.thread.joinable()) c.thread.join();
}

const AppLayerParameters& client_app_parameters(const Client& c) { return c.config.app; }

}  // namespace iec104
