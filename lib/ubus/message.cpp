#include "lib/ubus/message.h"

#include <algorithm>

namespace ubus {

std::optional<std::uint32_t> frame::u32(unsigned id) const
{
    if (!attrs[id] || attrs[id]->size() != 4) return std::nullopt;
    return get_be32(attrs[id]->data());
}

std::optional<std::uint8_t> frame::u8(unsigned id) const
{
    if (!attrs[id] || attrs[id]->size() != 1) return std::nullopt;
    return (*attrs[id])[0];
}

std::optional<std::string> frame::str(unsigned id) const
{
    if (!attrs[id] || attrs[id]->empty() || attrs[id]->back() != 0) return std::nullopt;
    const auto* p = reinterpret_cast<const char*>(attrs[id]->data());
    return std::string(p, attrs[id]->size() - 1);
}

bool parse_frame(bytes raw, frame& out)
{
    if (raw.size() < header_size + 4) return false;
    std::size_t len = get_be32(raw.data() + 8) & 0x00FFFFFF;
    if (len < 4 || header_size + len != raw.size()) return false;
    out.raw = std::move(raw);
    const std::uint8_t* p = out.raw.data();
    out.version = p[0];
    out.type = static_cast<msg>(p[1]);
    out.seq = get_be16(p + 2);
    out.peer = get_be32(p + 4);
    out.attrs = {};
    // An attribute that does not fit ends the walk; a last attribute without
    // its padding is still taken.
    byte_view list(out.raw.data() + 12, len - 4);
    while (list.size() >= 4) {
        std::uint32_t word = get_be32(list.data());
        std::size_t alen = word & 0x00FFFFFF;
        if (alen < 4 || alen > list.size()) break;
        unsigned id = (word >> 24) & 0x7F;
        if (!(word & 0x80000000u) && id > 0 && id < attr_id::count)
            out.attrs[id] = list.subspan(4, alen - 4);
        list = list.subspan(std::min(pad4(alen), list.size()));
    }
    return true;
}

builder& builder::u32(unsigned id, std::uint32_t v)
{
    put_be32(body, (id << 24) | 8);
    put_be32(body, v);
    return *this;
}

builder& builder::u8(unsigned id, std::uint8_t v)
{
    put_be32(body, (id << 24) | 5);
    body.push_back(v);
    body.insert(body.end(), 3, 0);
    return *this;
}

builder& builder::str(unsigned id, std::string_view s)
{
    put_be32(body, std::uint32_t(id << 24 | (4 + s.size() + 1)));
    body.insert(body.end(), s.begin(), s.end());
    body.push_back(0);
    while (body.size() % 4) body.push_back(0);
    return *this;
}

builder& builder::blob(unsigned id, byte_view payload)
{
    put_be32(body, std::uint32_t(id << 24 | (4 + payload.size())));
    body.insert(body.end(), payload.begin(), payload.end());
    while (body.size() % 4) body.push_back(0);
    return *this;
}

bytes builder::finish(msg type, std::uint16_t seq, std::uint32_t peer) const
{
    bytes out;
    out.reserve(12 + body.size());
    out.push_back(0);
    out.push_back(static_cast<std::uint8_t>(type));
    put_be16(out, seq);
    put_be32(out, peer);
    put_be32(out, std::uint32_t(4 + body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

void frame_reader::feed(const std::uint8_t* p, std::size_t n)
{
    if (start > 0 && start == buf.size()) {
        buf.clear();
        start = 0;
    } else if (start > 65536) {
        buf.erase(buf.begin(), buf.begin() + std::ptrdiff_t(start));
        start = 0;
    }
    buf.insert(buf.end(), p, p + n);
}

frame_reader::result frame_reader::next(bytes& out)
{
    std::size_t have = buf.size() - start;
    if (have < 12) return need_more;
    std::size_t len = get_be32(buf.data() + start + 8) & 0x00FFFFFF;
    if (len < 4 || pad4(len) > max_msglen) return bad;
    if (have < header_size + len) return need_more;
    auto b = buf.begin() + std::ptrdiff_t(start);
    out.assign(b, b + std::ptrdiff_t(header_size + len));
    start += header_size + len;
    return frame_ready;
}

}  // namespace ubus
