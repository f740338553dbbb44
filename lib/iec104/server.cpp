#include <poll.h>

#include <system_error>

#include "lib/iec104/server_internal.h"

namespace iec104 {
namespace {

// Joins the threads of connections that have ended; with `all`, stops and joins every one.
void reap_connections(Server& s, bool all) {
    std::vector<ConnectionPtr> done;
    {
        std::lock_guard lock(s.mutex);
        for (auto it = s.connections.begin(); it != s.connections.end();) {
            if (all || (*it)->finished) {
                done.push_back(*it);
                it = s.connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Every thread is told first, so that their closed events run side by
    // side rather than one connection's handler after the other's.
    for (auto& c : done) {
        c->stop = true;
        wake(c->event);
    }
    for (auto& c : done)
        if (c->thread.joinable()) c->thread.join();
}

int count_open(Server& s) {
    std::lock_guard lock(s.mutex);
    int n = 0;
    for (auto& c : s.connections) n += !c->finished;
    return n;
}

// Accepts one pending connection; false when none is pending.
bool accept_one(Server& s) {
    std::string peer;
    uint16_t peer_port = 0;
    Fd socket = accept_tcp(s.listener, peer, peer_port);
    if (!socket) return false;
    const int limit = s.config.max_connections;
    if (limit > 0 && count_open(s) >= limit) {
        close_orderly(socket);  // no frame, no handler, no event
        return true;
    }
    if (s.handlers.connection_request && !s.handlers.connection_request(peer)) {
        close_orderly(socket);
        return true;
    }
    auto c = std::make_shared<Connection>();
    c->peer = peer;
    c->peer_endpoint = peer + ":" + std::to_string(peer_port);
    c->app = s.config.app;
    c->event = make_eventfd();
    c->high.limit = s.config.high_queue_bytes;
    c->low.limit = s.config.low_queue_bytes;
    c->socket = std::move(socket);
    std::lock_guard lock(s.mutex);
    s.connections.push_back(c);
    try {
        c->thread = std::thread([&s, c] {
            run_connection(s, c);
            c->finished = true;
            wake(s.event);
        });
    } catch (const std::system_error&) {
        // No thread to be had (memory or thread limit): this master is
        // turned away like one over the limit, and the server keeps serving.
        s.connections.pop_back();
        close_orderly(c->socket);
    }
    return true;
}

void accept_loop(Server& s) {
    while (!s.stopping) {
        pollfd fds[2] = {{s.listener.fd, POLLIN, 0}, {s.event.fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) {
            drain(s.event);
            reap_connections(s, false);
        }
        if (s.stopping) break;
        if (fds[0].revents & POLLIN)
            while (!s.stopping && accept_one(s)) {
            }
    }
}

bool queue_push(AsduQueue& q, std::vector<uint8_t>&& bytes, bool drop_oldest, uint64_t& dropped) {
    const size_t cost = bytes.size() + kEntryOverhead;
    if (cost > q.limit) {
        ++dropped;
        return false;
    }
    if (q.bytes + cost > q.limit) {
        if (!drop_oldest) {
            ++dropped;
            return false;
        }
        while (q.bytes + cost > q.limit) {
            q.bytes -= q.entries.front().size() + kEntryOverhead;
            q.entries.pop_front();
            ++dropped;
        }
    }
    q.bytes += cost;
    q.entries.push_back(std::move(bytes));
    return true;
}

}  // namespace

void ServerDeleter::operator()(Server* s) const {
    server_stop(*s);
    delete s;
}

ServerPtr server_create(const ServerConfig& config, ServerHandlers handlers) {
    ServerPtr s(new Server);
    s->config = config;
    s->handlers = std::move(handlers);
    return s;
}

bool server_start(Server& s) {
    if (s.running) return true;
    if (!valid(s.config.app) || !valid(s.config.apci)) {
        s.error = "invalid application layer or APCI parameters";
        return false;
    }
    // A backlog larger than the usual 2, so that masters reconnecting together
    // after a network outage are not held back by a dropped SYN or handshake:
    // once the queue is full the kernel drops them, and a master that already
    // sent STARTDT then waits for its own retransmission backoff (tens of
    // seconds after a few misses) before it is served or turned away.
    s.listener = listen_tcp(s.config.local_address, s.config.port, 64, s.error);
    if (!s.listener) return false;
    s.port = local_port(s.listener);
    s.event = make_eventfd();
    s.stopping = false;
    s.running = true;
    s.accept_thread = std::thread(accept_loop, std::ref(s));
    return true;
}

bool server_running(const Server& s) { return s.running; }

void server_stop(Server& s) {
    if (!s.running) return;
    s.stopping = true;
    wake(s.event);
    if (s.accept_thread.joinable()) s.accept_thread.join();
    reap_connections(s, true);
    s.listener = Fd();
    s.event = Fd();
    s.running = false;
}

const std::string& server_error(const Server& s) { return s.error; }
uint16_t server_port(const Server& s) { return s.port; }
const AppLayerParameters& server_app_parameters(const Server& s) { return s.config.app; }
int server_open_connections(Server& s) { return count_open(s); }

std::vector<ConnectionPtr> server_connections(Server& s) {
    std::vector<ConnectionPtr> out;
    {
        std::lock_guard lock(s.mutex);
        for (auto& c : s.connections)
            if (!c->finished) out.push_back(c);
    }
    // Each connection's own lock is taken after the server's is released.
    std::erase_if(out, [](const ConnectionPtr& c) { return !is_open(*c); });
    return out;
}

int server_enqueue(Server& s, const Asdu& asdu) {
    std::vector<ConnectionPtr> open;
    {
        std::lock_guard lock(s.mutex);
        open = s.connections;
    }
    int queued = 0;
    for (auto& c : open) queued += send_asdu(*c, asdu, Priority::low);
    return queued;
}

Priority priority_of(const Asdu& asdu) {
    const bool monitoring = asdu.type >= 1 && asdu.type <= 44;
    const bool unsolicited = asdu.cot == COT_PERIODIC || asdu.cot == COT_BACKGROUND || asdu.cot == COT_SPONTANEOUS;
    return monitoring && unsolicited ? Priority::low : Priority::high;
}

bool send_asdu(Connection& c, const Asdu& asdu) { return send_asdu(c, asdu, priority_of(asdu)); }

bool send_asdu(Connection& c, const Asdu& asdu, Priority priority) {
    std::vector<uint8_t> bytes(size_t(header_size(c.app)) + asdu.payload_size);
    if (encode_asdu(asdu, c.app, bytes) == 0) return false;
    {
        std::lock_guard lock(c.mutex);
        if (!c.open) return false;
        const bool ok = priority == Priority::high
                            ? queue_push(c.high, std::move(bytes), false, c.counters.dropped_high)
                            : queue_push(c.low, std::move(bytes), true, c.counters.dropped_low);
        if (!ok) return false;
    }
    if (!c.wake_pending.exchange(true)) wake(c.event);
    return true;
}

bool send_act_con(Connection& c, Asdu& asdu, bool negative) {
    asdu.cot = COT_ACTIVATION_CON;
    asdu.negative = negative;
    return send_asdu(c, asdu, Priority::high);
}

bool send_act_term(Connection& c, Asdu& asdu) {
    asdu.cot = COT_ACTIVATION_TERMINATION;
    asdu.negative = false;
    return send_asdu(c, asdu, Priority::high);
}

const std::string& peer_address(const Connection& c) { return c.peer; }
const std::string& peer_endpoint(const Connection& c) { return c.peer_endpoint; }
const void* identity(const Connection& c) { return &c; }
const AppLayerParameters& app_parameters(const Connection& c) { return c.app; }

bool is_open(const Connection& c) {
    std::lock_guard lock(c.mutex);
    return c.open;
}

bool is_active(const Connection& c) { return c.active; }

ConnectionStats stats(const Connection& c) {
    std::lock_guard lock(c.mutex);
    ConnectionStats s = c.counters;
    s.queued_high = c.high.entries.size();
    s.queued_low = c.low.entries.size();
    s.queued_high_bytes = c.high.bytes;
    s.queued_low_bytes = c.low.bytes;
    return s;
}

}  // namespace iec104
