#include "tools/ubus-call/json.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>

namespace ubus_call {

using ubus::member;
using ubus::table;
using ubus::type;
using ubus::value;
using json = nlohmann::ordered_json;

namespace {

value from_json(const json& j)
{
    switch (j.type()) {
    case json::value_t::string:
        return value::str(j.get<std::string>());
    case json::value_t::boolean:
        return value::boolean(j.get<bool>());
    case json::value_t::number_integer: {
        auto v = j.get<std::int64_t>();
        if (v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max())
            return value::i32(std::int32_t(v));
        return value::i64(v);
    }
    case json::value_t::number_unsigned: {
        auto v = j.get<std::uint64_t>();
        if (v <= std::uint64_t(std::numeric_limits<std::int32_t>::max())) return value::i32(std::int32_t(v));
        if (v <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) return value::i64(std::int64_t(v));
        return value::i64(std::numeric_limits<std::int64_t>::max());
    }
    case json::value_t::number_float:
        return value::dbl(j.get<double>());
    case json::value_t::array: {
        std::vector<value> elements;
        for (const auto& e : j) elements.push_back(from_json(e));
        return value::array(std::move(elements));
    }
    case json::value_t::object: {
        table members;
        for (const auto& [k, v] : j.items()) members.push_back({k, from_json(v)});
        return value::table(std::move(members));
    }
    default:
        return value::null();
    }
}

void put_string(std::string& out, std::string_view s)
{
    out += '"';
    for (unsigned char ch : s) {
        switch (ch) {
        case '\b': out += "\\b"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (ch < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", ch);
                out += buf;
            } else {
                out += char(ch);
            }
        }
    }
    out += '"';
}

void put_value(std::string& out, const value& v, bool compact, int level);

void put_container(std::string& out, const value& v, bool compact, int level)
{
    bool is_table = v.t == type::table;
    std::string sep = compact ? "" : "\n" + std::string(std::size_t(level) + 1, '\t');
    out += is_table ? '{' : '[';
    out += sep;
    bool first = true;
    for (const auto& m : v.items) {
        if (!first) out += "," + sep;
        first = false;
        if (is_table) {
            put_string(out, m.name);
            out += compact ? ":" : ": ";
        }
        put_value(out, m.val, compact, level + 1);
    }
    if (!compact) out += "\n" + std::string(std::size_t(level), '\t');
    out += is_table ? '}' : ']';
}

void put_value(std::string& out, const value& v, bool compact, int level)
{
    char buf[64];
    switch (v.t) {
    case type::unspec:
        out += "null";
        break;
    case type::array:
    case type::table:
        put_container(out, v, compact, level);
        break;
    case type::string:
        put_string(out, v.s);
        break;
    case type::int8:
        out += v.i ? "true" : "false";
        break;
    case type::int16:
    case type::int32:
    case type::int64:
        std::snprintf(buf, sizeof buf, "%" PRId64, v.i);
        out += buf;
        break;
    case type::dbl:
        std::snprintf(buf, sizeof buf, "%lf", v.d);
        out += buf;
        break;
    }
}

const char* type_word(const value& v)
{
    if (v.t != type::int32) return "(unknown)";
    switch (v.i) {
    case 1: return "Array";
    case 2: return "Table";
    case 3: return "String";
    case 5: return "Integer";
    case 7: return "Boolean";
    default: return "(unknown)";
    }
}

}  // namespace

std::optional<table> parse_args(std::string_view text)
{
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    return from_json(j).items;
}

std::string format_table(const table& t, bool compact)
{
    std::string out;
    put_value(out, value::table(t), compact, 0);
    return out;
}

std::string format_signature_method(const member& method)
{
    std::string out;
    put_string(out, method.name);
    out += ":{";
    bool first = true;
    for (const auto& arg : method.val.items) {
        if (!first) out += ',';
        first = false;
        put_string(out, arg.name);
        out += ':';
        put_string(out, type_word(arg.val));
    }
    out += '}';
    return out;
}

}  // namespace ubus_call
