#include "logs/rf_data.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ctime>
#include <mutex>

#include "logs/csv_export.h"
#include "logs/event_logs.h"
#include "tests/logs/store_test_util.h"

using namespace logs;
using store_test::le32;
using store_test::le64;
using store_test::read_bytes;

namespace {

struct RfData : ::testing::Test {
    store_test::temp_dir dir;
    log_stores stores;
    void SetUp() override {
        store_test::use_utc();
        rf_fpi_db_init(stores, dir.path);
    }
    // As the RF reader and supervision record a line: under rf_data_lock.
    void add(std::vector<uint8_t> frame, uint8_t slave, uint16_t cmd, const char* msg,
             const rf::wakeup_data* w = nullptr, const rf::event_data* ev = nullptr,
             int64_t frame_time = 1700000000, uint8_t fault = 0, uint16_t reset = 0) {
        std::lock_guard lock(stores.rf_data_lock);
        ::testing::internal::CaptureStdout();
        rf_data_add(stores, frame, frame_time, slave, cmd, fault, reset, msg, w, ev);
        last_stdout = ::testing::internal::GetCapturedStdout();
    }
    std::string last_stdout;
};

}  // namespace

TEST_F(RfData, EventFrameAsJson) {
    rf::event_data ev;
    ev.i_status = 1;
    ev.i_mean = 120;
    ev.i_min = 100;
    ev.i_max = 140;
    ev.v_status = 1;
    ev.v_inst = 231;
    ev.battery_v = 36;
    ev.rssi = 200;
    add({0x01, 0xA2, 0x04}, 3, 0x65, "OK", nullptr, &ev);
    EXPECT_EQ(last_stdout, "Added data to list, list count 1\n");
    auto json = rf_data_to_json(stores);
    ASSERT_TRUE(json);
    EXPECT_EQ(*json,
              "{\"data\":[{\"timestamp\":\"2023-11-14 22:13:20\",\"error_msg\":\"OK\","
              "\"frame\":\"01A204\",\"reset\":0,\"slave_id\":3,\"cmd_type\":101,\"fault\":0,"
              "\"i_status\":1,\"i_mean\":120,\"i_min\":100,\"i_max\":140,\"v_status\":1,"
              "\"v_inst\":23.100000381469727,\"batt_v\":3.6000001430511475,\"rssi\":200,"
              "\"di_dt_level\":0,\"imax_level\":0,\"auto_reset\":0,\"flash_time\":0,\"inrush\":0,"
              "\"validation\":0,\"voltage\":0,\"freq\":0,\"period\":0}]}");
    EXPECT_TRUE(nlohmann::json::accept(*json));
    EXPECT_EQ(stores.recent_rf_data.count, 0);
    EXPECT_EQ(rf_data_to_json(stores), "{\"data\":[]}");
}

// Float fields show their double expansion; whole numbers have no fraction.
TEST_F(RfData, NumbersAsSeventeenDigitDoubles) {
    rf_data_entry e;
    e.measured.batt_v = 3.6f;
    e.measured.v_inst = 0.7f;
    e.measured.voltage = 11.0f;
    e.slave_id = 3;
    stores.recent_rf_data.entries.push_front(e);
    stores.recent_rf_data.count = 1;
    auto json = *rf_data_to_json(stores);
    EXPECT_NE(json.find("\"slave_id\":3,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"v_inst\":0.69999998807907104,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"batt_v\":3.5999999046325684,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"voltage\":11,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"timestamp\":\"\",\"error_msg\":\"\",\"frame\":\"\","),
              std::string::npos) << json;
}

TEST_F(RfData, WakeupRecordFillsEveryMeasuredField) {
    rf::wakeup_data w;
    w.di_dt_level = 2;
    w.imax_level = 600;
    w.auto_reset = 4;
    w.flash_time = 5;
    w.transient_on = 1;
    w.validation = 7;
    w.mv = 110;
    w.frequency = 50;
    w.period = 15;
    w.battery_v = 7;
    // the values an event carries too, and fault and reset: each one different
    w.i_status = 8;
    w.i_mean = 120;
    w.i_min = 100;
    w.i_max = 140;
    w.v_status = 9;
    w.v_inst = 231;
    w.rssi = 200;
    add({0x01, 0x04}, 5, 0x6a, "OK", &w, nullptr, 1700000000, 6, 3);
    const std::string json = *rf_data_to_json(stores);
    auto j = nlohmann::json::parse(json)["data"][0];
    EXPECT_EQ(j["di_dt_level"], 2);
    EXPECT_EQ(j["imax_level"], 600);
    EXPECT_EQ(j["auto_reset"], 4);
    EXPECT_EQ(j["flash_time"], 5);
    EXPECT_EQ(j["inrush"], 1);
    EXPECT_EQ(j["validation"], 7);
    EXPECT_EQ(j["voltage"], double(float(110) * 0.1f));
    EXPECT_EQ(j["batt_v"], double(float(7) * 0.1f));
    EXPECT_EQ(j["freq"], 50);
    EXPECT_EQ(j["period"], 15);
    // Each value in its own JSON member and CSV column.
    EXPECT_EQ(json,
              "{\"data\":[{\"timestamp\":\"2023-11-14 22:13:20\",\"error_msg\":\"OK\","
              "\"frame\":\"0104\",\"reset\":3,\"slave_id\":5,\"cmd_type\":106,\"fault\":6,"
              "\"i_status\":8,\"i_mean\":120,\"i_min\":100,\"i_max\":140,\"v_status\":9,"
              "\"v_inst\":23.100000381469727,\"batt_v\":0.69999998807907104,\"rssi\":200,"
              "\"di_dt_level\":2,\"imax_level\":600,\"auto_reset\":4,\"flash_time\":5,\"inrush\":1,"
              "\"validation\":7,\"voltage\":11,\"freq\":50,\"period\":15}]}");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(rf_fpi_db_export_csv(stores, dir / "rf.csv"), 1);
    ::testing::internal::GetCapturedStdout();
    std::string csv = store_test::read_text(dir / "rf.csv");
    csv = csv.substr(csv.find('\n') + 1);  // the header
    csv = csv.substr(csv.find(',') + 1);    // the received time: the clock
    EXPECT_EQ(csv, "2023-11-14 22:13:20,\"0104\",\"OK\",5,106,6,3,8,120,100,140,9,23.10,0.70,200,2,600,4,5,1,7,"
                   "11.00,50,15\n");
}

TEST_F(RfData, NewestFirstAndTheFiftyFirstEvictsTheOldest) {
    for (int i = 1; i <= 50; ++i) add({uint8_t(i)}, 1, 0, "OK");
    EXPECT_EQ(last_stdout, "Added data to list, list count 50\n");
    add({51}, 1, 0, "OK");
    EXPECT_EQ(last_stdout,
              "Deleted data from list, list count 49\nAdded data to list, list count 50\n");
    auto data = nlohmann::json::parse(*rf_data_to_json(stores))["data"];
    ASSERT_EQ(data.size(), 50u);
    EXPECT_EQ(data[0]["frame"], "33");   // 51, the newest
    EXPECT_EQ(data[49]["frame"], "02");  // 1 was evicted
    // Every entry also went to the RF log.
    log_flush(stores);
    EXPECT_EQ(stores.rf_fpi_db.header.count, 51u);
}

TEST_F(RfData, OfflineReport) {
    add({0xFF}, 4, 0, "Slave 4 is offline");
    auto j = nlohmann::json::parse(*rf_data_to_json(stores))["data"][0];
    EXPECT_EQ(j["frame"], "FF");
    EXPECT_EQ(j["slave_id"], 4);
    EXPECT_EQ(j["cmd_type"], 0);
    EXPECT_EQ(j["error_msg"], "Slave 4 is offline");
}

TEST_F(RfData, StringsAreEscaped) {
    add({}, 1, 0, "a/b \"q\" \\ \n\t\x01");
    auto json = *rf_data_to_json(stores);
    EXPECT_NE(json.find("\"error_msg\":\"a\\/b \\\"q\\\" \\\\ \\n\\t\\u0001\""), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"frame\":\"\""), std::string::npos);
    EXPECT_EQ(nlohmann::json::parse(json)["data"][0]["error_msg"], "a/b \"q\" \\ \n\t\x01");
}

TEST_F(RfData, LongByteRunIsCutInTheListButLoggedWhole) {
    std::vector<uint8_t> run(512);
    for (size_t i = 0; i < run.size(); ++i) run[i] = uint8_t(i);
    const int64_t before = std::time(nullptr);
    add(run, 0, 0, "Frame too long", nullptr, nullptr, 1700000000);
    const int64_t after = std::time(nullptr);
    auto j = nlohmann::json::parse(*rf_data_to_json(stores))["data"][0];
    std::string frame = j["frame"];
    EXPECT_EQ(frame.size(), 510u);
    EXPECT_EQ(frame.substr(0, 6), "000102");
    EXPECT_EQ(frame.substr(504), "FCFDFE");

    log_flush(stores);
    auto data = read_bytes(dir / "rf_fpi_data.bin");
    ASSERT_EQ(data.size(), 64u + 512 + 14);
    EXPECT_GE(int64_t(le64(data, 0)), before);  // received time: the clock
    EXPECT_LE(int64_t(le64(data, 0)), after);
    EXPECT_EQ(le64(data, 8), 1700000000u);       // frame time: the caller's
    EXPECT_EQ(le32(data, 58), 512u | 14u << 16);  // frame_len, msg_len
    EXPECT_TRUE(std::equal(run.begin(), run.end(), data.begin() + 64));
}
