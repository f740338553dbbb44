#include "logs/csv_export.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "logs/event_logs.h"
#include "logs/records.h"
#include "logs/rf_data.h"
#include "logs/text.h"
#include "tests/logs/store_test_util.h"

using namespace logs;
using store_test::read_bytes;
using store_test::read_text;

namespace {

const char* const rf_header =
    "Received_Frame_Timestamp,Frame_Timestamp,Frame,ErrorMsg,SlaveID,CmdType,Fault,ResetValue,"
    "IStatus,IMean,IMin,IMax,VStatus,VInst,BattV,RSSI,DiDtLevel,ImaxLevel,AutoReset,FlashTime,"
    "Inrush,Validation,MV,Freq,Period\n";

struct CsvExport : ::testing::Test {
    store_test::temp_dir dir;
    log_stores stores;
    void SetUp() override {
        store_test::use_utc();
        rf_fpi_db_init(stores, dir.path);
        system_event_db_init(stores, dir.path);
        comm_event_db_init(stores, dir.path);
    }
    // Patches one byte of a stored record, as a damaged file would hold it.
    void patch(const char* data_file, size_t at, uint8_t value) {
        log_flush(stores);
        auto b = read_bytes(dir / data_file);
        b.at(at) = value;
        store_test::write_bytes(dir / data_file, b);
    }
};

}  // namespace

TEST_F(CsvExport, EmptyLogsGiveTheHeaderLineOnly) {
    struct {
        int (*run)(log_stores&, const std::string&);
        const char* header;
    } cases[] = {
        {rf_fpi_db_export_csv, rf_header},
        {system_event_db_export_csv, "Timestamp,DIO_Events\n"},
        {comm_event_db_export_csv, "Timestamp,IEC Communication Event,RSSI,Data connection status\n"},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(c.run(stores, dir / "out.csv"), 0);
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(read_text(dir / "out.csv"), c.header);
    }
}

TEST_F(CsvExport, SystemEventRows) {
    ASSERT_TRUE(system_event_db_append(stores, 1700000000, CHARGER_OK));
    ASSERT_TRUE(system_event_db_append(stores, 1700000001, DO5_LOW));
    ASSERT_TRUE(system_event_db_append(stores, 1700000002, AC_FAIL));
    patch("system_event_data.bin", 32 + 8, 30);  // a code no writer produces
    EXPECT_EQ(system_event_db_export_csv(stores, dir / "s.csv"), 3);
    EXPECT_EQ(read_text(dir / "s.csv"),
              "Timestamp,DIO_Events\n"
              "2023-11-14 22:13:20,CHARGER_OK\n"
              "2023-11-14 22:13:21,DO5_LOW\n"
              "2023-11-14 22:13:22,UNKNOWN_DIO_EVENT\n");
}

TEST_F(CsvExport, CommEventRows) {
    const std::string opened = "Connection opened with 10.0.0.2:40000";
    const std::string closed = "Connection closed with \"peer\"";
    ASSERT_TRUE(comm_event_db_append(stores, 1700000000, opened.c_str(), -71, 1));
    ASSERT_TRUE(comm_event_db_append(stores, 1700000060, closed.c_str(), 0, 0));
    ASSERT_TRUE(comm_event_db_append(stores, 1700000120, "", 3, 1));
    // A status no writer produces, as a damaged file holds it.
    patch("communication_event_data.bin", 2 * 16 + opened.size() + closed.size() + 12, 2);
    EXPECT_EQ(comm_event_db_export_csv(stores, dir / "c.csv"), 3);
    EXPECT_EQ(read_text(dir / "c.csv"),
              "Timestamp,IEC Communication Event,RSSI,Data connection status\n"
              "2023-11-14 22:13:20,\"Connection opened with 10.0.0.2:40000\",-71,Connected\n"
              "2023-11-14 22:14:20,\"Connection closed with \"peer\"\",0,Disconnected\n"
              "2023-11-14 22:15:20,\"\",3,Unknown\n");
}

TEST_F(CsvExport, RfRows) {
    rf_data_entry e;
    e.error_msg = "bad \"length\"";
    e.slave_id = 3;
    e.cmd_type = 0x65;
    e.measured.fault = 1;
    e.measured.reset = 2;
    e.measured.i_status = 1;
    e.measured.i_mean = 120;
    e.measured.i_min = 100;
    e.measured.i_max = 140;
    e.measured.v_status = 1;
    e.measured.v_inst = float(231) * 0.1f;
    e.measured.batt_v = float(36) * 0.1f;
    e.measured.rssi = 200;
    e.measured.voltage = float(110) * 0.1f;
    e.measured.freq = 50;
    e.measured.period = 5;
    const uint8_t frame[] = {0x01, 0xA2, 0x04};
    rf_fpi_db_append(stores, frame, 1700000000, 1700003600, e);
    rf_fpi_db_append(stores, {}, 1700000001, 1700003601, rf_data_entry{});
    ::testing::internal::CaptureStdout();
    const int rows = rf_fpi_db_export_csv(stores, dir / "rf.csv");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Exported 2 entries to " + (dir / "rf.csv") + "\n");
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(read_text(dir / "rf.csv"),
              std::string(rf_header) +
                  "2023-11-14 22:13:20,2023-11-14 23:13:20,\"01A204\",\"bad \"length\"\",3,101,1,2,"
                  "1,120,100,140,1,23.10,3.60,200,0,0,0,0,0,0,11.00,50,5\n"
                  "2023-11-14 22:13:21,2023-11-14 23:13:21,\"\",\"\",0,0,0,0,0,0,0,0,0,0.00,0.00,"
                  "0,0,0,0,0,0,0,0.00,0,0\n");
}

// A slot that leads nowhere (the index and data file disagree after damage)
// costs its own row and no other. The log is opened again after each damage:
// the slots in memory are those of the index file as it was opened.
TEST_F(CsvExport, UnreadableRecordsCostOneRowEach) {
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(system_event_db_append(stores, 1700000000 + i, DOOR_OPEN));
    log_flush(stores);
    auto reopen_with_slot = [&](size_t slot, uint64_t offset) {
        auto idx = read_bytes(dir / "system_event_index.bin");
        for (size_t b = 0; b < 8; ++b) idx[40 + 8 * slot + b] = uint8_t(offset >> (8 * b));
        store_test::write_bytes(dir / "system_event_index.bin", idx);
        stores.system_event_db = ring_log{};
        system_event_db_init(stores, dir.path);
    };
    // Slot 1 points past the end of the data file.
    reopen_with_slot(1, 99999);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(system_event_db_export_csv(stores, dir / "s.csv"), 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Failed to read system event entry at offset 99999 (idx 1)\n");
    EXPECT_EQ(read_text(dir / "s.csv"),
              "Timestamp,DIO_Events\n2023-11-14 22:13:20,DOOR_OPEN\n2023-11-14 22:13:22,DOOR_OPEN\n");

    // A slot holding nonsense is refused, not followed.
    reopen_with_slot(2, UINT64_MAX);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(system_event_db_export_csv(stores, dir / "s.csv"), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Failed to read system event entry at offset 99999 (idx 1)\n"
              "Failed to read system event entry at offset 18446744073709551615 (idx 2)\n");
}

TEST_F(CsvExport, UncreatableCsvFileFails) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(comm_event_db_export_csv(stores, dir / "missing/c.csv"), -1);
    EXPECT_EQ(system_event_db_export_csv(stores, dir / "missing/s.csv"), -1);
    EXPECT_EQ(rf_fpi_db_export_csv(stores, dir / "missing/r.csv"), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "fopen communication event csv: No such file or directory\n"
              "fopen system event csv: No such file or directory\n"
              "fopen csv: No such file or directory\n");
    // The lock is released again.
    EXPECT_TRUE(stores.comm_log_lock.try_lock());
    stores.comm_log_lock.unlock();
}

// A CSV file that cannot be written whole (the device is full) is a failed
// export, not a short one reported as done; empty logs included.
TEST_F(CsvExport, UnwritableCsvFileFails) {
    ASSERT_TRUE(system_event_db_append(stores, 1700000000, CHARGER_OK));
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(system_event_db_export_csv(stores, "/dev/full"), -1);
    EXPECT_EQ(comm_event_db_export_csv(stores, "/dev/full"), -1);
    EXPECT_EQ(rf_fpi_db_export_csv(stores, "/dev/full"), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "write system event csv: No space left on device\n"
              "write communication event csv: No space left on device\n"
              "write csv: No space left on device\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(stores.system_log_lock.try_lock());
    stores.system_log_lock.unlock();
}

// Records of varying length, many of them straddling the export's read
// window, come out whole and in order.
TEST_F(CsvExport, RecordsAcrossTheReadWindowComeOutWhole) {
    stores.comm_event_db.sync_writes = false;
    std::string expected = "Timestamp,IEC Communication Event,RSSI,Data connection status\n";
    for (int i = 0; i < 700; ++i) {
        std::string text(size_t(i % 250), char('a' + i % 26));
        ASSERT_TRUE(comm_event_db_append(stores, 1700000000 + i, text.c_str(), -i, uint8_t(i % 2)));
        char when[32];
        format_timestamp(1700000000 + i, when, sizeof when);
        expected += std::string(when) + ",\"" + text + "\"," + std::to_string(-i) + "," +
                    (i % 2 ? "Connected" : "Disconnected") + "\n";
    }
    log_flush(stores);
    ASSERT_GT(std::filesystem::file_size(dir / "communication_event_data.bin"), 1u << 16);
    EXPECT_EQ(comm_event_db_export_csv(stores, dir / "c.csv"), 700);
    EXPECT_EQ(read_text(dir / "c.csv"), expected);
}
