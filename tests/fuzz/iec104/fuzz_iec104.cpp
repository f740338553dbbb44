// Feeds arbitrary bytes as a received TCP stream: frames are cut out, their
// sequence numbers applied, and every I-frame's ASDU decoded with parameter
// sizes taken from the first input byte. Every decoded ASDU must read all its
// objects and encode back to the same bytes; then it goes through the
// server's dispatch (automatic replies and handlers) as a master's request.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lib/iec104/apci.h"
#include "lib/iec104/asdu.h"
#include "lib/iec104/link.h"
#include "lib/iec104/server_internal.h"

using namespace iec104;

namespace {

ServerHandlers make_handlers(bool accept) {
    ServerHandlers h;
    h.interrogation = [accept](const ConnectionPtr& c, Asdu& a, uint8_t qoi) {
        send_act_con(*c, a, qoi != 20);
        return accept && send_act_term(*c, a);
    };
    h.clock_sync = [accept](const ConnectionPtr&, Asdu&, Cp56Time2a& time) {
        time = cp56_from_ms(cp56_to_ms(time) + 1);
        return accept;
    };
    h.read = [accept](const ConnectionPtr&, Asdu&, uint32_t) { return accept; };
    h.asdu = [accept](const ConnectionPtr& c, Asdu& a) {
        const auto o = get_object(a, app_parameters(*c), 0);
        return accept && o && send_act_con(*c, a, o->value == 0);
    };
    return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    AppLayerParameters p;
    p.size_of_cot = 1 + (data[0] & 1);
    p.size_of_ca = 1 + (data[0] >> 1 & 1);
    p.size_of_ioa = 1 + (data[0] >> 2 & 3) % 3;
    const bool with_handlers = data[0] & 0x10;
    const bool accept = data[0] & 0x20;
    ++data;
    --size;

    static const ServerHandlers none, accepting = make_handlers(true), refusing = make_handlers(false);
    const ServerHandlers& handlers = !with_handlers ? none : accept ? accepting : refusing;
    auto c = std::make_shared<Connection>();
    c->app = p;
    c->event = make_eventfd();
    c->high.limit = c->low.limit = 64 * 1024;

    Link link;
    link_reset(link, {}, 0);
    FrameParser parser;
    while (size > 0) {
        const std::span<uint8_t> space = parser_space(parser);
        const size_t n = size < space.size() ? size : space.size();
        std::memcpy(space.data(), data, n);
        parser_commit(parser, n);
        data += n;
        size -= n;

        std::span<const uint8_t> frame;
        ParseError error;
        while (parser_next(parser, frame, error)) {
            const Frame kind = classify(frame[2]);
            if (kind == Frame::s) link_ack(link, recv_seq(frame));
            if (kind != Frame::i) continue;
            link_i_received(link, send_seq(frame), 0);
            link_ack(link, recv_seq(frame));

            Asdu a;
            const std::span<const uint8_t> in = frame.subspan(6);
            const DecodeError e = decode_asdu(in, p, a);
            if (e != DecodeError::ok && e != DecodeError::unknown_type) continue;
            if (e == DecodeError::ok) {
                for (int i = 0; i < a.count; ++i)
                    if (!get_object(a, p, i)) std::abort();
                uint8_t out[kMaxAsduSize];
                const size_t written = encode_asdu(a, p, out);
                if (written != in.size() || std::memcmp(out, in.data(), written) != 0) std::abort();
            }
            dispatch_asdu(handlers, c, a, e == DecodeError::ok);
            // Every reply must itself be a well-formed ASDU.
            for (const auto& reply : c->high.entries) {
                Asdu r;
                const DecodeError re = decode_asdu(reply, p, r);
                if (re != DecodeError::ok && re != DecodeError::unknown_type) std::abort();
            }
            c->high = AsduQueue{.limit = 64 * 1024};
        }
        if (error != ParseError::none) return 0;
    }
    return 0;
}
