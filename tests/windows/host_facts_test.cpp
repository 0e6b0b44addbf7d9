// The Windows host's drive letters, device names, clock and collation on the
// system the tests run on (wine: C: and Z: at least, both fixed).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/host_windows.h"

namespace zorbel::winhost {
namespace {

std::vector<std::string> roots(const std::string& list) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < list.size() && list[at] != '\0';) {
        const std::size_t end = list.find('\0', at);
        out.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

TEST(WindowsHostFacts, DriveLettersAndDeviceNames) {
    WindowsHost host;
    const std::string list = host.logicalDriveStrings();
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list.substr(list.size() - 2), std::string(2, '\0'));  // ended by an empty string
    const auto all = roots(list);
    ASSERT_FALSE(all.empty());
    for (const auto& root : all) {
        EXPECT_EQ(root.size(), 3u) << root;
        EXPECT_EQ(root.substr(1), ":\\") << root;
    }
    EXPECT_EQ(host.driveType("C:\\"), DriveType::Fixed);
    EXPECT_EQ(host.deviceNameForRoot("D:\\"), "\\\\.\\D:");
    EXPECT_EQ(host.rootLabel("D:\\"), "D:");
    EXPECT_TRUE(host.isNtFamily());
}

#ifdef _WIN64
TEST(WindowsHostFacts, A64BitProgramLoadsNoAspiManager) {
    // wine ships a 64-bit WNASPI32; its requests would not have the 32-bit layout.
    WindowsHost host;
    EXPECT_EQ(host.loadLibrary("WNASPI32"), 0u);
    EXPECT_EQ(host.aspiSupportInfo(0) >> 8, 0xE3u);  // SS_NO_ASPI
}
#endif

TEST(WindowsHostFacts, ADeviceThatCannotBeOpenedIsReportedOnce) {
    WindowsHost host;
    std::vector<std::string> messages;
    host.setMessageSink([&](std::string_view text, std::string_view caption) {
        messages.push_back(std::string(caption) + ": " + std::string(text));
    });
    EXPECT_EQ(host.openDevice("\\\\.\\Q:"), InvalidDevice);
    EXPECT_EQ(host.openDevice("\\\\.\\Q:"), InvalidDevice);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Error: Cannot open the optical drive Q: (\\\\.\\Q:)", 0), 0u)
        << messages[0];
    EXPECT_EQ(host.openDevice("\\\\.\\R:"), InvalidDevice);  // another drive: its own report
    EXPECT_EQ(messages.size(), 2u);
}

TEST(WindowsHostFacts, ClockAndCollation) {
    WindowsHost host;
    std::int64_t frequency = 0;
    ASSERT_TRUE(host.queryPerformanceFrequency(frequency));
    const std::int64_t before = host.queryPerformanceCounter();
    host.sleepMs(20);
    const double seconds = static_cast<double>(host.queryPerformanceCounter() - before) /
                           static_cast<double>(frequency);
    EXPECT_GE(seconds, 0.015);
    EXPECT_LT(seconds, 5.0);
    // Only the sign counts.
    EXPECT_EQ(host.collate("1A05", "1B10"), -1);
    EXPECT_EQ(host.collate("1B10", "1B10"), 0);
    EXPECT_EQ(host.collate("1B10", "1B09"), 1);
    EXPECT_EQ(host.collate("1B1", "1B10"), -1);
}

}  // namespace
}  // namespace zorbel::winhost
