// The Linux host: optical drives found through sysfs, commands through SG_IO.
//
// "Drive letters" are the optical block nodes: the root "sr0" stands for
// /dev/sr0 and is shown as "sr0" in the drive list. A root is at most three
// characters (the drive table keeps four bytes with the terminating zero):
// sr0 to sr9 keep their name, sr10 to sr99 are written "s10" to "s99" and
// shown by their full name; drives from sr100 on are not listed.
//
// A drive is opened through its SCSI generic node /dev/sgN (read and write)
// when it has one, else through /dev/srN. The kernel passes WRITE BUFFER and
// vendor commands on /dev/srN only to a process with CAP_SYS_RAWIO, while
// /dev/sgN opened for reading and writing passes them for everyone allowed to
// open it, so the generic node lets a member of the drive's group update it.
//
// The sysfs and /dev roots and the SG_IO call itself are injectable, so the
// mapping can be checked against a fake tree without a device.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/Host.h"

namespace zorbel::linuxhost {

// One optical drive as sysfs describes it.
struct OpticalDrive {
    int index = 0;       // N of /dev/srN
    std::string srName;  // "sr0"
    std::string sgName;  // "sg1"; empty when the drive has no generic node
    bool hasAddress = false;
    int host = 0;  // host:channel:target:lun of its SCSI device
    int channel = 0;
    int target = 0;
    int lun = 0;
};

// Every optical drive (SCSI peripheral type 5 with an srN node) under the
// sysfs root, ordered by N. Drives listed only under block/ keep no address
// when their device link does not name one.
std::vector<OpticalDrive> findOpticalDrives(const std::filesystem::path& sysRoot);
// The drive behind the block node name ("sr3"), read afresh; none when sysfs
// does not show it as an optical drive.
std::optional<OpticalDrive> findOpticalDrive(const std::filesystem::path& sysRoot,
                                             std::string_view srName);
// Parses "H:C:T:L"; false for anything else.
bool parseScsiName(std::string_view name, int& host, int& channel, int& target, int& lun);

// Root names: "sr0".."sr9", "s10".."s99" for N; empty above 99.
std::string rootForIndex(int index);
// N for a root of that form; -1 for anything else.
int indexForRoot(std::string_view root);

// The power supplies under sysRoot/class/power_supply, read as the init
// system's on_ac_power reads them: any supply that is not a battery (mains,
// USB, UPS, wireless) and is online means external power; a battery counts
// only while its status is Discharging; supplies of a device (scope Device:
// a mouse's battery) do not count. No battery, or nothing readable: Unknown,
// which counts as external power.
PowerState readPowerSupplies(const std::filesystem::path& sysRoot);

// ---- the request block mapped onto SG_IO ----

// How one pass-through request ended, as the drive object must see it.
enum class Outcome {
    Completed,  // delivered and ended; the block's sense area tells how (key 0: good)
    Failed,     // not delivered or aborted: ioctl failure, host or driver error, time-out
};

// Fills an sg_io_hdr from the 80-byte request block: direction, length and
// buffer, the 12-byte packet, the time-out (TimeOutValue seconds in
// milliseconds, clamped to what the field holds; 0 leaves the kernel's
// default), a sense buffer of SenseInfoLength bytes (at most the block's sense
// area). False when the block asks for something SG_IO cannot carry: a data
// phase without a buffer, an unknown direction, an oversized packet or sense
// area outside the block.
bool buildSgRequest(std::span<const std::uint8_t, PassThroughBlockSize> block, void* dataBuffer,
                    sg_io_hdr& hdr, std::span<std::uint8_t> senseBuffer);

// Classifies a finished SG_IO call (ioctlResult as the ioctl returned it) and
// writes the sense data into the block's sense area (descriptor-format sense
// is converted to the fixed format the drive object reads), the SCSI status
// into ScsiStatus and the bytes moved (the length less the kernel's residual)
// into DataTransferLength. A CHECK CONDITION or other non-good status that came without
// sense data counts as Failed: the drive did not complete the command, and
// the drive object must not read it as success.
Outcome classifySgResult(int ioctlResult, const sg_io_hdr& hdr,
                         std::span<const std::uint8_t> senseBuffer,
                         std::span<std::uint8_t, PassThroughBlockSize> block);

// The one SG_IO call; the default issues ioctl(fd, SG_IO, &hdr) and returns
// its result (errno set on failure).
using SgIoCall = std::function<int(int fd, sg_io_hdr& hdr)>;

// The texts shown when no optical drive can be opened, and when a drive can
// be opened only through its block node by a process that lacks CAP_SYS_RAWIO.
std::string openFailureText(const OpticalDrive& drive, const std::string& triedNode, int error,
                            const std::string& groupName);
std::string rawioMissingText(const OpticalDrive& drive);

// How this process can open one drive, found by opening and closing its nodes
// read-write without sending anything.
struct DriveAccess {
    std::string genericNode;  // "/dev/sg0"; empty when the drive has none
    int genericError = 0;     // errno of opening it; 0 when it opened
    std::string blockNode;    // "/dev/sr0"
    int blockError = 0;
    bool rawIo = false;  // the process may send every command through the block node
    std::string group;   // the group of the node a member of which may open it
    // The drive lock another of our programs holds for an update; nothing
    // else was tried then (no node opened).
    std::string heldLock;
    // The node a firmware update would go through; empty when none would do.
    std::string usableNode() const;
};

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread. A program whose
// threads may send commands calls it first thing in main, before any thread
// exists (its toolkit's too), so that every thread inherits the mask and the
// signals reach only the host's watcher (LinuxHost::watchStopSignals).
void blockStopSignals();

class LinuxHost final : public Host {
  public:
    explicit LinuxHost(std::filesystem::path sysRoot = "/sys",
                       std::filesystem::path devRoot = "/dev", SgIoCall sgIo = {});
    ~LinuxHost() override;
    LinuxHost(const LinuxHost&) = delete;
    LinuxHost& operator=(const LinuxHost&) = delete;

    bool isNtFamily() override { return true; }
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

    AspiModule loadLibrary(std::string_view) override { return 0; }
    AspiProc getProcAddress(AspiModule, std::string_view) override { return 0; }
    void freeLibrary(AspiModule) override {}
    std::uint32_t aspiSupportInfo(AspiProc) override;
    std::uint32_t aspiSendCommand(AspiProc, std::span<std::uint8_t> request, void*) override;
    EventHandle createEvent() override { return 0; }
    bool waitEvent(EventHandle, std::uint32_t) override { return false; }
    void closeEvent(EventHandle) override {}

    // SIGINT, SIGTERM and SIGHUP reach `deliver` on a thread of the host's
    // own, which takes them with sigwaitinfo: they are blocked in every other
    // thread (see blockStopSignals) and no handler is installed, so none ever
    // interrupts a command in flight. SIGPIPE is ignored, so a closed standard
    // output makes writes fail instead.
    bool watchStopSignals(void (*deliver)(int signal)) override;
    // Waits until standard input can be read; false at once when a
    // termination signal has been taken, whether before or meanwhile.
    bool waitForConsoleInput() override;

    // A block-mode inhibitor lock of the login manager on shutdown, sleep,
    // idle, the power, suspend and hibernate keys and the lid switch, held by
    // the system's systemd-inhibit, which runs a child that waits for the end
    // of a pipe only this process writes to: the lock ends when it is
    // released, the host is destroyed or the process ends, however it ends.
    // No library is loaded (the static program has no loader for one).
    // Without the program or the manager's consent: one line on stderr, the
    // first time only.
    bool inhibitShutdown() override;
    void releaseShutdownInhibit() override;
    // The program that holds the lock ("/usr/bin/systemd-inhibit").
    void setInhibitProgram(std::string path) { inhibitProgram_ = std::move(path); }

    // readPowerSupplies under the host's sysfs root.
    PowerState powerState() override;

    void systemMessageBox(std::string_view text, std::string_view caption) override;
    bool restartSystem(bool ntFamily) override;
    int collate(std::string_view a, std::string_view b) override { return plainCollate(a, b); }

    // Opens and closes the drive's generic and block nodes to see which open;
    // none while another of our programs updates it (heldLock).
    DriveAccess accessOf(const OpticalDrive& drive);
    // The node a handle was opened on ("/dev/sg0"); empty for an unknown handle.
    std::string openedNode(DeviceHandle device) const;
    // Where the plain system message boxes go: stderr, unless the program
    // hands them to its window toolkit. The sink is called only on the thread
    // that created the host (the window's thread); messages raised on other
    // threads go to stderr.
    using MessageSink = std::function<void(std::string_view text, std::string_view caption)>;
    void setMessageSink(MessageSink sink) { messageSink_ = std::move(sink); }
    // Whether the process may send every command through a block node.
    void setRawIoCapability(std::optional<bool> capable) { rawIoOverride_ = capable; }

    // The drive is held for a run by opening its block node exclusively
    // (O_EXCL): the kernel refuses with EBUSY while a file system is mounted
    // from it or another program holds it so. A handle on the generic node is
    // opened afresh with O_EXCL in the same descriptor: refused while anyone
    // else has the node open, and every later opener is kept out. Meanwhile
    // the kernel's media polling of the drive is paused where the process may
    // write /sys/block/srN/events_poll_msecs; all of it ends when the device
    // is closed or the host destroyed. A drive sysfs did not describe when it
    // was opened cannot be held: false, as for a refusal.
    bool claimDevice(DeviceHandle device) override;
    //
    // Our own programs keep out of each other's way by an advisory lock per
    // drive: the file zorbel-srN.lock in /run/lock (/tmp where that folder is
    // missing), locked with flock(2) before the first command: shared while a
    // handle on the drive is open, exclusive from claimDevice on. A drive
    // whose lock another process holds exclusively (an update) is not opened
    // at all: openDevice fails after one line on stderr, and nothing reaches
    // the drive; a claim while another process has the drive open is refused.
    //
    // The media polling interval is put back by a guardian process too (one
    // per paused drive, forked at the claim, waiting on a pipe only this
    // process writes to), so it comes back when the program is killed or
    // crashes. Where the pause is refused (not root), one line on stderr says
    // so, the first time only.
    // The exclusive opens (node, open flags with O_EXCL); the default is
    // open(2). Returns the descriptor, or -1 with errno set.
    using ExclusiveOpen = std::function<int(const std::filesystem::path& node, int flags)>;
    void setExclusiveOpen(ExclusiveOpen open) { exclusiveOpen_ = std::move(open); }
    // Where the drive locks are (default: /run/lock, or /tmp without it; a
    // host on another /dev tree keeps them in that tree), and the program
    // named in the lines about them ("zorbel").
    void setLockDirectory(std::filesystem::path folder) { lockFolder_ = std::move(folder); }
    void setProgramName(std::string name) { programName_ = std::move(name); }

  private:
    struct OpenDrive {
        std::string node;                   // the node opened
        bool viaGeneric = false;            // /dev/sgN rather than /dev/srN
        std::optional<OpticalDrive> drive;  // sysfs view at open time
        bool committed = false;             // a firmware commit completed on this handle
        int claim = -1;  // the block node held exclusively for a run (the handle, when
                         // on the generic node, is then an exclusive open of it too)
        std::optional<std::string> pollMs;  // media polling interval to restore
        int guardianPipe = -1;              // the polling guardian's pipe; -1: none
        int guardianPid = -1;
        std::string lockName;  // the drive lock this handle counts in ("sr1"); empty: none
    };
    // One drive lock of this process, shared by its handles on the drive.
    struct DriveLock {
        int fd = -1;  // -1: the lock file could not be opened; the drive goes unlocked
        int users = 0;
        bool exclusive = false;
    };

    // Counts a handle in the drive's lock (taking it shared first). False,
    // after one line on stderr, when another process holds it exclusively.
    bool lockDrive(const std::string& srName);
    void unlockDrive(const std::string& srName);
    // Makes the lock exclusive; false while another process holds it at all.
    bool lockDriveExclusive(const std::string& srName);
    std::filesystem::path lockFile(const std::string& srName) const;

    int sendSgIo(int fd, sg_io_hdr& hdr);
    void releaseTrayLock(int fd, const OpenDrive& open);
    void rescan(const OpticalDrive& drive);
    // Ends a run's hold: the polling interval back, the exclusive node closed.
    void release(OpenDrive& open);
    bool hasRawIo() const;
    void reportAccessProblems(const std::vector<OpticalDrive>& drives);
    std::string groupNameOf(const std::filesystem::path& node) const;
    int openNode(const std::filesystem::path& node, int& error) const;
    int exclusiveOpen(const std::filesystem::path& node, int flags) const;

    std::filesystem::path sysRoot_;
    std::filesystem::path devRoot_;
    SgIoCall sgIo_;
    MessageSink messageSink_;
    std::thread::id ownerThread_ = std::this_thread::get_id();
    std::optional<bool> rawIoOverride_;
    ExclusiveOpen exclusiveOpen_;
    std::mutex listMutex_;              // guards listed_ and accessReported_
    std::vector<OpticalDrive> listed_;  // the drives of the last root list
    bool accessReported_ = false;
    bool rawIoRefusalReported_ = false;
    mutable std::mutex mutex_;  // guards open_ and rawIoRefusalReported_
    std::map<int, OpenDrive> open_;
    std::string inhibitProgram_ = "/usr/bin/systemd-inhibit";
    int inhibitPid_ = -1;   // systemd-inhibit holding the lock
    int inhibitPipe_ = -1;  // its child's input; closing it ends the lock
    bool inhibitRefusalReported_ = false;
    std::filesystem::path lockFolder_;
    std::string programName_ = "zorbel";
    std::map<std::string, DriveLock> locks_;  // by block node name; guarded by mutex_
    std::set<std::string> heldReported_;      // drives whose lock was found held; by mutex_
    bool pollRefusalReported_ = false;        // guarded by mutex_
};

}  // namespace zorbel::linuxhost
