// Bytes from the radio are untrusted: whatever arrives, the receive path must
// neither read nor write outside its buffers.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "rf/frame.h"
#include "rf/parser.h"

namespace {
uint64_t clock_ms = 0;
uint64_t fake_clock() { return clock_ms; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    // The first byte splits the input into reads of up to 1 + (data[0] & 31) bytes,
    // the second sets the clock step between reads (0 to 2550 ms).
    if (size < 2) return 0;
    size_t chunk = 1 + (data[0] & 31);
    uint64_t step = uint64_t(data[1]) * 10;
    rf::rf_parser parser;
    parser.now_ms = fake_clock;
    clock_ms = 0;
    for (size_t pos = 2; pos < size; pos += chunk) {
        std::vector<uint8_t> read(data + pos, data + std::min(size, pos + chunk));  // exact size: ASan sees overreads
        clock_ms += step;
        bool repaired = false;
        size_t at = 0;
        while (at < read.size()) {
            size_t used = 0;
            int n = rf::rf_parser_feed(parser, read.data() + at, read.size() - at, &used);
            at += used;
            if (n > 0) {
                if (n > int(rf::max_frame_size)) std::abort();
                rf::rf_frame f;
                if (rf::rf_frame_decode(parser.buffer.data(), size_t(n), &f) == 0) {
                    rf::rf_record r;
                    rf::rf_payload_decode(f, r);
                    rf::rf_frame_print(f);
                    uint8_t out[rf::max_frame_size];
                    size_t len = 0;
                    rf::rf_frame_serialize(&f, out, &len);
                    if (len != size_t(n)) std::abort();  // a decoded frame serialises to its own length
                }
            } else if (n < 0) {
                if (!repaired && rf::fi_reset_length_repair(read.data(), read.size())) {
                    repaired = true;
                    rf::rf_parser_reset(parser);
                    at = 0;
                }
            } else {
                break;
            }
        }
    }
    return 0;
}
