// Pause keeps the window alive on the window's thread and only waits on a
// worker thread; a worker's commands never wait for the window.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "device/ApplicationTag.h"
#include "device/AtapiDevice.h"
#include "device/MessagePump.h"
#include "tests/device/TestHost.h"

namespace zorbel {
namespace {

TEST(Pause, PumpsTheWindowsMessagesOnlyOnTheWindowsThread) {
    setApplicationTag(0);
    test::TestHost host;
    host.roots = {test::cdromRoot("D:\\", 0)};
    int pumped = 0;
    setWindowMessagePump([&pumped] { ++pumped; });

    AtapiDevice window(true);
    window.Pause(0.1);
    EXPECT_GE(pumped, 5);  // between the short sleeps of the wait

    pumped = 0;
    const double start = host.seconds();
    std::thread worker([] {
        AtapiDevice run(false);
        run.Pause(1.0);
    });
    worker.join();
    EXPECT_EQ(pumped, 0);
    // Within a nanosecond: the i686 build computes in the x87's wider format.
    EXPECT_GE(host.seconds() - start, 1.0 - 1e-9);
    clearWindowMessagePump();
}

// The window's pump is taken under its lock on every round of the window's
// wait; a pump whose copy takes 200 ms holds that lock for as long. A
// worker's commands (a flash phase's), sent while it is held, must not wait.
std::atomic<bool> g_copying{false};

TEST(Pause, AWorkersCommandsNeverWaitForTheWindowsPump) {
    setApplicationTag(0);
    test::TestHost host;
    host.roots = {test::cdromRoot("D:\\", 1, 0, 3, 0)};
    struct SlowToCopy {
        SlowToCopy() = default;
        SlowToCopy(const SlowToCopy&) {
            g_copying = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        void operator()() const {}
    };
    setWindowMessagePump(SlowToCopy{});
    AtapiDevice run(true);
    ASSERT_TRUE(run.SelectDrive(0));
    std::atomic<bool> done{false};
    std::chrono::steady_clock::duration took{};
    g_copying = false;
    std::thread worker([&] {
        while (!g_copying) {
            std::this_thread::yield();
        }
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 20; ++i) {
            EXPECT_TRUE(run.ExecuteCommand(Packet{}, DirNone, 0));
        }
        took = std::chrono::steady_clock::now() - start;
        done = true;
    });
    while (!done) {
        pumpIfWindowThread();
    }
    worker.join();
    clearWindowMessagePump();
    EXPECT_LT(took, std::chrono::milliseconds(100));
}

}  // namespace
}  // namespace zorbel
