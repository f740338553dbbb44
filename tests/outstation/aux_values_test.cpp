// The position and the fault totals published at start-up and after faults.
#include <gtest/gtest.h>

#include "fpi/fault_counter.h"
#include "outstation/aux_values.h"
#include "tests/outstation/station.h"

namespace {

config::fpi_aux_iec104_ioa aux(std::optional<std::string> name, int32_t ioa, int32_t type_id,
                            std::optional<std::string> value = std::nullopt) {
    config::fpi_aux_iec104_ioa p;
    p.ioa_name = std::move(name);
    p.ioa = ioa;
    p.type_id = type_id;
    p.ioa_value = std::move(value);
    return p;
}

// (ioa, value) of every stored record, in store order.
std::vector<std::pair<int, double>> stored(outstation::station& st) {
    std::lock_guard lk(st.value_store_lock);
    std::vector<std::pair<int, double>> out;
    for (int i = 0; i < st.station_values.count; ++i) {
        const auto& r = st.station_values.records[size_t(i)];
        out.push_back({r.ioa, r.kind == outstation::kind_real ? double(r.real_value) : double(r.integer_value)});
    }
    return out;
}

TEST(AuxPosition, LatitudeAndLongitudeUpToTheFirstLongitude) {
    station_test::fake_wall_clock clock;
    struct position_case {
        const char* name;
        std::vector<config::fpi_aux_iec104_ioa> points;
        std::vector<std::pair<int, double>> published;
        std::string lines;
    };
    const position_case cases[] = {
        {"both", {aux("LATITUDE", 1001, 36, "52.520008"), aux("LONGITUDE", 1002, 36, "13.404954")},
         {{1001, double(52.520008f)}, {1002, double(13.404954f)}},
         "\nFPI Aux IOA Name LATITUDE, Value 52.520008\n\nFPI Aux IOA Name LONGITUDE, Value 13.404954\n"},
        {"longitude first ends the walk", {aux("Longitude", 1002, 36, "13.5"), aux("latitude", 1001, 36, "52.5")},
         {{1002, 13.5}}, "\nFPI Aux IOA Name Longitude, Value 13.5\n"},
        {"no value, no name",
         {aux(std::nullopt, 1000, 36, "1"), aux("LATITUDE", 1001, 36), aux("Group1_Total_Faults", 1004, 35),
          aux("LONGITUDE", 1002, 36, "13.5"), aux("LATITUDE", 1003, 36, "9")},
         {{1002, 13.5}},
         "\nFPI Aux IOA Name LATITUDE, Value NULL\n\nFPI Aux IOA Name Group1_Total_Faults, Value NULL\n"
         "\nFPI Aux IOA Name LONGITUDE, Value 13.5\n"},
    };
    for (const position_case& c : cases) {
        outstation::station st;
        testing::internal::CaptureStdout();
        outstation::publish_aux_position(st, c.points, 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.lines) << c.name;
        EXPECT_EQ(stored(st), c.published) << c.name;
    }
    // timestamps: whole seconds of the shifted wall clock
    outstation::station st;
    outstation::publish_aux_position(st, cases[0].points, -30);
    std::lock_guard lk(st.value_store_lock);
    EXPECT_EQ(st.station_values.records[0].timestamp, (station_test::fake_epoch_ms / 1000 - 1800) * 1000);
}

TEST(AuxFaultTotals, EveryPointNamedAfterACountGetsIt) {
    station_test::fake_wall_clock clock;
    test_support::temp_dir dir;
    fpi::fault_counter faults;
    ASSERT_TRUE(fpi::fault_counter_load(faults, dir.path.string()));
    for (int group : {2, 2, 3}) ASSERT_TRUE(fpi::fault_counter_add(faults, group, uint64_t(station_test::fake_epoch_ms)));
    const std::vector<config::fpi_aux_iec104_ioa> points = {
        aux("Group2_Total_Faults", 1006, 35), aux("group2_last_7_days_faults", 1005, 35),
        aux("Group3_Total_Faults", 1008, 35), aux("GROUP2_TOTAL_FAULTS", 1106, 36),  // a second point, same count
        aux("Group1_Total_Faults", 1004, 35), aux("Faults", 1009, 35), aux(std::nullopt, 1010, 35),
    };
    outstation::station st;
    testing::internal::CaptureStdout();
    fpi::publish_fault_totals(faults, st, points, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    // store order: the scaled values ascending over their positions, the short float in its own
    EXPECT_EQ(stored(st), (std::vector<std::pair<int, double>>{{1004, 0}, {1005, 2}, {1006, 2}, {1106, 2}, {1008, 1}}));
    EXPECT_NE(out.find("=== FAULT COUNTER DATABASE STATISTICS ===\n"), std::string::npos);
    EXPECT_NE(out.find("\nFPI Aux IOA Name Faults\n"), std::string::npos);
    EXPECT_EQ(out.find("Value"), std::string::npos);
}

}  // namespace
