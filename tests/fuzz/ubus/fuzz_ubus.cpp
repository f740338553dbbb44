// libFuzzer target: the frame reassembly, frame parsing and blobmsg decoding
// a client or the broker runs on every byte it receives. Decoded bodies must
// encode back to something that decodes to the same values.
#include <bit>
#include <cstdint>
#include <cstdlib>

#include "lib/ubus/blobmsg.h"
#include "lib/ubus/message.h"

namespace {

bool same(const ubus::value& a, const ubus::value& b)
{
    if (a.t != b.t || a.i != b.i || a.s != b.s || a.items.size() != b.items.size()) return false;
    if (std::bit_cast<std::uint64_t>(a.d) != std::bit_cast<std::uint64_t>(b.d)) return false;
    for (std::size_t k = 0; k < a.items.size(); ++k)
        if (a.items[k].name != b.items[k].name || !same(a.items[k].val, b.items[k].val)) return false;
    return true;
}

void check_body(ubus::byte_view body)
{
    ubus::table t;
    if (!ubus::decode(body, t)) return;
    ubus::table back;
    if (!ubus::decode(ubus::encode(t), back) || !same(ubus::value::table(t), ubus::value::table(back))) std::abort();
    ubus::parse_args(body, {{"text", ubus::type::string}, {"n", ubus::type::int32}, {"any", ubus::type::unspec}});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The raw input as a blobmsg list.
    check_body(ubus::byte_view(data, size));

    // The raw input as a byte stream, fed in uneven pieces.
    ubus::frame_reader reader;
    std::size_t off = 0, piece = 1;
    ubus::bytes raw;
    while (off < size) {
        std::size_t n = std::min(piece, size - off);
        reader.feed(data + off, n);
        off += n;
        piece = piece * 3 % 61 + 1;
        for (;;) {
            auto r = reader.next(raw);
            if (r != ubus::frame_reader::frame_ready) {
                if (r == ubus::frame_reader::bad) return 0;
                break;
            }
            ubus::frame f;
            if (!ubus::parse_frame(raw, f)) std::abort();  // the reader hands out whole frames only
            for (unsigned id = 1; id < ubus::attr_id::count; ++id) {
                f.u32(id);
                f.u8(id);
                f.str(id);
            }
            if (auto d = f.blob(ubus::attr_id::data)) check_body(*d);
            if (auto s = f.blob(ubus::attr_id::signature)) check_body(*s);
        }
    }
    return 0;
}
