// What a bounded log must hold, record by record, written from the log's
// contract rather than from its code: the tests compare the files and the
// exports with it.
#pragma once

#include <cstdint>
#include <deque>

#include "logs/ring_log.h"

namespace store_test {

// A live record: its number, where it lies in the data file and its length.
struct placed {
    uint64_t seq = 0, offset = 0, size = 0;
    bool operator==(const placed&) const = default;
};

// A record goes where the last one ended, or at offset 0 when it would pass
// the bound (the rest of the file up to there is given up); the oldest
// entries whose bytes it takes, or that lie in the end given up, leave
// first, and the oldest beyond 10000 entries.
struct ring_model {
    uint64_t bound = 0;
    std::deque<placed> live{};  // oldest first
    uint64_t end = 0;           // where the newest record ends
    int wraps = 0;              // records placed at 0 after the start of the file

    void add(uint64_t seq, uint64_t size) {
        const bool wrap = end > 0 && end + size > bound;
        const uint64_t at = wrap ? 0 : end;
        auto displaced = [&](const placed& e) {
            return (wrap && e.offset >= end) || (e.offset < at + size && at < e.offset + e.size);
        };
        while (!live.empty() && displaced(live.front())) live.pop_front();
        if (live.size() == logs::log_max_entries) live.pop_front();
        live.push_back({seq, at, size});
        end = at + size;
        wraps += wrap;
    }
};

}  // namespace store_test
