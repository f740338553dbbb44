// The communication event log writer at stop: what is queued is still
// handed to the log writer, but within a bounded time; a backlog beyond it
// (the modem's answers are slow, or the log writer's queue is held) is
// dropped with one line, so that the daemon's exit never waits for thousands
// of entries. The monotonic clock is the test's and moves only when told;
// the log is a real one in a temporary directory.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "core/clock.h"
#include "daemon/comm_log.h"
#include "logs/csv_export.h"
#include "logs/event_logs.h"
#include "logs/stores.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

using test_support::wait_until;

// A monotonic clock that stands still until moved, counting its readers.
struct still_clock {
    static inline std::atomic<uint64_t> now{5'000'000};
    static inline std::atomic<int> reads{0};
    static uint64_t now_ms() {
        ++reads;
        return now;
    }
    core::monotonic_clock_hooks saved = core::monotonic_clock;
    still_clock() {
        now = 5'000'000;
        reads = 0;
        core::monotonic_clock = {now_ms};
    }
    ~still_clock() { core::monotonic_clock = saved; }
};

// The writer started on a log in `dir`, `n` entries posted while the log
// writer's queue is held, so that all of them are still queued or in hand
// when stop comes.
struct backlog {
    still_clock clock;
    test_support::temp_dir dir;
    logs::log_stores stores;
    fpigate::comm_log_writer writer;
    std::unique_lock<std::mutex> hold{stores.writer.m, std::defer_lock};
    std::atomic<bool> stopped{false};
    std::thread stopper;

    explicit backlog(int n) {
        logs::comm_event_db_init(stores, dir.path.string());
        fpigate::comm_logger_start(writer, stores, (dir.path / "no-broker.sock").string());
        hold.lock();  // the writer waits at its first entry
        for (int i = 0; i < n; ++i)
            fpigate::comm_logger_post(writer, 1700000000 + i,
                                      "Connection opened with 127.0.0.1:" + std::to_string(40000 + i), false);
    }
    // Stops the writer on a thread of its own; true once stop has taken its
    // time (the clock's only reader until then).
    bool stop() {
        stopper = std::thread([this] {
            fpigate::comm_logger_stop(writer);
            stopped = true;
        });
        return wait_until([] { return still_clock::reads > 0; });
    }
    bool release_and_wait() {
        hold.unlock();
        return wait_until([this] { return stopped.load(); }, std::chrono::seconds(60));
    }
    int rows() {
        const int n = logs::comm_event_db_export_csv(stores, (dir.path / "comm.csv").string());
        return n < 0 ? 0 : n;
    }
    ~backlog() {
        if (hold.owns_lock()) hold.unlock();
        if (stopper.joinable()) stopper.join();
    }
};

TEST(CommLogStop, WhatIsQueuedAtStopIsWrittenWhileTimeRemains) {
    backlog b(50);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(b.stop());
    ASSERT_TRUE(b.release_and_wait());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(b.rows(), 50);
    EXPECT_EQ(out.find("not written at exit"), std::string::npos) << out;
}

TEST(CommLogStop, ABacklogBeyondTheStopTimeIsDroppedWithALine) {
    const int posted = 1000;
    backlog b(posted);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(b.stop());
    still_clock::now += 2000;  // the time to write at stop is up
    ASSERT_TRUE(b.release_and_wait());
    const std::string out = testing::internal::GetCapturedStdout();
    const int rows = b.rows();
    EXPECT_LT(rows, posted);
    EXPECT_NE(out.find("Communication event log: " + std::to_string(posted - rows) + " events not written at exit\n"),
              std::string::npos)
        << out;
    // a writer started again writes as before
    fpigate::comm_logger_start(b.writer, b.stores, (b.dir.path / "no-broker.sock").string());
    fpigate::comm_logger_post(b.writer, 1700001000, "Connection closed with 127.0.0.1:40000", false);
    EXPECT_TRUE(fpigate::comm_logger_wait_idle(b.writer, 10000));
    fpigate::comm_logger_stop(b.writer);
    EXPECT_EQ(b.rows(), rows + 1);
}

}  // namespace
