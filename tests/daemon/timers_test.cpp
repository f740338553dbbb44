#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <vector>

#include "core/timers.h"
#include "tests/support/wait.h"

using test_support::wait_until;

namespace {

struct counter {
    std::atomic<int> calls{0};
    std::atomic<core::timer*> last_timer{nullptr};
};

void count_call(core::timer* t, void* user_data) {
    auto* c = static_cast<counter*>(user_data);
    c->last_timer = t;
    ++c->calls;
}

struct Timers : ::testing::Test {
    core::timer_service timers;
    void SetUp() override { ASSERT_TRUE(core::timers_init(timers)); }
    void TearDown() override {
        core::timers_shutdown(timers);
        EXPECT_EQ(core::timer_count(timers), 0);
    }
};

TEST_F(Timers, PeriodicTimerKeepsFiringWithItsHandleAndData) {
    counter c;
    core::timer* t = core::timer_add(timers, 5, count_call, core::timer_periodic, &c);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(wait_until([&] { return c.calls >= 5; }));
    EXPECT_EQ(c.last_timer.load(), t);
}

// A periodic timer is the clock against which the others must stay silent.
TEST_F(Timers, SingleShotFiresOnceAndIntervalZeroNever) {
    counter once, never, never_periodic, ticks;
    ASSERT_NE(core::timer_add(timers, 5, count_call, core::timer_single_shot, &once), nullptr);
    ASSERT_NE(core::timer_add(timers, 0, count_call, core::timer_single_shot, &never), nullptr);
    ASSERT_NE(core::timer_add(timers, 0, count_call, core::timer_periodic, &never_periodic), nullptr);
    ASSERT_TRUE(wait_until([&] { return once.calls == 1; }));
    ASSERT_NE(core::timer_add(timers, 5, count_call, core::timer_periodic, &ticks), nullptr);
    ASSERT_TRUE(wait_until([&] { return ticks.calls >= 20; }));
    EXPECT_EQ(once.calls, 1);
    EXPECT_EQ(never.calls, 0);
    EXPECT_EQ(never_periodic.calls, 0);
    EXPECT_EQ(core::timer_count(timers), 4);  // the spent single-shot timer stays in the list
}

TEST_F(Timers, RemovedTimerStopsAndCallbackMayRemoveItself) {
    counter removed, ticks;
    core::timer* t = core::timer_add(timers, 5, count_call, core::timer_periodic, &removed);
    ASSERT_TRUE(wait_until([&] { return removed.calls >= 1; }));
    core::timer_remove(timers, t);
    int after_remove = removed.calls;

    std::atomic<int> self_calls{0};
    core::timer_add(
        timers, 5,
        [&](core::timer* self, void*) {
            ++self_calls;
            core::timer_remove(timers, self);
        },
        core::timer_periodic, nullptr);
    ASSERT_TRUE(wait_until([&] { return self_calls == 1; }));

    ASSERT_NE(core::timer_add(timers, 5, count_call, core::timer_periodic, &ticks), nullptr);
    ASSERT_TRUE(wait_until([&] { return ticks.calls >= 20; }));
    EXPECT_LE(removed.calls, after_remove + 1);  // at most one callback already under way
    EXPECT_EQ(self_calls, 1);
    EXPECT_EQ(core::timer_count(timers), 1);
}

TEST_F(Timers, EmptyCallbackIsAllowed) {
    counter ticks;
    ASSERT_NE(core::timer_add(timers, 5, nullptr, core::timer_periodic, nullptr), nullptr);
    ASSERT_NE(core::timer_add(timers, 5, count_call, core::timer_periodic, &ticks), nullptr);
    EXPECT_TRUE(wait_until([&] { return ticks.calls >= 3; }));
}

TEST(TimerService, RestartsAfterShutdown) {
    core::timer_service timers;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(core::timers_init(timers));
        counter c;
        core::timer_add(timers, 2, count_call, core::timer_periodic, &c);
        EXPECT_TRUE(wait_until([&] { return c.calls >= 2; })) << round;
        core::timers_shutdown(timers);
        EXPECT_EQ(core::timer_count(timers), 0);
    }
}

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Whoever owns a service may simply let it go: its thread is stopped and
// joined, and every timer and its descriptor goes with it.
TEST(TimerService, GoingOutOfScopeStopsItAndClosesItsTimers) {
    counter c;
    std::vector<int> fds;  // the wake eventfd and the three timerfds
    {
        core::timer_service timers;
        ASSERT_TRUE(core::timers_init(timers));
        fds.push_back(timers.wake_fd.get());
        for (int k = 0; k < 3; ++k) {
            core::timer* t = core::timer_add(timers, 2, count_call, core::timer_periodic, &c);
            ASSERT_NE(t, nullptr);
            fds.push_back(t->fd.get());
        }
        EXPECT_TRUE(wait_until([&] { return c.calls >= 3; }));
        for (int fd : fds) EXPECT_TRUE(is_open(fd)) << fd;
    }
    for (int fd : fds) EXPECT_FALSE(is_open(fd)) << fd;
}

}  // namespace
