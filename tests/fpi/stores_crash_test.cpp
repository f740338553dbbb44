// A child process counts faults and appends log records until it is killed
// with SIGKILL at a random moment; the stores must then load with everything
// the child had been told was saved.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <random>
#include <sstream>

#include "app/locks.h"
#include "fpi/fault_counter.h"
#include "logs/csv_export.h"
#include "logs/event_logs.h"
#include "logs/rf_data.h"
#include "logs/text.h"
#include "tests/logs/store_test_util.h"

namespace {

// What the child has been told was stored.
struct progress {
    uint32_t faults = 0;  // sum of the three totals after the last add
    uint32_t system = 0;  // records in each log after the last appends
    uint32_t comm = 0;
    uint32_t rf = 0;
};

uint32_t fault_sum() {
    fpi::fault_counter_stats stats;
    if (!fpi::fault_counter_get_stats(&stats, 0)) return 0;
    return stats.groups[0].total + stats.groups[1].total + stats.groups[2].total;
}

[[noreturn]] void child(const std::string& dir, int out) {
    ::alarm(30);  // never outlive a failed parent
    fpi::fault_counter_load(dir);
    logs::rf_fpi_db_init(dir);
    logs::system_event_db_init(dir);
    logs::comm_event_db_init(dir);
    for (uint64_t k = 0;; ++k) {
        progress p;
        if (fpi::fault_counter_add(int(k % 3) + 1, uint64_t(20000 + k % 9) * fpi::ms_per_day))
            p.faults = fault_sum();
        // Each record is stamped with its position in the log, so the export
        // shows whether every record is reachable and in order.
        const uint32_t n = logs::system_event_db.header.count;
        if (logs::system_event_db_append(n, n % 22)) p.system = n + 1;
        if (logs::comm_event_db_append(n, "Connection opened with 10.0.0.2", -70, 1))
            p.comm = logs::comm_event_db.header.count;
        logs::rf_data_entry e;
        e.error_msg = "OK";
        const uint8_t frame[] = {0x01, 0x65, 0x04};
        {
            std::lock_guard lock(app::rf_log_lock);
            logs::rf_fpi_db_append(frame, n, n, e);
        }
        p.rf = logs::rf_fpi_db.header.count;
        if (::write(out, &p, sizeof p) != ssize_t(sizeof p)) ::_exit(1);
    }
}

std::string stamp(int64_t t) {
    char buf[32];
    logs::format_timestamp(t, buf, sizeof buf);
    return buf;
}

}  // namespace

TEST(StoresCrash, SigkillAtRandomMomentsLosesNothingSaved) {
    store_test::use_utc();
    store_test::temp_dir dir;
    std::mt19937 rng(std::random_device{}());
    progress saved;
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            child(dir.path, fds[1]);
        }
        ::close(fds[1]);
        progress p;
        ASSERT_EQ(::read(fds[0], &p, sizeof p), ssize_t(sizeof p));  // the child runs
        saved = p;
        ::usleep(useconds_t(rng() % 20000));
        ::kill(pid, SIGKILL);
        while (::read(fds[0], &p, sizeof p) == ssize_t(sizeof p)) saved = p;
        ::close(fds[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        // The fault database: every count saved before the kill, plus at
        // most the one being saved.
        ASSERT_TRUE(fpi::fault_counter_load(dir.path));
        uint32_t faults = fault_sum();
        EXPECT_GE(faults, saved.faults);
        EXPECT_LE(faults, saved.faults + 1);

        // The logs: every record reachable, oldest first.
        for (logs::ring_log* log : {&logs::rf_fpi_db, &logs::system_event_db, &logs::comm_event_db})
            *log = logs::ring_log{};
        logs::rf_fpi_db_init(dir.path);
        logs::system_event_db_init(dir.path);
        logs::comm_event_db_init(dir.path);
        uint32_t n = logs::system_event_db.header.count;
        EXPECT_GE(n, saved.system);
        EXPECT_LE(n, saved.system + 1);
        EXPECT_GE(logs::comm_event_db.header.count, saved.comm);
        EXPECT_LE(logs::comm_event_db.header.count, saved.comm + 1);
        EXPECT_GE(logs::rf_fpi_db.header.count, saved.rf);
        EXPECT_LE(logs::rf_fpi_db.header.count, saved.rf + 1);

        ::testing::internal::CaptureStderr();
        EXPECT_EQ(logs::system_event_db_export_csv(dir / "s.csv"), int(n));
        EXPECT_EQ(logs::comm_event_db_export_csv(dir / "c.csv"), int(logs::comm_event_db.header.count));
        ::testing::internal::CaptureStdout();
        {
            std::lock_guard lock(app::rf_log_lock);
            EXPECT_EQ(logs::rf_fpi_db_export_csv(dir / "r.csv"), int(logs::rf_fpi_db.header.count));
        }
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        std::string expected = "Timestamp,DIO_Events\n";
        for (uint32_t i = 0; i < n; ++i)
            expected += stamp(i) + "," + logs::dio_event_name(i % 22) + "\n";
        EXPECT_EQ(store_test::read_text(dir / "s.csv"), expected);
        if (HasFailure()) break;
    }
}
