#include "tools/ubusd-lite/broker.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "lib/ubus/status.h"

namespace ubusd {

using namespace ubus;

namespace {

// A client whose queue holds more than this loses further frames, as with ubusd.
constexpr std::size_t max_queue = 1024 * 1024;

template <class Map>
std::uint32_t fresh_id(broker& b, const Map& used)
{
    for (;;) {
        std::uint32_t id = b.rng();
        // libubus refuses 0 and 1, and on little-endian hosts also 0x01000000.
        if (id < 1024 || id == 0x01000000u || used.count(id)) continue;
        return id;
    }
}

void flush(client& c)
{
    while (!c.out.empty()) {
        ssize_t n = ::send(c.fd.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // full: poll for POLLOUT; errors show up as POLLHUP/POLLERR
        c.out.erase(c.out.begin(), c.out.begin() + n);
    }
}

void send_to(client& c, const bytes& f)
{
    if (c.out.size() > max_queue) return;
    c.out.insert(c.out.end(), f.begin(), f.end());
    flush(c);
}

void send_status(client& c, const frame& req, int st)
{
    builder b;
    b.u32(attr_id::status, std::uint32_t(st));
    send_to(c, b.finish(msg::status, req.seq, req.peer));
}

void send_data(client& c, const frame& req, const builder& b)
{
    send_to(c, b.finish(msg::data, req.seq, req.peer));
}

// A signature is kept only when every method is a valid, named blobmsg element.
bool valid_signature(byte_view sig)
{
    attr_reader r{sig};
    while (auto a = r.next()) {
        member m;
        if (!decode_element(*a, m) || m.name.empty()) return false;
    }
    return !r.bad;
}

void drop_object(broker& b, std::map<std::uint32_t, object>::iterator it, bool* type_freed)
{
    object& o = it->second;
    if (o.has_path) b.paths.erase(o.path);
    if (o.type_id) {
        auto t = b.types.find(o.type_id);
        if (t != b.types.end() && --t->second.users <= 0) {
            b.types.erase(t);
            if (type_freed) *type_freed = true;
        }
    }
    b.objects.erase(it);
}

void on_add_object(broker& b, client& c, const frame& f)
{
    auto path = f.str(attr_id::objpath);
    if (path && b.paths.count(*path)) return send_status(c, f, status::invalid_argument);
    object o;
    o.id = fresh_id(b, b.objects);
    o.owner = c.id;
    bool new_type = false;
    if (auto t = f.u32(attr_id::objtype)) {
        if (b.types.count(*t)) o.type_id = *t;
    } else if (auto sig = f.blob(attr_id::signature)) {
        if (valid_signature(*sig)) {
            o.type_id = fresh_id(b, b.types);
            b.types[o.type_id].signature.assign(sig->begin(), sig->end());
            new_type = true;
        }
    }
    if (o.type_id) b.types[o.type_id].users++;
    if (path) {
        o.path = *path;
        o.has_path = true;
        b.paths[*path] = o.id;
    }
    builder d;
    d.u32(attr_id::objid, o.id);
    if (new_type) d.u32(attr_id::objtype, o.type_id);
    b.objects[o.id] = std::move(o);
    send_data(c, f, d);
    send_status(c, f, status::ok);
}

void on_remove_object(broker& b, client& c, const frame& f)
{
    auto id = f.u32(attr_id::objid);
    auto it = id ? b.objects.find(*id) : b.objects.end();
    if (it == b.objects.end()) return send_status(c, f, status::not_found);
    if (it->second.owner != c.id) return send_status(c, f, status::permission_denied);
    std::uint32_t type_id = it->second.type_id;
    bool freed = false;
    drop_object(b, it, &freed);
    builder d;
    d.u32(attr_id::objid, *id);
    if (freed) d.u32(attr_id::objtype, type_id);
    send_data(c, f, d);
    send_status(c, f, status::ok);
}

void send_lookup_entry(broker& b, client& c, const frame& f, const object& o)
{
    if (!o.type_id) return;
    builder d;
    d.str(attr_id::objpath, o.path)
        .u32(attr_id::objid, o.id)
        .u32(attr_id::objtype, o.type_id)
        .blob(attr_id::signature, b.types[o.type_id].signature);
    send_data(c, f, d);
}

void on_lookup(broker& b, client& c, const frame& f)
{
    auto pattern = f.str(attr_id::objpath);
    if (!pattern) {
        for (const auto& [path, id] : b.paths) send_lookup_entry(b, c, f, b.objects[id]);
        return send_status(c, f, status::ok);
    }
    if (pattern->empty()) return send_status(c, f, status::invalid_argument);
    if (pattern->back() != '*') {
        auto it = b.paths.find(*pattern);
        if (it == b.paths.end()) return send_status(c, f, status::not_found);
        send_lookup_entry(b, c, f, b.objects[it->second]);
        return send_status(c, f, status::ok);
    }
    std::string prefix = pattern->substr(0, pattern->size() - 1);
    bool found = false;
    for (auto it = b.paths.lower_bound(prefix); it != b.paths.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0) break;
        const object& o = b.objects[it->second];
        if (!o.type_id) continue;
        send_lookup_entry(b, c, f, o);
        found = true;
    }
    send_status(c, f, found ? status::ok : status::not_found);
}

void on_invoke(broker& b, client& c, const frame& f)
{
    auto id = f.u32(attr_id::objid);
    auto method = f.str(attr_id::method);
    if (!id || !method) return send_status(c, f, status::invalid_argument);
    auto it = b.objects.find(*id);
    if (it == b.objects.end()) return send_status(c, f, status::not_found);
    auto owner = b.clients.find(it->second.owner);
    if (owner == b.clients.end()) return send_status(c, f, status::not_found);
    builder d;
    d.u32(attr_id::objid, *id).str(attr_id::method, *method);
    if (!c.user.empty()) d.str(attr_id::user, c.user);
    if (!c.group.empty()) d.str(attr_id::group, c.group);
    if (auto data = f.blob(attr_id::data)) d.blob(attr_id::data, *data);
    send_to(*owner->second, d.finish(msg::invoke, f.seq, c.id));
}

// DATA and STATUS from an object owner go back to the caller named in `peer`,
// with `peer` set to the object id. Anything doubtful is dropped, as ubusd does.
void on_reply(broker& b, client& c, const frame& f)
{
    auto id = f.u32(attr_id::objid);
    if (!id) return;
    auto it = b.objects.find(*id);
    if (it == b.objects.end() || it->second.owner != c.id) return;
    if (f.type == msg::status && !f.u32(attr_id::status)) return;
    if (f.type == msg::data && !f.blob(attr_id::data)) return;
    auto caller = b.clients.find(f.peer);
    if (caller == b.clients.end()) return;
    bytes out = f.raw;
    out[4] = std::uint8_t(*id >> 24);
    out[5] = std::uint8_t(*id >> 16);
    out[6] = std::uint8_t(*id >> 8);
    out[7] = std::uint8_t(*id);
    send_to(*caller->second, out);
}

void handle(broker& b, client& c, bytes raw)
{
    frame f;
    if (!parse_frame(std::move(raw), f)) return;
    switch (f.type) {
    case msg::ping: {
        bytes echo = f.raw;
        echo[1] = static_cast<std::uint8_t>(msg::data);
        send_to(c, echo);
        return send_status(c, f, status::ok);
    }
    case msg::add_object: return on_add_object(b, c, f);
    case msg::remove_object: return on_remove_object(b, c, f);
    case msg::lookup: return on_lookup(b, c, f);
    case msg::invoke: return on_invoke(b, c, f);
    case msg::data:
    case msg::status: return on_reply(b, c, f);
    default: return send_status(c, f, status::invalid_command);
    }
}

void disconnect(broker& b, std::uint32_t id)
{
    for (auto it = b.objects.begin(); it != b.objects.end();) {
        auto next = std::next(it);
        if (it->second.owner == id) drop_object(b, it, nullptr);
        it = next;
    }
    b.clients.erase(id);
}

void accept_client(broker& b)
{
    int fd = ::accept4(b.listener.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    auto c = std::make_unique<client>();
    c->fd.reset(fd);
    c->id = fresh_id(b, b.clients);
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
        char buf[1024];
        passwd pw, *pwp = nullptr;
        if (::getpwuid_r(cred.uid, &pw, buf, sizeof buf, &pwp) == 0 && pwp) c->user = pw.pw_name;
        group gr, *grp = nullptr;
        if (::getgrgid_r(cred.gid, &gr, buf, sizeof buf, &grp) == 0 && grp) c->group = gr.gr_name;
    }
    send_to(*c, builder{}.finish(msg::hello, 0, c->id));
    std::uint32_t id = c->id;
    b.clients[id] = std::move(c);
}

// Reads what the client sent and handles each complete frame. False when the
// client is gone or broke the framing rules.
bool read_client(broker& b, client& c)
{
    std::uint8_t buf[16384];
    ssize_t n = ::recv(c.fd.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0) return false;
    c.in.feed(buf, std::size_t(n));
    bytes raw;
    for (;;) {
        auto r = c.in.next(raw);
        if (r == frame_reader::need_more) return true;
        if (r == frame_reader::bad) return false;
        handle(b, c, std::move(raw));
    }
}

}  // namespace

bool listen_on(broker& b, const std::string& path)
{
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
    b.listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!b.listener) return false;
    if (::bind(b.listener.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) return false;
    ::chmod(path.c_str(), 0666);
    if (::listen(b.listener.fd, 64) < 0) return false;
    b.path = path;
    return true;
}

void serve(broker& b, const sigset_t& stop_signals)
{
    sigset_t wait_mask;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &wait_mask);
    for (int s = 1; s < NSIG; ++s)
        if (::sigismember(&stop_signals, s) == 1) ::sigdelset(&wait_mask, s);
    static volatile std::sig_atomic_t stop_requested;
    stop_requested = 0;
    struct sigaction sa{};
    sa.sa_handler = [](int) { stop_requested = 1; };
    for (int s = 1; s < NSIG; ++s)
        if (::sigismember(&stop_signals, s) == 1) ::sigaction(s, &sa, nullptr);

    std::vector<pollfd> fds;
    std::vector<std::uint32_t> ids;
    while (!stop_requested) {
        fds.assign(1, pollfd{b.listener.fd, POLLIN, 0});
        ids.assign(1, 0);
        for (auto& [id, c] : b.clients) {
            fds.push_back({c->fd.fd, short(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
            ids.push_back(id);
        }
        // Signals are let through only while waiting, so none is missed.
        if (::ppoll(fds.data(), fds.size(), nullptr, &wait_mask) < 0) continue;
        for (std::size_t k = 1; k < fds.size(); ++k) {
            auto it = b.clients.find(ids[k]);
            if (it == b.clients.end()) continue;  // gone while handling another
            client& c = *it->second;
            bool alive = true;
            if (fds[k].revents & POLLOUT) flush(c);
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) alive = read_client(b, c);
            if (!alive) disconnect(b, ids[k]);
        }
        if (fds[0].revents & POLLIN) accept_client(b);
    }
    ::unlink(b.path.c_str());
}

}  // namespace ubusd
