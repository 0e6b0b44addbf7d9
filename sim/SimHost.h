// The simulated computer behind the host interface: a virtual operating
// system (9x or NT family, drive letters with drive types, device opens, the
// SCSI address query, pass-through), a virtual ASPI manager (library, entry
// points, support info, host adapters with devices, request blocks completed
// through the event or by status polling), the virtual clock and the drives.
//
// Build a ComputerSpec in code or load it from a scenario file (Scenario.h),
// construct a SimHost from it and install it for a scope with ScopedHost (or
// let InstalledComputer do both). Then run the program's code and inspect
// what the drives and the operating system saw.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/Host.h"
#include "sim/SimDrive.h"
#include "sim/VirtualClock.h"

namespace zorbel::sim {

class CommandTrace;

enum class Platform { Win9x, Nt };

// How a drive letter answers the SCSI address query.
enum class AddressQuery {
    Address,     // succeeds with the address below
    Fails,       // the control call fails (the drive is still listed)
    LengthZero,  // succeeds with Length 0 (the drive is not listed)
};

// Another drive that takes a place (a drive letter or an ASPI device) once
// `afterCommands` commands have reached the drive there, as when a drive is
// unplugged and another one is given its letter or address.
struct Replacement {
    std::string drive{};  // id of the SimDrive that answers from then on
    std::uint64_t afterCommands = 0;
};

// One root of the drive-letter list.
struct LetterSpec {
    std::string root{};  // "E:\\"
    zorbel::DriveType type = zorbel::DriveType::Cdrom;
    std::string drive{};  // id of the SimDrive behind it; empty: none (a hard disk, say)
    bool openFails = false;
    // Another program holds the drive (a mounted disc, a burner): opens
    // succeed, but a run's hold on it is refused.
    bool heldElsewhere = false;
    AddressQuery addressQuery = AddressQuery::Address;
    ScsiAddress address{8, 0, 0, 0, 0};  // length is set to 8 when answered
    std::optional<Replacement> replacement{};
    // Non-empty ("G:\\"): the drive re-enumerates after a commit through this
    // root. The root is gone at once (not listed, its handles and opens fail)
    // and the same drive answers at this root, with the same address.
    std::string movesAfterCommit{};
};

// A device on an ASPI host adapter.
struct AspiDeviceSpec {
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::uint8_t type = 5;  // peripheral device type; 5 = CD-ROM
    std::string drive{};    // id of the SimDrive behind it; empty: none answers commands
    std::optional<Replacement> replacement{};
};

struct AdapterSpec {
    std::uint8_t scsiId = 7;
    std::string identifier = "SIM ATAPI";
    std::uint8_t inquiryStatus = 0x01;  // SRB_Status of SC_HA_INQUIRY for this adapter
    std::vector<AspiDeviceSpec> devices{};
};

// How SC_EXEC_SCSI_CMD completes when the request carries an event.
enum class AspiCompletion {
    Immediate,  // the command ends inside SendASPI32Command; the event is signalled
    OnWait,     // SRB_Status stays SS_PENDING until the caller waits on the event
};

struct AspiSpec {
    bool libraryPresent = false;
    bool supportInfoEntry = true;
    bool sendCommandEntry = true;
    std::uint8_t supportStatus = 0x01;  // SS_COMP; 0xE1, 0xE2, 0xE3 or any other
    bool eventCreationFails = false;
    AspiCompletion completion = AspiCompletion::Immediate;
    std::vector<AdapterSpec> adapters{};
};

// Where the simulated computer's power comes from.
struct PowerSpec {
    zorbel::PowerSource source = zorbel::PowerSource::External;
    bool batteryPresent = false;
    int batteryPercent = -1;  // -1: not reported
    // From this many commands sent to the computer's drives on, it runs on
    // its battery alone (the adapter pulled); none: never.
    std::optional<std::uint64_t> lostAfterCommands{};
};

// The whole computer.
struct ComputerSpec {
    Platform platform = Platform::Nt;
    ClockMode clock = ClockMode::Virtual;
    bool performanceCounter = true;
    bool restartAccepted = true;
    bool recordCommands = true;  // keep every command in SimDrive::commands()
    PowerSpec power{};
    AspiSpec aspi{};
    std::vector<LetterSpec> letters{};
    std::vector<DriveSpec> drives{};
    // What a scenario file says that the program will see otherwise than the
    // file may mean (two letters at one address are one drive), one line each.
    std::vector<std::string> warnings{};

    // Conveniences for building a computer in code. Each returns the new
    // element so that a test can adjust it further.
    DriveSpec& addDrive(std::string id);
    // A CD-ROM root attached to a drive (letter "E" gives root "E:\\").
    LetterSpec& addLetter(char letter, std::string driveId,
                          zorbel::DriveType type = zorbel::DriveType::Cdrom);
    // An adapter with the next host adapter number.
    AdapterSpec& addAdapter();
    // Checks that every drive id named by a letter or ASPI device exists, ids
    // are unique and roots well formed; throws std::invalid_argument otherwise.
    void validate() const;
};

// A message box the program showed.
struct MessageBoxRecord {
    std::string text{};
    std::string caption{};
};

// Counters of what the operating system was asked.
struct OsCounters {
    std::uint64_t opens = 0;  // successful opens
    std::uint64_t failedOpens = 0;
    std::uint64_t closes = 0;
    std::uint64_t openHandles = 0;    // opens not yet closed
    std::uint64_t invalidCloses = 0;  // closes of a handle that was not open
    std::uint64_t driveTypeQueries = 0;
    std::uint64_t emptyRootQueries = 0;  // drive type asked for an empty root
    std::uint64_t rejectedRequests = 0;  // malformed pass-through blocks and ASPI requests
    std::uint64_t addressQueries = 0;
    std::uint64_t passThroughCalls = 0;
    std::uint64_t libraryLoads = 0;  // successful loads of the ASPI library
    std::uint64_t libraryFrees = 0;
    std::uint64_t aspiRequests = 0;
    std::uint64_t eventsCreated = 0;
    std::uint64_t eventsClosed = 0;
    std::uint64_t eventWaits = 0;
    std::uint64_t sleeps = 0;
    std::uint64_t restartRequests = 0;
    std::uint64_t inhibits = 0;  // shutdown and sleep held off (an update began)
    std::uint64_t inhibitReleases = 0;
    std::uint64_t claims = 0;         // holds taken for a run
    std::uint64_t refusedClaims = 0;  // holds refused: held elsewhere, or another handle open
    // Commands that can change a drive (START STOP UNIT, PREVENT ALLOW MEDIUM
    // REMOVAL, WRITE BUFFER) that reached it through a handle holding no claim.
    std::uint64_t unheldChanges = 0;
};

class SimHost final : public zorbel::Host {
  public:
    explicit SimHost(ComputerSpec spec);
    ~SimHost() override;
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;

    // ---- inspection ----
    const ComputerSpec& spec() const { return spec_; }
    VirtualClock& clock() { return clock_; }
    std::size_t driveCount() const { return drives_.size(); }
    SimDrive& drive(std::size_t index);
    // The drive with the given scenario id; null when there is none.
    SimDrive* findDrive(std::string_view id);
    std::vector<MessageBoxRecord> messageBoxes() const;
    std::vector<bool> restartRequests() const;  // the ntFamily argument of each request
    OsCounters counters() const;
    std::uint64_t opensOf(std::string_view root) const;  // successful opens of one root

    // From the next command on, the drive `driveId` answers at `place` (a root
    // such as "E:" or an ASPI device "adapter-target-lun") instead of the drive
    // there now. Throws std::invalid_argument for an unknown place or drive.
    void replaceDrive(std::string_view place, std::string_view driveId);

    // Called on the calling thread before each pass-through command reaches a
    // drive (with its packet), and at each sleep (with its milliseconds): a
    // test acts at an exact point of a run, as a signal arriving there would.
    // Set them before the program runs; null: none.
    using CommandHook = std::function<void(std::span<const std::uint8_t> cdb)>;
    using SleepHook = std::function<void(std::uint32_t milliseconds)>;
    void setCommandHook(CommandHook hook) { commandHook_ = std::move(hook); }
    void setSleepHook(SleepHook hook) { sleepHook_ = std::move(hook); }

    // Replaces the computer's power from now on; lostAfterCommands then counts
    // the commands from this call. Any thread.
    void setPower(PowerSpec power);
    // Commands that have reached the computer's drives so far.
    std::uint64_t commandsSent() const { return commandsSent_.load(); }

    // The trace receives one line per command that reaches a drive; null: none.
    // The trace must outlive the host or be removed first.
    void setTrace(CommandTrace* trace);

    // ---- zorbel::Host ----
    bool isNtFamily() override;
    bool commandsTakeRealTime() override { return clock_.mode() == ClockMode::RealTime; }
    bool queryPerformanceFrequency(std::int64_t& frequency) override;
    std::int64_t queryPerformanceCounter() override;
    void sleepMs(std::uint32_t milliseconds) override;
    std::string logicalDriveStrings() override;
    zorbel::DriveType driveType(std::string_view root) override;
    std::string deviceNameForRoot(std::string_view root) override;
    std::string rootLabel(std::string_view root) override;
    zorbel::DeviceHandle openDevice(std::string_view deviceName) override;
    void closeDevice(zorbel::DeviceHandle device) override;
    bool queryScsiAddress(zorbel::DeviceHandle device, zorbel::ScsiAddress& address) override;
    bool passThroughDirect(zorbel::DeviceHandle device,
                           std::span<std::uint8_t, zorbel::PassThroughBlockSize> block,
                           void* dataBuffer) override;
    // A hold is refused (with a line on stderr) when the letter is held
    // elsewhere or another open handle reaches the same drive; while a handle
    // holds its drive, no other handle to that drive opens. Closing releases it.
    bool claimDevice(zorbel::DeviceHandle device) override;
    // Recorded in the counters; inhibited() tells whether one is in force.
    bool inhibitShutdown() override;
    void releaseShutdownInhibit() override;
    bool inhibited() const;
    zorbel::AspiModule loadLibrary(std::string_view name) override;
    zorbel::AspiProc getProcAddress(zorbel::AspiModule module, std::string_view name) override;
    void freeLibrary(zorbel::AspiModule module) override;
    std::uint32_t aspiSupportInfo(zorbel::AspiProc supportInfo) override;
    std::uint32_t aspiSendCommand(zorbel::AspiProc sendCommand, std::span<std::uint8_t> request,
                                  void* dataBuffer) override;
    zorbel::EventHandle createEvent() override;
    bool waitEvent(zorbel::EventHandle event, std::uint32_t milliseconds) override;
    void closeEvent(zorbel::EventHandle event) override;
    void systemMessageBox(std::string_view text, std::string_view caption) override;
    bool restartSystem(bool ntFamily) override;
    int collate(std::string_view a, std::string_view b) override;
    // The scenario's [power] table; the battery alone once lostAfterCommands
    // commands have reached the drives.
    zorbel::PowerState powerState() override;

  private:
    // What a drive letter and an ASPI device share: the drive there now, the
    // one that takes the place later, and the commands that reached it.
    struct Place {
        SimDrive* drive = nullptr;
        SimDrive* replacement = nullptr;
        std::uint64_t replaceAfter = 0;
        std::uint64_t commands = 0;
        // The drive that answers the next command, counting it (under the lock).
        SimDrive* nextDrive();
    };
    struct Letter : Place {
        LetterSpec spec;
        std::string name;  // "E:"
        std::uint64_t opens = 0;
        bool listed = true;                    // false: gone after a move, or not yet there
        std::optional<std::size_t> movesTo{};  // the letter it re-enumerates at
    };
    struct AspiTarget : Place {
        std::uint8_t adapter = 0;
        AspiDeviceSpec spec;
        std::string name;  // "ha-target-lun"
    };
    struct Event {
        bool open = true;
        bool signalled = false;
        // A request left pending until the wait (AspiCompletion::OnWait).
        std::uint8_t* request = nullptr;
        std::size_t requestSize = 0;
        void* data = nullptr;
        AspiTarget* target = nullptr;
        bool neverCompletes = false;  // a timed-out command the event waits for in vain
    };

    Letter* letterForRoot(std::string_view root);
    Letter* letterForHandle(zorbel::DeviceHandle device);
    // True when an open handle other than `except` reaches the drive (under the lock).
    bool driveOpenElsewhere(const SimDrive* drive, zorbel::DeviceHandle except,
                            bool claimedOnly) const;
    AspiTarget* aspiTarget(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun);
    std::uint8_t aspiInquiry(std::span<std::uint8_t> request);
    std::uint8_t aspiDeviceType(std::span<std::uint8_t> request);
    std::uint8_t aspiExecute(std::span<std::uint8_t> request, void* data);
    CommandResult runAspi(AspiTarget& target, std::span<std::uint8_t> request, void* data,
                          std::optional<std::uint32_t> timeoutSeconds);
    void completeAspi(std::span<std::uint8_t> request, const CommandResult& result);
    void trace(const std::string& name, std::span<const std::uint8_t> cdb, Direction direction,
               std::uint32_t length, const CommandResult& result);

    ComputerSpec spec_;
    VirtualClock clock_;
    std::vector<std::unique_ptr<SimDrive>> drives_{};
    std::vector<Letter> letters_{};
    std::vector<AspiTarget> aspiTargets_{};

    mutable std::mutex mutex_;        // guards everything below
    std::vector<Letter*> handles_{};  // index = handle - HandleBase; null when closed
    std::vector<bool> claimed_{};     // beside handles_: the handle holds its drive
    std::vector<Event> events_{};     // index = event - EventBase
    std::vector<std::size_t> freeEvents_{};
    std::vector<MessageBoxRecord> messageBoxes_{};
    std::vector<bool> restarts_{};
    OsCounters counters_;
    int libraryRefs_ = 0;
    std::atomic<CommandTrace*> trace_{nullptr};
    std::atomic<std::uint64_t> commandsSent_{0};  // commands that reached a drive
    PowerSpec power_;                             // under the lock
    std::uint64_t powerSince_ = 0;                // commandsSent_ when power_ was set
    CommandHook commandHook_;
    SleepHook sleepHook_;
};

// Installs a host as the process-wide current host for a scope; at its end
// no host is installed. Scopes do not nest.
class ScopedHost {
  public:
    explicit ScopedHost(zorbel::Host& host);
    ~ScopedHost();
    ScopedHost(const ScopedHost&) = delete;
    ScopedHost& operator=(const ScopedHost&) = delete;
};

// A simulated computer built from its description and installed as the current host
// for the object's life.
class InstalledComputer {
  public:
    explicit InstalledComputer(ComputerSpec spec);
    SimHost& host() { return *host_; }
    SimHost* operator->() { return host_.get(); }

  private:
    std::unique_ptr<SimHost> host_;
    ScopedHost scope_;
};

}  // namespace zorbel::sim
