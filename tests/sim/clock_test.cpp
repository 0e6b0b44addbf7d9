// The virtual clock: waits cost no real time, a spinning reader still sees
// time pass, and the real-time mode really waits.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/SimHost.h"
#include "sim/VirtualClock.h"

namespace zorbel::sim {
namespace {

using namespace std::chrono_literals;
using Real = std::chrono::steady_clock;

TEST(VirtualClock, ALongWaitOfShortSleepsCostsNoRealTime) {
    SimHost host{ComputerSpec{}};
    std::int64_t frequency = 0;
    ASSERT_TRUE(host.queryPerformanceFrequency(frequency));
    const auto realStart = Real::now();
    const std::int64_t start = host.queryPerformanceCounter();
    int polls = 0;
    // The shape of a 120-second readiness wait: poll, sleep 300 ms.
    while (static_cast<double>(host.queryPerformanceCounter() - start) / frequency < 120.0) {
        host.sleepMs(300);
        ++polls;
    }
    EXPECT_EQ(polls, 400);
    EXPECT_LT(Real::now() - realStart, 50ms);
    EXPECT_EQ(host.counters().sleeps, 400u);
}

TEST(VirtualClock, ASpinOnTheCounterEndsAfterFewReadings) {
    VirtualClock clock;
    const std::int64_t start = clock.counter();
    int readings = 0;
    while (clock.counter() - start < VirtualClock::Frequency) {  // one second
        ++readings;
    }
    EXPECT_LT(readings, 1100);
    const std::int64_t end = clock.counter();
    EXPECT_LT(end - start, VirtualClock::Frequency + 3 * VirtualClock::MaxReadStep.count());
}

TEST(VirtualClock, ReadingsNeverRepeatNorGoBackAndSleepsAddExactly) {
    VirtualClock clock;
    std::int64_t last = clock.counter();
    EXPECT_GT(last, 0) << "0 would read as a timer that is not running";
    for (int i = 0; i < 100; ++i) {
        const std::int64_t now = clock.counter();
        EXPECT_GT(now, last);
        last = now;
    }
    const auto before = clock.threadNow();
    clock.sleep(1500ms);
    EXPECT_EQ(clock.threadNow() - before, 1500ms);
    // Two readings around nothing differ by the smallest step again after a sleep.
    const std::int64_t a = clock.counter();
    const std::int64_t b = clock.counter();
    EXPECT_EQ(b - a, 2 * VirtualClock::MinReadStep.count());
    EXPECT_EQ(clock.now(), clock.threadNow());
}

TEST(VirtualClock, RealTimeModeReallyWaits) {
    VirtualClock clock(ClockMode::RealTime);
    const auto start = Real::now();
    const std::int64_t counter = clock.counter();
    clock.sleep(20ms);
    EXPECT_GE(Real::now() - start, 20ms);
    EXPECT_GE(clock.counter() - counter, 20'000'000);
}

TEST(VirtualClock, DriveLatencyElapsesInRealTimeMode) {
    ComputerSpec spec;
    spec.clock = ClockMode::RealTime;
    spec.addDrive("d").latency.perCommand = 15ms;
    spec.drives[0].powerOnAttention = false;
    spec.addLetter('E', "d");
    SimHost host(spec);
    const auto start = Real::now();
    const std::array<std::uint8_t, 12> tur{};
    const CommandResult result =
        host.drive(0).execute(tur, Direction::None, 0, nullptr, 30u, false);
    EXPECT_EQ(result.outcome, Outcome::Ok);
    EXPECT_GE(Real::now() - start, 15ms);
}

}  // namespace
}  // namespace zorbel::sim
