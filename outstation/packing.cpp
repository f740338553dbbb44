#include "outstation/packing.h"

#include <algorithm>

namespace outstation {

// Why this layout is the best there is. Cut every run of consecutive IOAs
// into pieces of sequence_capacity from its start, the last piece holding
// the rest. k sequence ASDUs carry at most the objects of the k largest
// pieces (one sequence ASDU is one stretch of one run, at most
// sequence_capacity long, and j of them cover at most min(run, j x
// capacity) of a run, which its j largest pieces do). Whatever they leave
// goes into ceil(rest / packed_capacity) ASDUs with an IOA per object, so
//   ASDUs  = k + ceil(rest / packed_capacity)
//   octets = header x ASDUs + objects x element + IOA octets x (k + rest),
// and trying every k with the largest pieces, keeping the fewest ASDUs and
// then the fewest IOA fields written, reaches the optimum for the type. A
// piece of one object is no better as a sequence: the smaller k wins a tie.
// A repeated IOA (a point that has received both an integer and a real
// value is two records) ends a run: the layout stays valid and no worse than
// filling ASDUs in order, but may then not be the best there is.
std::vector<packed_asdu> plan_packing(const std::vector<uint32_t>& ioas, int sequence_capacity,
                                      int packed_capacity) {
    const int n = int(ioas.size());
    struct piece {
        int first, count;
    };
    std::vector<piece> pieces;
    for (int i = 0; i < n;) {
        int end = i + 1;
        while (end < n && ioas[size_t(end)] == ioas[size_t(end - 1)] + 1) ++end;
        for (int first = i; first < end; first += sequence_capacity)
            pieces.push_back({first, std::min(sequence_capacity, end - first)});
        i = end;
    }
    std::stable_sort(pieces.begin(), pieces.end(), [](const piece& a, const piece& b) { return a.count > b.count; });

    auto packed_asdus = [&](int objects) { return (objects + packed_capacity - 1) / packed_capacity; };
    int best_k = 0, best_asdus = packed_asdus(n), best_ioa_fields = n;
    for (int k = 1, covered = 0; k <= int(pieces.size()); ++k) {
        covered += pieces[size_t(k - 1)].count;
        const int asdus = k + packed_asdus(n - covered);
        const int ioa_fields = k + n - covered;
        if (asdus < best_asdus || (asdus == best_asdus && ioa_fields < best_ioa_fields)) {
            best_k = k;
            best_asdus = asdus;
            best_ioa_fields = ioa_fields;
        }
    }

    std::vector<packed_asdu> out;
    std::vector<bool> in_sequence(size_t(n), false);
    for (int k = 0; k < best_k; ++k) {
        packed_asdu a{true, {}};
        for (int m = pieces[size_t(k)].first; m < pieces[size_t(k)].first + pieces[size_t(k)].count; ++m) {
            a.members.push_back(m);
            in_sequence[size_t(m)] = true;
        }
        out.push_back(std::move(a));
    }
    for (int m = 0; m < n; ++m) {
        if (in_sequence[size_t(m)]) continue;
        if (out.empty() || out.back().sequence || int(out.back().members.size()) == packed_capacity)
            out.push_back({false, {}});
        out.back().members.push_back(m);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const packed_asdu& a, const packed_asdu& b) { return a.members.front() < b.members.front(); });
    return out;
}

}  // namespace outstation
