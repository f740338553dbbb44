#include "logs/writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "logs/csv_export.h"
#include "logs/event_logs.h"
#include "tests/logs/comm_records.h"
#include "tests/logs/ring_model.h"
#include "tests/logs/store_test_util.h"
#include "tests/support/clocks.h"
#include "tests/support/wait.h"

using namespace logs;
using store_test::read_bytes;
using store_test::read_text;
using test_support::wait_until;

namespace {

bool writer_state(log_stores& stores, bool log_writer::*flag) {
    std::lock_guard lk(stores.writer.m);
    return stores.writer.*flag;
}

// The record number of an exported communication row: its time less
// 1700000000.
int64_t row_seq(const std::string& row) {
    std::tm tm{};
    if (!strptime(row.c_str(), "%Y-%m-%d %H:%M:%S", &tm)) return -1;
    return int64_t(timegm(&tm)) - 1700000000;
}

}  // namespace

// The flash far slower than the input: with room for ten records queued,
// twenty-five are queued without waiting; the oldest fifteen, whatever
// their log, are dropped and counted in one line once the queue has drained,
// and the newest ten are written. A state file's image is never dropped; a
// newer one replaces it.
TEST(LogWriter, AFullQueueDropsTheOldestAndSaysSoOnce) {
    store_test::use_utc();
    store_test::temp_dir dir;
    log_stores stores;
    system_event_db_init(stores, dir.path);
    comm_event_db_init(stores, dir.path);
    stores.writer.max_queued_bytes = 10 * (system_event_size + log_entry_overhead);

    testing::internal::CaptureStdout();
    log_queue_file(stores, dir / "state.bin", {1, 2, 3});
    for (int seq = 0; seq < 25; ++seq) {
        if (seq % 2)
            ASSERT_TRUE(comm_event_db_append(stores, 1700000000 + seq, "", -70, 1));
        else
            ASSERT_TRUE(system_event_db_append(stores, 1700000000 + seq, AC_OK));
    }
    log_queue_file(stores, dir / "state.bin", {4, 5});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // said once the queue has drained

    testing::internal::CaptureStdout();
    log_flush(stores);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Event logs: 15 queued entries dropped, the flash could not keep up\n");
    EXPECT_EQ(read_bytes(dir / "state.bin"), (std::vector<uint8_t>{4, 5}));
    EXPECT_EQ(system_event_db_export_csv(stores, dir / "s.csv"), 5);
    EXPECT_EQ(read_text(dir / "s.csv"),
              "Timestamp,DIO_Events\n2023-11-14 22:13:36,AC_OK\n2023-11-14 22:13:38,AC_OK\n"
              "2023-11-14 22:13:40,AC_OK\n2023-11-14 22:13:42,AC_OK\n2023-11-14 22:13:44,AC_OK\n");
    EXPECT_EQ(comm_event_db_export_csv(stores, dir / "c.csv"), 5);
    EXPECT_TRUE(read_text(dir / "c.csv").ends_with("2023-11-14 22:13:35,\"\",-70,Connected\n"
                                                   "2023-11-14 22:13:37,\"\",-70,Connected\n"
                                                   "2023-11-14 22:13:39,\"\",-70,Connected\n"
                                                   "2023-11-14 22:13:41,\"\",-70,Connected\n"
                                                   "2023-11-14 22:13:43,\"\",-70,Connected\n"));

    // Within the bound nothing is dropped and nothing said.
    testing::internal::CaptureStdout();
    for (int seq = 25; seq < 35; ++seq) ASSERT_TRUE(system_event_db_append(stores, 1700000000 + seq, AC_FAIL));
    log_flush(stores);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(system_event_db_export_csv(stores, dir / "s.csv"), 15);
}

// Exports while a producer queues and the writer commits behind it, wrapping
// a small data file many times: every row is a whole record, oldest first
// without a gap, and each export holds everything queued before it was
// asked for. The producer stays a few hundred records ahead of the last
// export asked for: enough for the writer to displace the oldest records
// while an export reads them, too few to displace those queued before it
// was asked (the ring holds some 560). At the end the export is what the
// ring must hold.
TEST(LogWriter, ExportsWhileTheWriterWritesAreConsistent) {
    store_test::use_utc();
    store_test::temp_dir dir{"fpigate-export", store_test::temp_dir::memory};
    log_stores stores;
    comm_event_db_init(stores, dir.path, 64);
    stores.comm_event_db.sync_writes = false;  // about consistency, not about power cuts
    log_writer_start(stores);

    constexpr uint64_t total = 100000;
    constexpr uint64_t ahead = 200;
    auto text_len = [](uint64_t seq) { return size_t(seq * 7 % 200); };
    std::atomic<uint64_t> queued{0}, asked{0};
    std::atomic<bool> produced{false}, quit{false};
    std::jthread producer([&] {
        for (uint64_t seq = 0; seq < total; ++seq) {
            if (!wait_until([&] { return seq < asked + ahead || quit; }, std::chrono::seconds(20),
                            std::chrono::microseconds(20))) {
                ADD_FAILURE() << "no export asked for";
                break;
            }
            if (quit) break;
            store_test::queue_comm(stores, seq, text_len(seq));
            queued = seq + 1;
        }
        produced = true;
    });
    struct stop_on_exit {
        std::atomic<bool>& quit;
        ~stop_on_exit() { quit = true; }
    } stop_producer{quit};  // should an assertion end the test early

    testing::internal::CaptureStderr();
    const std::string csv = dir / "c.csv";
    for (bool last = false; !last;) {
        last = produced;
        const uint64_t before = queued;
        asked = before;
        ASSERT_GE(comm_event_db_export_csv(stores, csv), 0);
        const std::string text = read_text(csv);
        ASSERT_TRUE(text.starts_with(store_test::comm_csv_header));
        size_t at = std::strlen(store_test::comm_csv_header);
        if (at == text.size()) {
            EXPECT_EQ(before, 0u) << "an empty export";
            continue;
        }
        const int64_t first = row_seq(text.substr(at));
        ASSERT_GE(first, 0) << text.substr(at, 100);
        uint64_t seq = uint64_t(first);
        for (; at < text.size(); ++seq) {
            const std::string row = store_test::comm_row(seq, text_len(seq));
            ASSERT_EQ(text.compare(at, row.size(), row), 0)
                << "row of record " << seq << ": " << text.substr(at, row.size());
            at += row.size();
        }
        EXPECT_GE(seq, before) << "the export holds records " << first << " to " << seq << " (exclusive)";
    }
    producer.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    store_test::ring_model model{.bound = 64 * 1024};
    std::string expected = store_test::comm_csv_header;
    for (uint64_t seq = 0; seq < total; ++seq) model.add(seq, comm_event_fixed_size + text_len(seq));
    for (const store_test::placed& p : model.live) expected += store_test::comm_row(p.seq, text_len(p.seq));
    EXPECT_EQ(read_text(csv), expected);
}

// At stop the writer writes what is queued while its stop time lasts; what
// is left then is counted in one line and not written. The monotonic clock
// is the test's; the first commit waits for the log's lock, held here, so
// that the rest stays queued until the stop has begun.
TEST(LogWriter, AtStopWhatIsLeftAfterTheStopTimeIsCountedInOneLine) {
    struct {
        const char* name;
        uint64_t clock_moves_ms;
        const char* out;
        int rows;
    } cases[] = {
        {"time remains", 0, "", 5001},
        {"time is up", 2000, "Event logs: 5000 entries not written at exit\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::fake_monotonic_clock clock;
        store_test::temp_dir dir;
        log_stores stores;
        system_event_db_init(stores, dir.path);
        log_writer_start(stores);
        std::jthread stopper;  // declared before the lock, so that the lock is released first
        std::unique_lock hold(stores.system_log_lock);
        ASSERT_TRUE(system_event_db_append(stores, 1700000000, AC_OK));
        ASSERT_TRUE(wait_until([&] { return writer_state(stores, &log_writer::busy); }));
        for (int i = 1; i <= 5000; ++i) ASSERT_TRUE(system_event_db_append(stores, 1700000000 + i, AC_FAIL));

        testing::internal::CaptureStdout();
        stopper = std::jthread([&] { log_writer_stop(stores); });
        ASSERT_TRUE(wait_until([&] { return writer_state(stores, &log_writer::stopping); }));
        clock.advance(c.clock_moves_ms);
        hold.unlock();
        stopper.join();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(system_event_db_export_csv(stores, dir / "s.csv"), c.rows);
    }
}
