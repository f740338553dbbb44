#include "fpi/fault_counter.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "logs/writer.h"
#include "tests/logs/store_test_util.h"

using namespace fpi;
using store_test::read_bytes;

namespace {

constexpr uint32_t D = 20000;  // an epoch day (2024-10-04)

uint64_t at_day(uint32_t day, uint32_t hour = 12) { return uint64_t(day) * ms_per_day + hour * 3600000ull; }

struct FaultCounter : ::testing::Test {
    store_test::temp_dir dir;
    fault_counter fc;
    std::string file() { return dir / "fault_counter_db.bin"; }
    fault_db on_disk() {
        auto bytes = read_bytes(file());
        EXPECT_EQ(bytes.size(), fault_db_size);
        bytes.resize(fault_db_size);
        return fault_db_decode(bytes.data());
    }
};

// The window as "offset:g1g2g3" per slot, days relative to D.
std::string window(const fault_db& db) {
    std::string s;
    for (const fault_day_slot& slot : db.slots) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s%+d:%u%u%u", s.empty() ? "" : " ",
                      int(int64_t(slot.day) - D), slot.count[0], slot.count[1], slot.count[2]);
        s += buf;
    }
    return s;
}

}  // namespace

TEST(FaultGroup, OfSlave) {
    const int expected[] = {0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 0};
    for (int id = 0; id <= 10; ++id) EXPECT_EQ(fault_group_of_slave(id), expected[id]) << id;
    EXPECT_EQ(fault_group_of_slave(-1), 0);
}

TEST_F(FaultCounter, FreshStartCreatesTheEmptyFileByteExact) {
    ASSERT_TRUE(fault_counter_load(fc, dir.path));
    std::vector<uint8_t> expected(fault_db_size, 0);
    expected[0] = 'B', expected[1] = 'D', expected[2] = 'C', expected[3] = 'F';
    expected[4] = 2;
    expected[36] = 0x83, expected[37] = 0x87, expected[38] = 0xE6, expected[39] = 0xE3;
    EXPECT_EQ(read_bytes(file()), expected);
    EXPECT_EQ(std::filesystem::directory_iterator(dir.path)->path().filename(), "fault_counter_db.bin");
}

TEST_F(FaultCounter, InvalidFilesAreReplacedByAnEmptyDatabase) {
    ASSERT_TRUE(fault_counter_load(fc, dir.path));
    ASSERT_TRUE(fault_counter_add(fc, 1, at_day(D)));
    const auto good = read_bytes(file());
    const auto empty = fault_db_encode(fault_db_empty());
    struct {
        const char* name;
        std::vector<uint8_t> content;
    } cases[] = {
        {"short", {good.begin(), good.begin() + 155}},
        {"empty", {}},
        {"checksum", [&] { auto b = good; b[8] ^= 1; return b; }()},
        {"magic", [&] { auto b = good; b[0] = 'X'; return b; }()},
        {"version", [&] {
             fault_db db = fault_db_decode(good.data());
             db.version = 1;
             db.checksum = fault_db_checksum(db);
             auto a = fault_db_encode(db);
             return std::vector<uint8_t>(a.begin(), a.end());
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store_test::write_bytes(file(), c.content);
        ASSERT_TRUE(fault_counter_load(fc, dir.path));
        EXPECT_EQ(read_bytes(file()), std::vector<uint8_t>(empty.begin(), empty.end()));
        fault_counter_stats stats;
        ASSERT_TRUE(fault_counter_get_stats(fc, &stats, at_day(D)));
        EXPECT_EQ(stats.groups[0].total, 0u);
    }
    // A valid file is taken as it is, reserved bytes included, and they
    // are carried through the next save.
    fault_db db = fault_db_decode(good.data());
    db.reserved6 = 0x1234;
    db.reserved40 = 0xCAFEF00D;
    auto bytes = fault_db_encode(db);
    store_test::write_bytes(file(), {bytes.begin(), bytes.end()});
    ASSERT_TRUE(fault_counter_load(fc, dir.path));
    ASSERT_TRUE(fault_counter_add(fc, 1, at_day(D)));
    fault_db saved = on_disk();
    EXPECT_EQ(saved.reserved6, 0x1234);
    EXPECT_EQ(saved.reserved40, 0xCAFEF00Du);
    EXPECT_EQ(saved.total[0], 2u);
}

// One fault after another, the clock given with each; after every step the
// file holds the expected window and counters.
TEST_F(FaultCounter, WindowDayByDay) {
    struct step {
        int group;
        int day;  // relative to D
        const char* window;
        uint32_t g1, g2, g3, time_invalid, backward, rebase;
    } steps[] = {
        // The first fault starts the window on its day.
        {2, 0, "-6:000 -5:000 -4:000 -3:000 -2:000 -1:000 +0:010", 0, 1, 0, 0, 0, 0},
        {2, 0, "-6:000 -5:000 -4:000 -3:000 -2:000 -1:000 +0:020", 0, 2, 0, 0, 0, 0},
        // Two days later: shifted twice.
        {2, 2, "-4:000 -3:000 -2:000 -1:000 +0:020 +1:000 +2:010", 0, 3, 0, 0, 0, 0},
        // Eight days after the newest slot: the window restarts.
        {1, 10, "+4:000 +5:000 +6:000 +7:000 +8:000 +9:000 +10:100", 1, 3, 0, 0, 0, 1},
        // Clock set back but within the window: counted in its slot.
        {3, 5, "+4:000 +5:001 +6:000 +7:000 +8:000 +9:000 +10:100", 1, 3, 1, 0, 0, 1},
        // One day before the oldest slot: backward jump and time invalid.
        {1, 3, "+4:000 +5:001 +6:000 +7:000 +8:000 +9:000 +10:100", 2, 3, 1, 1, 1, 1},
        // Further back: a backward jump only.
        {1, 1, "+4:000 +5:001 +6:000 +7:000 +8:000 +9:000 +10:100", 3, 3, 1, 1, 2, 1},
        {2, 11, "+5:001 +6:000 +7:000 +8:000 +9:000 +10:100 +11:010", 3, 4, 1, 1, 2, 1},
        // Six days ahead is still a shift, seven restart the window.
        {2, 17, "+11:010 +12:000 +13:000 +14:000 +15:000 +16:000 +17:010", 3, 5, 1, 1, 2, 1},
        {3, 17, "+11:010 +12:000 +13:000 +14:000 +15:000 +16:000 +17:011", 3, 5, 2, 1, 2, 1},
        {1, 24, "+18:000 +19:000 +20:000 +21:000 +22:000 +23:000 +24:100", 4, 5, 2, 1, 2, 2},
    };
    ASSERT_TRUE(fault_counter_load(fc, dir.path));
    for (const step& s : steps) {
        SCOPED_TRACE(::testing::Message() << "group " << s.group << " day D" << std::showpos << s.day);
        ASSERT_TRUE(fault_counter_add(fc, s.group, at_day(D + s.day, s.day == 0 ? 0 : 23)));
        fault_db db = on_disk();
        EXPECT_EQ(db.checksum, fault_db_checksum(db));
        EXPECT_EQ(window(db), s.window);
        EXPECT_EQ(db.last_ref_day, db.slots[6].day);
        EXPECT_EQ(db.total[0], s.g1);
        EXPECT_EQ(db.total[1], s.g2);
        EXPECT_EQ(db.total[2], s.g3);
        EXPECT_EQ(db.time_invalid_events, s.time_invalid);
        EXPECT_EQ(db.backward_jump_events, s.backward);
        EXPECT_EQ(db.forward_rebase_count, s.rebase);
    }
}

TEST_F(FaultCounter, LastSevenDaysCountsOnlyTheDaysUpToToday) {
    ASSERT_TRUE(fault_counter_load(fc, dir.path));
    ASSERT_TRUE(fault_counter_add(fc, 1, at_day(D + 10)));  // window D+4 .. D+10
    for (int day = 4; day <= 10; ++day) ASSERT_TRUE(fault_counter_add(fc, 2, at_day(D + day)));
    struct {
        int today;
        uint32_t g1, g2;
    } cases[] = {
        {10, 1, 7}, {12, 1, 5}, {16, 1, 1}, {17, 0, 0}, {7, 0, 4}, {3, 0, 0},
    };
    for (const auto& c : cases) {
        fault_counter_stats stats;
        ASSERT_TRUE(fault_counter_get_stats(fc, &stats, at_day(D + c.today)));
        EXPECT_EQ(stats.count, 3);
        EXPECT_EQ(stats.groups[0].group, 1);
        EXPECT_EQ(stats.groups[2].group, 3);
        EXPECT_EQ(stats.groups[0].last_7_days, c.g1) << "today D+" << c.today;
        EXPECT_EQ(stats.groups[1].last_7_days, c.g2) << "today D+" << c.today;
        EXPECT_EQ(stats.groups[0].total, 1u);
        EXPECT_EQ(stats.groups[1].total, 7u);
    }
    EXPECT_FALSE(fault_counter_get_stats(fc, nullptr, at_day(D)));
}

TEST_F(FaultCounter, GroupOutsideOneToThreeIsRefusedUntouched) {
    ASSERT_TRUE(fault_counter_load(fc, dir.path));
    const auto before = read_bytes(file());
    EXPECT_FALSE(fault_counter_add(fc, 0, at_day(D)));
    EXPECT_FALSE(fault_counter_add(fc, 4, at_day(D)));
    EXPECT_EQ(read_bytes(file()), before);
    fault_counter_stats stats;
    ASSERT_TRUE(fault_counter_get_stats(fc, &stats, at_day(D)));
    for (const auto& g : stats.groups) EXPECT_EQ(g.total, 0u);
}

TEST_F(FaultCounter, TimeZeroMeansNow) {
    ASSERT_TRUE(fault_counter_load(fc, dir.path));
    const uint32_t before = uint32_t(std::time(nullptr) / 86400);
    ASSERT_TRUE(fault_counter_add(fc, 3, 0));
    const uint32_t after = uint32_t(std::time(nullptr) / 86400);
    fault_db db = on_disk();
    EXPECT_GE(db.last_ref_day, before);
    EXPECT_LE(db.last_ref_day, after);
    fault_counter_stats stats;
    ASSERT_TRUE(fault_counter_get_stats(fc, &stats, 0));
    EXPECT_EQ(stats.groups[2].last_7_days, 1u);
}

// The save replaces the file as a whole: when it cannot be written the
// previous file stays complete, counting goes on in memory, and no
// temporary file is left behind.
TEST_F(FaultCounter, FailedSaveKeepsThePreviousFile) {
    ASSERT_TRUE(fault_counter_load(fc, dir.path));
    ASSERT_TRUE(fault_counter_add(fc, 1, at_day(D)));
    const auto saved = read_bytes(file());
    std::filesystem::create_directory(dir / "fault_counter_db.bin.tmp");
    std::filesystem::create_directory(dir / "fault_counter_db.bin.tmp/x");
    EXPECT_FALSE(fault_counter_add(fc, 1, at_day(D)));
    EXPECT_EQ(read_bytes(file()), saved);
    std::filesystem::remove_all(dir / "fault_counter_db.bin.tmp");

    fault_counter_stats stats;
    ASSERT_TRUE(fault_counter_get_stats(fc, &stats, at_day(D)));
    EXPECT_EQ(stats.groups[0].total, 2u);
    ASSERT_TRUE(fault_counter_add(fc, 1, at_day(D)));
    EXPECT_EQ(on_disk().total[0], 3u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path),
                            std::filesystem::directory_iterator()), 1);
}

// With the stores' writer a save is queued, not written on the counting
// thread: the file changes when the writer writes, and then holds the
// newest image. A database made at load is on the file at once.
TEST_F(FaultCounter, WithAWriterTheSavesGoThroughIt) {
    logs::log_stores stores;
    ASSERT_TRUE(fault_counter_load(fc, dir.path, &stores));
    const auto empty = fault_db_encode(fault_db_empty());
    EXPECT_EQ(read_bytes(file()), std::vector<uint8_t>(empty.begin(), empty.end()));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(fault_counter_add(fc, 2, at_day(D)));
    EXPECT_EQ(on_disk().total[1], 0u);
    logs::log_flush(stores);
    fault_db db = on_disk();
    EXPECT_EQ(db.total[1], 3u);
    EXPECT_EQ(db.checksum, fault_db_checksum(db));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path),
                            std::filesystem::directory_iterator()), 1);
}

TEST_F(FaultCounter, PrintStats) {
    ASSERT_TRUE(fault_counter_load(fc, dir.path));
    ASSERT_TRUE(fault_counter_add(fc, 2, at_day(D)));
    ::testing::internal::CaptureStdout();
    fault_counter_print_stats(fc);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "\n=== FAULT COUNTER DATABASE STATISTICS ===\n"
              "Magic: 0x46434442\n"
              "Version: 2\n"
              "Last ref epoch day: 20000\n"
              "Group1 total: 0\n"
              "Group2 total: 1\n"
              "Group3 total: 0\n"
              "Time invalid events: 0\n"
              "Backward jump events: 0\n"
              "Forward rebase count: 0\n"
              "Slot[0] day=19994 g1=0 g2=0 g3=0\n"
              "Slot[1] day=19995 g1=0 g2=0 g3=0\n"
              "Slot[2] day=19996 g1=0 g2=0 g3=0\n"
              "Slot[3] day=19997 g1=0 g2=0 g3=0\n"
              "Slot[4] day=19998 g1=0 g2=0 g3=0\n"
              "Slot[5] day=19999 g1=0 g2=0 g3=0\n"
              "Slot[6] day=20000 g1=0 g2=1 g3=0\n");
}
