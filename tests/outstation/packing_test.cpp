// asdu_packing: interrogation and cyclic transmission with the points of a
// type packed into as few ASDUs as they fit, as a master sees them over
// loopback TCP; and the layout planner against an exhaustive search.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lib/iec104/types.h"
#include "outstation/packing.h"
#include "tests/outstation/station.h"
#include "tests/support/points.h"

namespace {

using iec104::Asdu;
using station_test::master;
using station_test::station;
using test_support::point;

// `count` points of one type from IOA `first`, `step` apart.
std::vector<point> points_from(int32_t first, int count, int step, int32_t type_id) {
    std::vector<point> out;
    for (int i = 0; i < count; ++i) {
        const int32_t ioa = first + i * step;
        out.push_back({ioa, type_id, test_support::value_for(ioa, type_id)});
    }
    return out;
}

std::vector<point> joined(std::initializer_list<std::vector<point>> parts) {
    std::vector<point> out;
    for (const std::vector<point>& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<point> sample_configuration_points() {
    std::string problem;
    const std::vector<point> points = test_support::repository_sample_points(problem);
    EXPECT_FALSE(points.empty()) << problem;
    return points;
}

// The ASDUs that filling ASDUs of each type in IOA order, an IOA with every
// object and no sequences, takes for the reported points: the simple greedy
// fill the packing must never lose to.
int greedy_asdus(const std::vector<point>& points, const iec104::AppLayerParameters& app, bool with_time) {
    std::map<uint8_t, int> per_type;
    for (const point& p : points)
        if (outstation::reported_type(p.type_id)) ++per_type[outstation::wire_type(p.type_id, with_time)];
    int asdus = 0;
    for (auto [type, n] : per_type) {
        const int capacity = iec104::object_capacity(app, type, false);
        asdus += (n + capacity - 1) / capacity;
    }
    return asdus;
}

size_t reported(const std::vector<point>& points) {
    size_t n = 0;
    for (const point& p : points) n += outstation::reported_type(p.type_id);
    return n;
}

size_t objects_in(const std::vector<Asdu>& asdus) {
    size_t n = 0;
    for (const Asdu& a : asdus) n += a.count;
    return n;
}

struct packing_case {
    const char* name;
    std::vector<point> points;
    // data ASDUs of an interrogation and of a cyclic transmission, packed
    // and as without the option
    int interrogation_packed, cyclic_packed;
    int interrogation_today, cyclic_today;
    // sizeof_cot, sizeof_ca, sizeof_ioa, max_asdu_length
    std::array<int, 4> sizes{2, 2, 3, 249};
};

// The data ASDUs of an interrogation (checked to be framed by a positive
// ACT_CON and ACT_TERM) and of a cyclic transmission of `st`.
struct answers {
    std::vector<Asdu> interrogation, cyclic;
};

answers interrogate_and_transmit(station& st, master& m, size_t objects) {
    answers out;
    std::vector<Asdu> got = m.interrogate();
    EXPECT_GE(got.size(), 2u);
    if (got.size() < 2) return out;
    EXPECT_EQ(got.front().cot, iec104::COT_ACTIVATION_CON);
    EXPECT_FALSE(got.front().negative);
    EXPECT_EQ(got.back().cot, iec104::COT_ACTIVATION_TERMINATION);
    out.interrogation.assign(got.begin() + 1, got.end() - 1);
    for (const Asdu& a : out.interrogation) EXPECT_EQ(a.cot, iec104::COT_INTERROGATED_BY_STATION);

    m.clear();
    outstation::cyclic_transmission(st.state);
    EXPECT_TRUE(test_support::wait_until([&] { return objects_in(m.received()) >= objects; }));
    out.cyclic = m.received();
    for (const Asdu& a : out.cyclic) EXPECT_EQ(a.cot, iec104::COT_PERIODIC);
    return out;
}

// The optimum plan_packing reaches, per type: as few ASDUs as the objects
// fit, then as few octets (its comment says why no layout does better). For
// these cases, with 2-octet cause and common address, 3-octet IOA and 249
// octets (capacities with an IOA per object / in sequence: single points
// 60/127, short floats 30/48; with time tag 22/30 and 16/20; scaled 40/80,
// with time tag 18/24):
// - 31 consecutive single points: one sequence (with time tag 30 + 1);
//   54 consecutive floats: sequences of 48 + 6 (with time tag 20 + 20 + 14),
//   as without packing, which already needs no more;
// - the same every other IOA: 31 points in one ASDU (22 + 9 with time
//   tag), 54 floats in 30 + 24 (16 + 16 + 16 + 6); without packing one ASDU
//   per point;
// - the runs beside 40 and 20 scattered points of their type: the run of 31
//   as a sequence and the 40 in one ASDU; the first 48 floats as a sequence
//   and the other 6 with the 20 scattered ones (with time tag: 30 in
//   sequence, the 41 others in 22 + 19; the floats 20 + 20 + 14 in
//   sequence and the 20 scattered in 16 + 4);
// - the sample configuration with every point holding a value (110 single
//   points, 168 scaled, 83 floats, in runs of at most 6): 2 + 5 + 3 ASDUs,
//   every object with its IOA; with time tag 5 + 10 + 6, the longest run of
//   scaled values and of floats as a sequence, which saves octets and costs
//   no ASDU.
TEST(Packing, EveryPointArrivesOnceInTheFewestAsdus) {
    const std::vector<point> groups = joined({points_from(100, 31, 1, 30), points_from(500, 54, 1, 36)});
    const std::vector<point> scattered = joined({points_from(100, 31, 2, 30), points_from(500, 54, 2, 36)});
    const std::vector<point> mixed =
        joined({groups, points_from(200, 40, 2, 30), points_from(700, 20, 3, 36)});
    // Every type, a point stored both as an integer and as a real value
    // (two records of one IOA) and types interleaved in the store.
    const std::vector<point> every_type = {
        {1, 30, int32_t(1)}, {20, 34, 0.5},         {3, 30, int32_t(0)},  {10, 31, int32_t(2)}, {2, 30, 1.0},
        {2, 30, int32_t(0)}, {21, 34, -0.25},       {30, 35, int32_t(-7)}, {12, 31, int32_t(1)}, {23, 34, 0.125},
        {40, 36, 1.5},       {31, 35, int32_t(300)}, {41, 33, int32_t(5)},
    };
    const packing_case cases[] = {
        {"a run of 31 single points and one of 54 floats", groups, 3, 5, 3, 5},
        {"the same every other IOA", scattered, 3, 6, 85, 85},
        {"the runs beside scattered points", mixed, 4, 8, 63, 65},
        {"every type", every_type, 5, 5, 11, 11},
        {"the sample configuration", sample_configuration_points(), 10, 21, 175, 175},
        // 1-octet cause and common address, 2-octet IOA, 100 octets:
        // single points 32/94, with time tag 9/11; floats 13/18, 6/7.
        {"the runs beside scattered points, other sizes", mixed, 8, 20, 64, 71, {1, 1, 2, 100}},
    };
    for (const packing_case& c : cases)
        for (bool packing : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (packing ? ", packed" : ", not packed"));
            station st;
            st.cfg.settings.asdu_packing = packing ? 1 : 0;
            st.cfg.settings.sizeof_cot = c.sizes[0];
            st.cfg.settings.sizeof_ca = c.sizes[1];
            st.cfg.settings.sizeof_ioa = c.sizes[2];
            st.cfg.settings.max_asdu_length = c.sizes[3];
            ASSERT_TRUE(st.start());
            for (const point& p : c.points) st.update(p.ioa, p.value, p.type_id);
            iec104::ClientConfig client;
            client.app = {.size_of_cot = c.sizes[0], .size_of_ca = c.sizes[1], .size_of_ioa = c.sizes[2],
                          .max_size_of_asdu = c.sizes[3]};
            master m(st.port(), client, 5000);
            m.app = client.app;
            ASSERT_TRUE(m.started);
            ASSERT_TRUE(test_support::wait_until([&] { return st.slot_online(0); }));

            const answers got = interrogate_and_transmit(st, m, reported(c.points));
            EXPECT_EQ(test_support::check_reported(got.interrogation, c.points, m.app, false, station_test::fake_epoch_ms), "");
            EXPECT_EQ(test_support::check_reported(got.cyclic, c.points, m.app, true, station_test::fake_epoch_ms), "");
            for (const Asdu& a : got.interrogation) EXPECT_EQ(a.ca, 1);
            EXPECT_EQ(int(got.interrogation.size()), packing ? c.interrogation_packed : c.interrogation_today);
            EXPECT_EQ(int(got.cyclic.size()), packing ? c.cyclic_packed : c.cyclic_today);
            if (packing) {
                EXPECT_LE(int(got.interrogation.size()), greedy_asdus(c.points, m.app, false));
                EXPECT_LE(int(got.cyclic.size()), greedy_asdus(c.points, m.app, true));
                EXPECT_LE(c.interrogation_packed, c.interrogation_today);
                EXPECT_LE(c.cyclic_packed, c.cyclic_today);
            } else {
                for (const std::vector<Asdu>* v : {&got.interrogation, &got.cyclic})
                    for (const Asdu& a : *v) EXPECT_TRUE(a.sequence);
            }
        }
}

// The option as the configuration file has it: the sample configuration
// sets it; absent or 0 it is off.
TEST(Packing, TheOptionFromTheConfigurationFile) {
    test_support::temp_dir dir{"fpigate-packing"};
    ASSERT_FALSE(dir.path.empty());
    const std::string sample = test_support::sample_config(test_support::files_in(dir.path));
    const std::string line = "\toption asdu_packing '1'\n";
    const size_t at = sample.find(line);
    ASSERT_NE(at, std::string::npos);
    for (auto [text, expected] : {std::pair{sample, 1},
                                  std::pair{std::string(sample).replace(at, line.size(), ""), 0},
                                  std::pair{std::string(sample).replace(at, line.size(), "\toption asdu_packing '0'\n"), 0}}) {
        std::filesystem::create_directories(dir.path / "config");
        std::ofstream(dir.path / "config" / "fpigate") << text;
        config::config cfg;
        std::string problem;
        ASSERT_TRUE(test_support::load_config(dir.path / "config", cfg, problem)) << problem;
        EXPECT_EQ(cfg.settings.asdu_packing, expected);
    }
}

// ---------------------------------------------------------------------------
// plan_packing against every layout of small sets of objects.

// Octet sizes behind a pair of capacities.
struct sizes {
    int ioa, element, room;  // room: octets after the ASDU header
    int header = 6;
    int packed_capacity() const { return std::min(127, room / (ioa + element)); }
    int sequence_capacity() const { return std::min(127, (room - ioa) / element); }
};

struct cost {
    int asdus = 0, octets = 0;
    auto operator<=>(const cost&) const = default;
};

// The cost of one ASDU holding `members` (ascending positions), the cheaper
// of a sequence and an IOA per object, or nothing when neither is allowed.
std::optional<int> asdu_octets(const std::vector<uint32_t>& ioas, const std::vector<int>& members, const sizes& s,
                               bool sequence_only = false, bool packed_only = false) {
    const int n = int(members.size());
    bool consecutive = true;
    for (int i = 1; i < n; ++i)
        consecutive &= ioas[size_t(members[size_t(i)])] == ioas[size_t(members[size_t(i - 1)])] + 1;
    std::optional<int> best;
    if (!sequence_only && n <= s.packed_capacity()) best = s.header + n * (s.ioa + s.element);
    if (!packed_only && consecutive && n <= s.sequence_capacity()) {
        const int seq = s.header + s.ioa + n * s.element;
        if (!best || seq < *best) best = seq;
    }
    return best;
}

// The best cost over every partition of the objects into ASDUs.
cost exhaustive(const std::vector<uint32_t>& ioas, const sizes& s) {
    std::vector<std::vector<int>> blocks;
    std::optional<cost> best;
    std::function<void(int)> place = [&](int i) {
        if (i == int(ioas.size())) {
            cost c{int(blocks.size()), 0};
            for (const std::vector<int>& b : blocks) {
                const std::optional<int> o = asdu_octets(ioas, b, s);
                if (!o) return;
                c.octets += *o;
            }
            if (!best || c < *best) best = c;
            return;
        }
        for (size_t b = 0; b < blocks.size(); ++b) {  // deeper calls add blocks: no references
            blocks[b].push_back(i);
            place(i + 1);
            blocks[b].pop_back();
        }
        blocks.push_back({i});
        place(i + 1);
        blocks.pop_back();
    };
    place(0);
    return best.value_or(cost{-1, -1});
}

// Random IOA lists of up to eight objects (runs, gaps and, now and then, an
// IOA twice) under capacities from small to the real ones.
TEST(Packing, PlanReachesTheOptimumOfEveryLayout) {
    const sizes models[] = {{3, 1, 12}, {3, 5, 20}, {2, 2, 9}, {1, 3, 10}, {3, 8, 243}};
    std::mt19937 rng(22);
    for (int round = 0; round < 3000; ++round) {
        const sizes& s = models[size_t(round) % std::size(models)];
        const int n = 1 + int(rng() % 8);
        std::vector<uint32_t> ioas{100};
        while (int(ioas.size()) < n) {
            const uint32_t r = rng() % 10;
            ioas.push_back(ioas.back() + (r == 0 ? 0 : r < 7 ? 1 : r - 5));  // repeats, runs and gaps
        }
        std::string trace = "ioas";
        for (uint32_t i : ioas) trace += " " + std::to_string(i);
        SCOPED_TRACE(trace + "; capacities " + std::to_string(s.sequence_capacity()) + " / " +
                     std::to_string(s.packed_capacity()));

        const std::vector<outstation::packed_asdu> plan =
            outstation::plan_packing(ioas, s.sequence_capacity(), s.packed_capacity());
        cost got{int(plan.size()), 0};
        std::multiset<int> placed;
        int previous_first = -1;
        for (const outstation::packed_asdu& a : plan) {
            ASSERT_FALSE(a.members.empty());
            EXPECT_GT(a.members.front(), previous_first) << "ASDUs in the order of their first member";
            previous_first = a.members.front();
            placed.insert(a.members.begin(), a.members.end());
            const std::optional<int> o = asdu_octets(ioas, a.members, s, a.sequence, !a.sequence);
            ASSERT_TRUE(o) << (a.sequence ? "sequence" : "packed") << " ASDU of " << a.members.size()
                           << " not allowed";
            got.octets += *o;
        }
        std::multiset<int> all;
        for (int i = 0; i < n; ++i) all.insert(i);
        EXPECT_EQ(placed, all) << "every object exactly once";
        if (std::adjacent_find(ioas.begin(), ioas.end()) == ioas.end()) {
            const cost best = exhaustive(ioas, s);
            EXPECT_EQ(got.asdus, best.asdus);
            EXPECT_EQ(got.octets, best.octets);
        } else {
            // an IOA twice: a valid layout, no more ASDUs than filling them in order
            EXPECT_LE(got.asdus, (n + s.packed_capacity() - 1) / s.packed_capacity());
        }
    }
}

}  // namespace
