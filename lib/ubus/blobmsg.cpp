#include "lib/ubus/blobmsg.h"

#include <bit>

namespace ubus {

value value::str(std::string_view text) { value v; v.t = type::string; v.s = text; return v; }
value value::i32(std::int32_t x) { value v; v.t = type::int32; v.i = x; return v; }
value value::i64(std::int64_t x) { value v; v.t = type::int64; v.i = x; return v; }
value value::i16(std::int16_t x) { value v; v.t = type::int16; v.i = x; return v; }
value value::i8(std::int8_t x) { value v; v.t = type::int8; v.i = x; return v; }
value value::boolean(bool x) { value v; v.t = type::int8; v.i = x ? 1 : 0; return v; }
value value::dbl(double x) { value v; v.t = type::dbl; v.d = x; return v; }
value value::null() { return value{}; }
value value::array(std::vector<value> elements)
{
    value v;
    v.t = type::array;
    for (auto& e : elements) v.items.push_back(member{"", std::move(e)});
    return v;
}
value value::table(std::vector<member> members)
{
    value v;
    v.t = type::table;
    v.items = std::move(members);
    return v;
}

const value* find(const table& t, std::string_view name)
{
    for (const auto& m : t)
        if (m.name == name) return &m.val;
    return nullptr;
}

std::uint32_t get_be32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::uint16_t get_be16(const std::uint8_t* p) { return std::uint16_t(p[0] << 8 | p[1]); }
void put_be32(bytes& out, std::uint32_t v)
{
    out.push_back(std::uint8_t(v >> 24));
    out.push_back(std::uint8_t(v >> 16));
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v));
}
void put_be16(bytes& out, std::uint16_t v)
{
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v));
}

std::optional<attr> attr_reader::next()
{
    if (bad || rest.empty()) return std::nullopt;
    if (rest.size() < 4) { bad = true; return std::nullopt; }
    std::uint32_t word = get_be32(rest.data());
    std::size_t len = word & 0x00FFFFFF;
    // The padded length must fit: a child whose padding runs past the end of
    // its container is not part of it.
    if (len < 4 || pad4(len) > rest.size()) { bad = true; return std::nullopt; }
    attr a;
    a.extended = (word & 0x80000000u) != 0;
    a.id = (word >> 24) & 0x7F;
    a.payload = rest.subspan(4, len - 4);
    rest = rest.subspan(pad4(len));
    return a;
}

namespace {

void put_u64(bytes& out, std::uint64_t v)
{
    put_be32(out, std::uint32_t(v >> 32));
    put_be32(out, std::uint32_t(v));
}

void pad(bytes& out)
{
    while (out.size() % 4) out.push_back(0);
}

// Writes the length of the attribute whose header starts at `at`, counting
// everything written since (padding of the last child included), keeping
// the flag and id bits.
void close_attr(bytes& out, std::size_t at, std::size_t unpadded_end)
{
    std::uint32_t len = std::uint32_t(unpadded_end - at);
    out[at + 1] = std::uint8_t(len >> 16);
    out[at + 2] = std::uint8_t(len >> 8);
    out[at + 3] = std::uint8_t(len);
}

}  // namespace

void put_element(bytes& out, std::string_view name, const value& v)
{
    pad(out);
    std::size_t at = out.size();
    out.push_back(std::uint8_t(0x80 | static_cast<unsigned>(v.t)));
    out.insert(out.end(), 3, 0);
    put_be16(out, std::uint16_t(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
    pad(out);
    switch (v.t) {
    case type::unspec:
        break;
    case type::array:
    case type::table:
        for (const auto& m : v.items) put_element(out, v.t == type::array ? "" : m.name, m.val);
        pad(out);  // a container counts its last child's padding
        break;
    case type::string:
        out.insert(out.end(), v.s.begin(), v.s.end());
        out.push_back(0);
        break;
    case type::int64:
        put_u64(out, std::uint64_t(v.i));
        break;
    case type::int32:
        put_be32(out, std::uint32_t(v.i));
        break;
    case type::int16:
        put_be16(out, std::uint16_t(v.i));
        break;
    case type::int8:
        out.push_back(std::uint8_t(v.i));
        break;
    case type::dbl:
        put_u64(out, std::bit_cast<std::uint64_t>(v.d));
        break;
    }
    close_attr(out, at, out.size());
    pad(out);
}

bytes encode(const table& t)
{
    bytes out;
    for (const auto& m : t) put_element(out, m.name, m.val);
    return out;
}

bool decode_element(const attr& a, member& out, int depth)
{
    if (!a.extended || a.id > max_type) return false;
    byte_view p = a.payload;
    if (p.size() < 2) return false;
    std::size_t namelen = get_be16(p.data());
    std::size_t hdr = pad4(2 + namelen + 1);
    // The name, its NUL and the header padding must lie inside the element.
    if (2 + namelen + 1 > p.size() || p[2 + namelen] != 0) return false;
    if (hdr > p.size()) return false;
    out.name.assign(reinterpret_cast<const char*>(p.data() + 2), namelen);
    byte_view d = p.subspan(hdr);
    value& v = out.val;
    v = value{};
    v.t = static_cast<type>(a.id);
    switch (v.t) {
    case type::unspec:
        return true;
    case type::array:
    case type::table:
        if (depth >= max_depth) return false;
        return decode(d, v.items, v.t == type::table, depth + 1);
    case type::string:
        if (d.empty() || d.back() != 0) return false;
        v.s.assign(reinterpret_cast<const char*>(d.data()), d.size() - 1);
        return true;
    case type::int64:
        if (d.size() != 8) return false;
        v.i = std::int64_t(std::uint64_t{get_be32(d.data())} << 32 | get_be32(d.data() + 4));
        return true;
    case type::int32:
        if (d.size() != 4) return false;
        v.i = std::int32_t(get_be32(d.data()));
        return true;
    case type::int16:
        if (d.size() != 2) return false;
        v.i = std::int16_t(get_be16(d.data()));
        return true;
    case type::int8:
        if (d.size() != 1) return false;
        v.i = std::int8_t(d[0]);
        return true;
    case type::dbl:
        if (d.size() < 8) return false;
        v.d = std::bit_cast<double>(std::uint64_t{get_be32(d.data())} << 32 | get_be32(d.data() + 4));
        return true;
    }
    return false;
}

bool decode(byte_view list, table& out, bool named, int depth)
{
    out.clear();
    attr_reader r{list};
    while (auto a = r.next()) {
        member m;
        if (!decode_element(*a, m, depth)) return false;
        if (named && m.name.empty()) return false;
        if (!named) m.name.clear();
        out.push_back(std::move(m));
    }
    return !r.bad;
}

args parse_args(byte_view list, const std::vector<policy>& pol)
{
    args out(pol.size());
    attr_reader r{list};
    while (auto a = r.next()) {
        if (!a->extended) continue;
        member m;
        if (!decode_element(*a, m)) break;
        if (m.name.empty()) continue;
        for (std::size_t k = 0; k < pol.size(); ++k) {
            if (out[k] || pol[k].name != m.name) continue;
            if (pol[k].t != type::unspec && pol[k].t != m.val.t) continue;
            out[k] = std::move(m.val);
            break;
        }
    }
    return out;
}

}  // namespace ubus
