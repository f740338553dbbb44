#include "logs/ring_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "logs/csv_export.h"
#include "logs/event_logs.h"
#include "logs/rf_data.h"
#include "tests/logs/comm_records.h"
#include "tests/logs/ring_model.h"
#include "tests/logs/store_test_util.h"

using namespace logs;
using store_test::le32;
using store_test::le64;
using store_test::read_bytes;

namespace {

struct RingLog : ::testing::Test {
    store_test::temp_dir dir;
    log_stores stores;
    void SetUp() override { store_test::use_utc(); }

    void init_all() {
        rf_fpi_db_init(stores, dir.path);
        system_event_db_init(stores, dir.path);
        comm_event_db_init(stores, dir.path);
    }
    std::vector<uint8_t> index(const char* name) { return read_bytes(dir / name); }
};

struct expected_log {
    const char* index;
    const char* data;
    const char* magic;
    uint32_t check;
};

const expected_log fresh_logs[] = {
    {"rf_fpi_index.bin", "rf_fpi_data.bin", "PFFR", 0xF7E3C4E4},
    {"system_event_index.bin", "system_event_data.bin", "BDES", 0x091FC6F6},
    {"communication_event_index.bin", "communication_event_data.bin", "BDEC", 0x83E0C609},
};

}  // namespace

TEST_F(RingLog, FreshStartCreatesEmptyFilesByteExact) {
    init_all();
    for (const auto& log : fresh_logs) {
        SCOPED_TRACE(log.index);
        auto idx = index(log.index);
        ASSERT_EQ(idx.size(), 80040u);
        std::vector<uint8_t> expected(80040, 0);
        std::copy(log.magic, log.magic + 4, expected.begin());
        expected[4] = 1;                        // version
        expected[8] = 0x10, expected[9] = 0x27;  // max_entries 10000
        for (int i = 0; i < 4; ++i) expected[32 + i] = uint8_t(log.check >> (8 * i));
        EXPECT_EQ(idx, expected);
        EXPECT_TRUE(std::filesystem::exists(dir / log.data));
        EXPECT_EQ(std::filesystem::file_size(dir / log.data), 0u);
    }
}

TEST_F(RingLog, ReopenKeepsTheCountersAndAppendsContinue) {
    init_all();
    ASSERT_TRUE(system_event_db_append(stores, 100, DOOR_OPEN));
    ASSERT_TRUE(system_event_db_append(stores, 101, DOOR_CLOSE));
    log_flush(stores);
    stores.system_event_db = ring_log{};
    system_event_db_init(stores, dir.path);
    EXPECT_EQ(stores.system_event_db.header.count, 2u);
    EXPECT_EQ(stores.system_event_db.header.head, 2u);
    EXPECT_EQ(stores.system_event_db.header.next_data_offset, 32u);
    ASSERT_TRUE(system_event_db_append(stores, 102, AC_OK));
    log_flush(stores);
    auto idx = index("system_event_index.bin");
    EXPECT_EQ(le64(idx, 40 + 16), 32u);
    EXPECT_EQ(le32(idx, 12), 3u);
    EXPECT_EQ(le64(idx, 24), 48u);
}

TEST_F(RingLog, SystemAndCommRecordsByteExactAndRefusals) {
    init_all();
    EXPECT_FALSE(system_event_db_append(stores, 1, 22));
    EXPECT_FALSE(comm_event_db_append(stores, 1, "x", 0, 2));
    EXPECT_FALSE(comm_event_db_append(stores, 1, nullptr, 0, 1));
    log_flush(stores);
    EXPECT_EQ(std::filesystem::file_size(dir / "system_event_data.bin"), 0u);
    EXPECT_EQ(std::filesystem::file_size(dir / "communication_event_data.bin"), 0u);
    EXPECT_EQ(stores.system_event_db.header.count, 0u);
    EXPECT_EQ(stores.comm_event_db.header.count, 0u);

    ASSERT_TRUE(system_event_db_append(stores, 0x0102030405060708, CHARGER_OK));
    log_flush(stores);
    EXPECT_EQ(read_bytes(dir / "system_event_data.bin"),
              (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1, 7, 0, 0, 0, 0, 0, 0, 0}));

    std::string long_text(300, 'a');
    long_text[254] = 'z';
    ASSERT_TRUE(comm_event_db_append(stores, 1700000000, long_text.c_str(), -71, 1));
    ASSERT_TRUE(comm_event_db_append(stores, 1700000001, "", 5, 0));
    log_flush(stores);
    auto data = read_bytes(dir / "communication_event_data.bin");
    ASSERT_EQ(data.size(), 16u + 255 + 16);
    EXPECT_EQ(le64(data, 0), 1700000000u);
    EXPECT_EQ(le32(data, 8), uint32_t(-71));
    EXPECT_EQ(data[12], 1);
    EXPECT_EQ(data[13], 0);
    EXPECT_EQ(le32(data, 14) & 0xFFFF, 255u);
    EXPECT_EQ(std::string(data.begin() + 16, data.begin() + 271), long_text.substr(0, 255));
    auto idx = index("communication_event_index.bin");
    EXPECT_EQ(le64(idx, 40), 0u);
    EXPECT_EQ(le64(idx, 48), 271u);
    EXPECT_EQ(le64(idx, 24), 287u);
}

TEST_F(RingLog, RfRecordLayoutAndBackToBackOffsets) {
    rf_fpi_db_init(stores, dir.path);
    rf_data_entry e;
    e.error_msg = "OK";
    e.slave_id = 3;
    e.cmd_type = 0x65;
    e.measured.fault = 1;
    e.measured.reset = 0x0203;
    e.measured.i_status = 4;
    e.measured.i_mean = 0x0506;
    e.measured.i_min = 0x0708;
    e.measured.i_max = 0x090A;
    e.measured.v_status = 0x0B;
    e.measured.v_inst = 1.5f;   // 0x3FC00000
    e.measured.batt_v = -2.0f;  // 0xC0000000
    e.measured.rssi = 0x0C;
    e.measured.di_dt_level = 0x0D;
    e.measured.imax_level = 0x0E0F;
    e.measured.auto_reset = 0x10;
    e.measured.flash_time = 0x11;
    e.measured.inrush = 0x12;
    e.measured.validation = 0x13;
    e.measured.voltage = 0.25f;  // 0x3E800000
    e.measured.freq = 0x14;
    e.measured.period = 0x15;
    const uint8_t frame[] = {0x01, 0xA2, 0x04};
    rf_fpi_db_append(stores, frame, 0x1112131415161718, 0x2122232425262728, e);
    log_flush(stores);

    const std::vector<uint8_t> expected = {
        0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11,  // received_time
        0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21,  // frame_time
        3, 0, 0x65, 0x00, 1, 0, 0x03, 0x02,              // slave, cmd, fault, reset
        4, 0, 0x06, 0x05, 0x08, 0x07, 0x0A, 0x09,        // i_status, i_mean/min/max
        0x0B, 0, 0, 0, 0x00, 0x00, 0xC0, 0x3F,           // v_status, v_inst
        0x00, 0x00, 0x00, 0xC0, 0x0C, 0x0D, 0x0F, 0x0E,  // batt_v, rssi, di/dt, imax
        0x10, 0x11, 0x12, 0x13, 0x00, 0x00, 0x80, 0x3E,  // settings, voltage
        0x14, 0x15, 3, 0, 2, 0, 0, 0,                    // freq, period, lengths
        0x01, 0xA2, 0x04, 'O', 'K'};
    EXPECT_EQ(read_bytes(dir / "rf_fpi_data.bin"), expected);

    rf_data_entry bare;  // no frame, empty message
    rf_fpi_db_append(stores, {}, 1, 2, bare);
    rf_fpi_db_append(stores, {}, 3, 4, bare);
    log_flush(stores);
    auto data = read_bytes(dir / "rf_fpi_data.bin");
    ASSERT_EQ(data.size(), 69u + 64 + 64);
    EXPECT_EQ(le32(data, 69 + 58), 0u);  // frame_len 0, msg_len 0
    auto idx = index("rf_fpi_index.bin");
    EXPECT_EQ(le64(idx, 40), 0u);
    EXPECT_EQ(le64(idx, 48), 69u);
    EXPECT_EQ(le64(idx, 56), 133u);
    EXPECT_EQ(le64(idx, 24), 197u);
}

TEST_F(RingLog, WrapsAroundAfterTenThousandRecords) {
    system_event_db_init(stores, dir.path);
    stores.system_event_db.sync_writes = false;  // about the ring, not about power cuts
    for (uint32_t i = 0; i < 10000; ++i) ASSERT_TRUE(system_event_db_append(stores, 1700000000 + i, i % 22));
    log_flush(stores);
    const log_index_header& h = stores.system_event_db.header;
    EXPECT_EQ(h.count, 10000u);
    EXPECT_EQ(h.head, 0u);
    EXPECT_EQ(h.tail, 0u);

    ASSERT_TRUE(system_event_db_append(stores, 1700010000, DO5_LOW));
    log_flush(stores);
    EXPECT_EQ(h.count, 10000u);
    EXPECT_EQ(h.head, 1u);
    EXPECT_EQ(h.tail, 1u);
    auto idx = index("system_event_index.bin");
    EXPECT_EQ(le64(idx, 40), 160000u);  // slot 0 now holds the newest record
    EXPECT_EQ(le32(idx, 16), 1u);
    EXPECT_EQ(le32(idx, 20), 1u);

    // Survives a restart as it stands.
    stores.system_event_db = ring_log{};
    system_event_db_init(stores, dir.path);
    EXPECT_EQ(h.count, 10000u);
    EXPECT_EQ(h.tail, 1u);

    std::string csv = dir / "system.csv";
    ASSERT_EQ(system_event_db_export_csv(stores, csv), 10000);
    std::string text = store_test::read_text(csv);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10001);
    EXPECT_TRUE(text.starts_with("Timestamp,DIO_Events\n2023-11-14 22:13:21,CHARGER_FAIL\n"));
    EXPECT_TRUE(text.ends_with("2023-11-15 01:00:00,DO5_LOW\n"));
}

// Each damage makes the header fail validation; the index is recreated
// empty, the old data stays, and the next record lands behind it.
TEST_F(RingLog, InvalidIndexIsRecreatedAndNewRecordsGoBehindOldData) {
    struct damage {
        const char* name;
        void (*apply)(const std::string& index, const std::string& dir);
    } cases[] = {
        {"short", [](const std::string& p, const std::string&) { ::truncate(p.c_str(), 39); }},
        {"empty", [](const std::string& p, const std::string&) { ::truncate(p.c_str(), 0); }},
        {"check word",
         [](const std::string& p, const std::string&) {
             auto b = read_bytes(p);
             b[12] ^= 1;  // count changed without its check word
             store_test::write_bytes(p, b);
         }},
        {"max_entries",
         [](const std::string& p, const std::string&) {
             auto b = read_bytes(p);
             log_index_header h = decode_header(b.data());
             h.max_entries = 5000;
             h.check = header_check(h, system_event_kind.check_constant);
             encode_header(h, b.data());
             store_test::write_bytes(p, b);
         }},
        {"another log's header",
         [](const std::string& p, const std::string& d) {
             std::filesystem::copy_file(d + "/communication_event_index.bin", p,
                                        std::filesystem::copy_options::overwrite_existing);
         }},
        {"ring fields out of range",
         [](const std::string& p, const std::string&) {
             auto b = read_bytes(p);
             log_index_header h = decode_header(b.data());
             h.head = 20000;
             h.check = header_check(h, system_event_kind.check_constant);
             encode_header(h, b.data());
             store_test::write_bytes(p, b);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store_test::temp_dir d;
        system_event_db_init(stores, d.path);
        comm_event_db_init(stores, d.path);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(system_event_db_append(stores, i, AC_OK));
        ASSERT_TRUE(comm_event_db_append(stores, 1, "x", 1, 1));
        log_flush(stores);
        c.apply(d / "system_event_index.bin", d.path);

        stores.system_event_db = ring_log{};
        system_event_db_init(stores, d.path);
        EXPECT_EQ(stores.system_event_db.header.count, 0u);
        EXPECT_EQ(stores.system_event_db.header.next_data_offset, 0u);
        auto idx = read_bytes(d / "system_event_index.bin");
        ASSERT_EQ(idx.size(), 80040u);
        EXPECT_EQ(le32(idx, 0), 0x53454442u);
        EXPECT_EQ(le32(idx, 12), 0u);

        ASSERT_TRUE(system_event_db_append(stores, 1700000000, BATTERY_OK));
        log_flush(stores);
        idx = read_bytes(d / "system_event_index.bin");
        EXPECT_EQ(le64(idx, 40), 48u);  // behind the three old records
        EXPECT_EQ(le64(idx, 24), 64u);
        EXPECT_EQ(std::filesystem::file_size(d / "system_event_data.bin"), 64u);
        ASSERT_EQ(system_event_db_export_csv(stores, d / "s.csv"), 1);
        EXPECT_EQ(store_test::read_text(d / "s.csv"),
                  "Timestamp,DIO_Events\n2023-11-14 22:13:20,BATTERY_OK\n");
    }
}

// A power cut may keep the index but lose the end of the data file. The next
// record must not land under the offsets that live slots still hold.
TEST_F(RingLog, DataFileShorterThanTheIndexSaysIsGrownFirst) {
    system_event_db_init(stores, dir.path);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(system_event_db_append(stores, 1700000000 + i, AC_OK));
    log_flush(stores);
    ::truncate((dir / "system_event_data.bin").c_str(), 16);

    stores.system_event_db = ring_log{};
    system_event_db_init(stores, dir.path);
    ASSERT_TRUE(system_event_db_append(stores, 1700000100, AC_FAIL));
    log_flush(stores);
    auto idx = read_bytes(dir / "system_event_index.bin");
    EXPECT_EQ(le64(idx, 40 + 8 * 3), 48u);
    EXPECT_EQ(std::filesystem::file_size(dir / "system_event_data.bin"), 64u);
    ASSERT_EQ(system_event_db_export_csv(stores, dir / "s.csv"), 4);
    EXPECT_TRUE(store_test::read_text(dir / "s.csv").ends_with("2023-11-14 22:15:00,AC_FAIL\n"));
}

TEST_F(RingLog, UnwritableIndexStillCountsTheRecord) {
    system_event_db_init(stores, dir.path);
    std::filesystem::remove(dir / "system_event_index.bin");
    std::filesystem::create_directory(dir / "system_event_index.bin");
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(system_event_db_append(stores, 1, AC_OK));
    log_flush(stores);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Failed to write system event index offset (slot=0)\n"
              "Failed to write system event index header after append\n");
    EXPECT_EQ(stores.system_event_db.header.count, 1u);
    EXPECT_EQ(stores.system_event_db.header.next_data_offset, 16u);
}

TEST_F(RingLog, UnwritableDataFileDropsTheRecord) {
    comm_event_db_init(stores, dir.path);
    std::filesystem::remove(dir / "communication_event_data.bin");
    std::filesystem::create_directory(dir / "communication_event_data.bin");
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(comm_event_db_append(stores, 1, "x", 0, 1));  // queued; the writer fails to write it
    log_flush(stores);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Failed to append communication event to data file: Is a directory\n");
    EXPECT_EQ(stores.comm_event_db.header.count, 0u);
    EXPECT_EQ(le32(read_bytes(dir / "communication_event_index.bin"), 12), 0u);
}

TEST_F(RingLog, UncreatableIndexKeepsTheFreshHeaderInMemory) {
    std::filesystem::create_directory(dir / "rf_fpi_index.bin");
    std::filesystem::create_directory(dir / "rf_fpi_index.bin/x");  // cannot be unlinked either
    ::testing::internal::CaptureStderr();
    rf_fpi_db_init(stores, dir.path);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "create index file: Is a directory\n");
    EXPECT_EQ(stores.rf_fpi_db.header.magic, 0x52464650u);
    EXPECT_EQ(stores.rf_fpi_db.header.max_entries, 10000u);
}

// Offsets are 64-bit end to end: a record beyond 2 GiB (a data file given a
// bound that large, or one grown by an older version) is stored at its real
// offset and exported. Taken over with the usual bound, the file wraps at the
// next record and keeps the far one, which nothing overwrites.
TEST_F(RingLog, RecordsBeyondTwoGibibytesStayReachable) {
    const uint64_t far = 3ull << 30;
    system_event_db_init(stores, dir.path, uint32_t((4ull << 30) / 1024));
    ASSERT_EQ(::truncate((dir / "system_event_data.bin").c_str(), off_t(far)), 0);  // sparse
    ASSERT_TRUE(system_event_db_append(stores, 1700000000, DI6_LOW));
    log_flush(stores);
    EXPECT_EQ(le64(index("system_event_index.bin"), 40), far);
    EXPECT_EQ(stores.system_event_db.header.next_data_offset, far + 16);
    ASSERT_EQ(system_event_db_export_csv(stores, dir / "s.csv"), 1);
    EXPECT_EQ(store_test::read_text(dir / "s.csv"), "Timestamp,DIO_Events\n2023-11-14 22:13:20,DI6_LOW\n");

    stores.system_event_db = ring_log{};
    system_event_db_init(stores, dir.path);
    ASSERT_TRUE(system_event_db_append(stores, 1700000001, DI6_HIGH));
    ASSERT_EQ(system_event_db_export_csv(stores, dir / "s.csv"), 2);
    EXPECT_EQ(store_test::read_text(dir / "s.csv"),
              "Timestamp,DIO_Events\n2023-11-14 22:13:20,DI6_LOW\n2023-11-14 22:13:21,DI6_HIGH\n");
    EXPECT_EQ(le64(index("system_event_index.bin"), 48), 0u);
    EXPECT_EQ(std::filesystem::file_size(dir / "system_event_data.bin"), far + 16);
}

namespace {

// A communication log with a bound, written one record at a time, beside the
// model of what it must hold.
struct bounded_log {
    store_test::temp_dir dir;
    log_stores stores;
    std::vector<size_t> text_len;  // by record number

    void open(uint32_t limit_kb) {
        stores.comm_event_db = ring_log{};
        comm_event_db_init(stores, dir.path, limit_kb);
        stores.comm_event_db.sync_writes = false;  // about the ring, not about power cuts
    }
    // Queues record `seq`; its size.
    uint64_t queue(uint64_t seq, size_t len) {
        text_len.resize(std::max<size_t>(text_len.size(), seq + 1));
        text_len[seq] = len;
        return store_test::queue_comm(stores, seq, len);
    }
    // The live offsets, oldest first, as the log holds them in memory and as
    // its index file holds them.
    std::vector<uint64_t> offsets_in_memory() {
        std::lock_guard lock(stores.comm_log_lock);
        const ring_log& log = stores.comm_event_db;
        std::vector<uint64_t> out;
        for (uint32_t i = 0; i < log.header.count; ++i) out.push_back(log.slots[(log.header.tail + i) % log_max_entries]);
        return out;
    }
    std::vector<uint64_t> offsets_on_file() {
        const auto idx = read_bytes(dir / "communication_event_index.bin");
        const log_index_header h = decode_header(idx.data());
        std::vector<uint64_t> out;
        for (uint32_t i = 0; i < h.count; ++i) out.push_back(le64(idx, 40 + 8 * size_t((h.tail + i) % log_max_entries)));
        return out;
    }
    uint64_t data_size() { return std::filesystem::file_size(dir / "communication_event_data.bin"); }
    std::string exported() {
        EXPECT_GE(comm_event_db_export_csv(stores, dir / "c.csv"), 0);
        return store_test::read_text(dir / "c.csv");
    }
    std::string expected(const store_test::ring_model& model) {
        std::string csv = store_test::comm_csv_header;
        for (const store_test::placed& p : model.live) csv += store_test::comm_row(p.seq, text_len[p.seq]);
        return csv;
    }
};

std::vector<uint64_t> offsets_of(const store_test::ring_model& model) {
    std::vector<uint64_t> out;
    for (const store_test::placed& p : model.live) out.push_back(p.offset);
    return out;
}

}  // namespace

// Written on past its bound, a log reuses its data file from offset 0 and
// keeps the newest entries: 10000 when they are small (the index is the
// limit), as many as fit in the bound when they are large. Entries whose
// bytes were reused are gone from the index, the live ones at the start of
// the file follow the oldest in the export.
TEST_F(RingLog, AWrappedLogKeepsTheNewestEntries) {
    struct {
        const char* name;
        uint32_t limit_kb;
        size_t text;
        uint64_t records;
        size_t kept;
    } cases[] = {
        {"ten thousand small entries", 256, 0, 20000, 10000},
        {"as many large entries as fit", 64, 255, 1000, 65536 / (16 + 255)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bounded_log log;
        log.open(c.limit_kb);
        store_test::ring_model model{.bound = uint64_t(c.limit_kb) * 1024};
        for (uint64_t seq = 0; seq < c.records; ++seq) {
            model.add(seq, log.queue(seq, c.text));
            log_flush(log.stores);  // each record a group of its own
            const log_index_header& h = log.stores.comm_event_db.header;
            ASSERT_EQ(h.count, model.live.size()) << "after record " << seq;
            ASSERT_EQ(log.stores.comm_event_db.slots[h.tail], model.live.front().offset) << "after record " << seq;
            if (seq % 1000 == 999) {
                ASSERT_EQ(log.offsets_in_memory(), offsets_of(model)) << "after record " << seq;
            }
        }
        EXPECT_EQ(model.live.size(), c.kept);
        EXPECT_LT(model.live.back().offset, model.live.front().offset);  // live at both ends of the file
        EXPECT_EQ(log.offsets_on_file(), offsets_of(model));
        EXPECT_LE(log.data_size(), model.bound);
        EXPECT_EQ(log.exported(), log.expected(model));
    }
}

// A data file of the older version, grown to 2 MB without a bound, taken over
// with a bound of 64 KiB: the next record goes to offset 0, dropping the old
// records it overlaps and no others; the old records beyond the bound stay
// whole and listed until the ring comes round again, and at that wrap, with
// no live record left past the bound, the file is cut to it.
TEST_F(RingLog, AnOversizedDataFileIsTakenOver) {
    bounded_log log;
    log.open(4096);
    uint64_t seq = 0;
    const size_t old_text = 255, new_text = 100;  // unequal, so that new records overlap old ones unevenly
    store_test::ring_model model{.bound = 64 * 1024};
    for (; log.data_size() + 16 + old_text <= 2u << 20; ++seq) {
        model.live.push_back({seq, seq * (16 + old_text), 16 + old_text});
        log.queue(seq, old_text);
        if (seq % 500 == 499) log_flush(log.stores);
    }
    log_flush(log.stores);
    const uint64_t old_size = log.data_size();
    ASSERT_GT(old_size, 2000000u);
    model.end = old_size;

    log.open(64);
    ASSERT_EQ(log.offsets_in_memory(), offsets_of(model));
    EXPECT_EQ(log.exported(), log.expected(model));
    for (int wraps = 0; model.wraps < 3; ++seq) {
        model.add(seq, log.queue(seq, new_text));
        log_flush(log.stores);
        SCOPED_TRACE(testing::Message() << "record " << seq << ", " << model.wraps << " wraps");
        ASSERT_EQ(log.offsets_in_memory(), offsets_of(model));
        ASSERT_EQ(log.data_size(), model.wraps < 2 ? old_size : model.bound);
        if (model.wraps != wraps || seq % 100 == 0) {
            wraps = model.wraps;
            ASSERT_EQ(log.offsets_on_file(), offsets_of(model));
            ASSERT_EQ(log.exported(), log.expected(model));
        }
    }
    EXPECT_EQ(model.live.front().seq, seq - 64 * 1024 / (16 + new_text));
}
