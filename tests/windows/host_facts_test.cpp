// The Windows host's drive letters, device names, clock and collation on the
// system the tests run on (wine: C: and Z: at least, both fixed); what it asks
// of the system when it loads the ASPI manager, restricts the library search,
// reads the platform and restarts, on recorded calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "device/RequestLayout.h"
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
    bool shutdownRefused = false;
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
BOOL WINAPI fakeShutdown(LPWSTR machine, LPWSTR, DWORD timeout, BOOL force, BOOL reboot, DWORD) {
    recorded->calls.push_back("InitiateSystemShutdownExW " +
                              std::string(machine == nullptr ? "local" : "remote") + " timeout " +
                              std::to_string(timeout) + " force " + std::to_string(force) +
                              " reboot " + std::to_string(reboot));
    return recorded->shutdownRefused ? FALSE : TRUE;
}

class SystemCallsRecorded : public testing::Test {
  protected:
    void SetUp() override {
        recorded = &recorded_;
        SystemCalls& calls = systemCalls();
        calls.getVersionExA = &fakeVersion;
        calls.getSystemDirectoryW = &fakeSystemDirectory;
        calls.loadLibraryExW = &fakeLoad;
        calls.optionalKernelEntry = &fakeKernelEntry;
        calls.openProcessToken = &fakeOpenToken;
        calls.lookupPrivilegeValueA = &fakeLookup;
        calls.adjustTokenPrivileges = &fakeAdjust;
        calls.getLastError = &fakeLastError;
        calls.initiateSystemShutdownExW = &fakeShutdown;
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
    // The local computer restarts at once, also for a caller that is not the
    // interactive user; applications that answer are not forced.
    EXPECT_TRUE(host.restartSystem(true));
    ASSERT_EQ(recorded_.calls.size(), 4u);
    EXPECT_EQ(recorded_.calls[3], "InitiateSystemShutdownExW local timeout 0 force 0 reboot 1");
    recorded_.calls.clear();
    recorded_.shutdownRefused = true;
    recorded_.errorAfterAdjust = ERROR_ACCESS_DENIED;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(host.restartSystem(false));  // the 9x family needs no privilege
    EXPECT_EQ(::testing::internal::GetCapturedStderr().rfind(
                  "Restarting Windows failed: Windows error 5: ", 0),
              0u);
    ASSERT_EQ(recorded_.calls.size(), 1u);
}

}  // namespace
}  // namespace zorbel::winhost

// A run's hold on a drive, on recorded calls to the drivers, as they answer on
// real systems (wine has no class driver): media-change polling paused through
// an attribute-only handle (the driver fails the pause on a handle opened for
// reading or writing), the volume locked and dismounted before the exclusive
// lock (which the driver refuses while a file system is mounted, and refuses
// its own owner a second time); one claim per handle; everything undone as
// the handles close.
namespace zorbel::winhost {
namespace {

struct DriverState {
    std::vector<std::string> calls;
    std::map<DWORD, DWORD> refused;  // control code -> the error it fails with
    std::vector<DWORD> access;       // of each handle opened, 1-based
    bool mounted = true;
    bool exclusive = false;
    DWORD passThroughError = ERROR_SUCCESS;
    std::uintptr_t passThroughBuffer = 0;
};
DriverState* driver = nullptr;

std::string handleName(HANDLE handle) {
    return "h" + std::to_string(reinterpret_cast<std::uintptr_t>(handle) / 4);
}
HANDLE WINAPI fakeCreate(LPCSTR, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    driver->access.push_back(access);
    const auto handle = reinterpret_cast<HANDLE>(driver->access.size() * 4);
    driver->calls.push_back(std::string("open ") + handleName(handle) +
                            (access == FILE_READ_ATTRIBUTES             ? " attributes"
                             : access == (GENERIC_READ | GENERIC_WRITE) ? " read-write"
                                                                        : " other"));
    return handle;
}
BOOL WINAPI fakeClose(HANDLE handle) {
    driver->calls.push_back("close " + handleName(handle));
    return TRUE;
}
BOOL WINAPI fakeControl(HANDLE handle, DWORD code, LPVOID in, DWORD, LPVOID out, DWORD outSize,
                        LPDWORD returned, LPOVERLAPPED) {
    const std::map<DWORD, std::string> names = {
        {IoctlStorageMcnControl, "polling off"},    {FSCTL_LOCK_VOLUME, "lock"},
        {FSCTL_DISMOUNT_VOLUME, "dismount"},        {FSCTL_UNLOCK_VOLUME, "unlock"},
        {IoctlCdromExclusiveAccess, "exclusive"},   {IOCTL_STORAGE_QUERY_PROPERTY, "adapter"},
        {IOCTL_SCSI_PASS_THROUGH_DIRECT, "command"}};
    driver->calls.push_back(names.at(code) + " " + handleName(handle));
    const DWORD access = driver->access.at(reinterpret_cast<std::uintptr_t>(handle) / 4 - 1);
    DWORD error = driver->refused.count(code) != 0 ? driver->refused.at(code) : ERROR_SUCCESS;
    if (code == IoctlStorageMcnControl &&
        (access != FILE_READ_ATTRIBUTES || *static_cast<const BOOLEAN*>(in) != TRUE)) {
        error = ERROR_INVALID_PARAMETER;
    }
    if (code == IoctlCdromExclusiveAccess && (driver->mounted || driver->exclusive)) {
        error = ERROR_ACCESS_DENIED;
    }
    if (code == IoctlCdromExclusiveAccess && error == ERROR_SUCCESS) {
        const auto* lock = static_cast<const CdromExclusiveLock*>(in);
        EXPECT_EQ(lock->requestType, ExclusiveAccessLockDevice);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(lock->callerName)),
                  "Zorbel firmware update");  // letters and blanks only
        driver->exclusive = true;
    }
    if (code == FSCTL_DISMOUNT_VOLUME && error == ERROR_SUCCESS) {
        driver->mounted = false;
    }
    if (code == IOCTL_STORAGE_QUERY_PROPERTY && error == ERROR_SUCCESS) {
        STORAGE_ADAPTER_DESCRIPTOR adapter{};
        adapter.MaximumTransferLength = 0x8000;
        adapter.MaximumPhysicalPages = 17;
        adapter.AlignmentMask = 0x1FF;
        std::memcpy(out, &adapter, std::min<DWORD>(outSize, sizeof adapter));
        *returned = std::min<DWORD>(outSize, sizeof adapter);
    }
    if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        const auto* request = static_cast<const PassThroughRequest*>(in);
        driver->passThroughBuffer = reinterpret_cast<std::uintptr_t>(request->sptd.DataBuffer);
        error = driver->passThroughError;
    }
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

class DriveHeld : public testing::Test {
  protected:
    void SetUp() override {
        driver = &state_;
        SystemCalls& calls = systemCalls();
        calls.createFileA = &fakeCreate;
        calls.closeHandle = &fakeClose;
        calls.deviceIoControl = &fakeControl;
    }
    void TearDown() override {
        systemCalls() = realSystemCalls();
        driver = nullptr;
    }
    DriverState state_;
};

TEST_F(DriveHeld, PollingOffThenLockDismountExclusiveOncePerHandle) {
    struct Case {
        const char* what;
        std::map<DWORD, DWORD> refused;
        bool held;
        std::vector<std::string> claim;  // after "open h1 read-write"
        const char* said;                // the start of stderr's line, if any
    };
    const std::vector<std::string> paused = {"open h2 attributes", "polling off h2"};
    const auto with = [&](std::vector<std::string> rest) {
        rest.insert(rest.begin(), paused.begin(), paused.end());
        return rest;
    };
    const Case cases[] = {
        {"a disc's file system mounted",
         {},
         true,
         with({"lock h1", "dismount h1", "exclusive h1", "adapter h1"}),
         ""},
        {"no disc: no volume to lock",
         {{FSCTL_LOCK_VOLUME, ERROR_NOT_READY}},
         true,
         with({"lock h1", "exclusive h1", "adapter h1"}),
         ""},
        {"XP without IMAPI 2.0: the volume lock only",
         {{IoctlCdromExclusiveAccess, ERROR_INVALID_FUNCTION}},
         true,
         with({"lock h1", "dismount h1", "exclusive h1", "adapter h1"}),
         "zorbel: E: is held by its volume lock only"},
        {"polling cannot be paused",
         {{IoctlStorageMcnControl, ERROR_INVALID_FUNCTION}},
         true,
         {"open h2 attributes", "polling off h2", "close h2", "lock h1", "dismount h1",
          "exclusive h1", "adapter h1"},
         "zorbel: the system's media-change polling of E: could not be paused"},
        {"files open on the volume",
         {{FSCTL_LOCK_VOLUME, ERROR_ACCESS_DENIED}},
         false,
         with({"lock h1", "close h2"}),
         "zorbel: the drive is in use by another program (its volume is in use"},
        {"locked but not dismounted",
         {{FSCTL_DISMOUNT_VOLUME, ERROR_ACCESS_DENIED}},
         false,
         with({"lock h1", "dismount h1", "unlock h1", "close h2"}),
         "zorbel: the drive is in use by another program (its volume cannot be dismounted"},
        {"another program holds the exclusive lock",
         {{IoctlCdromExclusiveAccess, ERROR_ACCESS_DENIED}},
         false,
         with({"lock h1", "dismount h1", "exclusive h1", "unlock h1", "close h2"}),
         "zorbel: the drive is in use by another program (no exclusive access"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        state_ = DriverState{};
        state_.refused = c.refused;
        // A volume that cannot be locked because it is not ready has no disc.
        state_.mounted = c.refused.count(FSCTL_LOCK_VOLUME) == 0 ||
                         c.refused.at(FSCTL_LOCK_VOLUME) != ERROR_NOT_READY;
        WindowsHost host;
        const DeviceHandle device = host.openDevice("\\\\.\\E:");
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(host.claimDevice(device), c.held);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(said.rfind(c.said, 0), 0u) << said;
        std::vector<std::string> expected = {"open h1 read-write"};
        expected.insert(expected.end(), c.claim.begin(), c.claim.end());
        EXPECT_EQ(state_.calls, expected);
        if (c.held) {
            // The update claims, then its programming run: nothing asked twice.
            EXPECT_TRUE(host.claimDevice(device));
            EXPECT_EQ(state_.calls, expected);
        }
        state_.calls.clear();
        host.closeDevice(device);
        const bool polling = c.held && c.refused.count(IoctlStorageMcnControl) == 0;
        const std::vector<std::string> closed =
            polling ? std::vector<std::string>{"close h1", "close h2"}
                    : std::vector<std::string>{"close h1"};
        EXPECT_EQ(state_.calls, closed);
    }
}

TEST_F(DriveHeld, TransfersFitTheAdapterAndItsTimeOutsCount) {
    WindowsHost host;
    const DeviceHandle device = host.openDevice("\\\\.\\E:");
    ASSERT_TRUE(host.claimDevice(device));
    alignas(4096) static std::uint8_t buffer[0x9000];
    std::array<std::uint8_t, PassThroughBlockSize> block{};
    const auto send = [&](std::uint8_t* data, std::uint32_t length) {
        block = {};
        block[passthrough::CdbLength] = 10;
        block[passthrough::DataIn] = SCSI_IOCTL_DATA_IN;
        putLe32(block, passthrough::DataTransferLength, length);
        putLe32(block, passthrough::SenseInfoOffset, passthrough::SenseArea);
        return host.passThroughDirect(device, block, data);
    };
    // A buffer the adapter cannot take as it is goes through aligned pages.
    state_.passThroughBuffer = 0;
    EXPECT_TRUE(send(buffer + 8, 512));
    EXPECT_NE(state_.passThroughBuffer, reinterpret_cast<std::uintptr_t>(buffer + 8));
    EXPECT_EQ(state_.passThroughBuffer & 0x1FF, 0u);
    EXPECT_TRUE(send(buffer, 512));
    EXPECT_EQ(state_.passThroughBuffer, reinterpret_cast<std::uintptr_t>(buffer));
    // Longer than the adapter carries (32 KiB here): never sent.
    state_.calls.clear();
    EXPECT_FALSE(send(buffer, 0x9000));
    EXPECT_TRUE(state_.calls.empty());
    // The port driver's time-out is one, whatever the stopwatch says.
    for (const DWORD error : {DWORD{ERROR_SEM_TIMEOUT}, DWORD{ERROR_TIMEOUT}, DWORD{WAIT_TIMEOUT},
                              DWORD{ERROR_IO_DEVICE}, DWORD{ERROR_SUCCESS}}) {
        state_.passThroughError = error;
        EXPECT_EQ(send(buffer, 512), error == ERROR_SUCCESS);
        EXPECT_EQ(host.lastCommandTimedOut(), error != ERROR_SUCCESS && error != ERROR_IO_DEVICE)
            << error;
    }
    host.closeDevice(device);
}

}  // namespace
}  // namespace zorbel::winhost
