// The drive object: the program's only channel to an optical drive.
//
// One plain class carries the command transport (AtapiDevice.cpp), the drive
// table with discovery and identification (Discovery.cpp), the drive command
// set (DriveCommands.cpp) and the flash profile upload (engine/FlashProfile.cpp).
// Two roles: the list object (constructed with discovery, owned by the window)
// and a run object (constructed without discovery, given a copy of the list
// object's table, used by one worker thread alone). No object is shared between
// threads, so there are no locks.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "device/DriveEntry.h"
#include "device/HiTimer.h"
#include "device/Host.h"
#include "device/OSInfo.h"

namespace zorbel {

// Data directions of ExecuteCommand.
inline constexpr std::uint8_t DirOut = 0;
inline constexpr std::uint8_t DirIn = 1;
inline constexpr std::uint8_t DirNone = 2;

inline constexpr std::size_t TransferBufferSize = 65536;
inline constexpr std::uint32_t DefaultCommandTimeout = 108000;  // seconds
// Each command of discovery: long enough for a drive spinning up behind a
// slow bridge, short enough that a drive that never answers cannot hold
// start-up.
inline constexpr std::uint32_t DiscoveryCommandTimeout = 10;  // seconds
inline constexpr std::int16_t NoDriveSelected = 127;
inline constexpr std::int16_t SelectionFailed = -1;
inline constexpr std::uint8_t FlashFailure = 42;

using Packet = std::array<std::uint8_t, 12>;

class AtapiDevice {
  public:
    explicit AtapiDevice(bool discover);
    ~AtapiDevice();
    AtapiDevice(const AtapiDevice&) = delete;
    AtapiDevice& operator=(const AtapiDevice&) = delete;

    // ---- transport ----
    // True only when the command was delivered, completed within CommandTimeout
    // with status GOOD and sense key 0. Data in lands in InBuffer, data out is
    // taken from OutBuffer. A transport failure in the flash phase is sent once more.
    bool ExecuteCommand(const Packet& packet, std::uint8_t direction, std::uint32_t length);
    // The same, but never sent a second time: for a command whose effect must
    // not happen twice (the commit). A lost reply leaves it failed.
    bool ExecuteCommandOnce(const Packet& packet, std::uint8_t direction, std::uint32_t length);
    bool SelectDrive(std::int16_t index);
    // Holds the selected drive for this object alone until CloseDrive (see
    // Host::claimDevice); false when it is in use elsewhere or none is open.
    // ASPI drives have no such hold and answer true.
    bool ClaimDrive();
    void CloseDrive();
    bool ProbeAspi();
    bool LoadAspi();
    void UnloadAspi();

    std::uint8_t LastSenseKey() const { return lastSenseKey_; }
    std::uint8_t LastAsc() const { return lastAsc_; }
    std::uint8_t LastAscq() const { return lastAscq_; }
    double LastDuration() const { return lastDuration_; }
    bool LastTimedOut() const { return lastTimedOut_ != 0; }
    // Bytes the data phase of the last command really moved (for data in: the
    // bytes of InBuffer, from byte 0, that hold the drive's answer); 0 when it
    // failed. A route that cannot tell counts the whole length asked for.
    std::uint32_t LastTransferLength() const { return lastTransferLength_; }

    void SetCommandTimeout(std::uint32_t seconds) { commandTimeout_ = seconds; }
    std::uint32_t CommandTimeout() const { return commandTimeout_; }
    void EnterFlashPhase() { flashPhase_ = 1; }
    void LeaveFlashPhase() { flashPhase_ = 0; }
    bool FlashPhase() const { return flashPhase_ != 0; }
    bool UseAspi() const { return useAspi_ != 0; }

    // ---- bounded phases (see BoundedPhase) ----
    struct PhaseState {
        std::uint32_t commandTimeout = DefaultCommandTimeout;
        std::uint8_t bounded = 0;
        std::uint32_t gaveUpDrives = 0;
    };
    PhaseState SavePhase() const;
    void RestorePhase(const PhaseState& state);
    // From now on every command gets at most `commandTimeoutSeconds`, and a
    // drive whose command times out is sent nothing more (until RestorePhase).
    void BeginBoundedPhase(std::uint32_t commandTimeoutSeconds);
    // True when the selected drive timed out in the current bounded phase.
    bool GaveUpOnDrive() const;

    std::uint8_t FlashResult() const { return flashResult_; }
    void SetFlashResult(std::uint8_t result) { flashResult_ = result; }

    // Null when the allocation failed.
    std::uint8_t* InBuffer() { return inBuffer_; }
    std::uint8_t* OutBuffer() { return outBuffer_; }

    // ---- drive table, discovery, identification ----
    void ScanDrives();
    // The first half of ScanDrives: fills and orders the drive table without
    // sending any command to a drive (no identity, no flash identification).
    void ListDrives();
    DriveEntry* GetDrive(unsigned index);  // null when out of range or not present
    std::uint16_t DriveCount() const { return driveCount_; }
    std::int16_t CurrentDriveIndex() const { return currentDrive_; }
    bool IsDrivePresent(std::int16_t index) const;
    bool ReadIdentity();
    bool RefreshIdentity();
    // For a selected drive whose handle stopped working (a drive that
    // re-enumerated after its restart): reads the root list again. When the
    // drive's root is gone and a root the table does not know answers `was`'s
    // address, the drive's entry takes that root and it is selected and held
    // there; true then (its identity is for the caller to check). No command
    // is sent, and only new roots are opened. Otherwise nothing changes.
    bool FollowMovedDrive(const DriveEntry& was);
    static void CopyDriveTable(const AtapiDevice& from, AtapiDevice& to);

    const char* CurrentVendor() const { return curVendor_; }
    const char* CurrentProduct() const { return curProduct_; }
    const char* CurrentRevision() const { return curRevision_; }
    const char* CurrentVendorSpecific() const { return curVendorSpecific_; }

    // ---- drive command set ----
    bool TestUnitReady();
    bool Inquiry(std::uint8_t cmdDt, std::uint8_t evpd, std::uint8_t page, std::uint8_t allocLength,
                 std::uint8_t control);
    bool StartStopUnit(std::uint8_t immed, std::uint8_t powerCondition, std::uint8_t loEj,
                       std::uint8_t start);
    bool GetEventStatus(std::uint8_t polled, std::uint8_t classRequest, std::uint16_t allocLength,
                        std::uint8_t control);
    bool ReadFlashId();
    bool ReadDriveBuffer(std::uint32_t offset, std::uint32_t length);
    bool WriteDriveBuffer(std::uint32_t offset, std::uint32_t length, std::uint8_t code);
    bool SenseIs(std::uint8_t key, std::uint8_t asc) const;
    bool SenseKeyIs(std::uint8_t key) const;
    bool WaitReady(double timeoutSeconds);
    bool IsDiscAbsent();
    bool IsTrayOpen();
    void LoadTray();
    void EjectTray();
    void StopDisc();
    void ClearUnitAttention();
    void Pause(double seconds);

    // ---- flash chip identification and profile upload (engine) ----
    bool UploadFlashProfile();
    bool LoadProfile(int row);

  private:
    // How one attempt of ExecuteCommand ended.
    enum class Outcome : std::uint8_t { Good, DriveError, TransportFailure };

    bool Execute(const Packet& packet, std::uint8_t direction, std::uint32_t length, int attempts);
    void InitTransport();
    void FreeBuffers();
    // The buffer a transfer uses: OutBuffer for data out, InBuffer for data in,
    // null for no data or length 0.
    std::uint8_t* TransferBuffer(std::uint8_t direction, std::uint32_t length);
    Outcome SendPassThrough(const Packet& packet, std::uint8_t direction, std::uint32_t length);
    Outcome SendAspi(const Packet& packet, std::uint8_t direction, std::uint32_t length);
    // Sets the last-command fields from the command timer and a sense area.
    void RecordAttempt(std::span<const std::uint8_t> senseArea);
    // How an attempt the drive ended is to be read from its status byte and
    // sense key: only GOOD with key 0 is good; CHECK CONDITION or a sense key
    // is a drive error; any other status (busy, say) a transport failure.
    Outcome ClassifyAnswer(std::uint8_t status) const;
    void ScanAspiDevices();
    void ScanDriveLetters();
    // 0: the device did not open or reported an empty address; 1: listed
    // without an address; 2: listed with the address.
    int QueryScsiAddress(std::string_view root, ScsiAddress& address);
    std::int16_t CountCdromLetters();
    void SortDriveTable();
    void IdentifyDrives();
    void CopyIdentityToEntry(DriveEntry& entry);
    std::uint32_t GaveUpBit() const;

    HiTimer generalTimer_;
    HiTimer commandTimer_;
    std::array<std::uint8_t, PassThroughBlockSize> passThrough_{};
    std::array<std::uint8_t, AspiExecRequestSize> aspiRequest_{};
    AspiProc supportInfo_ = 0;
    AspiProc sendCommand_ = 0;
    std::uint16_t driveCount_ = 0;
    AspiModule aspiLibrary_ = 0;
    std::int16_t currentDrive_ = NoDriveSelected;
    char curVendor_[9] = {};
    char curProduct_[17] = {};
    char curRevision_[5] = {};
    char curVendorSpecific_[17] = {};
    DriveEntry drives_[MaxDrives] = {};
    std::uint32_t commandTimeout_ = DefaultCommandTimeout;
    std::int16_t hostAdapter_ = -1;
    std::int16_t target_ = -1;
    std::int16_t lun_ = -1;
    std::int16_t path_ = -1;
    DeviceHandle device_ = InvalidDevice;
    // Page-aligned within their storage: an adapter may need more than the
    // heap's alignment. Null when out of memory.
    std::unique_ptr<std::uint8_t[]> inStorage_;
    std::unique_ptr<std::uint8_t[]> outStorage_;
    std::uint8_t* inBuffer_ = nullptr;
    std::uint8_t* outBuffer_ = nullptr;
    OSInfo os_;
    std::uint8_t useAspi_ = 0;
    std::uint8_t flashPhase_ = 0;
    std::uint8_t lastSenseKey_ = 0;
    std::uint8_t lastAsc_ = 0;
    std::uint8_t lastAscq_ = 0;
    double lastDuration_ = 0.0;
    std::uint8_t lastTimedOut_ = 0;
    std::uint32_t lastTransferLength_ = 0;
    std::uint8_t flashResult_ = 0;
    std::uint8_t boundedPhase_ = 0;
    std::uint32_t gaveUpDrives_ = 0;  // one bit per table entry, and one for no entry
};

}  // namespace zorbel
