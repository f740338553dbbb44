// Cost of the receive path (synchronise, decode frame, decode payload) and of
// building a downlink frame, per frame. The gateway sees a few frames a minute;
// these figures show how much of a 32-bit ARM core a burst would take.
#include <benchmark/benchmark.h>

#include <vector>

#include "rf/frame.h"
#include "rf/parser.h"

namespace {

const std::vector<uint8_t> event_frame = {0x01, 0x18, 0x81, 0x82, 0x83, 0x84, 0x85, 0x83, 0x8A,
                                          0x65, 0x94, 0x81, 0x97, 0x81, 0x80, 0x82, 0xB2, 0x81,
                                          0x97, 0x85, 0xA4, 0xD0, 0x89, 0x87, 0x85, 0x82, 0x04};

uint64_t fixed_clock() { return 1000; }

// A 512-byte read holding as many back-to-back event frames as fit (18).
void BM_ReceiveEventFrames(benchmark::State& state) {
    std::vector<uint8_t> read;
    while (read.size() + event_frame.size() <= 512) read.insert(read.end(), event_frame.begin(), event_frame.end());
    rf::rf_parser parser;
    parser.now_ms = fixed_clock;
    size_t frames = 0;
    for (auto _ : state) {
        size_t at = 0;
        while (at < read.size()) {
            size_t used = 0;
            int n = rf::rf_parser_feed(parser, read.data() + at, read.size() - at, &used);
            at += used;
            if (n <= 0) break;
            rf::rf_frame f;
            rf::rf_record r;
            if (rf::rf_frame_decode(parser.buffer.data(), size_t(n), &f) == 0 && rf::rf_payload_decode(f, r) == 0)
                ++frames;
        }
    }
    state.SetItemsProcessed(int64_t(frames));
    state.SetBytesProcessed(int64_t(state.iterations() * read.size()));
}
BENCHMARK(BM_ReceiveEventFrames);

void BM_DecodeWakeup(benchmark::State& state) {
    rf::rf_frame built;
    rf::wakeup_data w;
    w.period = 15;
    rf::rf_frame_build(&built, {1, 2, 3, 4, 5}, 3, 10, rf::CMD_WAKEUP_SET, w);
    uint8_t wire[rf::max_frame_size];
    size_t n = 0;
    rf::rf_frame_serialize(&built, wire, &n);
    for (auto _ : state) {
        rf::rf_frame f;
        rf::rf_record r;
        rf::rf_frame_decode(wire, n, &f);
        rf::rf_payload_decode(f, r);
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_DecodeWakeup);

void BM_BuildInfoSet(benchmark::State& state) {
    rf::infoset_data s;
    s.period = 15;
    for (auto _ : state) {
        rf::rf_frame f;
        uint8_t out[rf::max_frame_size];
        size_t n = 0;
        rf::rf_frame_build(&f, {1, 2, 3, 4, 5}, 10, 3, rf::CMD_INFO_SET, s);
        rf::rf_frame_serialize(&f, out, &n);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_BuildInfoSet);

}  // namespace
