// A flash-mode telegram end to end, over the pty and a master: FAULT = 1
// reaches the master before anything else is done with the telegram; the
// pending reset, the record and the fault's count follow, and the count (the
// save, the pause, then the totals) never holds up reception, nor is it lost
// at a stop. Orders are observed by holding a lock the reader takes, or by
// giving the fault worker a pause that only a stop ends, never by timing.
#include <poll.h>

#include <array>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/startup_steps.h"
#include "fpi/fault_counter.h"
#include "fpi/pending_reset.h"
#include "tests/radio/radio.h"
#include "tests/support/capture.h"

namespace {

using namespace radio_test;
using station_test::master;
using test_support::wait_until;

// Longer than any test runs: such a pause ends only when the fault worker
// stops, which cuts it short.
constexpr int endless_pause_ms = 24 * 3600 * 1000;

constexpr uint32_t fault_ioa(int slave) { return uint32_t(slave * 100 + 24); }
// Group g's last-7-days and total fault counts (scaled values).
constexpr int32_t last_7_days_ioa(int group) { return 1001 + 2 * group; }
constexpr int32_t total_ioa(int group) { return 1002 + 2 * group; }
constexpr int32_t scaled = 35;

using group_counts = std::array<uint32_t, 3>;

std::string saving_line(int slave) {
    return "Saving Fault for Slave id " + std::to_string(slave) + " and Group id " +
           std::to_string(fpi::fault_group_of_slave(slave)) + "\n";
}

test_support::bytes flash_from(int slave) {
    return frame_bytes(rf::CMD_FLASH_MODE, radio_test::ordinary_event(), uint8_t(slave));
}

// The gateway with a master online that sees FAULT and the fault totals
// change: the totals are published as when serving starts, and each of
// `slaves` has set its rows with an ordinary event first.
struct fault_gateway : radio_gateway {
    std::unique_ptr<master> m;
    bool ready = false;

    fault_gateway(int fault_pause_ms, std::vector<int> slaves)
        : radio_gateway({}, radio_test::rf_reader_only, fault_pause_ms) {
        if (!ok) return;
        fpigate::publish_start_values(g);
        for (const int s : slaves) {
            send(frame_bytes(rf::CMD_EVENT_DATA, radio_test::ordinary_event(), uint8_t(s)));
            const auto ack = next_downlink();
            if (!ack || ack->destination_id != s) return;
        }
        m = std::make_unique<master>(port());
        ready = m->started && master_online(g.station);
    }

    // The fault counter file as it is on disk, when it is whole.
    std::optional<fpi::fault_db> saved() {
        std::ifstream in(cfg->settings.data_dir + "/fault_counter_db.bin", std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        if (bytes.size() != fpi::fault_db_size) return std::nullopt;
        const fpi::fault_db db = fpi::fault_db_decode(bytes.data());
        if (db.magic != fpi::fault_db_magic || db.checksum != fpi::fault_db_checksum(db)) return std::nullopt;
        return db;
    }
    std::optional<group_counts> saved_totals() {
        const auto db = saved();
        return db ? std::optional(db->total) : std::nullopt;
    }

    // The group totals of the database in memory.
    group_counts counted() {
        fpi::fault_counter_stats s;
        if (!fpi::fault_counter_get_stats(g.fpis.faults, &s, 0)) return {};
        return {s.groups[0].total, s.groups[1].total, s.groups[2].total};
    }

    // A total as the station holds it for its masters.
    std::optional<double> published(int32_t ioa) {
        const auto r = stored(g.station, ioa, scaled);
        if (!r) return std::nullopt;
        return r->kind == outstation::kind_integer ? double(r->integer_value) : double(r->real_value);
    }
    // No total has reached the master since it connected.
    bool no_totals_reported() {
        for (int group = 1; group <= 3; ++group)
            if (!spontaneous(*m, uint32_t(last_7_days_ioa(group))).empty() ||
                !spontaneous(*m, uint32_t(total_ioa(group))).empty())
                return false;
        return true;
    }

    // Nothing waits to be read on the radio's side of the line.
    bool line_quiet() {
        pollfd p{radio.master.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
};

TEST(FaultPath, FaultOneReachesTheMasterBeforeTheResetGoesOutAndTheFrameIsRecorded) {
    fault_gateway gw(0, {4});
    ASSERT_TRUE(gw.ready);
    fpi::pending_reset_store(gw.g.fpis, 4);
    const size_t recorded_before = gw.recent_count();
    {
        // The reader looks for FPI 4's pending reset under this lock: while
        // the test holds it, the reader stops right there.
        std::lock_guard hold(gw.g.fpis.pending_reset_lock);
        gw.send(flash_from(4));
        ASSERT_TRUE(spontaneous_reaches(*gw.m, fault_ioa(4), {1}));
        EXPECT_TRUE(gw.line_quiet());                    // no reset on the line yet,
        EXPECT_EQ(gw.recent_count(), recorded_before);  // no record,
        EXPECT_EQ(gw.counted(), (group_counts{0, 0, 0}));  // no count
    }
    const auto reset = gw.next_downlink();
    ASSERT_TRUE(reset);
    EXPECT_EQ(reset->command, rf::CMD_REMOTE_RESET);
    EXPECT_EQ(reset->destination_id, 4);
    ASSERT_TRUE(gw.recorded(recorded_before));
    EXPECT_EQ(gw.recent().front().measured.fault, 1);
    EXPECT_EQ(gw.recent().front().error_msg, "OK");
    ASSERT_TRUE(gw.faults_counted());
    EXPECT_EQ(gw.counted(), (group_counts{0, 1, 0}));
    EXPECT_TRUE(spontaneous_reaches(*gw.m, uint32_t(total_ioa(2)), {1}));
    EXPECT_EQ(spontaneous(*gw.m, fault_ioa(4)), (std::vector<int32_t>{1}));  // reported once
}

// A count that cannot go on (its save waits for the fault database, held
// here as a reader of the statistics or a slow save would hold it) holds up
// neither reception nor the next fault's FAULT = 1.
TEST(FaultPath, ACountStuckOnItsSaveHoldsUpNoTelegram) {
    fault_gateway gw(0, {4});
    ASSERT_TRUE(gw.ready);
    test_support::stream_tap tap(stdout, gw.dir / "stdout.txt");
    {
        std::lock_guard hold(gw.g.fpis.faults.fault_db_lock);
        gw.send(flash_from(1));
        ASSERT_TRUE(tap.wait_for_text(saving_line(1)));  // the worker goes on to the save and waits
        gw.send(flash_from(4));
        EXPECT_TRUE(spontaneous_reaches(*gw.m, fault_ioa(4), {1}));
        EXPECT_TRUE(gw.quiet_since(5));
        EXPECT_EQ(occurrences(tap.text(), "Saving Fault for Slave id "), 1u);
    }
    ASSERT_TRUE(wait_until([&] { return gw.fault_work_idle(); }));
    EXPECT_EQ(gw.counted(), (group_counts{1, 1, 0}));
    EXPECT_TRUE(in_order(positions(tap.release(), {saving_line(1), saving_line(4)})));
}

// The count's save comes before its pause and the totals after it; what it
// prints and what the master gets are what a counted fault always gave.
TEST(FaultPath, ACountedFaultIsSavedThenItsTotalsFollowThePause) {
    fault_gateway gw(endless_pause_ms, {4});
    ASSERT_TRUE(gw.ready);
    test_support::stream_tap tap(stdout, gw.dir / "stdout.txt");
    gw.send(flash_from(4));
    ASSERT_TRUE(spontaneous_reaches(*gw.m, fault_ioa(4), {1}));
    ASSERT_TRUE(tap.wait_for_text(saving_line(4)));
    // the writer puts the counted fault on the file ...
    ASSERT_TRUE(wait_until([&] { return gw.saved_totals() == group_counts{0, 1, 0}; }));
    // ... while the totals wait for the pause to end
    EXPECT_TRUE(gw.no_totals_reported());
    EXPECT_EQ(gw.published(total_ioa(2)), 0);
    EXPECT_EQ(tap.text().find("=== FAULT COUNTER DATABASE STATISTICS ==="), std::string::npos);

    fpi::fault_worker_stop(gw.g.fpis);  // ends the pause
    EXPECT_TRUE(spontaneous_reaches(*gw.m, uint32_t(last_7_days_ioa(2)), {1}));
    EXPECT_TRUE(spontaneous_reaches(*gw.m, uint32_t(total_ioa(2)), {1}));
    for (const int group : {1, 3}) {  // unchanged: not reported
        EXPECT_TRUE(spontaneous(*gw.m, uint32_t(last_7_days_ioa(group))).empty());
        EXPECT_TRUE(spontaneous(*gw.m, uint32_t(total_ioa(group))).empty());
    }
    const std::string out = tap.release();
    // 2024-06-05 is epoch day 19879
    const std::string counted_lines =
        saving_line(4) +
        "\n=== FAULT COUNTER DATABASE STATISTICS ===\n"
        "Magic: 0x46434442\nVersion: 2\nLast ref epoch day: 19879\n"
        "Group1 total: 0\nGroup2 total: 1\nGroup3 total: 0\n"
        "Time invalid events: 0\nBackward jump events: 0\nForward rebase count: 0\n"
        "Slot[0] day=19873 g1=0 g2=0 g3=0\nSlot[1] day=19874 g1=0 g2=0 g3=0\n"
        "Slot[2] day=19875 g1=0 g2=0 g3=0\nSlot[3] day=19876 g1=0 g2=0 g3=0\n"
        "Slot[4] day=19877 g1=0 g2=0 g3=0\nSlot[5] day=19878 g1=0 g2=0 g3=0\n"
        "Slot[6] day=19879 g1=0 g2=1 g3=0\n"
        "\nFPI Aux IOA Name LATITUDE\n\nFPI Aux IOA Name LONGITUDE\n"
        "\nFPI Aux IOA Name Group1_Last_7_days_Faults\n\nFPI Aux IOA Name Group1_Total_Faults\n"
        "\nFPI Aux IOA Name Group2_Last_7_days_Faults\n\nFPI Aux IOA Name Group2_Total_Faults\n"
        "\nFPI Aux IOA Name Group3_Last_7_days_Faults\n\nFPI Aux IOA Name Group3_Total_Faults\n";
    const size_t at = out.find(saving_line(4));
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_EQ(out.substr(at, counted_lines.size()), counted_lines);
    EXPECT_EQ(occurrences(out, "Saving Fault for Slave id "), 1u);
    EXPECT_EQ(gw.saved_totals(), (group_counts{0, 1, 0}));
}

// A feeder fault seen by every FPI upstream: nine flash-mode telegrams in a
// row. Every FAULT reaches the master while the first count still pauses.
TEST(FaultPath, NineFpisFlashingInARowAllReachTheMasterBeforeTheFirstCountEnds) {
    fault_gateway gw(endless_pause_ms, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    ASSERT_TRUE(gw.ready);
    test_support::stream_tap tap(stdout, gw.dir / "stdout.txt");
    const size_t recorded_before = gw.recent_count();
    for (int slave = 1; slave <= 9; ++slave) gw.send(flash_from(slave));
    for (int slave = 1; slave <= 9; ++slave) EXPECT_TRUE(spontaneous_reaches(*gw.m, fault_ioa(slave), {1})) << slave;
    EXPECT_TRUE(gw.recorded(recorded_before, 9));
    const std::string out = tap.text();
    // one count at a time, the first still in its pause: no totals yet
    EXPECT_LE(occurrences(out, "Saving Fault for Slave id "), 1u) << out;
    EXPECT_EQ(out.find("=== FAULT COUNTER DATABASE STATISTICS ==="), std::string::npos) << out;
    EXPECT_TRUE(gw.no_totals_reported());
}

// The gateway's orderly stop (what follows "exiting program") while counts
// wait behind a pause: each is counted, saved and published, in the order the
// faults came.
TEST(FaultPath, AStopSavesAndPublishesEveryQueuedCount) {
    fault_gateway gw(endless_pause_ms, {});
    ASSERT_TRUE(gw.ready);
    test_support::stream_tap tap(stdout, gw.dir / "stdout.txt");
    for (int slave = 1; slave <= 9; ++slave) gw.send(flash_from(slave));
    ASSERT_TRUE(gw.quiet_since(5));  // the reader is done with all nine: each count is queued or under way
    EXPECT_FALSE(gw.fault_work_idle());
    gw.stop();
    const std::string out = tap.release();

    std::vector<std::string> lines;
    for (int slave = 1; slave <= 9; ++slave) lines.push_back(saving_line(slave));
    EXPECT_TRUE(in_order(positions(out, lines))) << out;
    EXPECT_EQ(occurrences(out, "Saving Fault for Slave id "), 9u);
    const auto db = gw.saved();
    ASSERT_TRUE(db);
    EXPECT_EQ(db->total, (group_counts{3, 3, 3}));
    EXPECT_EQ(db->slots[6].count, (group_counts{3, 3, 3}));  // all on 2024-06-05
    for (int group = 1; group <= 3; ++group) {
        EXPECT_EQ(gw.published(last_7_days_ioa(group)), 3) << group;
        EXPECT_EQ(gw.published(total_ioa(group)), 3) << group;
    }
}

}  // namespace
