// The data point table and the RTU IOA mapping list built from FPI points.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "outstation/data_points.h"
#include "outstation/station.h"
#include "tests/support/capture.h"

using test_support::captured_output;

namespace {

config::fpi_iec104_ioa fpi_point(std::string name, int slave, int ioa, int type, std::string ioa_name = "I_Status") {
    config::fpi_iec104_ioa p;
    p.name = std::move(name);
    p.slave_id = slave;
    p.ioa = ioa;
    p.type_id = type;
    p.ioa_name = std::move(ioa_name);
    return p;
}

TEST(DataPointTable, LookupByIoaAndTypeFirstConfiguredPointWins) {
    const std::vector<config::fpi_iec104_ioa> points = {
        fpi_point("s1_status", 1, 100, 30),
        fpi_point("s1_current", 1, 101, 36, "I_Mean"),
        fpi_point("s2_status", 2, 100, 31),           // same IOA, other type: a point of its own
        fpi_point("s1_copy", 3, 100, 30, "RESET"),   // duplicate key
    };
    captured_output out;
    outstation::station st;
    outstation::data_point_table_build(st.fpi_data_points, points, out.file);
    EXPECT_EQ(out.text(), "Duplicate FPI data point 's1_copy' (IOA 100, type 30): commands and parameters go to 's1_status'\n");

    EXPECT_EQ(outstation::data_point_lookup(st, 100, 30), &points[0]);
    EXPECT_EQ(outstation::data_point_lookup(st, 101, 36)->ioa_name, "I_Mean");
    EXPECT_EQ(outstation::data_point_lookup(st, 100, 31)->slave_id, 2);
    EXPECT_EQ(outstation::data_point_lookup(st, 101, 35), nullptr);
    EXPECT_EQ(outstation::data_point_lookup(st, 999, 30), nullptr);

    outstation::data_point_table_build(st.fpi_data_points, {}, out.file);
    EXPECT_EQ(outstation::data_point_lookup(st, 100, 30), nullptr);
}

TEST(RtuIoaMapping, EverySlaveHasANodeWithAtMost28PointsInListOrder) {
    std::vector<config::fpi_iec104_ioa> points;
    for (int i = 0; i < 30; ++i) points.push_back(fpi_point("a", 2, 200 + i, 35));  // 30 points of slave 2
    points.insert(points.begin() + 5, fpi_point("b", 5, 500, 30));
    points.push_back(fpi_point("c", 12, 1200, 30));  // no such slave
    points.push_back(fpi_point("d", 0, 50, 30));
    points.push_back(fpi_point("e", 5, 499, 36));
    captured_output out;
    outstation::station st;
    EXPECT_EQ(outstation::slave_point_list(st, 1), nullptr);  // nothing before the list is built
    outstation::rtu_ioa_map_publish(st, points, out.file);
    EXPECT_EQ(out.text(),
              "Creating RTU IOA mapping list\n"
              "[Slave 1] 0 elements added to list index 0\n"
              "[Slave 2] 28 elements added to list index 1\n"
              "[Slave 3] 0 elements added to list index 2\n"
              "[Slave 4] 0 elements added to list index 3\n"
              "[Slave 5] 2 elements added to list index 4\n"
              "[Slave 6] 0 elements added to list index 5\n"
              "[Slave 7] 0 elements added to list index 6\n"
              "[Slave 8] 0 elements added to list index 7\n"
              "[Slave 9] 0 elements added to list index 8\n");

    const outstation::slave_node* two = outstation::slave_point_list(st, 2);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->slave_id, 2);
    ASSERT_EQ(two->points.size(), 28u);
    for (int i = 0; i < 28; ++i) EXPECT_EQ(two->points[size_t(i)].ioa, 200 + i);  // the 29th and 30th left out
    const outstation::slave_node* five = outstation::slave_point_list(st, 5);
    ASSERT_EQ(five->points.size(), 2u);
    EXPECT_EQ(five->points[0].ioa, 500);  // list order, not IOA order
    EXPECT_EQ(five->points[1].type_id, 36);
    EXPECT_TRUE(outstation::slave_point_list(st, 9)->points.empty());
    for (int id : {0, 10, 12, -1}) EXPECT_EQ(outstation::slave_point_list(st, id), nullptr) << id;
}

}  // namespace
