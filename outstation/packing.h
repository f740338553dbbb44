// How interrogation and cyclic transmission lay out the points of one type
// over ASDUs when asdu_packing is on: the fewest ASDUs (each takes a slot of
// the master's window, and on a cellular link a share of a round trip), and
// among layouts with that many, the fewest octets.
#pragma once

#include <cstdint>
#include <vector>

namespace outstation {

// One ASDU of the layout: a sequence (SQ = 1) of consecutive IOAs, or
// objects each with its IOA (SQ = 0). Members are positions in the IOA list
// handed to plan_packing, ascending.
struct packed_asdu {
    bool sequence = false;
    std::vector<int> members;
};

// The layout of the objects with these IOAs (ascending; an IOA may repeat,
// for a point stored both as an integer and as a real value), given how many
// objects a sequence ASDU and an ASDU with an IOA per object hold (both at
// least 1). The ASDUs come in the order of their first member.
std::vector<packed_asdu> plan_packing(const std::vector<uint32_t>& ioas, int sequence_capacity,
                                      int packed_capacity);

}  // namespace outstation
