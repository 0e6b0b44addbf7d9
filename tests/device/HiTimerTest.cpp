// The interval timer on the host's counter, driven by a virtual clock.

#include <gtest/gtest.h>

#include "device/HiTimer.h"
#include "device/OSInfo.h"
#include "tests/device/TestHost.h"

namespace zorbel {
namespace {

using test::TestHost;

TEST(HiTimer, MeasuresStartStopIntervalsAndAccumulatesUntilReset) {
    TestHost host;  // the virtual clock stands at 0: a counter reading of 0 is a valid start
    HiTimer timer;
    EXPECT_FALSE(timer.IsRunning());
    EXPECT_EQ(timer.ElapsedSinceStart(), 0.0);  // never started

    timer.StartTimer(true);
    EXPECT_TRUE(timer.IsRunning());
    host.sleepMs(1500);
    EXPECT_DOUBLE_EQ(timer.ElapsedSinceStart(), 1.5);
    EXPECT_EQ(timer.TotalSeconds(), 0.0);  // the running interval is not in the total
    timer.StopTimer();
    EXPECT_FALSE(timer.IsRunning());
    EXPECT_DOUBLE_EQ(timer.TotalSeconds(), 1.5);
    EXPECT_EQ(timer.ElapsedSinceStart(), 0.0);

    host.sleepMs(10'000);  // time while stopped is not counted
    timer.StopTimer();     // stopping a stopped timer changes nothing
    timer.StartTimer(false);
    host.sleepMs(500);
    timer.StopTimer();
    EXPECT_DOUBLE_EQ(timer.TotalSeconds(), 2.0);

    timer.ResetTimer();
    EXPECT_EQ(timer.TotalSeconds(), 0.0);
}

TEST(HiTimer, RestartWithResetAddsTheRunningIntervalThenClearsIt) {
    TestHost host;
    host.clock = 123;
    HiTimer timer;
    timer.StartTimer(true);
    host.sleepMs(2000);
    timer.StartTimer(true);  // running: the 2 s go into the total, which is then cleared
    EXPECT_TRUE(timer.IsRunning());
    host.sleepMs(300);
    EXPECT_DOUBLE_EQ(timer.ElapsedSinceStart(), 0.3);
    timer.StopTimer();
    EXPECT_DOUBLE_EQ(timer.TotalSeconds(), 0.3);
}

TEST(HiTimer, UnavailableCounterReportsNoTimeAndNeverRuns) {
    TestHost host;
    host.counterAvailable = false;
    HiTimer timer;
    EXPECT_TRUE(timer.IsUnavailable());
    timer.StartTimer(true);
    EXPECT_FALSE(timer.IsRunning());
    host.sleepMs(5000);
    EXPECT_EQ(timer.ElapsedSinceStart(), 0.0);
    timer.StopTimer();
    EXPECT_EQ(timer.TotalSeconds(), 0.0);
}

TEST(OSInfo, FollowsTheHostsPlatformFamily) {
    TestHost host;
    host.nt = true;
    EXPECT_TRUE(OSInfo().IsNT());
    host.nt = false;
    EXPECT_FALSE(OSInfo().IsNT());
}

}  // namespace
}  // namespace zorbel
