// The Windows host: Win32 calls behind the host interface.
#include "device/host_windows.h"

#include <io.h>
#include <wincrypt.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>

#include "device/RequestLayout.h"
#include "device/SystemSha256.h"

namespace zorbel::winhost {

namespace pt = passthrough;
namespace ex = srb::exec;

// ---- the layouts, checked against the platform's headers ----

static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == pt::IoctlCode);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == pt::Length);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == pt::ScsiStatus);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == pt::PathId);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == pt::TargetId);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == pt::Lun);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == pt::CdbLength);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == pt::SenseInfoLength);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == pt::DataIn);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == pt::DataTransferLength);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == pt::TimeOutValue);
static_assert(sizeof(PassThroughRequest::sense) == pt::SenseAreaSize);
#ifdef _WIN64
// x86_64: the pointer is 8 bytes and 8-aligned; what follows it moves by 8.
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(PassThroughRequest, sense) == 56 && sizeof(PassThroughRequest) == 88);
#else
// i686: the request is the drive object's block byte for byte.
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == pt::DataBuffer);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == pt::SenseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == pt::Cdb);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == pt::StructSize);
static_assert(offsetof(PassThroughRequest, filler) == pt::StructSize);
static_assert(offsetof(PassThroughRequest, sense) == pt::SenseArea);
static_assert(sizeof(PassThroughRequest) == pt::BlockSize);
// The ASPI execute request holds real 32-bit pointers and event handles.
static_assert(sizeof(void*) == 4 && sizeof(HANDLE) == 4);
static_assert(AbortSize == 12);
#endif
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT::Cdb) == pt::CdbSize);
static_assert(offsetof(SCSI_ADDRESS, Length) == 0 && offsetof(SCSI_ADDRESS, PortNumber) == 4 &&
              offsetof(SCSI_ADDRESS, PathId) == 5 && offsetof(SCSI_ADDRESS, TargetId) == 6 &&
              offsetof(SCSI_ADDRESS, Lun) == 7 && sizeof(SCSI_ADDRESS) == 8);
static_assert(SCSI_IOCTL_DATA_OUT == 0 && SCSI_IOCTL_DATA_IN == 1 &&
              SCSI_IOCTL_DATA_UNSPECIFIED == 2);
static_assert(DRIVE_CDROM == static_cast<UINT>(DriveType::Cdrom) &&
              DRIVE_FIXED == static_cast<UINT>(DriveType::Fixed) &&
              DRIVE_RAMDISK == static_cast<UINT>(DriveType::RamDisk));

namespace {

constexpr std::uint8_t ScsiStatusGood = 0x00;
constexpr std::size_t PageSize = 4096;
constexpr std::uint8_t SsErr = 0x04;
// LOAD_LIBRARY_SEARCH_SYSTEM32, which older headers lack.
constexpr DWORD LoadLibrarySearchSystem32 = 0x00000800;

using SupportInfoFn = DWORD(__cdecl*)();
using SendCommandFn = DWORD(__cdecl*)(void*);

HANDLE toHandle(DeviceHandle device) {
    return reinterpret_cast<HANDLE>(device);
}

// Event handles travel as 32-bit values: Windows keeps handle values within
// 32 bits, sign-extended on 64-bit systems.
EventHandle fromEvent(HANDLE event) {
    return static_cast<EventHandle>(reinterpret_cast<std::uintptr_t>(event));
}
HANDLE toEvent(EventHandle event) {
    return reinterpret_cast<HANDLE>(
        static_cast<std::intptr_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(event))));
}

std::uint8_t loadStatus(const std::uint8_t& status) {
    // The manager completes a request from its own context.
    return std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t&>(status))
        .load(std::memory_order_acquire);
}

void storeStatus(std::uint8_t& status, std::uint8_t value) {
    std::atomic_ref<std::uint8_t>(status).store(value, std::memory_order_release);
}

std::string utf8(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::wstring fromUtf8(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(size, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

FARPROC kernelEntry(const char* name) {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel != nullptr ? GetProcAddress(kernel, name) : nullptr;
}

}  // namespace

// ---- system calls, library search, console, error texts ----

SystemCalls realSystemCalls() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return SystemCalls{&GetVersionExA,         &GetSystemDirectoryW, &LoadLibraryExW,
                       &kernelEntry,           &OpenProcessToken,    &LookupPrivilegeValueA,
                       &AdjustTokenPrivileges, &GetLastError,        &InitiateSystemShutdownExW,
                       &CreateFileA,           &DeviceIoControl,     &CloseHandle};
#pragma GCC diagnostic pop
}

SystemCalls& systemCalls() {
    static SystemCalls calls = realSystemCalls();
    return calls;
}

void restrictLibrarySearch() {
    // The current directory leaves the search order (XP SP1 and later)...
    using SetDllDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
    if (const auto set = reinterpret_cast<SetDllDirectoryFn>(
            reinterpret_cast<void*>(systemCalls().optionalKernelEntry("SetDllDirectoryW")))) {
        set(L"");
    }
    // ...and where the system can, libraries come from the system directory
    // only, not from the folder the program was started from (Windows 8, and
    // Vista and 7 with their library-loading update).
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    if (const auto set = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
            systemCalls().optionalKernelEntry("SetDefaultDllDirectories")))) {
        set(LoadLibrarySearchSystem32);
    }
}

std::wstring systemLibraryPath(std::string_view name) {
    std::wstring directory(MAX_PATH, L'\0');
    UINT length = systemCalls().getSystemDirectoryW(directory.data(), MAX_PATH);
    if (length >= MAX_PATH) {
        directory.assign(length, L'\0');
        length = systemCalls().getSystemDirectoryW(directory.data(), length);
    }
    if (length == 0 || length >= directory.size()) {
        return {};
    }
    directory.resize(length);
    if (directory.back() != L'\\') {
        directory += L'\\';
    }
    return directory + fromUtf8(name) + L".DLL";
}

bool standardStreamIsConsole(int stream) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(stream));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

std::string systemErrorText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string result = length != 0 && text != nullptr ? utf8(std::wstring_view(text, length))
                                                        : "error " + std::to_string(error);
    if (text != nullptr) {
        LocalFree(text);
    }
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == '.' || result.back() == ' ')) {
        result.pop_back();
    }
    return result;
}

void writeCauseLine(std::string_view what, DWORD error) {
    const std::string line = std::string(what) + " failed: Windows error " + std::to_string(error) +
                             ": " + systemErrorText(error) + "\n";
    std::fflush(stderr);
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(2));
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode)) {
        const std::wstring wide = fromUtf8(line);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// ---- imports the oldest supported systems lack ----

// The static thread library imports GetTickCount64 from KERNEL32, which
// Windows XP does not have; a program that imports it is refused by XP's
// loader. The import's slot is filled here instead: the system's function
// where it exists, else the 32-bit tick count widened by counting its wraps
// (one wrap is seen as long as the count is read at least every 49 days).
namespace {

ULONGLONG WINAPI tickCount64() {
    using TickCount64Fn = ULONGLONG(WINAPI*)();
    static const auto system =
        reinterpret_cast<TickCount64Fn>(reinterpret_cast<void*>(kernelEntry("GetTickCount64")));
    if (system != nullptr) {
        return system();
    }
    static std::atomic<std::uint64_t> last{0};
    std::uint64_t previous = last.load(std::memory_order_acquire);
    for (;;) {
        std::uint64_t now = (previous & ~std::uint64_t{0xFFFFFFFF}) | GetTickCount();
        if (now < previous) {
            now += std::uint64_t{1} << 32;
        }
        if (last.compare_exchange_weak(previous, now, std::memory_order_acq_rel)) {
            return now;
        }
    }
}

}  // namespace

#ifdef _WIN64
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() __asm__("__imp_GetTickCount64");
#else
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() __asm__("__imp__GetTickCount64@0");
#endif
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() = &tickCount64;

// ---- pass-through mapping ----

bool buildPassThrough(std::span<const std::uint8_t, PassThroughBlockSize> block, void* dataBuffer,
                      PassThroughRequest& request) {
    request = PassThroughRequest{};
    SCSI_PASS_THROUGH_DIRECT& s = request.sptd;
    const std::uint8_t direction = block[pt::DataIn];
    const std::uint32_t length = getLe32(block, pt::DataTransferLength);
    const std::uint8_t cdbLength = block[pt::CdbLength];
    if (direction > SCSI_IOCTL_DATA_UNSPECIFIED || cdbLength == 0 || cdbLength > pt::CdbSize) {
        return false;
    }
    const bool moves = direction != SCSI_IOCTL_DATA_UNSPECIFIED && length != 0;
    if (moves && dataBuffer == nullptr) {
        return false;
    }
    s.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    s.PathId = block[pt::PathId];
    s.TargetId = block[pt::TargetId];
    s.Lun = block[pt::Lun];
    s.CdbLength = cdbLength;
    s.SenseInfoLength = std::min<UCHAR>(block[pt::SenseInfoLength], sizeof(request.sense));
    s.DataIn = direction;
    // A transfer with no data phase still carries its length, with no buffer.
    s.DataTransferLength = length;
    s.TimeOutValue = getLe32(block, pt::TimeOutValue);
    s.DataBuffer = direction == SCSI_IOCTL_DATA_UNSPECIFIED || length == 0 ? nullptr : dataBuffer;
    s.SenseInfoOffset = offsetof(PassThroughRequest, sense);
    std::copy_n(block.begin() + pt::Cdb, pt::CdbSize, s.Cdb);
    return true;
}

Outcome finishPassThrough(bool delivered, const PassThroughRequest& request,
                          std::span<std::uint8_t, PassThroughBlockSize> block) {
    const std::uint32_t senseOffset = getLe32(block, pt::SenseInfoOffset);
    const std::size_t senseRoom = pt::clearSenseArea(block);
    block[pt::ScsiStatus] = 0;
    if (!delivered) {
        return Outcome::Failed;
    }
    const SCSI_PASS_THROUGH_DIRECT& s = request.sptd;
    block[pt::ScsiStatus] = s.ScsiStatus;
    putLe32(block, pt::DataTransferLength, s.DataTransferLength);

    // The platform sets SenseInfoLength to the bytes it wrote; sense data is
    // valid only with a fixed (0x70, 0x71) or descriptor (0x72, 0x73) response.
    const std::size_t written = std::min<std::size_t>(s.SenseInfoLength, sizeof(request.sense));
    const std::uint8_t response = written != 0 ? request.sense[0] & 0x7F : 0;
    std::array<std::uint8_t, pt::SenseAreaSize> fixed{};
    std::size_t senseBytes = 0;
    if ((response == 0x70 || response == 0x71) && written > sense::Key) {
        std::copy_n(request.sense, written, fixed.begin());
        senseBytes = written;
    } else if ((response == 0x72 || response == 0x73) && written >= 4) {
        const auto converted = sense::fixedFromDescriptor({request.sense, written});
        std::copy(converted.begin(), converted.end(), fixed.begin());
        senseBytes = converted.size();
    }
    std::copy_n(fixed.begin(), std::min(senseBytes, senseRoom), block.begin() + senseOffset);

    if (senseBytes != 0) {
        return (fixed[sense::Key] & sense::KeyMask) != 0 ? Outcome::DriveError : Outcome::Good;
    }
    // No sense data: only a good status means the drive completed the command.
    return s.ScsiStatus == ScsiStatusGood ? Outcome::Good : Outcome::Failed;
}

// ---- WindowsHost ----

WindowsHost::WindowsHost() = default;

WindowsHost::~WindowsHost() {
    // Requests the manager still holds keep their memory, and the manager its
    // reference: the process ends with them.
    std::lock_guard lock(mutex_);
    reclaimFinished();
    if (std::any_of(slots_.begin(), slots_.end(), [](const AspiSlot& s) { return s.busy; })) {
        new std::list<AspiSlot>(std::move(slots_));
    }
}

void WindowsHost::reportCause(DeviceHandle device, std::string_view what, DWORD error) {
    if (!causeLines_) {
        return;
    }
    std::string line;
    {
        std::lock_guard lock(mutex_);
        const auto open = drives_.find(device);
        line =
            open != drives_.end() ? open->second.name + " " + std::string(what) : std::string(what);
        // One line for each cause on each device: a retried command adds none.
        if (!causesReported_.emplace(line, error).second) {
            return;
        }
    }
    writeCauseLine(line, error);
}

bool WindowsHost::isNtFamily() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    // A system that cannot say what it is counts as not of the NT family.
    return systemCalls().getVersionExA(&info) != FALSE &&
           info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool WindowsHost::queryPerformanceFrequency(std::int64_t& frequency) {
    LARGE_INTEGER value{};
    if (!QueryPerformanceFrequency(&value) || value.QuadPart == 0) {
        frequency = 0;
        return false;
    }
    frequency = value.QuadPart;
    return true;
}

std::int64_t WindowsHost::queryPerformanceCounter() {
    LARGE_INTEGER value{};
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

void WindowsHost::sleepMs(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

std::string WindowsHost::logicalDriveStrings() {
    std::string roots(128, '\0');
    for (;;) {
        const DWORD length =
            GetLogicalDriveStringsA(static_cast<DWORD>(roots.size()), roots.data());
        if (length == 0) {
            return {};
        }
        if (length < roots.size()) {
            roots.resize(length);
            break;
        }
        roots.assign(length + 1, '\0');
    }
    // The list ends with an empty string: one more zero after the last root.
    if (!roots.empty()) {
        roots += '\0';
    }
    return roots;
}

DriveType WindowsHost::driveType(std::string_view root) {
    const UINT type = GetDriveTypeA(std::string(root).c_str());
    return type <= static_cast<UINT>(DriveType::RamDisk) ? static_cast<DriveType>(type)
                                                         : DriveType::Unknown;
}

std::string WindowsHost::deviceNameForRoot(std::string_view root) {
    return "\\\\.\\" + std::string(root.substr(0, 2));
}

std::string WindowsHost::rootLabel(std::string_view root) {
    return std::string(root.substr(0, 2));
}

DeviceHandle WindowsHost::openDevice(std::string_view deviceName) {
    const std::string name(deviceName);
    const HANDLE handle = systemCalls().createFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                    OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        std::lock_guard lock(mutex_);
        drives_[reinterpret_cast<DeviceHandle>(handle)].name = name;
        return reinterpret_cast<DeviceHandle>(handle);
    }
    const DWORD error = GetLastError();
    reportCause(InvalidDevice, "Opening " + name, error);
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = openFailuresReported_.insert(name).second;
    }
    if (first) {
        std::string text = "Cannot open the optical drive " +
                           name.substr(std::min<std::size_t>(4, name.size())) + " (" + name +
                           ") for reading and writing: " + systemErrorText(error) + ".";
        if (error == ERROR_ACCESS_DENIED) {
            text +=
                "\nUpdating a drive needs administrator rights: run the program as an "
                "administrator.";
        }
        systemMessageBox(text, "Error");
    }
    return InvalidDevice;
}

void WindowsHost::closeDevice(DeviceHandle device) {
    if (device == InvalidDevice) {
        return;
    }
    HANDLE polling = INVALID_HANDLE_VALUE;
    {
        std::lock_guard lock(mutex_);
        const auto open = drives_.find(device);
        if (open != drives_.end()) {
            polling = open->second.polling;
            drives_.erase(open);
        }
    }
    // The hold ends with the handle; the class driver polls again once the
    // attribute handle that paused it is closed too.
    systemCalls().closeHandle(toHandle(device));
    if (polling != INVALID_HANDLE_VALUE) {
        systemCalls().closeHandle(polling);
    }
}

bool WindowsHost::queryScsiAddress(DeviceHandle device, ScsiAddress& address) {
    SCSI_ADDRESS platform{};
    DWORD returned = 0;
    if (!DeviceIoControl(toHandle(device), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &platform,
                         sizeof platform, &returned, nullptr)) {
        return false;
    }
    address.length = returned >= sizeof platform ? platform.Length : 0;
    address.portNumber = platform.PortNumber;
    address.pathId = platform.PathId;
    address.targetId = platform.TargetId;
    address.lun = platform.Lun;
    return true;
}

bool WindowsHost::passThroughDirect(DeviceHandle device,
                                    std::span<std::uint8_t, PassThroughBlockSize> block,
                                    void* dataBuffer) {
    lastCommandTimedOut_ = false;
    PassThroughRequest request{};
    if (!buildPassThrough(block, dataBuffer, request)) {
        finishPassThrough(false, request, block);
        return false;
    }
    AdapterLimits limits;
    {
        std::lock_guard lock(mutex_);
        const auto open = drives_.find(device);
        if (open != drives_.end()) {
            limits = open->second.limits;
        }
    }
    const std::uint32_t length = request.sptd.DataTransferLength;
    if (request.sptd.DataBuffer != nullptr && length > limits.maximumTransfer) {
        // Never sent: the adapter would refuse it, or cut it short.
        reportCause(device,
                    "A transfer of " + std::to_string(length) + " bytes (its adapter carries " +
                        std::to_string(limits.maximumTransfer) + ")",
                    ERROR_NOT_SUPPORTED);
        finishPassThrough(false, request, block);
        return false;
    }
    // The drive object's buffers are page-aligned; a buffer the adapter
    // cannot take as it is goes through pages of the host's own.
    std::vector<std::uint8_t> pages;
    void* bounce = nullptr;
    if (request.sptd.DataBuffer != nullptr &&
        (reinterpret_cast<std::uintptr_t>(dataBuffer) & limits.alignmentMask) != 0) {
        pages.resize(length + PageSize - 1);
        const auto at = reinterpret_cast<std::uintptr_t>(pages.data());
        bounce = pages.data() + ((PageSize - at % PageSize) % PageSize);
        if (request.sptd.DataIn == SCSI_IOCTL_DATA_OUT) {
            std::memcpy(bounce, dataBuffer, length);
        }
        request.sptd.DataBuffer = bounce;
    }
    DWORD returned = 0;
    const BOOL ok =
        systemCalls().deviceIoControl(toHandle(device), IOCTL_SCSI_PASS_THROUGH_DIRECT, &request,
                                      sizeof request, &request, sizeof request, &returned, nullptr);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (bounce != nullptr) {
        if (ok && request.sptd.DataIn == SCSI_IOCTL_DATA_IN) {
            std::memcpy(dataBuffer, bounce,
                        std::min<std::uint32_t>(length, request.sptd.DataTransferLength));
        }
    }
    if (!ok) {
        lastCommandTimedOut_ = isTimeoutError(error);
        reportCause(device, "pass-through", error);
    }
    return finishPassThrough(ok != FALSE, request, block) != Outcome::Failed;
}

// ---- ASPI ----

AspiModule WindowsHost::loadLibrary(std::string_view name) {
#ifdef _WIN64
    // ASPI request blocks carry 32-bit pointers: no manager serves a 64-bit
    // program, and none is loaded.
    (void)name;
    return 0;
#else
    // Only the system's own manager, by its full path: never a library of
    // that name in the program's folder or the current directory. What it
    // needs in turn is looked for beside it first.
    const std::wstring path = systemLibraryPath(name);
    if (path.empty()) {
        return 0;
    }
    return reinterpret_cast<AspiModule>(
        systemCalls().loadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
#endif
}

AspiProc WindowsHost::getProcAddress(AspiModule module, std::string_view name) {
    if (module == 0) {
        return 0;
    }
    return reinterpret_cast<AspiProc>(
        GetProcAddress(reinterpret_cast<HMODULE>(module), std::string(name).c_str()));
}

void WindowsHost::freeLibrary(AspiModule module) {
    if (module != 0) {
        FreeLibrary(reinterpret_cast<HMODULE>(module));
    }
}

std::uint32_t WindowsHost::aspiSupportInfo(AspiProc supportInfo) {
    if (supportInfo == 0) {
        return static_cast<std::uint32_t>(srb::SsNoAspi) << 8;
    }
    return reinterpret_cast<SupportInfoFn>(supportInfo)();
}

WindowsHost::AspiSlot& WindowsHost::takeSlot() {
    reclaimFinished();
    for (auto& slot : slots_) {
        if (!slot.busy) {
            slot.busy = true;
            return slot;
        }
    }
    AspiSlot& slot = slots_.emplace_back();
    slot.busy = true;
    return slot;
}

void WindowsHost::reclaimFinished() {
    for (auto& slot : slots_) {
        // Only a slot nobody waits for any more: an owner's slot is given back
        // by its owner's thread.
        if (slot.busy && slot.abandoned && !slot.abortGoing &&
            loadStatus(slot.block[srb::Status]) != srb::SsPending) {
            // The manager is done with it: the block, buffer and event are free.
            if (slot.closeEvent && slot.event != nullptr) {
                CloseHandle(slot.event);
            }
            if (slot.manager != nullptr) {
                FreeLibrary(slot.manager);
            }
            slot.manager = nullptr;
            slot.event = nullptr;
            slot.abandoned = false;
            slot.closeEvent = false;
            slot.busy = false;
        }
    }
}

void WindowsHost::abandon(AspiSlot& slot, std::array<std::uint8_t, AbortSize>& abort) {
    // Ask the manager to drop the request. Whatever it does, the block, buffer
    // and event stay its own until it marks them done, and the manager stays
    // loaded for it even when the program releases it.
    abort = {};
    abort[srb::Cmd] = ScAbortSrb;
    abort[srb::HaId] = slot.block[srb::HaId];
    const auto target = reinterpret_cast<std::uintptr_t>(slot.block.data());
    std::memcpy(abort.data() + AbortToAbort, &target, sizeof target);
    slot.abandoned = true;
    slot.abortGoing = true;
    slot.owner = {};
    slot.ownerData = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(slot.send), &slot.manager)) {
        slot.manager = nullptr;
    }
}

void WindowsHost::sendAbort(std::unique_lock<std::mutex>& lock, AspiSlot& slot) {
    // The manager may take its time over the abort (or complete other
    // requests from its own context meanwhile): it is sent without the lock.
    // The slot is not reclaimed before it has gone.
    std::array<std::uint8_t, AbortSize> abort{};
    abandon(slot, abort);
    const auto send = reinterpret_cast<SendCommandFn>(slot.send);
    lock.unlock();
    send(abort.data());
    lock.lock();
    slot.abortGoing = false;
}

void WindowsHost::giveBack(AspiSlot& slot) {
    // Data in, then the sense area, the adapter and target status, and the
    // request status last: the owner reads the status first.
    const std::uint8_t status = loadStatus(slot.block[srb::Status]);
    if (slot.ownerData != nullptr && (slot.owner[srb::Flags] & srb::DirIn) != 0) {
        std::memcpy(slot.ownerData, slot.data.data(), slot.length);
    }
    std::copy(slot.block.begin() + ex::SenseArea, slot.block.end(),
              slot.owner.begin() + ex::SenseArea);
    slot.owner[ex::HaStat] = slot.block[ex::HaStat];
    slot.owner[ex::TargStat] = slot.block[ex::TargStat];
    storeStatus(slot.owner[srb::Status], status);
    slot.owner = {};
    slot.ownerData = nullptr;
    slot.event = nullptr;
    slot.busy = false;
}

std::uint32_t WindowsHost::aspiSendCommand(AspiProc sendCommand, std::span<std::uint8_t> request,
                                           void* dataBuffer) {
    if (sendCommand == 0 || request.size() <= srb::Status) {
        if (request.size() > srb::Status) {
            request[srb::Status] = SsErr;
        }
        return SsErr;
    }
    const auto send = reinterpret_cast<SendCommandFn>(sendCommand);
    if (request.size() != ex::Size || request[srb::Cmd] != srb::ScExecScsiCmd) {
        // Inquiries and rescans complete before the call returns.
        std::array<std::uint8_t, 64> own{};
        const std::size_t size = std::min(request.size(), own.size());
        std::copy_n(request.begin(), size, own.begin());
        const DWORD result = send(own.data());
        std::copy_n(own.begin(), size, request.begin());
        return result;
    }

    std::unique_lock lock(mutex_);
    AspiSlot& slot = takeSlot();
    std::copy(request.begin(), request.end(), slot.block.begin());
    slot.owner = request;
    slot.send = sendCommand;
    slot.length = getLe32(request, ex::BufLen);
    slot.ownerData = slot.length != 0 ? dataBuffer : nullptr;
    std::uint32_t bufferField = 0;
    if (slot.ownerData != nullptr) {
        if (slot.data.size() < slot.length) {
            slot.data.resize(slot.length);
        }
        if ((request[srb::Flags] & srb::DirOut) != 0) {
            std::memcpy(slot.data.data(), dataBuffer, slot.length);
        }
        // A real 32-bit pointer on i686, the only build that loads a manager.
        bufferField =
            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(slot.data.data()));
    }
    putLe32(slot.block, ex::BufPointer, bufferField);
    slot.event = (request[srb::Flags] & srb::EventNotify) != 0
                     ? toEvent(getLe32(request, ex::PostProc))
                     : nullptr;
    storeStatus(slot.block[srb::Status], srb::SsPending);
    lock.unlock();

    // Without an event the caller follows the request with aspiRequestEnded,
    // within its own time-out.
    const DWORD result = send(slot.block.data());
    lock.lock();
    if (loadStatus(slot.block[srb::Status]) != srb::SsPending) {
        giveBack(slot);
    }
    return result;
}

EventHandle WindowsHost::createEvent() {
    const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event == nullptr ? 0 : fromEvent(event);
}

bool WindowsHost::waitEvent(EventHandle event, std::uint32_t milliseconds) {
    const HANDLE handle = toEvent(event);
    const bool signalled = WaitForSingleObject(handle, milliseconds) == WAIT_OBJECT_0;
    std::unique_lock lock(mutex_);
    for (auto& slot : slots_) {
        if (!slot.busy || slot.abandoned || slot.event != handle) {
            continue;
        }
        if (loadStatus(slot.block[srb::Status]) != srb::SsPending) {
            giveBack(slot);
        } else {
            // The wait expired (or the event came without a result).
            sendAbort(lock, slot);
        }
        break;
    }
    return signalled;
}

bool WindowsHost::aspiRequestEnded(std::span<std::uint8_t> request, bool giveUp) {
    std::unique_lock lock(mutex_);
    for (auto& slot : slots_) {
        if (!slot.busy || slot.abandoned || slot.owner.data() != request.data()) {
            continue;
        }
        if (loadStatus(slot.block[srb::Status]) != srb::SsPending) {
            giveBack(slot);
            return true;
        }
        if (giveUp) {
            sendAbort(lock, slot);
        }
        return false;
    }
    // Not with the manager (any more): its status is the one given back.
    return request.size() > srb::Status && loadStatus(request[srb::Status]) != srb::SsPending;
}

void WindowsHost::closeEvent(EventHandle event) {
    const HANDLE handle = toEvent(event);
    {
        std::lock_guard lock(mutex_);
        for (auto& slot : slots_) {
            if (slot.busy && slot.abandoned && slot.event == handle) {
                slot.closeEvent = true;  // the manager may still signal it
                return;
            }
        }
    }
    CloseHandle(handle);
}

std::size_t WindowsHost::aspiRequestsOutstanding() {
    std::lock_guard lock(mutex_);
    reclaimFinished();
    return static_cast<std::size_t>(
        std::count_if(slots_.begin(), slots_.end(), [](const AspiSlot& s) { return s.busy; }));
}

void* WindowsHost::aspiTransferBuffer(const std::uint8_t* managerBlock) {
    std::lock_guard lock(mutex_);
    for (auto& slot : slots_) {
        if (slot.block.data() == managerBlock) {
            return slot.data.data();
        }
    }
    return nullptr;
}

// ---- user interface and system ----

void WindowsHost::systemMessageBox(std::string_view text, std::string_view caption) {
    if (messageSink_) {
        if (std::this_thread::get_id() == ownerThread_) {
            messageSink_(text, caption);
        } else {
            const std::string line = std::string(caption) + ": " + std::string(text) + "\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
            std::fflush(stderr);
        }
        return;
    }
    MessageBoxA(nullptr, std::string(text).c_str(), std::string(caption).c_str(),
                MB_OK | MB_ICONERROR);
}

bool WindowsHost::restartSystem(bool ntFamily) {
    const SystemCalls& calls = systemCalls();
    if (ntFamily) {
        HANDLE token = nullptr;
        if (!calls.openProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                    &token)) {
            writeCauseLine("Restarting Windows", calls.getLastError());
            return false;
        }
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        DWORD error = ERROR_PRIVILEGE_NOT_HELD;
        if (calls.lookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME,
                                        &privileges.Privileges[0].Luid)) {
            // The call succeeds even when the privilege was not assigned; only
            // the error code says whether it was enabled.
            const bool adjusted = calls.adjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr,
                                                              nullptr) != FALSE;
            error = calls.getLastError();
            if (adjusted && error == ERROR_NOT_ALL_ASSIGNED) {
                error = ERROR_PRIVILEGE_NOT_HELD;
            }
        }
        CloseHandle(token);
        if (error != ERROR_SUCCESS) {
            writeCauseLine("Restarting Windows", error);
            return false;
        }
    }
    // The local computer, at once and without a dialog. Unlike ExitWindowsEx,
    // this restarts also when the caller is not the interactive user (a
    // scheduled task, a service, a remote session). Applications that answer
    // are asked to close and may keep unsaved work by refusing.
    if (calls.initiateSystemShutdownExW(nullptr, nullptr, 0, FALSE, TRUE,
                                        SHTDN_REASON_MAJOR_APPLICATION |
                                            SHTDN_REASON_MINOR_INSTALLATION |
                                            SHTDN_REASON_FLAG_PLANNED)) {
        return true;
    }
    writeCauseLine("Restarting Windows", calls.getLastError());
    return false;
}

int WindowsHost::collate(std::string_view a, std::string_view b) {
    const int result = CompareStringA(LOCALE_USER_DEFAULT, 0, a.data(), static_cast<int>(a.size()),
                                      b.data(), static_cast<int>(b.size()));
    switch (result) {
        case CSTR_LESS_THAN:
            return -1;
        case CSTR_EQUAL:
            return 0;
        case CSTR_GREATER_THAN:
            return 1;
        default:
            return plainCollate(a, b);
    }
}

// ---- holding a drive for a run ----

namespace {
bool control(HANDLE device, DWORD code, void* in = nullptr, DWORD inSize = 0) {
    DWORD returned = 0;
    return systemCalls().deviceIoControl(device, code, in, inSize, nullptr, 0, &returned,
                                         nullptr) != FALSE;
}
}  // namespace

Hold holdDrive(HANDLE device, std::string& reason) {
    // Locked, so that nobody else opens the volume, and dismounted, so that
    // no file system talks to the drive. A drive without a disc has no volume
    // to lock: the exclusive lock alone holds it then.
    const bool locked = control(device, FSCTL_LOCK_VOLUME);
    if (!locked) {
        const DWORD lockError = GetLastError();
        if (lockError == ERROR_ACCESS_DENIED || lockError == ERROR_SHARING_VIOLATION) {
            reason = "its volume is in use: " + systemErrorText(lockError);
            return Hold::Refused;
        }
    } else if (!control(device, FSCTL_DISMOUNT_VOLUME)) {
        const DWORD dismountError = GetLastError();
        control(device, FSCTL_UNLOCK_VOLUME);
        reason = "its volume cannot be dismounted: " + systemErrorText(dismountError);
        return Hold::Refused;
    }
    // The class driver's exclusive lock keeps out every other handle, also
    // programs that talk to the device itself; it is refused while a file
    // system is mounted, hence after the dismount.
    CdromExclusiveLock lock{};
    lock.requestType = ExclusiveAccessLockDevice;
    lock.flags = 0;
    constexpr char Caller[] = "Zorbel firmware update";
    std::copy(std::begin(Caller), std::end(Caller) - 1, lock.callerName);
    if (control(device, IoctlCdromExclusiveAccess, &lock, sizeof lock)) {
        return Hold::Exclusive;
    }
    const DWORD exclusiveError = GetLastError();
    // XP without IMAPI 2.0 knows no exclusive lock: the volume lock is all.
    const bool unknown =
        exclusiveError == ERROR_INVALID_FUNCTION || exclusiveError == ERROR_NOT_SUPPORTED;
    if (locked && unknown) {
        reason = "this Windows has no exclusive lock for optical drives";
        return Hold::VolumeOnly;
    }
    if (locked) {
        control(device, FSCTL_UNLOCK_VOLUME);
    }
    reason = "no exclusive access: " + systemErrorText(exclusiveError);
    return Hold::Refused;
}

AdapterLimits queryAdapterLimits(HANDLE device) {
    AdapterLimits limits;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAdapterProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_ADAPTER_DESCRIPTOR adapter{};
    DWORD returned = 0;
    if (!systemCalls().deviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                       &adapter, sizeof adapter, &returned, nullptr) ||
        returned < offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask) + sizeof(DWORD)) {
        return limits;
    }
    // Masks the system uses are one less than a power of two, below a page.
    if (adapter.AlignmentMask < 4096 &&
        (adapter.AlignmentMask & (adapter.AlignmentMask + 1)) == 0) {
        limits.alignmentMask = adapter.AlignmentMask;
    }
    if (adapter.MaximumTransferLength != 0) {
        limits.maximumTransfer = adapter.MaximumTransferLength;
    }
    // A page-aligned buffer of N pages needs N physical pages.
    if (adapter.MaximumPhysicalPages != 0 && adapter.MaximumPhysicalPages < 0x100000) {
        limits.maximumTransfer =
            std::min<std::uint32_t>(limits.maximumTransfer, adapter.MaximumPhysicalPages * 4096u);
    }
    return limits;
}

bool isTimeoutError(DWORD error) {
    // ERROR_SEM_TIMEOUT is STATUS_IO_TIMEOUT: the port driver's time-out (it
    // resets the bus or the device); the others are the system's own waits.
    return error == ERROR_SEM_TIMEOUT || error == ERROR_TIMEOUT || error == WAIT_TIMEOUT;
}

bool WindowsHost::claimDevice(DeviceHandle device) {
    std::string name;
    {
        std::lock_guard lock(mutex_);
        const auto open = drives_.find(device);
        if (open == drives_.end()) {
            return false;
        }
        // Held already (the update, then its programming run): the driver
        // refuses its own owner a second exclusive lock.
        if (open->second.held) {
            return true;
        }
        name = open->second.name;
    }
    const std::string label = name.substr(std::min<std::size_t>(4, name.size()));
    const SystemCalls& calls = systemCalls();
    // The class driver's media-change polling off, through a second handle
    // opened for attributes only: such a handle reaches the device itself,
    // past any file system, and keeps no volume lock out. Closing it (also
    // by the system when the process ends) turns the polling on again.
    HANDLE polling =
        calls.createFileA(name.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD pauseError = ERROR_SUCCESS;
    if (polling == INVALID_HANDLE_VALUE) {
        pauseError = GetLastError();
    } else {
        PREVENT_MEDIA_REMOVAL off{TRUE};
        if (!control(polling, IoctlStorageMcnControl, &off, sizeof off)) {
            pauseError = GetLastError();
            calls.closeHandle(polling);
            polling = INVALID_HANDLE_VALUE;
        }
    }

    std::string reason;
    const Hold hold = holdDrive(toHandle(device), reason);
    std::string lines;
    if (hold == Hold::Refused) {
        if (polling != INVALID_HANDLE_VALUE) {
            calls.closeHandle(polling);
        }
        lines = "zorbel: the drive is in use by another program (" + reason +
                "); close it, then update again. It was only asked for its "
                "identity: nothing was written to it and its tray was not moved.\n";
    } else {
        const AdapterLimits limits = queryAdapterLimits(toHandle(device));
        {
            std::lock_guard lock(mutex_);
            OpenDrive& open = drives_[device];
            open.held = true;
            open.polling = polling;
            open.limits = limits;
        }
        if (hold == Hold::VolumeOnly) {
            lines += "zorbel: " + label + " is held by its volume lock only (" + reason +
                     "): a program that opens the drive itself can still send it commands; "
                     "start none until the update has ended.\n";
        }
        if (pauseError != ERROR_SUCCESS) {
            lines += "zorbel: the system's media-change polling of " + label +
                     " could not be paused (" + systemErrorText(pauseError) +
                     "): Windows may ask the drive while it writes its flash.\n";
        }
    }
    if (!lines.empty()) {
        std::fwrite(lines.data(), 1, lines.size(), stderr);
        std::fflush(stderr);
    }
    return hold != Hold::Refused;
}

namespace {
std::atomic<void (*)(int)> consoleSignalDelivery{nullptr};

BOOL WINAPI consoleControl(DWORD event) {
    constexpr int SignalHangUp = 1;
    constexpr int SignalInterrupt = 2;
    const auto deliver = consoleSignalDelivery.load();
    if (deliver == nullptr) {
        return FALSE;
    }
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            deliver(SignalInterrupt);
            return TRUE;
        case CTRL_CLOSE_EVENT:
            deliver(SignalHangUp);
            return TRUE;
        default:
            return FALSE;
    }
}
}  // namespace

bool WindowsHost::watchStopSignals(void (*deliver)(int signal)) {
    if (deliver == nullptr || consoleSignalDelivery.exchange(deliver) != nullptr) {
        return false;
    }
    return SetConsoleCtrlHandler(&consoleControl, TRUE) != FALSE;
}

namespace {
// The console window's Close: out of its system menu (which also greys the
// title bar's close button) while an update runs, back after. A console that
// has no window of its own (a pseudo console, a terminal program) keeps its
// Close: Windows offers no way to hold that off.
void consoleClose(bool shown) {
    const HWND console = GetConsoleWindow();
    if (console == nullptr) {
        return;
    }
    if (shown) {
        GetSystemMenu(console, TRUE);  // the system's own menu again
    } else if (const HMENU menu = GetSystemMenu(console, FALSE)) {
        EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
        DeleteMenu(menu, SC_CLOSE, MF_BYCOMMAND);
    }
    DrawMenuBar(console);
}
}  // namespace

thread_local bool WindowsHost::lastCommandTimedOut_ = false;

bool WindowsHost::inhibitShutdown() {
    if (!guard_) {
        guard_ = std::make_unique<RunGuardWindow>();
    }
    guard_->setActive(true, consoleProgram_);
    if (consoleProgram_) {
        consoleClose(false);
    }
    return SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
}

void WindowsHost::releaseShutdownInhibit() {
    SetThreadExecutionState(ES_CONTINUOUS);
    if (consoleProgram_) {
        consoleClose(true);
    }
    if (guard_) {
        guard_->setActive(false, false);
    }
}

PowerState powerStateFrom(const SYSTEM_POWER_STATUS& status) {
    PowerState state;
    state.source = status.ACLineStatus == 0   ? PowerSource::Battery
                   : status.ACLineStatus == 1 ? PowerSource::External
                                              : PowerSource::Unknown;
    state.batteryPresent = status.BatteryFlag != 128 && status.BatteryFlag != 255;
    if (status.BatteryLifePercent <= 100) {
        state.batteryPercent = status.BatteryLifePercent;
    }
    return state;
}

PowerState WindowsHost::powerState() {
    using GetSystemPowerStatusFn = BOOL(WINAPI*)(LPSYSTEM_POWER_STATUS);
    const auto query = reinterpret_cast<GetSystemPowerStatusFn>(
        reinterpret_cast<void*>(systemCalls().optionalKernelEntry("GetSystemPowerStatus")));
    SYSTEM_POWER_STATUS status{};
    if (query == nullptr || query(&status) == FALSE) {
        return {};
    }
    return powerStateFrom(status);
}

}  // namespace zorbel::winhost

// ---- SHA-256 from the system ----

namespace zorbel {

namespace {

// The CryptoAPI provider of the system (advapi32, which the programs import
// already, else loaded from the system directory; the entries are looked up
// at run time). PROV_RSA_AES
// carries SHA-256 from Windows XP SP3 on.
bool cryptoApiSha256(std::span<const std::uint8_t> bytes, std::array<std::uint8_t, 32>& digest,
                     std::string& reason) {
    using AcquireFn = BOOL(WINAPI*)(HCRYPTPROV*, LPCWSTR, LPCWSTR, DWORD, DWORD);
    using CreateHashFn = BOOL(WINAPI*)(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*);
    using HashDataFn = BOOL(WINAPI*)(HCRYPTHASH, const BYTE*, DWORD, DWORD);
    using GetHashParamFn = BOOL(WINAPI*)(HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD);
    using DestroyHashFn = BOOL(WINAPI*)(HCRYPTHASH);
    using ReleaseFn = BOOL(WINAPI*)(HCRYPTPROV, DWORD);
    HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
    if (advapi == nullptr) {
        const std::wstring path = winhost::systemLibraryPath("advapi32.dll");
        advapi = path.empty() ? nullptr : LoadLibraryExW(path.c_str(), nullptr, 0);
    }
    const auto entry = [advapi](const char* name) {
        return advapi != nullptr ? reinterpret_cast<void*>(GetProcAddress(advapi, name)) : nullptr;
    };
    const auto acquire = reinterpret_cast<AcquireFn>(entry("CryptAcquireContextW"));
    const auto createHash = reinterpret_cast<CreateHashFn>(entry("CryptCreateHash"));
    const auto hashData = reinterpret_cast<HashDataFn>(entry("CryptHashData"));
    const auto getParam = reinterpret_cast<GetHashParamFn>(entry("CryptGetHashParam"));
    const auto destroyHash = reinterpret_cast<DestroyHashFn>(entry("CryptDestroyHash"));
    const auto release = reinterpret_cast<ReleaseFn>(entry("CryptReleaseContext"));
    if (acquire == nullptr || createHash == nullptr || hashData == nullptr || getParam == nullptr ||
        destroyHash == nullptr || release == nullptr) {
        reason = "the system's CryptoAPI is missing";
        return false;
    }
    HCRYPTPROV provider = 0;
    if (acquire(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) == FALSE) {
        reason = "no CryptoAPI provider with SHA-256 (Windows error " +
                 std::to_string(GetLastError()) + ")";
        return false;
    }
    HCRYPTHASH hash = 0;
    bool ok = createHash(provider, CALG_SHA_256, 0, 0, &hash) != FALSE;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        const DWORD length =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        ok = hashData(hash, bytes.data() + done, length, 0) != FALSE;
        done += length;
    }
    DWORD size = static_cast<DWORD>(digest.size());
    ok = ok && getParam(hash, HP_HASHVAL, digest.data(), &size, 0) != FALSE && size == 32;
    if (!ok) {
        reason =
            "the CryptoAPI's SHA-256 failed (Windows error " + std::to_string(GetLastError()) + ")";
    }
    if (hash != 0) {
        destroyHash(hash);
    }
    release(provider, 0);
    return ok;
}

}  // namespace

bool systemSha256(std::span<const std::uint8_t> bytes, std::array<std::uint8_t, 32>& digest,
                  std::string& reason) {
    // Trusted once it gave the SHA-256 of "abc" (FIPS 180-2, appendix B.1).
    static const bool trusted = [] {
        static constexpr std::uint8_t Abc[] = {'a', 'b', 'c'};
        static constexpr std::array<std::uint8_t, 32> Known = {
            0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
            0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
            0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
        std::array<std::uint8_t, 32> answer{};
        std::string ignored;
        return cryptoApiSha256(Abc, answer, ignored) && answer == Known;
    }();
    if (!trusted) {
        reason = "the system's CryptoAPI gives no working SHA-256";
        return false;
    }
    return cryptoApiSha256(bytes, digest, reason);
}

}  // namespace zorbel
