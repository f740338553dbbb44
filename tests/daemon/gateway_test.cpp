#include <gtest/gtest.h>

#include <signal.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "daemon/gateway.h"
#include "core/timers.h"
#include "daemon/workers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

using test_support::wait_until;

namespace {

using namespace std::chrono_literals;

// Records which worker bodies ran, in which order, and that each ended.
struct journal {
    std::mutex lock;
    std::vector<std::string> events;
    void add(std::string e) {
        std::lock_guard<std::mutex> g(lock);
        events.push_back(std::move(e));
    }
    size_t size() {
        std::lock_guard<std::mutex> g(lock);
        return events.size();
    }
};
journal* current_journal = nullptr;

template <int N>
void recording_body(fpigate::gateway& g) {
    current_journal->add("start " + std::to_string(N));
    while (fpigate::gateway_sleep(g, 1h)) {
    }
    current_journal->add("end " + std::to_string(N));
}

const fpigate::worker recording_workers[] = {
    {"first", recording_body<1>, true},
    {"second", recording_body<2>, true},
    {"third", recording_body<3>, false},
};

struct Gateway : ::testing::Test {
    std::unique_ptr<config::config> cfg = std::make_unique<config::config>();
    journal log;
    test_support::temp_dir tmp{"fpigate-gw"};
    const std::filesystem::path dir = tmp.path;  // data and export directory of this test
    void SetUp() override {
        current_journal = &log;
        ASSERT_FALSE(dir.empty());
        cfg->settings.data_dir = dir.string();
        cfg->settings.export_dir = dir.string();
        cfg->settings.port = 0;  // any free port: tests run side by side
        cfg->settings.ubus_socket = (dir / "no-broker.sock").string();
        // the sample configuration's server settings, so that the server runs
        config::iec104_slave& s = cfg->settings;
        s.k = 12, s.w = 8, s.t0 = 10, s.t1 = 15, s.t2 = 10, s.t3 = 20;
        s.sizeof_cot = 2, s.sizeof_ca = 2, s.sizeof_ioa = 3, s.max_asdu_length = 249, s.ca = 1;
        s.no_of_connections = 5;
    }
    void TearDown() override {
        current_journal = nullptr;
    }
};

TEST_F(Gateway, FreshStartCreatesEveryStoreFile) {
    fpigate::gateway g;
    fpigate::gateway_options opts;
    opts.thread_spacing = 1ms;
    fpigate::gateway_start(g, *cfg, opts);
    const char* const files[] = {
        "fault_counter_db.bin",      "system_event_index.bin", "system_event_data.bin",
        "communication_event_index.bin", "communication_event_data.bin",
        "rf_fpi_index.bin",          "rf_fpi_data.bin"};
    // the RF log is opened by the RF reader thread, the others before it starts
    ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(dir / "rf_fpi_data.bin"); }));
    fpigate::gateway_stop(g);
    for (const char* f : files) EXPECT_TRUE(std::filesystem::exists(dir / f)) << f;
    EXPECT_EQ(std::filesystem::file_size(dir / "fault_counter_db.bin"), 156u);
    EXPECT_EQ(std::filesystem::file_size(dir / "rf_fpi_index.bin"), 80040u);
    EXPECT_EQ(std::filesystem::file_size(dir / "rf_fpi_data.bin"), 0u);
}

TEST_F(Gateway, StartsEveryWorkerAndStopsThemAll) {
    for (int round = 0; round < 3; ++round) {
        log.events.clear();
        fpigate::gateway g;
        fpigate::gateway_options opts;
        opts.thread_spacing = 1ms;
        opts.workers = recording_workers;
        fpigate::gateway_start(g, *cfg, opts);
        EXPECT_TRUE(g.running);
        ASSERT_TRUE(wait_until([&] { return log.size() == 3; }));
        fpigate::gateway_stop(g);
        EXPECT_FALSE(g.running);
        EXPECT_TRUE(g.threads.empty());
        ASSERT_EQ(log.events.size(), 6u);
        std::sort(log.events.begin(), log.events.begin() + 3);
        std::sort(log.events.begin() + 3, log.events.end());
        EXPECT_EQ(log.events, (std::vector<std::string>{"start 1", "start 2", "start 3", "end 1",
                                                        "end 2", "end 3"}));
    }
}

// Start order DI scanning, DO toggling, RF reader, ubus, supervision, each
// followed by the 500 ms spacing, then infoset and DCU reset without a pause.
TEST(Workers, StartOrderAndSpacing) {
    std::vector<std::string> names;
    std::vector<bool> pauses;
    for (const fpigate::worker& w : fpigate::standard_workers()) {
        names.push_back(w.name);
        pauses.push_back(w.pause_after);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"DI scanning", "DO toggling", "RF reader", "ubus",
                                               "supervision", "infoset", "DCU reset"}));
    EXPECT_EQ(pauses, (std::vector<bool>{true, true, true, true, true, false, false}));
    EXPECT_EQ(fpigate::gateway_options{}.thread_spacing, 500ms);
    EXPECT_EQ(fpigate::gateway_options{}.wait_step, 1000ms);  // SIGINT wakes serving at once
}

TEST_F(Gateway, StandardWorkersStopPromptlyEveryTime) {
    for (int round = 0; round < 5; ++round) {
        fpigate::gateway g;
        // posts left in the DCU reset semaphore must not keep its thread alive
        g.io.dcu_reset_sem.release(2);
        fpigate::gateway_options opts;
        opts.thread_spacing = 0ms;
        fpigate::gateway_start(g, *cfg, opts);
        EXPECT_EQ(g.threads.size(), fpigate::standard_workers().size());
        fpigate::gateway_stop(g);
        EXPECT_TRUE(g.threads.empty());
        fpigate::gateway_stop(g);  // a second stop is harmless
    }
}

TEST_F(Gateway, GoingOutOfScopeStopsIt) {
    {
        fpigate::gateway g;
        fpigate::gateway_options opts;
        opts.thread_spacing = 0ms;
        opts.workers = recording_workers;
        fpigate::gateway_start(g, *cfg, opts);
        ASSERT_TRUE(wait_until([&] { return log.size() == 3; }));
        EXPECT_TRUE(g.timers.thread.joinable());
    }
    EXPECT_EQ(log.size(), 6u);  // its timer service, a member, went with it
}

TEST_F(Gateway, ServeArmsTheCyclicTimerAndEndsWhenStopped) {
    cfg->settings.cyclic_time_interval = 0;  // armed but never firing
    fpigate::gateway g;
    fpigate::gateway_options opts;
    opts.thread_spacing = 0ms;
    opts.wait_step = 1ms;
    opts.workers = recording_workers;
    fpigate::gateway_start(g, *cfg, opts);
    std::thread serving([&] { fpigate::gateway_serve(g, opts); });
    ASSERT_TRUE(wait_until([&] { return g.server_running && g.cyclic_timer != nullptr; }));
    EXPECT_EQ(core::timer_count(g.timers), 1);
    g.running = false;  // what SIGINT does
    serving.join();
    EXPECT_FALSE(g.server_running);
    fpigate::gateway_stop(g);
    EXPECT_EQ(core::timer_count(g.timers), 0);
}

TEST_F(Gateway, SigintClearsTheRunningFlagOfTheActiveGateway) {
    fpigate::gateway g;
    fpigate::gateway_options opts;
    opts.thread_spacing = 0ms;
    opts.wait_step = 1ms;
    opts.workers = recording_workers;
    fpigate::gateway_start(g, *cfg, opts);
    fpigate::sigint_install(&g);
    std::thread serving([&] { fpigate::gateway_serve(g, opts); });
    // The timer is armed after the start values are published and printed.
    ASSERT_TRUE(wait_until([&] { return g.cyclic_timer.load() != nullptr; }));
    testing::internal::CaptureStdout();
    ::raise(SIGINT);
    serving.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "sigint_handler stop running\n");
    EXPECT_FALSE(g.running);
    fpigate::gateway_stop(g);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
}

}  // namespace
