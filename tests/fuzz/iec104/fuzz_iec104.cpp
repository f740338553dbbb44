// Feeds arbitrary bytes as a received TCP stream: frames are cut out, their
// sequence numbers applied, and every I-frame's ASDU decoded with parameter
// sizes taken from the first input byte. Every decoded ASDU must read all its
// objects and encode back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "iec104/apci.h"
#include "iec104/asdu.h"
#include "iec104/link.h"

using namespace iec104;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    AppLayerParameters p;
    p.size_of_cot = 1 + (data[0] & 1);
    p.size_of_ca = 1 + (data[0] >> 1 & 1);
    p.size_of_ioa = 1 + (data[0] >> 2 & 3) % 3;
    ++data;
    --size;

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
            if (decode_asdu(in, p, a) != DecodeError::ok) continue;
            for (int i = 0; i < a.count; ++i)
                if (!get_object(a, p, i)) std::abort();
            uint8_t out[kMaxAsduSize];
            const size_t written = encode_asdu(a, p, out);
            if (written != in.size() || std::memcmp(out, in.data(), written) != 0) std::abort();
        }
        if (error != ParseError::none) return 0;
    }
    return 0;
}
