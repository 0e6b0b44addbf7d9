// The Windows host's drive letters, device names, clock and collation on the
// system the tests run on (wine: C: and Z: at least, both fixed); what it asks
// of the system when it loads the ASPI manager, restricts the library search,
// reads the platform and restarts, on recorded calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "device/SystemSha256.h"
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

    // A console program also names the cause on standard error, once.
    host.setCauseLines(true);
    testing::internal::CaptureStderr();
    host.openDevice("\\\\.\\S:");
    host.openDevice("\\\\.\\S:");
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string prefix = "Opening \\\\.\\S: failed: Windows error ";
    ASSERT_EQ(err.rfind(prefix, 0), 0u) << err;
    const std::size_t colon = err.find(": ", prefix.size());
    ASSERT_NE(colon, std::string::npos) << err;
    EXPECT_GT(std::stoul(err.substr(prefix.size(), colon - prefix.size())), 0u) << err;
    EXPECT_GT(err.size(), colon + 3) << "the system's text follows the code: " << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
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

// Each ACLineStatus as the program counts it, and the system's own SHA-256
// (what the program checks its package with) against a known digest.
TEST(WindowsHostFacts, PowerStatusAndTheSystemsSha256) {
    struct Case {
        BYTE acLine, batteryFlag, percent;
        PowerSource source;
        bool battery;
        int reported;
    };
    const Case cases[] = {
        {0, 0, 37, PowerSource::Battery, true, 37},        // unplugged notebook
        {1, 8, 90, PowerSource::External, true, 90},       // charging
        {1, 128, 255, PowerSource::External, false, -1},   // a desktop
        {255, 255, 255, PowerSource::Unknown, false, -1},  // cannot tell: external power
    };
    for (const Case& c : cases) {
        SYSTEM_POWER_STATUS status{};
        status.ACLineStatus = c.acLine;
        status.BatteryFlag = c.batteryFlag;
        status.BatteryLifePercent = c.percent;
        const PowerState state = powerStateFrom(status);
        EXPECT_EQ(state.source, c.source) << int(c.acLine);
        EXPECT_EQ(state.batteryPresent, c.battery) << int(c.acLine);
        EXPECT_EQ(state.batteryPercent, c.reported) << int(c.acLine);
    }
    WindowsHost host;
    EXPECT_NE(host.powerState().source, PowerSource::Battery);  // wine reports no battery

    const std::string text = "The quick brown fox jumps over the lazy dog";
    std::array<std::uint8_t, 32> digest{};
    std::string reason;
    ASSERT_TRUE(systemSha256(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), digest, reason))
        << reason;
    EXPECT_EQ(digest[0], 0xd7);
    EXPECT_EQ(digest[31], 0x92);
}

// ---- recorded system calls ----

struct Recorded {
    std::vector<std::string> calls;
    std::wstring loadedPath;
    DWORD loadFlags = 0;
    DWORD searchDirectories = 0;
    bool versionFails = false;
    bool hasDefaultDirectories = true;
    DWORD errorAfterAdjust = ERROR_SUCCESS;
};
Recorded* recorded = nullptr;

BOOL WINAPI fakeVersion(OSVERSIONINFOA* info) {
    if (recorded->versionFails) {
        return FALSE;
    }
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    return TRUE;
}
UINT WINAPI fakeSystemDirectory(LPWSTR buffer, UINT size) {
    const std::wstring dir = L"C:\\WINDOWS\\system32";
    if (size <= dir.size()) {
        return static_cast<UINT>(dir.size() + 1);
    }
    std::copy(dir.begin(), dir.end(), buffer);
    buffer[dir.size()] = L'\0';
    return static_cast<UINT>(dir.size());
}
HMODULE WINAPI fakeLoad(LPCWSTR path, HANDLE, DWORD flags) {
    recorded->calls.push_back("LoadLibraryExW");
    recorded->loadedPath = path;
    recorded->loadFlags = flags;
    return nullptr;
}
BOOL WINAPI fakeSetDllDirectory(LPCWSTR path) {
    recorded->calls.push_back(path[0] == L'\0' ? "SetDllDirectoryW(empty)" : "SetDllDirectoryW");
    return TRUE;
}
BOOL WINAPI fakeSetDefaultDirectories(DWORD flags) {
    recorded->calls.push_back("SetDefaultDllDirectories");
    recorded->searchDirectories = flags;
    return TRUE;
}
FARPROC fakeKernelEntry(const char* name) {
    const std::string n(name);
    if (n == "SetDllDirectoryW") {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fakeSetDllDirectory));
    }
    if (n == "SetDefaultDllDirectories" && recorded->hasDefaultDirectories) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fakeSetDefaultDirectories));
    }
    return nullptr;
}
BOOL WINAPI fakeOpenToken(HANDLE, DWORD access, PHANDLE token) {
    recorded->calls.push_back("OpenProcessToken " + std::to_string(access));
    *token = nullptr;
    return TRUE;
}
BOOL WINAPI fakeLookup(LPCSTR, LPCSTR name, PLUID) {
    recorded->calls.push_back(std::string("LookupPrivilegeValueA ") + name);
    return TRUE;
}
BOOL WINAPI fakeAdjust(HANDLE, BOOL, PTOKEN_PRIVILEGES privileges, DWORD, PTOKEN_PRIVILEGES,
                       PDWORD) {
    recorded->calls.push_back("AdjustTokenPrivileges " +
                              std::to_string(privileges->Privileges[0].Attributes));
    return TRUE;  // as the system does when the privilege is not held
}
DWORD WINAPI fakeLastError() {
    return recorded->errorAfterAdjust;
}
BOOL WINAPI fakeExit(UINT flags, DWORD) {
    recorded->calls.push_back("ExitWindowsEx " + std::to_string(flags));
    return TRUE;
}

class SystemCallsRecorded : public testing::Test {
  protected:
    void SetUp() override {
        recorded = &recorded_;
        systemCalls() = SystemCalls{&fakeVersion,     &fakeSystemDirectory, &fakeLoad,
                                    &fakeKernelEntry, &fakeOpenToken,       &fakeLookup,
                                    &fakeAdjust,      &fakeLastError,       &fakeExit};
    }
    void TearDown() override {
        systemCalls() = realSystemCalls();
        recorded = nullptr;
    }
    Recorded recorded_;
};

TEST_F(SystemCallsRecorded, LibrariesComeFromTheSystemDirectoryOnly) {
    restrictLibrarySearch();
    EXPECT_EQ(recorded_.calls,
              (std::vector<std::string>{"SetDllDirectoryW(empty)", "SetDefaultDllDirectories"}));
    EXPECT_EQ(recorded_.searchDirectories, 0x800u);  // LOAD_LIBRARY_SEARCH_SYSTEM32
    recorded_.calls.clear();
    recorded_.hasDefaultDirectories = false;  // XP: only the current directory goes
    restrictLibrarySearch();
    EXPECT_EQ(recorded_.calls, std::vector<std::string>{"SetDllDirectoryW(empty)"});

    EXPECT_EQ(systemLibraryPath("WNASPI32"), L"C:\\WINDOWS\\system32\\WNASPI32.DLL");
#ifndef _WIN64
    // The manager itself: by its full path in the system directory.
    recorded_.calls.clear();
    WindowsHost host;
    EXPECT_EQ(host.loadLibrary("WNASPI32"), 0u);
    EXPECT_EQ(recorded_.calls, std::vector<std::string>{"LoadLibraryExW"});
    EXPECT_EQ(recorded_.loadedPath, L"C:\\WINDOWS\\system32\\WNASPI32.DLL");
    EXPECT_EQ(recorded_.loadFlags, static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH));
#endif
}

TEST_F(SystemCallsRecorded, PlatformFamilyAndRestartPrivilege) {
    WindowsHost host;
    EXPECT_TRUE(host.isNtFamily());
    recorded_.versionFails = true;
    EXPECT_FALSE(host.isNtFamily()) << "a system that cannot say what it is is not NT";

    // No shutdown privilege: the adjustment "succeeds" with an error code, and
    // no restart is asked for.
    recorded_.errorAfterAdjust = ERROR_NOT_ALL_ASSIGNED;
    EXPECT_FALSE(host.restartSystem(true));
    EXPECT_EQ(recorded_.calls,
              (std::vector<std::string>{"OpenProcessToken 40",
                                        "LookupPrivilegeValueA SeShutdownPrivilege",
                                        "AdjustTokenPrivileges 2"}));
    recorded_.calls.clear();
    recorded_.errorAfterAdjust = ERROR_SUCCESS;
    EXPECT_TRUE(host.restartSystem(true));
    ASSERT_EQ(recorded_.calls.size(), 4u);
    EXPECT_EQ(recorded_.calls[3].rfind("ExitWindowsEx ", 0), 0u);
    recorded_.calls.clear();
    EXPECT_TRUE(host.restartSystem(false));  // the 9x family needs no privilege
    ASSERT_EQ(recorded_.calls.size(), 1u);
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
