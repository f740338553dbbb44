// The shipped sample configuration loads and holds a complete gateway.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "config/config_load.h"
#include "tests/support/capture.h"

using test_support::captured_output;

namespace {

const char* const binding_order[28] = {
    "I_Status",     "Di_Dt_inrush", "Di_Dt_transient", "Di_Dt_permanent", "Imax_inrush",
    "Imax_transient", "Imax_permanent", "I_MEAN",     "I_Min",           "I_Max",
    "V_Status",     "VINST",        "BATTV",           "BATT_EVENT",      "RF_RSSI",
    "Di_Dt_level",  "Imax_Level",   "Auto_Reset",      "Flash_Time",      "INRUSH",
    "VALIDATION",   "VOLTAGE",      "FREQUENCY",       "PERIOD",          "FAULT",
    "SLAVE_STATUS", "RESET",        "INFOSET_STATUS"};

const char* const parameters[9] = {"Di_Dt_level", "Imax_Level", "Auto_Reset", "Flash_Time",
                                   "INRUSH",      "VALIDATION", "VOLTAGE",    "FREQUENCY",
                                   "PERIOD"};

struct sample : ::testing::Test {
    std::unique_ptr<config::config> cfg = std::make_unique<config::config>();
    void SetUp() override {
        std::string problem;
        captured_output out;
        ASSERT_TRUE(config::config_load(std::string(FPIGATE_SOURCE_DIR) + "/config", *cfg, out.file,
                                     problem))
            << problem;
    }
};

TEST_F(sample, MainSection) {
    ASSERT_EQ(cfg->slaves.size(), 1u);
    const config::iec104_slave& s = cfg->settings;
    EXPECT_TRUE(s.rtu_port);
    EXPECT_GT(s.cyclic_time_interval, 0);
    EXPECT_GT(s.no_of_connections, 0);
    EXPECT_EQ(cfg->derived.location_count, 9);
    for (int n = 0; n < 9; ++n) EXPECT_TRUE(cfg->derived.locations[size_t(n)]) << n + 1;
    EXPECT_NE(cfg->derived.group_id_bytes, (std::array<uint8_t, 5>{}));
    // the host-run options are left at the gateway's values
    EXPECT_EQ(s.data_dir, "/root");
    EXPECT_EQ(s.port, 2404);
}

TEST_F(sample, FpiPointsFollowTheBindingOrder) {
    std::map<int, std::vector<const config::fpi_iec104_ioa*>> by_slave;
    for (const auto& p : cfg->fpi_points) by_slave[p.slave_id].push_back(&p);
    ASSERT_EQ(by_slave.size(), 9u);
    for (int n = 1; n <= 9; ++n) {
        const auto& points = by_slave[n];
        ASSERT_EQ(points.size(), 38u) << "FPI " << n;
        for (size_t row = 0; row < 28; ++row)
            EXPECT_EQ(points[row]->ioa_name, binding_order[row]) << "FPI " << n << " row " << row;
        for (size_t k = 0; k < 9; ++k) {
            EXPECT_EQ(points[28 + k]->ioa_name, parameters[k]);
            EXPECT_TRUE(points[28 + k]->type_id == 35 || points[28 + k]->type_id == 36);
        }
        EXPECT_EQ(points[37]->ioa_name, "RESET");
        EXPECT_EQ(points[37]->type_id, 30);  // reached by a single command
    }
}

TEST_F(sample, IoasAreUniqueAndTypesReportable) {
    std::set<int32_t> ioas;
    auto add = [&](int32_t ioa, int32_t type_id) {
        EXPECT_TRUE(ioas.insert(ioa).second) << "IOA " << ioa << " used twice";
        EXPECT_TRUE(type_id == 30 || type_id == 35 || type_id == 36) << "IOA " << ioa;
    };
    for (const auto& p : cfg->dio_points) add(p.ioa, p.type_id);
    for (const auto& p : cfg->fpi_points) add(p.ioa, p.type_id);
    for (const auto& p : cfg->aux_points) add(p.ioa, p.type_id);
}

TEST_F(sample, DigitalIoAndAuxiliaryPoints) {
    int inputs = 0, outputs = 0;
    for (const auto& p : cfg->dio_points) {
        inputs += p.gpio_type == "digital_input";
        outputs += p.gpio_type == "digital_output";
    }
    EXPECT_EQ(inputs, 5);
    EXPECT_EQ(outputs, 6);
    config::fill_do_settings(cfg->dio_points, cfg->dout);
    EXPECT_GT(cfg->dout.toggle_timeouts[5], 0);  // the DCU power-off time

    std::vector<std::string> names;
    for (const auto& p : cfg->aux_points) names.push_back(p.ioa_name.value_or(""));
    EXPECT_EQ(names, (std::vector<std::string>{
                         "LATITUDE", "LONGITUDE", "Group1_Last_7_days_Faults",
                         "Group1_Total_Faults", "Group2_Last_7_days_Faults", "Group2_Total_Faults",
                         "Group3_Last_7_days_Faults", "Group3_Total_Faults"}));
    EXPECT_TRUE(cfg->aux_points[0].ioa_value);
    EXPECT_TRUE(cfg->aux_points[1].ioa_value);
}

}  // namespace
