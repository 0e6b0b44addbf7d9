// Pause keeps the window alive on the window's thread and only waits on a
// worker thread.

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zorbel
