// The value store's ordering and grouping, its capacity, and the conversion
// of stored values into information objects.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <tuple>
#include <vector>

#include "outstation/value_store.h"
#include "lib/iec104/types.h"
#include "tests/support/capture.h"

namespace {

constexpr int64_t station_ms = 1717590896789;

using outstation::point_value;
using outstation::value_store;

struct point {
    int32_t ioa;
    int32_t type_id;
};

// (ioa, type, group) of every record in store order.
std::vector<std::tuple<int, int, int>> layout(const value_store& s) {
    std::vector<std::tuple<int, int, int>> out;
    for (int i = 0; i < s.count; ++i)
        out.emplace_back(s.records[size_t(i)].ioa, s.records[size_t(i)].type_id, s.records[size_t(i)].group);
    return out;
}

std::vector<point> run(int32_t first, int32_t last, int32_t type_id) {
    std::vector<point> out;
    for (int32_t i = first; i <= last; ++i) out.push_back({i, type_id});
    return out;
}

struct ordering_case {
    const char* name;
    std::vector<point> inserted;
    // expected store order as (ioa, type, group), or only the groups' first
    // and last IOAs for the long runs
    std::vector<std::tuple<int, int, int>> expected;
};

TEST(ValueStore, OrderingAndGrouping) {
    const ordering_case cases[] = {
        {"ascending within one type", {{102, 30}, {100, 30}, {101, 30}}, {{100, 30, 0}, {101, 30, 0}, {102, 30, 0}}},
        {"each type keeps its positions",
         {{10, 34}, {2, 30}, {1, 30}},
         {{10, 34, 0}, {1, 30, 1}, {2, 30, 1}}},
        {"a type change ends a run", {{5, 30}, {4, 30}, {6, 34}}, {{4, 30, 0}, {5, 30, 0}, {6, 34, 1}}},
        {"a gap ends a run", {{1, 30}, {3, 30}, {2, 31}}, {{1, 30, 0}, {3, 30, 1}, {2, 31, 2}}},
        {"same IOA, other type", {{7, 30}, {7, 36}}, {{7, 30, 0}, {7, 36, 1}}},
        {"one record", {{42, 35}}, {{42, 35, 0}}},
    };
    for (const ordering_case& c : cases) {
        auto s = std::make_unique<value_store>();
        for (const point& p : c.inserted) ASSERT_TRUE(outstation::store_insert(*s, p.ioa, int32_t(1), p.type_id, 0, stdout));
        EXPECT_EQ(layout(*s), c.expected) << c.name;
        EXPECT_EQ(s->highest_group, std::get<2>(c.expected.back())) << c.name;
    }
}

// Runs longer than one sequence ASDU: (first IOA, last IOA) of each group.
TEST(ValueStore, RunsAreCutAt127Records) {
    struct run_case {
        const char* name;
        std::vector<point> inserted;
        std::vector<std::pair<int, int>> groups;
    };
    std::vector<point> gap = run(3, 131, 30);
    gap.insert(gap.begin(), {1, 30});
    const run_case cases[] = {
        {"130 consecutive", run(1, 130, 30), {{1, 127}, {128, 130}}},
        {"1, then 3 to 131", gap, {{1, 1}, {3, 129}, {130, 131}}},
        {"exactly 127", run(1, 127, 30), {{1, 127}}},
        {"254 inserted backwards", [] {
             auto v = run(1, 254, 36);
             std::reverse(v.begin(), v.end());
             return v;
         }(), {{1, 127}, {128, 254}}},
    };
    for (const run_case& c : cases) {
        auto s = std::make_unique<value_store>();
        for (const point& p : c.inserted) outstation::store_insert(*s, p.ioa, int32_t(0), p.type_id, 0, stdout);
        std::vector<std::pair<int, int>> groups;
        for (int i = 0; i < s->count; ++i) {
            const auto& r = s->records[size_t(i)];
            if (r.group == int(groups.size())) groups.push_back({r.ioa, r.ioa});
            ASSERT_EQ(r.group, int(groups.size()) - 1) << c.name;
            groups.back().second = r.ioa;
        }
        EXPECT_EQ(groups, c.groups) << c.name;
        EXPECT_EQ(s->highest_group, int(c.groups.size()) - 1) << c.name;
    }
}

TEST(ValueStore, AValueOfTheOtherKindIsASecondRecord) {
    auto s = std::make_unique<value_store>();
    outstation::store_insert(*s, 5, int32_t(1), 35, 0, stdout);
    EXPECT_EQ(outstation::store_find(*s, 5, 35, point_value(2.5)), nullptr);
    outstation::store_insert(*s, 5, 2.5, 35, 0, stdout);
    ASSERT_EQ(s->count, 2);
    EXPECT_EQ(outstation::store_find(*s, 5, 35, point_value(int32_t(9)))->kind, outstation::kind_integer);
    EXPECT_EQ(outstation::store_find(*s, 5, 35, point_value(9.0))->real_value, 2.5f);
    // same IOA and type, consecutive positions: not a run (the IOA does not advance)
    EXPECT_EQ(s->highest_group, 1);
}

TEST(ValueStore, AFullStoreRefusesNewPointsAndSaysSoOncePerPoint) {
    auto s = std::make_unique<value_store>();
    for (int i = 0; i < outstation::value_store_capacity; ++i)
        ASSERT_TRUE(outstation::store_insert(*s, 2000 + i, int32_t(i), 30, 0, stdout));
    test_support::captured_output out;
    for (int round = 0; round < 3; ++round) {
        EXPECT_FALSE(outstation::store_insert(*s, 7, int32_t(1), 36, 0, out.file));
        EXPECT_FALSE(outstation::store_insert(*s, 8, 1.5, 30, 0, out.file));
    }
    EXPECT_EQ(out.text(),
              "Value store full (1000 points): IOA 7 type 36 refused\n"
              "Value store full (1000 points): IOA 8 type 30 refused\n");
    EXPECT_EQ(s->count, outstation::value_store_capacity);
    EXPECT_EQ(s->records[999].ioa, 2999);  // nothing overwritten
}

TEST(ValueStore, ConversionTable) {
    using iec104::InformationObject;
    struct conversion_case {
        int32_t type_id;
        point_value v;
        uint8_t plain, tagged;
        int32_t value;  // SPI/DPI/NVA/SVA
        float real;     // short float
    };
    const conversion_case cases[] = {
        {30, int32_t(0), iec104::M_SP_NA_1, iec104::M_SP_TB_1, 0, 0},
        {30, int32_t(5), iec104::M_SP_NA_1, iec104::M_SP_TB_1, 1, 0},   // any non-zero value is ON
        {30, 0.7, iec104::M_SP_NA_1, iec104::M_SP_TB_1, 0, 0},          // a real cut to its integer part
        {30, -1.9, iec104::M_SP_NA_1, iec104::M_SP_TB_1, 1, 0},
        {31, int32_t(2), iec104::M_DP_NA_1, iec104::M_DP_TB_1, 2, 0},
        {31, 3.99, iec104::M_DP_NA_1, iec104::M_DP_TB_1, 3, 0},
        {34, int32_t(0), iec104::M_ME_NA_1, iec104::M_ME_TD_1, 0, 0},
        {34, 0.5, iec104::M_ME_NA_1, iec104::M_ME_TD_1, 16384, 0},
        {35, int32_t(-1234), iec104::M_ME_NB_1, iec104::M_ME_TE_1, -1234, 0},
        {35, 41.9, iec104::M_ME_NB_1, iec104::M_ME_TE_1, 41, 0},          // truncated toward zero
        {35, -41.9, iec104::M_ME_NB_1, iec104::M_ME_TE_1, -41, 0},
        {36, int32_t(7), iec104::M_ME_NC_1, iec104::M_ME_TF_1, 0, 7.0f},
        {36, 52.520008, iec104::M_ME_NC_1, iec104::M_ME_TF_1, 0, 52.520008f},
        {34, int32_t(1), iec104::M_ME_NA_1, iec104::M_ME_TD_1, 32767, 0},     // full scale
        {35, int32_t(40000), iec104::M_ME_NB_1, iec104::M_ME_TE_1, -25536, 0},  // 16 bits on the wire
        {31, int32_t(5), iec104::M_DP_NA_1, iec104::M_DP_TB_1, 1, 0},          // two bits of state
        {30, 0.99999999, iec104::M_SP_NA_1, iec104::M_SP_TB_1, 1, 0},          // cut as the float32 held
        {36, 1e300, iec104::M_ME_NC_1, iec104::M_ME_TF_1, 0, std::numeric_limits<float>::infinity()},
    };
    for (const conversion_case& c : cases) {
        auto s = std::make_unique<value_store>();
        outstation::store_insert(*s, 77, c.v, c.type_id, station_ms, stdout);
        const auto& r = s->records[0];
        for (bool with_time : {false, true}) {
            SCOPED_TRACE(testing::Message() << "type " << c.type_id << (with_time ? " tagged" : " plain"));
            EXPECT_EQ(outstation::wire_type(c.type_id, with_time), with_time ? c.tagged : c.plain);
            const InformationObject stored = outstation::record_object(r, with_time);
            const InformationObject updating = outstation::value_object(77, c.v, c.type_id, station_ms, with_time);
            EXPECT_EQ(stored, updating);
            EXPECT_EQ(stored.ioa, 77u);
            EXPECT_EQ(stored.value, c.value);
            EXPECT_EQ(stored.real, c.real);
            EXPECT_EQ(stored.quality, 0);
            EXPECT_EQ(stored.time, with_time ? iec104::cp56_from_ms(station_ms) : iec104::Cp56Time2a{});
        }
    }
    EXPECT_FALSE(outstation::reported_type(1));
    EXPECT_FALSE(outstation::reported_type(33));
    EXPECT_EQ(outstation::integer_part(std::nan("")), 0);
    EXPECT_EQ(outstation::integer_part(1e12), INT32_MAX);
    EXPECT_EQ(outstation::integer_part(-1e12), INT32_MIN);
}

}  // namespace
