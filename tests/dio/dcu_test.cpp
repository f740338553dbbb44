// The DCU reset: the DCU reset thread serves each post of dcu_reset_sem with
// one pulse of the DCU power line (off for the configured time, then on),
// one after another.
#include "tests/dio/dio_gateway.h"

namespace {

using namespace dio_test;

const std::string one_pulse =
    "DCU reset semaphore released\n"
    "Resetting DCU.....\n"
    "DCU is OFF\n"
    "DCU is ON\n"
    "DCU reset successful\n";

// A master's command to the DCU reset point (the sixth output), with value 0.
TEST(DioDcuReset, OneCommandOnePulse) {
    for (int pulse_ms : {300, 0}) {
        SCOPED_TRACE(pulse_ms);
        dio_gateway gw({.tweak = [pulse_ms](config::config& cfg) { dio_point(cfg, "dcu_reset").toggle_timeout = pulse_ms; },
                        .workers = dcu_reset_only});
        ASSERT_TRUE(gw.ok);
        EXPECT_EQ(gw.cfg->dout.toggle_timeouts[5], pulse_ms);
        master m(gw.port());
        ASSERT_TRUE(m.started);
        rename_watch writes(gw.chip_dir);
        EXPECT_EQ(gw.line_file(dcu_offset), 1);  // on from the start

        const size_t before = gw.output().size();
        EXPECT_EQ(exchange(m, iec104::single_command(m.app, 1, 16, false)), executed);
        if (pulse_ms > 0) {
            // off while the pulse lasts
            EXPECT_TRUE(wait_until([&] { return gw.line_file(dcu_offset) == 0; }));
            EXPECT_TRUE(gw.printed("DCU is OFF\n"));
        }
        ASSERT_TRUE(gw.printed("DCU reset successful\n"));
        EXPECT_EQ(gw.line_file(dcu_offset), 1);
        EXPECT_EQ(gw.output().substr(before), "received single command\n" + one_pulse);
        EXPECT_EQ(writes.of(std::to_string(dcu_offset)), 2);  // off, then on
        EXPECT_FALSE(gw.g.io.dcu_reset_sem.try_acquire());
    }
}

// Posts made while a pulse runs are counted and served afterwards, one
// pulse each, back to back.
TEST(DioDcuReset, ThreePostsThreePulses) {
    dio_gateway gw({.tweak = [](config::config& cfg) { dio_point(cfg, "dcu_reset").toggle_timeout = 300; },
                    .workers = dcu_reset_only});
    ASSERT_TRUE(gw.ok);
    rename_watch writes(gw.chip_dir);
    const size_t before = gw.output().size();
    for (int i = 0; i < 3; ++i) gw.g.io.dcu_reset_sem.release();
    EXPECT_TRUE(wait_until([&] { return gw.line_file(dcu_offset) == 0; }));
    ASSERT_TRUE(wait_until([&] { return occurrences(gw.output(), "DCU reset successful\n") == 3; }));
    EXPECT_EQ(gw.output().substr(before), one_pulse + one_pulse + one_pulse);
    EXPECT_EQ(gw.line_file(dcu_offset), 1);
    EXPECT_EQ(writes.of(std::to_string(dcu_offset)), 6);
    EXPECT_FALSE(gw.g.io.dcu_reset_sem.try_acquire());  // nothing left over
}

// A stop while the thread waits for a post ends it without a pulse.
TEST(DioDcuReset, AStopWakesTheIdleThread) {
    dio_gateway gw({.workers = dcu_reset_only});
    ASSERT_TRUE(gw.ok);
    rename_watch writes(gw.chip_dir);
    fpigate::gateway_stop(gw.g);
    EXPECT_TRUE(gw.g.threads.empty());
    EXPECT_EQ(gw.output().find("DCU"), std::string::npos);
    EXPECT_EQ(writes.of(std::to_string(dcu_offset)), 0);
}

}  // namespace
