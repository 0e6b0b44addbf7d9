// The drive object's transport: choosing the ASPI or pass-through route,
// selecting a drive, and sending one 12-byte command packet with its data.

#include "device/AtapiDevice.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <new>

#include "device/ApplicationTag.h"
#include "device/FixedText.h"
#include "device/MessagePump.h"
#include "device/RequestLayout.h"

namespace zorbel {

namespace {

constexpr std::string_view AspiLibraryName = "WNASPI32";
constexpr std::string_view SupportInfoName = "GetASPI32SupportInfo";
constexpr std::string_view SendCommandName = "SendASPI32Command";

// The longest event wait the platform takes that is not "wait for ever"
// (0xFFFFFFFF means INFINITE to the platform's wait).
constexpr std::uint32_t LongestEventWaitMs = 0xFFFFFFFEu;

constexpr std::size_t PageSize = 4096;

// A transfer buffer at the start of a page within `storage`; null when out
// of memory (construction goes on; a transfer through it fails).
std::uint8_t* allocateTransferBuffer(std::unique_ptr<std::uint8_t[]>& storage) {
    try {
        storage = std::make_unique<std::uint8_t[]>(TransferBufferSize + PageSize - 1);
    } catch (const std::bad_alloc&) {
        storage.reset();
        return nullptr;
    }
    const auto at = reinterpret_cast<std::uintptr_t>(storage.get());
    return storage.get() + ((PageSize - at % PageSize) % PageSize);
}

// The value of the 32-bit buffer field of a request: 0 exactly when there is
// no buffer. The pointer itself travels beside the block.
std::uint32_t bufferField(const void* buffer) {
    if (buffer == nullptr) {
        return 0;
    }
    const auto low = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(buffer));
    return low != 0 ? low : 1;
}

std::uint8_t aspiDirectionFlags(std::uint8_t direction) {
    switch (direction) {
        case DirIn:
            return srb::DirIn;
        case DirOut:
            return srb::DirOut;
        default:
            return 0;
    }
}

// The ASPI event wait for a command time-out in seconds, clamped so that a
// very long time-out never wraps around or turns into an endless wait.
std::uint32_t eventWaitMs(std::uint32_t timeoutSeconds) {
    const std::uint64_t ms = static_cast<std::uint64_t>(timeoutSeconds) * 1000u;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, LongestEventWaitMs));
}

std::uint8_t readStatus(std::uint8_t& status) {
    // The manager may complete the request from its own context.
    return std::atomic_ref<std::uint8_t>(status).load(std::memory_order_acquire);
}

}  // namespace

AtapiDevice::AtapiDevice(bool discover) {
    InitTransport();
    if (discover) {
        ScanDrives();
    }
}

AtapiDevice::~AtapiDevice() {
    FreeBuffers();
    UnloadAspi();
    CloseDrive();
}

void AtapiDevice::InitTransport() {
    hostAdapter_ = -1;
    target_ = -1;
    lun_ = -1;
    path_ = -1;
    currentDrive_ = NoDriveSelected;
    aspiLibrary_ = 0;
    supportInfo_ = 0;
    sendCommand_ = 0;
    device_ = InvalidDevice;
    commandTimeout_ = DefaultCommandTimeout;
    flashPhase_ = 0;
    std::memset(curVendor_, 0, sizeof curVendor_);
    std::memset(curProduct_, 0, sizeof curProduct_);
    std::memset(curRevision_, 0, sizeof curRevision_);
    std::memset(curVendorSpecific_, 0, sizeof curVendorSpecific_);

    inBuffer_ = allocateTransferBuffer(inStorage_);
    outBuffer_ = allocateTransferBuffer(outStorage_);

    lastSenseKey_ = 0;
    lastAsc_ = 0;
    lastAscq_ = 0;
    lastDuration_ = 0.0;
    lastTimedOut_ = 0;
    lastTransferLength_ = 0;
    flashResult_ = 0;

    const bool aspiPreferred = applicationTag() == AspiPreferredTag;
    bool useAspi = aspiPreferred && ProbeAspi();
    if (!os_.IsNT()) {
        useAspi = true;  // the 9x family has no other route
    }
    useAspi_ = useAspi ? 1 : 0;
    UnloadAspi();
    if (useAspi) {
        // A failure is reported by LoadAspi; the object goes on without entry
        // points and every ASPI command then fails.
        LoadAspi();
    }
}

void AtapiDevice::FreeBuffers() {
    inBuffer_ = nullptr;
    outBuffer_ = nullptr;
    inStorage_.reset();
    outStorage_.reset();
}

bool AtapiDevice::ProbeAspi() {
    Host& host = currentHost();
    const AspiModule module = host.loadLibrary(AspiLibraryName);
    if (module == 0) {
        return false;
    }
    const AspiProc supportInfo = host.getProcAddress(module, SupportInfoName);
    const AspiProc sendCommand = host.getProcAddress(module, SendCommandName);
    if (supportInfo == 0 || sendCommand == 0) {
        host.freeLibrary(module);
        return false;
    }
    const std::uint32_t info = host.aspiSupportInfo(supportInfo);
    host.freeLibrary(module);
    return ((info >> 8) & 0xFF) == srb::SsComp;
}

bool AtapiDevice::LoadAspi() {
    Host& host = currentHost();
    const auto fail = [&](std::string_view text, std::string_view caption) {
        host.systemMessageBox(text, caption);
        if (aspiLibrary_ != 0) {
            host.freeLibrary(aspiLibrary_);
        }
        aspiLibrary_ = 0;
        supportInfo_ = 0;
        sendCommand_ = 0;
        return false;
    };

    aspiLibrary_ = host.loadLibrary(AspiLibraryName);
    if (aspiLibrary_ == 0) {
        return fail("LoadLibrary:\nWNASPI32.DLL not found.", "Error FS 002");
    }
    supportInfo_ = host.getProcAddress(aspiLibrary_, SupportInfoName);
    if (supportInfo_ == 0) {
        return fail("GetProcAddress:\nGetASPI32SupportInfo not fount.", "Error FS 003");
    }
    sendCommand_ = host.getProcAddress(aspiLibrary_, SendCommandName);
    if (sendCommand_ == 0) {
        return fail("GetProcAddress:\npfnSendASPI32Command not found.", "Error FS 004");
    }
    const auto status = static_cast<std::uint8_t>(host.aspiSupportInfo(supportInfo_) >> 8);
    switch (status) {
        case srb::SsComp:
            return true;
        case srb::SsNoAspi:
            return fail("Could not find the ASPI manager.", "GetASPISupportInfo:");
        case srb::SsIllegalMode:
            return fail("ASPI for Windows does not support real mode.", "GetASPISupportInfo:");
        case srb::SsOldManager:
            return fail("Old ASPI manager.", "GetASPISupportInfo:");
        default:
            return fail("Error initializing ASPI.", "GetASPISupportInfo:");
    }
}

void AtapiDevice::UnloadAspi() {
    if (aspiLibrary_ != 0) {
        currentHost().freeLibrary(aspiLibrary_);
    }
    aspiLibrary_ = 0;
    supportInfo_ = 0;
    sendCommand_ = 0;
}

bool AtapiDevice::SelectDrive(std::int16_t index) {
    // Only a real table index can be "the drive already selected": the
    // sentinels (127 none, -1 failed open) never stand for an open drive.
    if (index == currentDrive_ && index >= 0 && index < MaxDrives) {
        return true;
    }
    if (!IsDrivePresent(index)) {
        return false;
    }
    if (device_ != InvalidDevice) {
        CloseDrive();
    }

    const DriveEntry& entry = drives_[index];
    useAspi_ = entry.viaAspi != 0 ? 1 : 0;
    currentDrive_ = index;
    hostAdapter_ = entry.hostAdapter;
    target_ = entry.target;
    lun_ = entry.lun;
    path_ = entry.path;
    std::memcpy(curVendor_, entry.vendor, sizeof curVendor_);
    std::memcpy(curProduct_, entry.product, sizeof curProduct_);
    std::memcpy(curRevision_, entry.revision, sizeof curRevision_);
    std::memcpy(curVendorSpecific_, entry.vendorSpecific, sizeof curVendorSpecific_);

    if (os_.IsNT() && useAspi_ == 0) {
        Host& host = currentHost();
        device_ = host.openDevice(host.deviceNameForRoot(fixedText(entry.rootPath)));
        if (device_ == InvalidDevice) {
            currentDrive_ = SelectionFailed;
            hostAdapter_ = -1;
            target_ = -1;
            lun_ = -1;
            path_ = -1;
            return false;
        }
    }
    return true;
}

bool AtapiDevice::ClaimDrive() {
    if (!(os_.IsNT() && useAspi_ == 0)) {
        return true;
    }
    return device_ != InvalidDevice && currentHost().claimDevice(device_);
}

void AtapiDevice::CloseDrive() {
    if (device_ != InvalidDevice) {
        currentHost().closeDevice(device_);
    }
    hostAdapter_ = -1;
    target_ = -1;
    lun_ = -1;
    path_ = -1;
    device_ = InvalidDevice;
    currentDrive_ = NoDriveSelected;
}

std::uint8_t* AtapiDevice::TransferBuffer(std::uint8_t direction, std::uint32_t length) {
    if (length == 0) {
        return nullptr;
    }
    switch (direction) {
        case DirOut:
            return outBuffer_;
        case DirIn:
            return inBuffer_;
        default:
            return nullptr;
    }
}

namespace {

// A data phase the object's own buffers cannot carry (no buffer, or longer
// than the buffer) is never handed to the platform: it would read or write
// outside the buffer. It fails as the platform would fail it.
bool transferFits(std::uint8_t direction, std::uint32_t length, const std::uint8_t* buffer) {
    if (length == 0 || (direction != DirIn && direction != DirOut)) {
        return true;
    }
    return buffer != nullptr && length <= TransferBufferSize;
}

}  // namespace

void AtapiDevice::RecordAttempt(std::span<const std::uint8_t> senseArea) {
    lastDuration_ = commandTimer_.TotalSeconds();
    lastTimedOut_ = lastDuration_ > static_cast<double>(commandTimeout_) ? 1 : 0;
    lastSenseKey_ = senseArea[sense::Key] & sense::KeyMask;
    lastAsc_ = senseArea[sense::Asc];
    lastAscq_ = senseArea[sense::Ascq];
}

AtapiDevice::Outcome AtapiDevice::SendPassThrough(const Packet& packet, std::uint8_t direction,
                                                  std::uint32_t length) {
    namespace pt = passthrough;
    std::uint8_t* buffer = TransferBuffer(direction, length);
    const std::span<std::uint8_t, PassThroughBlockSize> block(passThrough_);

    std::fill(block.begin(), block.end(), std::uint8_t{0});
    putLe16(block, pt::Length, pt::StructSize);
    block[pt::PathId] = static_cast<std::uint8_t>(hostAdapter_);
    block[pt::TargetId] = static_cast<std::uint8_t>(target_);
    block[pt::Lun] = 0;
    block[pt::CdbLength] = static_cast<std::uint8_t>(packet.size());
    block[pt::SenseInfoLength] = pt::SenseBytes;
    block[pt::DataIn] = direction;
    putLe32(block, pt::DataTransferLength, length);
    putLe32(block, pt::TimeOutValue, commandTimeout_);
    putLe32(block, pt::DataBuffer, bufferField(buffer));
    putLe32(block, pt::SenseInfoOffset, pt::SenseArea);
    std::copy(packet.begin(), packet.end(), block.begin() + pt::Cdb);

    commandTimer_.ResetTimer();
    bool delivered = false;
    bool platformTimedOut = false;
    if (transferFits(direction, length, buffer)) {
        commandTimer_.StartTimer(true);
        delivered = currentHost().passThroughDirect(device_, block, buffer);
        commandTimer_.StopTimer();
        platformTimedOut = !delivered && currentHost().lastCommandTimedOut();
    }

    RecordAttempt(block.subspan(pt::SenseArea, pt::SenseAreaSize));
    if (platformTimedOut) {
        lastTimedOut_ = 1;  // the platform gave up waiting, sooner than the stopwatch
    }
    if (delivered && lastTimedOut_ == 0) {
        // The platform reports the bytes really moved; never more than asked.
        lastTransferLength_ = std::min(getLe32(block, pt::DataTransferLength), length);
        return ClassifyAnswer(block[pt::ScsiStatus]);
    }
    return Outcome::TransportFailure;
}

AtapiDevice::Outcome AtapiDevice::SendAspi(const Packet& packet, std::uint8_t direction,
                                           std::uint32_t length) {
    namespace ex = srb::exec;
    std::uint8_t* buffer = TransferBuffer(direction, length);
    const std::span<std::uint8_t, AspiExecRequestSize> request(aspiRequest_);

    std::fill(request.begin(), request.end(), std::uint8_t{0});
    request[srb::Cmd] = srb::ScExecScsiCmd;
    request[srb::HaId] = static_cast<std::uint8_t>(hostAdapter_);
    request[srb::Flags] = aspiDirectionFlags(direction);
    request[ex::Target] = static_cast<std::uint8_t>(target_);
    request[ex::Lun] = static_cast<std::uint8_t>(lun_);
    putLe32(request, ex::BufLen, length);
    putLe32(request, ex::BufPointer, bufferField(buffer));
    request[ex::SenseLen] = ex::SenseLength;
    request[ex::CdbLen] = static_cast<std::uint8_t>(packet.size());
    std::copy(packet.begin(), packet.end(), request.begin() + ex::CdbByte);

    commandTimer_.ResetTimer();
    if (sendCommand_ != 0 && transferFits(direction, length, buffer)) {
        Host& host = currentHost();
        const EventHandle event = host.createEvent();
        if (event != 0) {
            request[srb::Flags] |= srb::EventNotify;
            putLe32(request, ex::PostProc, event);
            commandTimer_.StartTimer(true);
            host.aspiSendCommand(sendCommand_, request, buffer);
            if (readStatus(request[srb::Status]) == srb::SsPending) {
                host.waitEvent(event, eventWaitMs(commandTimeout_));
            }
            commandTimer_.StopTimer();
            host.closeEvent(event);
        } else {
            commandTimer_.StartTimer(true);
            host.aspiSendCommand(sendCommand_, request, buffer);
            // Poll until the manager completes the request; a request that
            // never completes is given up once the command time-out has passed.
            while (!host.aspiRequestEnded(request, false)) {
                if (commandTimer_.ElapsedSinceStart() > static_cast<double>(commandTimeout_)) {
                    host.aspiRequestEnded(request, true);
                    break;
                }
                host.sleepMs(1);  // the manager works meanwhile
            }
            commandTimer_.StopTimer();
        }
    }

    RecordAttempt(request.subspan(ex::SenseArea, ex::SenseLength));
    if (lastTimedOut_ != 0) {
        return Outcome::TransportFailure;
    }
    const Outcome outcome = ClassifyAnswer(request[ex::TargStat]);
    if (outcome != Outcome::Good) {
        return outcome;
    }
    if (readStatus(request[srb::Status]) != srb::SsComp) {
        return Outcome::TransportFailure;
    }
    // The manager does not tell how many bytes moved: the whole length.
    lastTransferLength_ = length;
    return Outcome::Good;
}

AtapiDevice::Outcome AtapiDevice::ClassifyAnswer(std::uint8_t status) const {
    if (lastSenseKey_ != 0 || status == scsistatus::CheckCondition) {
        return Outcome::DriveError;
    }
    return status == scsistatus::Good ? Outcome::Good : Outcome::TransportFailure;
}

bool AtapiDevice::ExecuteCommand(const Packet& packet, std::uint8_t direction,
                                 std::uint32_t length) {
    return Execute(packet, direction, length, 2);
}

bool AtapiDevice::ExecuteCommandOnce(const Packet& packet, std::uint8_t direction,
                                     std::uint32_t length) {
    return Execute(packet, direction, length, 1);
}

bool AtapiDevice::Execute(const Packet& packet, std::uint8_t direction, std::uint32_t length,
                          int attempts) {
    const Packet copy = packet;  // the caller may pass a temporary
    const bool passThrough = os_.IsNT() && useAspi_ == 0;

    if (flashPhase_ != 0) {
        if (passThrough ? device_ == InvalidDevice : (hostAdapter_ == -1 || target_ == -1)) {
            return false;
        }
    }

    // Only a bounded phase keeps the drives it gave up on.
    if (boundedPhase_ != 0 && GaveUpOnDrive()) {
        // Timed out once in this phase: not asked again, and it reads as
        // timed out once more, at no cost.
        lastTransferLength_ = 0;
        lastSenseKey_ = 0;
        lastAsc_ = 0;
        lastAscq_ = 0;
        lastDuration_ = 0.0;
        lastTimedOut_ = 1;
        return false;
    }

    for (int attempt = 1;; ++attempt) {
        lastTransferLength_ = 0;
        Outcome outcome = Outcome::TransportFailure;
        // A command on the window's thread may take as long as its time-out:
        // the window keeps answering meanwhile.
        auto send = [&] {
            outcome = passThrough ? SendPassThrough(copy, direction, length)
                                  : SendAspi(copy, direction, length);
        };
        runWhilePumping(send);
        if (boundedPhase_ != 0 && lastTimedOut_ != 0) {
            gaveUpDrives_ |= GaveUpBit();
        }
        if (outcome == Outcome::Good) {
            return true;
        }
        if (outcome == Outcome::DriveError) {
            return false;
        }
        // A transport failure in the flash phase that did not time out is
        // sent once more through the same route.
        if (flashPhase_ == 0 || lastTimedOut_ != 0 || attempt >= attempts) {
            return false;
        }
    }
}

}  // namespace zorbel
