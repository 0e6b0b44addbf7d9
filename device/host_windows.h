// The Windows host: drive letters, IOCTL_SCSI_PASS_THROUGH_DIRECT on
// "\\.\X:", the ASPI manager (WNASPI32) in 32-bit programs, the performance
// counter, message boxes, the restart with the shutdown privilege and the
// user's collation.
//
// The request layouts are the platform's. On i686 the pass-through request is
// the 80-byte block itself: the 44-byte SCSI_PASS_THROUGH_DIRECT, 4 filler
// bytes and the sense area at 48. On x86_64 SCSI_PASS_THROUGH_DIRECT is 56
// bytes (DataBuffer a 64-bit pointer at 24, SenseInfoOffset at 32, Cdb at 36)
// and the sense area follows it at 56. The drive object's block is mapped onto
// the platform's request and back, so the drive object sees the same block on
// both.
//
// ASPI managers exist only for 32-bit programs: their request blocks carry
// 32-bit buffer pointers. A 64-bit program loads no ASPI manager and behaves
// as on a system without one.
//
// An execute request is handed to the manager in a request block and buffer of
// the host's own, and its results are copied back to the drive object's block
// and buffer when it completes. A request whose completion wait expires is
// aborted (SC_ABORT_SRB); its block, buffer and event stay with the manager,
// never reused, until the manager marks it done.
#pragma once

#include <windows.h>
// After windows.h.
#include <ntddscsi.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/Host.h"
#include "device/RunGuardWindow.h"

namespace zorbel::winhost {

// ---- the pass-through block mapped onto the platform's request ----

// The platform's pass-through request: the structure, then the sense area.
struct PassThroughRequest {
    SCSI_PASS_THROUGH_DIRECT sptd;
#ifndef _WIN64
    ULONG filler;
#endif
    UCHAR sense[32];
};

// How one pass-through request ended, as the drive object must see it.
enum class Outcome {
    Good,        // delivered and ended with good status
    DriveError,  // delivered; the drive answered with sense data (copied into the block)
    Failed,      // not delivered, or ended without the drive completing it
};

// Fills the platform's request from the drive object's 80-byte block: the
// direction unchanged, length and buffer, time-out in seconds, the packet, a
// sense area of SenseInfoLength bytes (at most the request's). False when the
// block asks for what the request cannot carry: a data phase without a buffer,
// an unknown direction, an empty or oversized packet.
bool buildPassThrough(std::span<const std::uint8_t, PassThroughBlockSize> block, void* dataBuffer,
                      PassThroughRequest& request);

// Classifies a finished DeviceIoControl call (delivered: it returned TRUE) and
// writes the status and sense data back into the block (ScsiStatus, the sense
// area at the block's SenseInfoOffset; descriptor-format sense is converted to
// the fixed format). A non-good status without sense data is Failed: the drive
// did not complete the command.
Outcome finishPassThrough(bool delivered, const PassThroughRequest& request,
                          std::span<std::uint8_t, PassThroughBlockSize> block);

// ---- holding a drive for a run ----

// IOCTL_CDROM_EXCLUSIVE_ACCESS, and the lock request it takes.
inline constexpr DWORD IoctlCdromExclusiveAccess = 0x0002C05C;
inline constexpr ULONG ExclusiveAccessLockDevice = 1;
struct CdromExclusiveLock {
    ULONG requestType;
    ULONG flags;  // 0: the caller has dismounted the file system
    UCHAR callerName[64];
};
static_assert(sizeof(CdromExclusiveLock) == 72);
// IOCTL_STORAGE_MCN_CONTROL: its one-byte input TRUE switches the class
// driver's media-change polling off for as long as the handle that sent it
// stays open. The handle must be opened for its attributes only.
inline constexpr DWORD IoctlStorageMcnControl = 0x002D0944;

// What a hold on a drive came to.
enum class Hold {
    Refused,     // in use elsewhere: nothing is held
    Exclusive,   // volume locked and dismounted, then the class driver's exclusive lock
    VolumeOnly,  // volume locked and dismounted; the system has no exclusive lock
};
// Takes the hold on an open drive in the order the class driver needs: the
// volume locked, then dismounted, then the exclusive lock (which is refused
// while a file system is mounted). Through systemCalls().deviceIoControl; the
// reason is set unless the hold is Exclusive.
Hold holdDrive(HANDLE device, std::string& reason);

// What the drive's adapter can carry (IOCTL_STORAGE_QUERY_PROPERTY,
// StorageAdapterProperty): a data buffer must be aligned to alignmentMask + 1
// bytes, and a transfer may not be longer than maximumTransfer.
struct AdapterLimits {
    std::uint32_t alignmentMask = 0;
    std::uint32_t maximumTransfer = 0xFFFFFFFF;
};
// Asks the adapter once; the defaults above where it does not say.
AdapterLimits queryAdapterLimits(HANDLE device);

// Windows errors of a failed control call that mean the port driver gave up
// waiting for the drive (and may have reset it): a time-out, not a transport
// failure to be sent again.
bool isTimeoutError(DWORD error);

// ---- the system calls that loading, start-up and restart rest on ----

// The host calls these through pointers so that tests can record what it asks
// of the system (and of the drivers: opening, holding and closing a drive). optionalKernelEntry
// looks up a KERNEL32 function that older systems lack (0 when missing).
struct SystemCalls {
    BOOL(WINAPI* getVersionExA)(OSVERSIONINFOA*);
    UINT(WINAPI* getSystemDirectoryW)(LPWSTR, UINT);
    HMODULE(WINAPI* loadLibraryExW)(LPCWSTR, HANDLE, DWORD);
    FARPROC (*optionalKernelEntry)(const char* name);
    BOOL(WINAPI* openProcessToken)(HANDLE, DWORD, PHANDLE);
    BOOL(WINAPI* lookupPrivilegeValueA)(LPCSTR, LPCSTR, PLUID);
    BOOL(WINAPI* adjustTokenPrivileges)
    (HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD);
    DWORD(WINAPI* getLastError)();
    BOOL(WINAPI* initiateSystemShutdownExW)(LPWSTR, LPWSTR, DWORD, BOOL, BOOL, DWORD);
    HANDLE(WINAPI* createFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* deviceIoControl)
    (HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* closeHandle)(HANDLE);
};
// The calls in force (the system's own unless a test replaced them).
SystemCalls& systemCalls();
SystemCalls realSystemCalls();

// Takes the current directory (and, where the system allows, the program's
// own folder) out of the places this process loads libraries from. Each
// program calls it first thing; systems without the calls keep their order.
void restrictLibrarySearch();

// The full path of a library in the system directory, for example
// C:\WINDOWS\system32\WNASPI32.DLL; empty when that directory cannot be read.
std::wstring systemLibraryPath(std::string_view name);

// A standard stream (0 input, 1 output, 2 error) is a console only when the
// console answers for it: a file, a pipe or the NUL device is not.
bool standardStreamIsConsole(int stream);

// The system's text for an error code, as UTF-8, without the final full stop
// and line end.
std::string systemErrorText(DWORD error);

// One line on standard error, "WHAT failed: Windows error CODE: TEXT": written
// as wide text to a console, as UTF-8 elsewhere.
void writeCauseLine(std::string_view what, DWORD error);

// ---- the ASPI manager ----

// SC_ABORT_SRB and its request: the header, then the block to abort.
inline constexpr std::uint8_t ScAbortSrb = 0x03;
inline constexpr std::size_t AbortToAbort = 8;
inline constexpr std::size_t AbortSize = 8 + sizeof(void*);

// What GetSystemPowerStatus reports, as the program counts it: ACLineStatus 0
// is the battery alone, 1 external power, 255 (and anything else) unknown,
// which counts as external power; BatteryFlag 128 is no battery, 255 unknown;
// BatteryLifePercent 255 is not reported.
PowerState powerStateFrom(const SYSTEM_POWER_STATUS& status);

class WindowsHost final : public Host {
  public:
    WindowsHost();
    ~WindowsHost() override;
    WindowsHost(const WindowsHost&) = delete;
    WindowsHost& operator=(const WindowsHost&) = delete;

    bool isNtFamily() override;
    bool queryPerformanceFrequency(std::int64_t& frequency) override;
    std::int64_t queryPerformanceCounter() override;
    void sleepMs(std::uint32_t milliseconds) override;

    std::string logicalDriveStrings() override;
    DriveType driveType(std::string_view root) override;
    std::string deviceNameForRoot(std::string_view root) override;
    std::string rootLabel(std::string_view root) override;
    DeviceHandle openDevice(std::string_view deviceName) override;
    void closeDevice(DeviceHandle device) override;
    bool queryScsiAddress(DeviceHandle device, ScsiAddress& address) override;
    bool passThroughDirect(DeviceHandle device, std::span<std::uint8_t, PassThroughBlockSize> block,
                           void* dataBuffer) override;

    AspiModule loadLibrary(std::string_view name) override;
    AspiProc getProcAddress(AspiModule module, std::string_view name) override;
    void freeLibrary(AspiModule module) override;
    std::uint32_t aspiSupportInfo(AspiProc supportInfo) override;
    std::uint32_t aspiSendCommand(AspiProc sendCommand, std::span<std::uint8_t> request,
                                  void* dataBuffer) override;
    bool aspiRequestEnded(std::span<std::uint8_t> request, bool giveUp) override;
    EventHandle createEvent() override;
    bool waitEvent(EventHandle event, std::uint32_t milliseconds) override;
    void closeEvent(EventHandle event) override;

    void systemMessageBox(std::string_view text, std::string_view caption) override;
    // Restarts through InitiateSystemShutdownExW (the shutdown privilege
    // enabled first); a refusal is one cause line on stderr.
    bool restartSystem(bool ntFamily) override;
    // Once per open handle: the class driver's media-change polling paused
    // (a second handle, for attributes only), then holdDrive. Everything ends
    // when the handle is closed. Refused: false, after one line on stderr; a
    // hold without the exclusive lock or without the pause is said there too.
    // The adapter's limits are read then, for the transfers that follow.
    bool claimDevice(DeviceHandle device) override;
    // While an update runs: the system kept from idle sleep (the calling
    // thread's execution state), suspends refused where the system asks and
    // otherwise stopping the run (RunGuardWindow); in a console program the
    // console window's Close taken out of its system menu and the session's
    // end refused by the hidden window (the window program's own window
    // refuses it there).
    bool inhibitShutdown() override;
    void releaseShutdownInhibit() override;
    // The calling thread's last failed pass-through ended by a time-out of
    // the port driver or the system (isTimeoutError).
    bool lastCommandTimedOut() override { return lastCommandTimedOut_; }
    // The console's Ctrl+C and Ctrl+Break (as SIGINT) and its closing (as
    // SIGHUP) reach `deliver` on the thread the system starts for them.
    bool watchStopSignals(void (*deliver)(int signal)) override;
    int collate(std::string_view a, std::string_view b) override;
    // GetSystemPowerStatus, looked up at run time (powerStateFrom).
    PowerState powerState() override;

    // Where the plain system message boxes go: the system's message box,
    // unless the program hands them to its own toolkit. The sink is called
    // only on the thread that created the host; messages raised on other
    // threads while a sink is set go to stderr.
    using MessageSink = std::function<void(std::string_view text, std::string_view caption)>;
    void setMessageSink(MessageSink sink) { messageSink_ = std::move(sink); }

    // A console program says on standard error why a device could not be
    // opened or a pass-through call failed (one line each, with the Windows
    // error); the window program keeps to its fixed texts.
    void setCauseLines(bool on) { causeLines_ = on; }
    // A program without a window of its own (see inhibitShutdown).
    void setConsoleProgram(bool on) { consoleProgram_ = on; }
    // The hidden window while an update runs or after one; null before. For tests.
    HWND guardWindow() const { return guard_ ? guard_->handle() : nullptr; }

    // Request blocks handed to the manager and not yet given back (an aborted
    // request the manager has not finished counts); the transfer buffer the
    // manager was given with a block. For tests.
    std::size_t aspiRequestsOutstanding();
    void* aspiTransferBuffer(const std::uint8_t* managerBlock);

  private:
    // One execute request as the manager sees it.
    struct AspiSlot {
        std::array<std::uint8_t, 80> block{};  // the manager's request block
        std::vector<std::uint8_t> data;        // the manager's transfer buffer
        std::span<std::uint8_t> owner;         // the drive object's block
        void* ownerData = nullptr;             // the drive object's buffer
        std::uint32_t length = 0;
        AspiProc send = 0;          // the manager's SendASPI32Command
        HANDLE event = nullptr;     // the completion event, when one was used
        HMODULE manager = nullptr;  // held while the manager keeps an aborted request
        bool busy = false;          // with the manager or awaiting its result
        bool abandoned = false;     // aborted after an expired wait
        bool closeEvent = false;    // the owner closed the event while abandoned
        bool abortGoing = false;    // its abort is being sent: not reclaimed meanwhile
    };
    // An open drive: its name, and once claimed its hold.
    struct OpenDrive {
        std::string name;
        bool held = false;
        HANDLE polling = INVALID_HANDLE_VALUE;  // the handle that paused media-change polling
        AdapterLimits limits;
    };

    AspiSlot& takeSlot();
    void reclaimFinished();
    void giveBack(AspiSlot& slot);
    // Marks an expired request abandoned and fills its abort request, which
    // the caller sends with the lock released (then calls abortSent).
    void abandon(AspiSlot& slot, std::array<std::uint8_t, AbortSize>& abort);
    void sendAbort(std::unique_lock<std::mutex>& lock, AspiSlot& slot);
    void reportCause(DeviceHandle device, std::string_view what, DWORD error);

    MessageSink messageSink_;
    bool causeLines_ = false;
    bool consoleProgram_ = false;
    std::unique_ptr<RunGuardWindow> guard_;  // on the inhibiting thread
    static thread_local bool lastCommandTimedOut_;
    std::thread::id ownerThread_ = std::this_thread::get_id();
    std::mutex mutex_;  // guards the fields below
    std::set<std::string> openFailuresReported_;
    std::map<DeviceHandle, OpenDrive> drives_;
    std::set<std::pair<std::string, DWORD>> causesReported_;
    std::list<AspiSlot> slots_;  // stable addresses: the manager holds pointers into them
};

}  // namespace zorbel::winhost
