// The Windows host's drive letters, device names, clock and collation on the
// system the tests run on (wine: C: and Z: at least, both fixed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

// The hold on a drive for a run, on recorded control calls: the class driver's
// exclusive access, else the volume locked and dismounted; nothing that is
// not known to be taken counts as a hold.
namespace zorbel::winhost {
namespace {

struct ControlCall {
    DWORD code;
    CdromExclusiveLock lock;
};

TEST(WindowsHostHold, ExclusiveAccessElseVolumeLockAndDismount) {
    struct Case {
        const char* what;
        std::vector<DWORD> refused;  // codes that fail
        bool held;
        std::vector<DWORD> calls;
    };
    const Case cases[] = {
        {"exclusive access", {}, true, {IoctlCdromExclusiveAccess}},
        {"volume lock and dismount",
         {IoctlCdromExclusiveAccess},
         true,
         {IoctlCdromExclusiveAccess, FSCTL_LOCK_VOLUME, FSCTL_DISMOUNT_VOLUME}},
        {"in use",
         {IoctlCdromExclusiveAccess, FSCTL_LOCK_VOLUME},
         false,
         {IoctlCdromExclusiveAccess, FSCTL_LOCK_VOLUME}},
        {"locked but not dismounted",
         {IoctlCdromExclusiveAccess, FSCTL_DISMOUNT_VOLUME},
         false,
         {IoctlCdromExclusiveAccess, FSCTL_LOCK_VOLUME, FSCTL_DISMOUNT_VOLUME,
          FSCTL_UNLOCK_VOLUME}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<ControlCall> calls;
        const DeviceControl control = [&](HANDLE, DWORD code, void* in, DWORD inSize) {
            ControlCall call{code, {}};
            if (code == IoctlCdromExclusiveAccess && inSize == sizeof(CdromExclusiveLock)) {
                std::memcpy(&call.lock, in, sizeof call.lock);
            }
            calls.push_back(call);
            if (std::find(c.refused.begin(), c.refused.end(), code) != c.refused.end()) {
                SetLastError(ERROR_ACCESS_DENIED);
                return false;
            }
            return true;
        };
        std::string reason;
        EXPECT_EQ(holdDrive(reinterpret_cast<HANDLE>(0x40), control, reason), c.held);
        EXPECT_EQ(reason.empty(), c.held) << reason;
        std::vector<DWORD> codes;
        for (const auto& call : calls) {
            codes.push_back(call.code);
        }
        EXPECT_EQ(codes, c.calls);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].lock.requestType, ExclusiveAccessLockDevice);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(calls[0].lock.callerName)),
                  "Zorbel firmware update");
    }
}

}  // namespace
}  // namespace zorbel::winhost
