#include "lib/ubus/client.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

namespace ubus {

using clock = std::chrono::steady_clock;

// A request waiting for its DATA frames and final STATUS.
struct pending {
    bool done = false;
    int status = status::timeout;
    std::vector<frame> data;
    // An object being registered takes its id as soon as the broker's DATA
    // arrives: a call to it may follow in the very next frame.
    std::shared_ptr<object> registering;
};

namespace {

std::optional<clock::time_point> deadline_after(int timeout_ms)
{
    if (timeout_ms <= 0) return std::nullopt;
    return clock::now() + std::chrono::milliseconds(timeout_ms);
}

// The stream is unusable (closed, broken framing or a frame half sent): hang
// up, so the broker drops our objects instead of reading garbage.
void mark_lost(connection& c)
{
    std::lock_guard lk(c.m);
    if (!c.lost) ::shutdown(c.sock.fd, SHUT_RDWR);
    c.lost = true;
    c.cv.notify_all();
}

// The broker drops a client that sends a message above the limit.
bool fits(const bytes& f) { return pad4(f.size() - header_size) <= max_msglen; }

bool send_frame(connection& c, const bytes& f)
{
    if (!fits(f)) return false;
    std::lock_guard lk(c.send_m);
    {
        std::lock_guard state(c.m);
        if (c.lost) return false;
    }
    std::size_t off = 0;
    while (off < f.size()) {
        ssize_t n = ::send(c.sock.fd, f.data() + off, f.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            mark_lost(c);
            return false;
        }
        off += std::size_t(n);
    }
    return true;
}

std::shared_ptr<object> find_object(connection& c, std::uint32_t id)
{
    std::lock_guard lk(c.m);
    for (auto& o : c.objects)
        if (id != 0 && o->id == id) return o;  // 0: still being registered
    return nullptr;
}

void send_status(connection& c, const frame& f, std::uint32_t objid, int st)
{
    builder b;
    b.u32(attr_id::status, std::uint32_t(st)).u32(attr_id::objid, objid);
    send_frame(c, b.finish(msg::status, f.seq, f.peer));
}

void serve_invoke(connection& c, const frame& f)
{
    auto objid = f.u32(attr_id::objid);
    if (!objid) return;
    auto obj = find_object(c, *objid);
    if (!obj) return;  // a reply naming an object that is not ours would be dropped anyway
    bool no_reply = f.u8(attr_id::no_reply).value_or(0) != 0;
    auto name = f.str(attr_id::method).value_or("");
    const method* m = nullptr;
    for (const auto& x : obj->methods)
        if (x.name == name) m = &x;
    int st;
    if (!m) {
        st = status::method_not_found;
    } else if (!f.blob(attr_id::data)) {
        st = status::invalid_argument;
    } else {
        request req{c, *objid, f.seq, f.peer, name, f.str(attr_id::user).value_or(""),
                    f.str(attr_id::group).value_or(""), *f.blob(attr_id::data)};
        args a = parse_args(req.data, m->pol);
        try {
            st = m->fn ? m->fn(req, a) : status::ok;
        } catch (...) {
            st = status::unknown_error;
        }
    }
    if (!no_reply) send_status(c, f, *objid, st);
}

void complete(connection& c, frame&& f)
{
    std::lock_guard lk(c.m);
    auto it = c.waiting.find({f.seq, f.peer});
    if (it == c.waiting.end()) return;  // late or foreign: nobody waits for it
    pending& p = *it->second;
    if (f.type == msg::data) {
        if (p.registering) {
            if (auto id = f.u32(attr_id::objid)) p.registering->id = *id;
        }
        p.data.push_back(std::move(f));
        return;
    }
    p.status = int(f.u32(attr_id::status).value_or(status::invalid_argument));
    p.done = true;
    c.waiting.erase(it);
    c.cv.notify_all();
}

void dispatch(connection& c, bytes raw)
{
    frame f;
    if (!parse_frame(std::move(raw), f) || f.version != 0) return;
    switch (f.type) {
    case msg::status:
    case msg::data:
        complete(c, std::move(f));
        break;
    case msg::invoke:
        serve_invoke(c, f);
        break;
    default:
        break;  // subscriptions and notifications are not used
    }
}

// Handles every complete frame already received. False when there was none.
bool drain(connection& c)
{
    bool any = false;
    bytes raw;
    for (;;) {
        auto r = c.in.next(raw);
        if (r == frame_reader::need_more) return any;
        if (r == frame_reader::bad) {
            mark_lost(c);
            return true;
        }
        any = true;
        dispatch(c, std::move(raw));
    }
}

// Handles the frames at hand or, when there are none, waits up to
// `deadline` for input and handles what comes. `watch_wake` adds the stop
// event to the wait.
void pump(connection& c, std::optional<clock::time_point> deadline, bool watch_wake)
{
    // A handler that calls out reads the socket itself; frames it read past
    // its own answer wait here for the outer reader.
    if (drain(c)) return;
    int wait_ms = -1;
    if (deadline) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - clock::now()).count();
        wait_ms = left < 0 ? 0 : int(std::min<long long>(left, 60000));
    }
    pollfd p[2] = {{c.sock.fd, POLLIN, 0}, {c.wake.fd, POLLIN, 0}};
    int n = ::poll(p, watch_wake ? 2 : 1, wait_ms);
    if (n <= 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR))) return;
    std::uint8_t buf[16384];
    ssize_t got = ::recv(c.sock.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (got <= 0) {
        mark_lost(c);
        return;
    }
    c.in.feed(buf, std::size_t(got));
    drain(c);
}

// Sends a request and waits for its STATUS, reading the socket itself when
// no other thread does.
int transact(connection& c, const builder& b, msg type, std::uint32_t peer, int timeout_ms,
             std::vector<frame>* data, std::shared_ptr<object> registering = nullptr)
{
    pending p;
    p.registering = std::move(registering);
    auto deadline = deadline_after(timeout_ms);
    bytes probe = b.finish(type, 0, peer);
    if (!fits(probe)) return status::invalid_argument;
    std::unique_lock lk(c.m);
    if (c.lost) return status::connection_failed;
    std::uint16_t seq = ++c.seq;
    auto key = std::make_pair(seq, peer);
    c.waiting[key] = &p;
    lk.unlock();
    probe[2] = std::uint8_t(seq >> 8);
    probe[3] = std::uint8_t(seq);
    bool sent = send_frame(c, probe);
    lk.lock();
    while (sent && !p.done && !c.lost) {
        if (deadline && clock::now() >= *deadline) break;
        if (!c.reading || c.reader == std::this_thread::get_id()) {
            bool nested = c.reading;
            c.reading = true;
            c.reader = std::this_thread::get_id();
            lk.unlock();
            pump(c, deadline, false);
            lk.lock();
            if (!nested) {
                c.reading = false;
                c.cv.notify_all();
            }
        } else if (deadline) {
            c.cv.wait_until(lk, *deadline);
        } else {
            c.cv.wait(lk);
        }
    }
    c.waiting.erase(key);
    // DATA that came before a time-out is handed over too: the command line
    // prints it before reporting the failure.
    if (data) *data = std::move(p.data);
    if (!p.done) return c.lost || !sent ? status::connection_failed : status::timeout;
    return p.status;
}

}  // namespace

bytes encode_signature(const object& o)
{
    bytes sig;
    for (const auto& m : o.methods) {
        table args;
        for (const auto& a : m.pol) args.push_back({a.name, value::i32(static_cast<std::int32_t>(a.t))});
        put_element(sig, m.name, value::table(std::move(args)));
    }
    return sig;
}

bool reply(request& req, const table& body)
{
    builder b;
    bytes list = encode(body);
    b.u32(attr_id::objid, req.object_id).blob(attr_id::data, list);
    return send_frame(req.conn, b.finish(msg::data, req.seq, req.peer));
}

std::unique_ptr<connection> connect(const std::string& path)
{
    auto c = std::make_unique<connection>();
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    c->sock.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    c->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!c->sock || !c->wake) return nullptr;
    if (::connect(c->sock.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) return nullptr;
    timeval tv{10, 0};  // a broker that stops reading must not hang us for ever
    ::setsockopt(c->sock.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    // The broker speaks first: HELLO carries our client id.
    auto deadline = clock::now() + std::chrono::milliseconds(broker_timeout_ms);
    bytes raw;
    for (;;) {
        auto r = c->in.next(raw);
        if (r == frame_reader::bad) break;
        if (r == frame_reader::frame_ready) {
            frame f;
            if (!parse_frame(std::move(raw), f) || f.type != msg::hello || f.peer <= 1) break;
            c->id = f.peer;
            return c;
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
        pollfd p{c->sock.fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, int(left)) <= 0) break;
        std::uint8_t buf[512];
        ssize_t n = ::recv(c->sock.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        c->in.feed(buf, std::size_t(n));
    }
    errno = ECONNREFUSED;
    return nullptr;
}

int add_object(connection& c, object obj, std::uint32_t* id_out)
{
    builder b;
    b.str(attr_id::objpath, obj.path);
    std::optional<std::uint32_t> known_type;
    {
        std::lock_guard lk(c.m);
        auto it = c.types.find(obj.type_name);
        if (it != c.types.end()) known_type = it->second;
    }
    if (known_type)
        b.u32(attr_id::objtype, *known_type);
    else
        b.blob(attr_id::signature, encode_signature(obj));

    // Listed before the answer comes, with id 0 that matches no call.
    obj.id = 0;
    auto o = std::make_shared<object>(std::move(obj));
    {
        std::lock_guard lk(c.m);
        c.objects.push_back(o);
    }
    std::vector<frame> data;
    int st = transact(c, b, msg::add_object, 0, broker_timeout_ms, &data, o);
    std::optional<std::uint32_t> type_id = known_type;
    for (const auto& f : data)
        if (auto v = f.u32(attr_id::objtype)) type_id = v;
    std::lock_guard lk(c.m);
    // Without a type the broker would never list the object.
    if (st == status::ok && (!o->id || !type_id)) st = status::no_data;
    if (st != status::ok) {
        std::erase(c.objects, o);
        return st;
    }
    o->type_id = *type_id;
    c.types[o->type_name] = *type_id;
    if (id_out) *id_out = o->id;
    return status::ok;
}

int remove_object(connection& c, std::uint32_t id)
{
    builder b;
    b.u32(attr_id::objid, id);
    std::vector<frame> data;
    int st = transact(c, b, msg::remove_object, 0, broker_timeout_ms, &data);
    if (st == status::ok) {
        std::lock_guard lk(c.m);
        std::erase_if(c.objects, [id](const auto& o) { return o->id == id; });
        // The broker names the type when this was its last object and frees
        // it: the next object of that type must bring its signature again.
        for (const auto& f : data)
            if (auto t = f.u32(attr_id::objtype))
                std::erase_if(c.types, [t](const auto& kv) { return kv.second == *t; });
    }
    return st;
}

int lookup(connection& c, std::string_view pattern, std::vector<object_info>& out, int timeout_ms)
{
    builder b;
    if (!pattern.empty()) b.str(attr_id::objpath, pattern);
    std::vector<frame> data;
    int st = transact(c, b, msg::lookup, 0, timeout_ms, &data);
    out.clear();
    for (const auto& f : data) {
        auto path = f.str(attr_id::objpath);
        auto id = f.u32(attr_id::objid);
        auto type_id = f.u32(attr_id::objtype);
        if (!path || !id || !type_id) continue;
        object_info o{*path, *id, *type_id, {}};
        if (auto sig = f.blob(attr_id::signature)) o.signature.assign(sig->begin(), sig->end());
        out.push_back(std::move(o));
    }
    return st;
}

int lookup_id(connection& c, std::string_view path, std::uint32_t& id, int timeout_ms)
{
    builder b;
    b.str(attr_id::objpath, path);
    std::vector<frame> data;
    int st = transact(c, b, msg::lookup, 0, timeout_ms, &data);
    if (st != status::ok) return st;
    std::optional<std::uint32_t> found;
    for (const auto& f : data)
        if (auto v = f.u32(attr_id::objid)) found = v;
    if (!found) return status::not_found;
    id = *found;
    return status::ok;
}

result invoke(connection& c, std::uint32_t id, std::string_view method, const table& args,
              int timeout_ms)
{
    builder b;
    bytes list = encode(args);
    b.u32(attr_id::objid, id).str(attr_id::method, method).blob(attr_id::data, list);
    std::vector<frame> data;
    result r;
    r.status = transact(c, b, msg::invoke, id, timeout_ms, &data);
    for (const auto& f : data) {
        auto body = f.blob(attr_id::data);
        table t;
        if (body && decode(*body, t)) r.data.push_back(std::move(t));
    }
    return r;
}

result call(connection& c, std::string_view path, std::string_view method, const table& args,
            int timeout_ms)
{
    std::uint32_t id = 0;
    result r;
    r.status = lookup_id(c, path, id, timeout_ms > 0 ? timeout_ms : broker_timeout_ms);
    if (r.status != status::ok) return r;
    return invoke(c, id, method, args, timeout_ms);
}

int ping(connection& c, int timeout_ms)
{
    return transact(c, builder{}, msg::ping, 0, timeout_ms, nullptr);
}

int run(connection& c)
{
    std::unique_lock lk(c.m);
    c.cv.wait(lk, [&] { return !c.reading || c.stopping || c.lost; });
    if (!c.reading) {
        c.reading = true;
        c.reader = std::this_thread::get_id();
        while (!c.stopping && !c.lost) {
            lk.unlock();
            pump(c, std::nullopt, true);
            lk.lock();
        }
        c.reading = false;
        c.cv.notify_all();
    }
    bool lost = c.lost;
    c.stopping = false;
    std::uint64_t drained;
    while (::read(c.wake.fd, &drained, sizeof drained) > 0) {
    }
    return lost ? -1 : 0;
}

void stop(connection& c)
{
    c.stopping = true;
    std::uint64_t one = 1;
    ssize_t n = ::write(c.wake.fd, &one, sizeof one);
    (void)n;
}

}  // namespace ubus
