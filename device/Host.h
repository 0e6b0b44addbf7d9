// The host interface: the operating-system primitives the drive object and the
// window rest on, and nothing higher. AtapiDevice and everything above it reach
// the operating system only through the process-wide current host.
//
// Back ends: device/host_linux.cpp (the real Linux host),
// device/host_windows.cpp (the real Windows host), sim/SimHost (the simulated
// computer). Each back end lives in its own file; shared code never
// branches on the platform.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zorbel {

// Drive types as the platform reports them for a root.
enum class DriveType : std::uint32_t {
    Unknown = 0,
    NoRootDir = 1,
    Removable = 2,
    Fixed = 3,
    Remote = 4,
    Cdrom = 5,
    RamDisk = 6,
};

// An open device; InvalidDevice means none.
using DeviceHandle = std::intptr_t;
inline constexpr DeviceHandle InvalidDevice = -1;

// An ASPI library module; 0 means none loaded.
using AspiModule = std::uintptr_t;
// An entry point of a loaded ASPI library; 0 means missing.
using AspiProc = std::uintptr_t;
// A completion event of an ASPI request; 0 means none could be created.
using EventHandle = std::uint32_t;

// The SCSI address a device reports (IOCTL_SCSI_GET_ADDRESS): Length is the
// size the platform filled in, 0 when it returned no address.
struct ScsiAddress {
    std::uint32_t length = 0;
    std::uint8_t portNumber = 0;
    std::uint8_t pathId = 0;
    std::uint8_t targetId = 0;
    std::uint8_t lun = 0;
};

// Where the computer's power comes from, as the platform reports it.
enum class PowerSource : std::uint8_t {
    External,  // mains, a USB supply, a UPS
    Battery,   // a battery alone, discharging
    Unknown,   // nothing readable; counts as external power
};
struct PowerState {
    PowerSource source = PowerSource::Unknown;
    bool batteryPresent = false;
    int batteryPercent = -1;  // 0-100; -1 when not reported
};

// Size of the pass-through request block and of the ASPI execute request.
inline constexpr std::size_t PassThroughBlockSize = 80;
inline constexpr std::size_t AspiExecRequestSize = 80;

class Host {
  public:
    virtual ~Host() = default;

    // ---- platform facts and time ----
    // True when the platform belongs to the NT family (pass-through available).
    virtual bool isNtFamily() = 0;
    // Counts per second of the high-resolution counter; false when there is none.
    virtual bool queryPerformanceFrequency(std::int64_t& frequency) = 0;
    // Current value of the high-resolution counter (monotonic).
    virtual std::int64_t queryPerformanceCounter() = 0;
    // Blocks the calling thread for the given milliseconds.
    virtual void sleepMs(std::uint32_t milliseconds) = 0;

    // ---- drive letters and devices ----
    // The root list: zero-terminated root strings ended by an empty string
    // (for example "C:\\\0D:\\\0\0"). Empty when there is nothing to list.
    virtual std::string logicalDriveStrings() = 0;
    // The drive type of one root of that list.
    virtual DriveType driveType(std::string_view root) = 0;
    // The device name the drive behind a root is opened by ("\\\\.\\D:" on
    // Windows and in the simulation, "/dev/sr0" on Linux).
    virtual std::string deviceNameForRoot(std::string_view root) = 0;
    // What the drive list shows for a root in its drive-letter column: the drive
    // letter and colon, or the short node name on Linux. Empty root: empty.
    virtual std::string rootLabel(std::string_view root) = 0;
    // Opens a device for reading and writing, shared; InvalidDevice on failure.
    virtual DeviceHandle openDevice(std::string_view deviceName) = 0;
    virtual void closeDevice(DeviceHandle device) = 0;
    // IOCTL_SCSI_GET_ADDRESS. False when the control call failed; true with the
    // address (whose length may be 0) otherwise.
    virtual bool queryScsiAddress(DeviceHandle device, ScsiAddress& address) = 0;
    // IOCTL_SCSI_PASS_THROUGH_DIRECT. The block is the 80-byte request as the
    // drive object lays it out (also the output: the sense area at byte 48 is
    // filled by the platform). Pointers do not fit the 32-bit DataBuffer field
    // on a 64-bit host, so the data buffer travels beside the block; the block's
    // field holds 0 exactly when dataBuffer is null. True when the platform
    // delivered the command and it ended (with or without sense data); false
    // when the call failed (bad handle, host or driver error, time-out).
    // After a delivered command the platform has written the drive's status
    // byte into the block's ScsiStatus and the number of bytes the data phase
    // really moved into DataTransferLength: a drive may answer a data-in
    // command with fewer bytes than asked, and the rest of the buffer is then
    // no part of its answer.
    virtual bool passThroughDirect(DeviceHandle device,
                                   std::span<std::uint8_t, PassThroughBlockSize> block,
                                   void* dataBuffer) = 0;
    // True when the calling thread's last passThroughDirect that answered
    // false failed because the platform stopped waiting for the drive (its
    // own time-out), whatever the stopwatch says.
    virtual bool lastCommandTimedOut() { return false; }
    // True when a command handed to the platform holds the calling thread for
    // as long as the drive takes to answer (every real platform); false for a
    // simulated computer on its virtual clock, whose drives answer at once.
    virtual bool commandsTakeRealTime() { return true; }
    // Holds an open device for this process alone while a run programs it.
    // False, after one line on standard error that names the drive and the
    // reason, when the drive is in use elsewhere (a mounted disc, another
    // program holding it): the run must then send it nothing. Closing the
    // device releases the hold; a handle that holds its drive already is not
    // claimed again. Platforms without such a hold answer true.
    virtual bool claimDevice(DeviceHandle device) {
        static_cast<void>(device);
        return true;
    }

    // ---- the program's lifetime ----
    // Watches for the termination signals (interrupt, terminate, hang-up) and
    // hands each to `deliver` on a thread of its own, never inside a signal
    // handler; from then on a broken pipe no longer ends the program either.
    // Call once. False when the platform has no such watch (the signals then
    // keep their default effect).
    virtual bool watchStopSignals(void (*deliver)(int signal)) {
        static_cast<void>(deliver);
        return false;
    }

    // Waits until the console's input can be read without waiting. False
    // when a termination signal came first: a prompt then gives up at once
    // instead of waiting for a line. Hosts that cannot tell answer true.
    virtual bool waitForConsoleInput() { return true; }

    // Asks the system to hold off shutdown, restart and sleep until
    // releaseShutdownInhibit (an update runs). Where it cannot be asked, says
    // so once on standard error and answers false; the update goes on.
    virtual bool inhibitShutdown() { return false; }
    virtual void releaseShutdownInhibit() {}

    // Where the computer's power comes from now; read afresh at every call,
    // from any thread. Platforms that cannot tell answer Unknown.
    virtual PowerState powerState() { return {}; }

    // ---- the ASPI manager ----
    virtual AspiModule loadLibrary(std::string_view name) = 0;
    virtual AspiProc getProcAddress(AspiModule module, std::string_view name) = 0;
    virtual void freeLibrary(AspiModule module) = 0;
    // GetASPI32SupportInfo: status in bits 8-15, host adapter count in bits 0-7.
    virtual std::uint32_t aspiSupportInfo(AspiProc supportInfo) = 0;
    // SendASPI32Command on a request block of any kind (SRB_HAInquiry 60 bytes,
    // SRB_GDEVBlock 12, bus rescan 8, SRB_ExecSCSICmd 80). For an execute
    // request the data buffer travels beside the block as for pass-through,
    // and the event (when SRB_EVENT_NOTIFY is set) is the 32-bit value at
    // SRB_PostProc (byte 24). The manager updates SRB_Status and the sense area
    // in the block.
    virtual std::uint32_t aspiSendCommand(AspiProc sendCommand, std::span<std::uint8_t> request,
                                          void* dataBuffer) = 0;
    // Follows an execute request sent without an event (none could be
    // created): true once the request has ended and its results are in the
    // block. With giveUp the caller stops waiting: a request still running is
    // aborted and left to the manager. Hosts whose manager works in the
    // caller's own block need only its status.
    virtual bool aspiRequestEnded(std::span<std::uint8_t> request, bool giveUp);
    // Unnamed manual-reset event, initially not signalled; 0 on failure.
    virtual EventHandle createEvent() = 0;
    // Waits up to the given milliseconds; true when the event was signalled.
    virtual bool waitEvent(EventHandle event, std::uint32_t milliseconds) = 0;
    virtual void closeEvent(EventHandle event) = 0;

    // ---- user interface and system ----
    // The plain system message box: no owner window, error icon, OK.
    virtual void systemMessageBox(std::string_view text, std::string_view caption) = 0;
    // Asks the system to restart cleanly, closing applications. On the NT family
    // the shutdown privilege is enabled first. True when the request was accepted.
    virtual bool restartSystem(bool ntFamily) = 0;
    // Compares two identity or revision texts with the user's collation,
    // case-sensitive; only the sign counts.
    virtual int collate(std::string_view a, std::string_view b) = 0;
};

// The process-wide current host. Set once by the program's entry (the real
// host) or by a test or zorbel-sim (the simulated host) before any drive
// object exists. currentHost() requires one to be set.
Host& currentHost();
void setCurrentHost(Host* host);
// True when a current host is installed (currentHost() may then be called).
bool hasCurrentHost();

// Plain character order for identity and revision texts: blanks before digits,
// digits before capital letters, a text before every longer text that begins
// with it. Back ends without a locale collation use this.
int plainCollate(std::string_view a, std::string_view b);

}  // namespace zorbel
