// What the fuzz targets share: the clocks replaced by counters the targets
// step, the sample configuration, a scratch folder in tmpfs for the stores
// and standard output sent to /dev/null (standard error stays: the sanitizer
// reports go there; FPIGATE_FUZZ_VERBOSE=1 keeps standard output, to see
// what a seed does).
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "config/config.h"
#include "core/semaphore.h"
#include "logs/event_logs.h"
#include "logs/writer.h"
#include "tests/support/sample_config.h"
#include "tests/support/temp_dir.h"

namespace fuzz_support {

// 2024-06-05 12:00:00 UTC.
constexpr int64_t start_wall_ms = 1717588800000;
constexpr uint64_t start_monotonic_ms = 10'000'000;

inline int64_t wall_now = start_wall_ms;
inline uint64_t monotonic_now = start_monotonic_ms;
inline int64_t wall_set_to = 0;  // the last time a handler set the clock to
inline int wall_sets = 0;

inline int64_t fake_wall_ms() { return wall_now; }
inline int fake_set_wall_ms(int64_t ms) {
    wall_set_to = ms;
    ++wall_sets;
    return 0;
}
inline uint64_t fake_monotonic_ms() { return monotonic_now; }

// Both clocks replaced (the machine's clock is never read for a rule, never set).
inline void fake_clocks() {
    core::wall_clock = {fake_wall_ms, fake_set_wall_ms};
    core::monotonic_clock = {fake_monotonic_ms};
    wall_now = start_wall_ms;
    monotonic_now = start_monotonic_ms;
}

inline void quiet_stdout() {
    if (std::getenv("FPIGATE_FUZZ_VERBOSE")) return;
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
}

// A folder of its own in /dev/shm (the system temporary folder when there is
// none), removed at exit.
inline const std::string& scratch_dir(const char* target) {
    static const test_support::temp_dir dir("fpigate-fuzz-" + std::string(target), test_support::temp_dir::memory);
    static const std::string path = dir.path.string();
    if (path.empty()) std::abort();
    return path;
}

// A new, empty RF log in `dir`, appended without syncs (the folder is tmpfs).
// What is still queued for the old one is written to it first.
inline void open_empty_rf_log(logs::log_stores& stores, const std::string& dir) {
    logs::log_flush(stores);
    std::lock_guard lk(stores.rf_log_lock);
    std::error_code ec;
    std::filesystem::remove(dir + "/" + logs::rf_fpi_kind.index_file, ec);
    std::filesystem::remove(dir + "/" + logs::rf_fpi_kind.data_file, ec);
    stores.rf_fpi_db = logs::ring_log{.kind = &logs::rf_fpi_kind};
    logs::rf_fpi_db_init(stores, dir);
    stores.rf_fpi_db.sync_writes = false;
}

// The sample configuration of the repository (config/fpigate), or abort.
inline void load_sample_config(config::config& cfg) {
    std::string problem;
    if (!test_support::load_config(std::string(FPIGATE_SOURCE_DIR) + "/config", cfg, problem)) {
        std::fprintf(stderr, "sample configuration: %s\n", problem.c_str());
        std::abort();
    }
}

}  // namespace fuzz_support
