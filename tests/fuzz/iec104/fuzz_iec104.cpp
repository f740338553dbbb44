// Feeds arbitrary bytes as a received TCP stream: frames are cut out, their
// sequence numbers applied, and every I-frame's ASDU decoded with parameter
// sizes taken from the first input byte. Every decoded ASDU must read all its
// objects and encode back to the same bytes; then it goes through the
// server's dispatch (automatic replies and handlers) as a master's request.
// A time tag whose fields are all in range reads as the same fields again
// after a trip through milliseconds.
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

bool leap(int year) { return year % 4 == 0; }  // 2000..2099

// The time tag's fields survive cp56_to_ms and cp56_from_ms when they are in range.
void check_time(const Cp56Time2a& t) {
    const int64_t ms = cp56_to_ms(t);
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int month = cp56_month(t), day = cp56_day_of_month(t), year = 2000 + cp56_year(t);
    if ((t.bytes[0] | t.bytes[1] << 8) >= 60000 || cp56_minute(t) > 59 || cp56_hour(t) > 23 ||
        cp56_year(t) > 99 || month < 1 || month > 12 || day < 1 || day > days[month - 1] + (month == 2 && leap(year)))
        return;
    const Cp56Time2a back = cp56_from_ms(ms);
    if (cp56_millisecond(back) != cp56_millisecond(t) || cp56_second(back) != cp56_second(t) ||
        cp56_minute(back) != cp56_minute(t) || cp56_hour(back) != cp56_hour(t) ||
        cp56_day_of_month(back) != day || cp56_month(back) != month || cp56_year(back) != cp56_year(t))
        std::abort();
}

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
                const TypeInfo* info = type_info(a.type);
                for (int i = 0; i < a.count; ++i) {
                    const auto o = get_object(a, p, i);
                    if (!o) std::abort();
                    if (info->time) check_time(o->time);
                }
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
