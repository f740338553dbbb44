// blob attributes and blobmsg elements: the TLV encoding of every ubus message.
//
// A blob attribute starts with one big-endian word: bit 31 "extended" (set on
// blobmsg elements), bits 30..24 the id, bits 23..0 the length counting the
// 4-byte header but not the zero padding to the next multiple of 4. Containers
// count the padding of every child, the last one included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ubus {

using bytes = std::vector<std::uint8_t>;
using byte_view = std::span<const std::uint8_t>;

// blobmsg type numbers as they travel on the wire and in signatures.
enum class type : std::uint8_t {
    unspec = 0,
    array = 1,
    table = 2,
    string = 3,
    int64 = 4,
    int32 = 5,
    int16 = 6,
    int8 = 7,  // also the bool type
    dbl = 8,
};
inline constexpr type boolean = type::int8;
inline constexpr unsigned max_type = 8;

// Deepest nesting of arrays and tables a decoder accepts.
inline constexpr int max_depth = 32;

struct member;

// One blobmsg value. Integers of every width live in `i` (bools as 0/1),
// doubles in `d`, strings in `s`; arrays and tables keep their children in
// `items` (array children have empty names).
struct value {
    type t = type::unspec;
    std::int64_t i = 0;
    double d = 0;
    std::string s;
    std::vector<member> items;

    static value str(std::string_view text);
    static value i32(std::int32_t v);
    static value i64(std::int64_t v);
    static value i16(std::int16_t v);
    static value i8(std::int8_t v);
    static value boolean(bool v);
    static value dbl(double v);
    static value null();
    static value array(std::vector<value> elements);
    static value table(std::vector<member> members);
};

struct member {
    std::string name;
    value val;
};

// The body of a request or reply: named elements without a surrounding header.
using table = std::vector<member>;

// First member called `name`, or null.
const value* find(const table& t, std::string_view name);

std::uint32_t get_be32(const std::uint8_t* p);
std::uint16_t get_be16(const std::uint8_t* p);
void put_be32(bytes& out, std::uint32_t v);
void put_be16(bytes& out, std::uint16_t v);
inline constexpr std::size_t pad4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// One attribute seen by a reader: header fields and a view of the payload.
struct attr {
    bool extended = false;
    unsigned id = 0;
    byte_view payload;  // length - 4 bytes
};

// Walks a list of attributes. Stops (and sets `bad`) at an attribute whose
// header or length does not fit in what is left.
struct attr_reader {
    byte_view rest;
    bool bad = false;
    std::optional<attr> next();
};

// Encoding. Every element is padded to 4 bytes with zeros.
void put_element(bytes& out, std::string_view name, const value& v);
bytes encode(const table& t);

// Decoding of a list of blobmsg elements (the payload of a table, an argument
// list or a reply body). `named` demands non-empty names (tables), otherwise
// names are ignored (arrays). Returns false on any malformed element; the
// output then holds nothing useful.
bool decode(byte_view list, table& out, bool named = true, int depth = 0);

// One decoded element: name and value. False when malformed.
bool decode_element(const attr& a, member& out, int depth = 0);

// Argument policy of a method: slot k is filled by the first element whose
// name is policy[k].name and whose type is policy[k].t (type::unspec takes any
// type). A wrong type leaves the slot empty. Elements without a name or
// without the extended flag are skipped; a malformed element ends the walk.
struct policy {
    std::string name;
    type t;
};
using args = std::vector<std::optional<value>>;
args parse_args(byte_view list, const std::vector<policy>& pol);

}  // namespace ubus
