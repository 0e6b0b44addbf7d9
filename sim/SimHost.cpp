#include "sim/SimHost.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <stdexcept>

#include "sim/RequestLayout.h"
#include "sim/Trace.h"

namespace zorbel::sim {

namespace {

// Every program that runs on the simulated computer carries this mark, by
// which the packaging step tells it from the program for real drives: only
// such a program may keep stand-in flash profiles or carry the demonstration
// image.
__attribute__((used)) const char SimulatedComputerMark[] = "ZORBEL_SIMULATED_COMPUTER_PROGRAM";

namespace pt = layout::pt;
namespace aspi = layout::aspi;

constexpr zorbel::DeviceHandle HandleBase = 0x100;
constexpr zorbel::EventHandle EventBase = 0x200;
constexpr zorbel::AspiModule AspiLibrary = 0x5A000;
constexpr zorbel::AspiProc SupportInfoProc = 0x5A010;
constexpr zorbel::AspiProc SendCommandProc = 0x5A020;

// The host's time-out a polled ASPI command (no event) runs past: the
// program's default command time-out.
constexpr std::uint32_t PolledTimeoutSeconds = 108000;
// A wait that expires returns one scheduler tick after its time.
constexpr std::chrono::milliseconds WaitOvershoot{1};
// The longest a wait for a never-ending command really lasts in real-time mode.
constexpr std::chrono::seconds RealWaitCap{2};

constexpr std::size_t SenseDataSize = 18;

bool sameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// Fixed-format sense data, as a drive returns it.
std::array<std::uint8_t, SenseDataSize> senseData(const Sense& s) {
    std::array<std::uint8_t, SenseDataSize> data{};
    data[0] = 0x70;
    data[2] = s.key;
    data[7] = SenseDataSize - 8;
    data[12] = s.asc;
    data[13] = s.ascq;
    return data;
}

Direction directionOfFlags(std::uint8_t flags) {
    if ((flags & aspi::SRB_DIR_IN) != 0) {
        return Direction::In;
    }
    if ((flags & aspi::SRB_DIR_OUT) != 0) {
        return Direction::Out;
    }
    return Direction::None;
}

}  // namespace

// ---- ComputerSpec ----

DriveSpec& ComputerSpec::addDrive(std::string id) {
    drives.emplace_back();
    drives.back().id = std::move(id);
    return drives.back();
}

LetterSpec& ComputerSpec::addLetter(char letter, std::string driveId, zorbel::DriveType type) {
    LetterSpec spec;
    spec.root = std::string(1, letter) + ":\\";
    spec.type = type;
    spec.drive = std::move(driveId);
    letters.push_back(std::move(spec));
    return letters.back();
}

AdapterSpec& ComputerSpec::addAdapter() {
    aspi.adapters.emplace_back();
    return aspi.adapters.back();
}

void ComputerSpec::validate() const {
    std::set<std::string> ids;
    for (const DriveSpec& drive : drives) {
        if (drive.id.empty()) {
            throw std::invalid_argument("a drive has no id");
        }
        if (!ids.insert(drive.id).second) {
            throw std::invalid_argument("drive id '" + drive.id + "' is used twice");
        }
        if (drive.imageSize == 0 || drive.imageSize > (16u << 20)) {
            throw std::invalid_argument("drive '" + drive.id + "': image size must be 1 to 16 MiB");
        }
        for (const FaultRule& rule : drive.faults) {
            if (!(rule.probability >= 0.0 && rule.probability <= 1.0)) {
                throw std::invalid_argument("drive '" + drive.id +
                                            "': fault probability outside 0 to 1");
            }
        }
    }
    std::set<char> roots;
    for (const LetterSpec& letter : letters) {
        const std::string& r = letter.root;
        if (r.size() != 3 || !std::isalpha(static_cast<unsigned char>(r[0])) || r[1] != ':' ||
            r[2] != '\\') {
            throw std::invalid_argument("root '" + r + "' is not a drive letter, colon, backslash");
        }
        if (!roots.insert(static_cast<char>(std::toupper(static_cast<unsigned char>(r[0]))))
                 .second) {
            throw std::invalid_argument("root '" + r + "' is listed twice");
        }
        const std::string& moved = letter.movesAfterCommit;
        if (!moved.empty() &&
            (moved.size() != 3 || !std::isalpha(static_cast<unsigned char>(moved[0])) ||
             !roots.insert(static_cast<char>(std::toupper(static_cast<unsigned char>(moved[0]))))
                  .second)) {
            throw std::invalid_argument("root '" + r + "' moves to a root in use: '" + moved + "'");
        }
        if (!letter.drive.empty() && ids.count(letter.drive) == 0) {
            throw std::invalid_argument("root '" + r + "' names no drive '" + letter.drive + "'");
        }
        if (letter.replacement && ids.count(letter.replacement->drive) == 0) {
            throw std::invalid_argument("root '" + r + "' is replaced by no drive '" +
                                        letter.replacement->drive + "'");
        }
    }
    for (std::size_t a = 0; a < aspi.adapters.size(); ++a) {
        std::set<std::pair<int, int>> places;
        for (const AspiDeviceSpec& device : aspi.adapters[a].devices) {
            if (!places.insert({device.target, device.lun}).second) {
                throw std::invalid_argument(
                    "adapter " + std::to_string(a) + " has two devices at target " +
                    std::to_string(device.target) + " LUN " + std::to_string(device.lun));
            }
            if (!device.drive.empty() && ids.count(device.drive) == 0) {
                throw std::invalid_argument("adapter " + std::to_string(a) + " names no drive '" +
                                            device.drive + "'");
            }
            if (device.replacement && ids.count(device.replacement->drive) == 0) {
                throw std::invalid_argument("adapter " + std::to_string(a) +
                                            " is replaced by no drive '" +
                                            device.replacement->drive + "'");
            }
        }
    }
}

// ---- SimHost ----

SimHost::SimHost(ComputerSpec spec)
    : spec_(std::move(spec)), clock_(spec_.clock), power_(spec_.power) {
    spec_.validate();
    for (const DriveSpec& drive : spec_.drives) {
        drives_.push_back(std::make_unique<SimDrive>(drive, clock_, spec_.recordCommands));
    }
    for (const LetterSpec& letter : spec_.letters) {
        Letter entry;
        entry.spec = letter;
        entry.drive = findDrive(letter.drive);
        if (letter.replacement) {
            entry.replacement = findDrive(letter.replacement->drive);
            entry.replaceAfter = letter.replacement->afterCommands;
        }
        entry.name = letter.root.substr(0, 2);
        letters_.push_back(std::move(entry));
    }
    // The roots drives re-enumerate at, not listed until then.
    const std::size_t listedLetters = letters_.size();
    for (std::size_t i = 0; i < listedLetters; ++i) {
        if (letters_[i].spec.movesAfterCommit.empty()) {
            continue;
        }
        Letter moved = letters_[i];
        moved.spec.root = moved.spec.movesAfterCommit;
        moved.spec.movesAfterCommit.clear();
        moved.spec.replacement.reset();
        moved.replacement = nullptr;
        moved.name = moved.spec.root.substr(0, 2);
        moved.listed = false;
        letters_[i].movesTo = letters_.size();
        letters_.push_back(std::move(moved));
    }
    for (std::size_t a = 0; a < spec_.aspi.adapters.size(); ++a) {
        for (const AspiDeviceSpec& device : spec_.aspi.adapters[a].devices) {
            AspiTarget target;
            target.adapter = static_cast<std::uint8_t>(a);
            target.spec = device;
            target.drive = findDrive(device.drive);
            if (device.replacement) {
                target.replacement = findDrive(device.replacement->drive);
                target.replaceAfter = device.replacement->afterCommands;
            }
            target.name = std::to_string(a) + "-" + std::to_string(device.target) + "-" +
                          std::to_string(device.lun);
            aspiTargets_.push_back(std::move(target));
        }
    }
}

SimHost::~SimHost() = default;

SimDrive& SimHost::drive(std::size_t index) {
    return *drives_.at(index);
}

SimDrive* SimHost::findDrive(std::string_view id) {
    if (id.empty()) {
        return nullptr;
    }
    for (const auto& drive : drives_) {
        if (drive->id() == id) {
            return drive.get();
        }
    }
    return nullptr;
}

std::vector<MessageBoxRecord> SimHost::messageBoxes() const {
    std::lock_guard lock(mutex_);
    return messageBoxes_;
}

std::vector<bool> SimHost::restartRequests() const {
    std::lock_guard lock(mutex_);
    return restarts_;
}

OsCounters SimHost::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

std::uint64_t SimHost::opensOf(std::string_view root) const {
    std::lock_guard lock(mutex_);
    for (const Letter& letter : letters_) {
        if (root.size() >= 2 && sameText(letter.name, root.substr(0, 2))) {
            return letter.opens;
        }
    }
    return 0;
}

void SimHost::setTrace(CommandTrace* trace) {
    trace_.store(trace, std::memory_order_release);
}

void SimHost::trace(const std::string& name, std::span<const std::uint8_t> cdb, Direction direction,
                    std::uint32_t length, const CommandResult& result) {
    CommandTrace* trace = trace_.load(std::memory_order_acquire);
    if (trace != nullptr) {
        trace->write(formatTraceLine(name, cdb, direction, length, result.outcome, result.sense,
                                     result.duration));
    }
}

// ---- platform facts and time ----

bool SimHost::isNtFamily() {
    return spec_.platform == Platform::Nt;
}

bool SimHost::queryPerformanceFrequency(std::int64_t& frequency) {
    frequency = spec_.performanceCounter ? VirtualClock::Frequency : 0;
    return spec_.performanceCounter;
}

std::int64_t SimHost::queryPerformanceCounter() {
    return spec_.performanceCounter ? clock_.counter() : 0;
}

void SimHost::sleepMs(std::uint32_t milliseconds) {
    {
        std::lock_guard lock(mutex_);
        ++counters_.sleeps;
    }
    if (sleepHook_) {
        sleepHook_(milliseconds);
    }
    clock_.sleep(std::chrono::milliseconds(milliseconds));
}

// ---- drive letters and devices ----

SimDrive* SimHost::Place::nextDrive() {
    if (replacement != nullptr && commands >= replaceAfter) {
        drive = replacement;
        replacement = nullptr;
    }
    ++commands;
    return drive;
}

void SimHost::replaceDrive(std::string_view place, std::string_view driveId) {
    SimDrive* drive = findDrive(driveId);
    if (drive == nullptr) {
        throw std::invalid_argument("no drive '" + std::string(driveId) + "'");
    }
    std::lock_guard lock(mutex_);
    Place* found = place.size() <= 3 ? letterForRoot(place) : nullptr;
    for (AspiTarget& target : aspiTargets_) {
        if (target.name == place) {
            found = &target;
        }
    }
    if (found == nullptr) {
        throw std::invalid_argument("no drive letter or ASPI device '" + std::string(place) + "'");
    }
    found->replacement = drive;
    found->replaceAfter = found->commands;
}

SimHost::Letter* SimHost::letterForRoot(std::string_view root) {
    if (root.size() < 2) {
        return nullptr;
    }
    for (Letter& letter : letters_) {
        if (letter.listed && sameText(letter.name, root.substr(0, 2))) {
            return &letter;
        }
    }
    return nullptr;
}

SimHost::Letter* SimHost::letterForHandle(zorbel::DeviceHandle device) {
    if (device < HandleBase) {
        return nullptr;
    }
    const auto index = static_cast<std::size_t>(device - HandleBase);
    return index < handles_.size() ? handles_[index] : nullptr;
}

std::string SimHost::logicalDriveStrings() {
    std::lock_guard lock(mutex_);
    std::string list;
    for (const Letter& letter : letters_) {
        if (!letter.listed) {
            continue;
        }
        list.append(letter.spec.root);
        list.push_back('\0');
    }
    if (!list.empty()) {
        list.push_back('\0');
    }
    return list;
}

zorbel::DriveType SimHost::driveType(std::string_view root) {
    std::lock_guard lock(mutex_);
    ++counters_.driveTypeQueries;
    if (root.empty()) {
        ++counters_.emptyRootQueries;
    }
    const Letter* letter = letterForRoot(root);
    return letter != nullptr ? letter->spec.type : zorbel::DriveType::NoRootDir;
}

std::string SimHost::deviceNameForRoot(std::string_view root) {
    return "\\\\.\\" + std::string(root.substr(0, std::min<std::size_t>(2, root.size())));
}

std::string SimHost::rootLabel(std::string_view root) {
    return std::string(root.substr(0, std::min<std::size_t>(2, root.size())));
}

zorbel::DeviceHandle SimHost::openDevice(std::string_view deviceName) {
    std::lock_guard lock(mutex_);
    constexpr std::string_view Prefix = "\\\\.\\";
    Letter* letter = nullptr;
    if (deviceName.size() == Prefix.size() + 2 && deviceName.substr(0, Prefix.size()) == Prefix) {
        letter = letterForRoot(deviceName.substr(Prefix.size()));
    }
    if (letter == nullptr || letter->spec.openFails ||
        (letter->drive != nullptr && letter->drive->vanished()) ||
        (letter->drive != nullptr &&
         driveOpenElsewhere(letter->drive, zorbel::InvalidDevice, true))) {
        ++counters_.failedOpens;
        return zorbel::InvalidDevice;
    }
    ++counters_.opens;
    ++counters_.openHandles;
    ++letter->opens;
    const auto free = std::find(handles_.begin(), handles_.end(), nullptr);
    if (free != handles_.end()) {
        *free = letter;
        claimed_[static_cast<std::size_t>(free - handles_.begin())] = false;
        return HandleBase + (free - handles_.begin());
    }
    handles_.push_back(letter);
    claimed_.push_back(false);
    return HandleBase + static_cast<zorbel::DeviceHandle>(handles_.size() - 1);
}

bool SimHost::inhibitShutdown() {
    std::lock_guard lock(mutex_);
    ++counters_.inhibits;
    return true;
}

void SimHost::releaseShutdownInhibit() {
    std::lock_guard lock(mutex_);
    ++counters_.inhibitReleases;
}

bool SimHost::inhibited() const {
    std::lock_guard lock(mutex_);
    return counters_.inhibits > counters_.inhibitReleases;
}

bool SimHost::driveOpenElsewhere(const SimDrive* drive, zorbel::DeviceHandle except,
                                 bool claimedOnly) const {
    for (std::size_t i = 0; i < handles_.size(); ++i) {
        if (handles_[i] != nullptr && handles_[i]->listed && handles_[i]->drive == drive &&
            HandleBase + static_cast<zorbel::DeviceHandle>(i) != except &&
            (!claimedOnly || claimed_[i])) {
            return true;
        }
    }
    return false;
}

bool SimHost::claimDevice(zorbel::DeviceHandle device) {
    std::string refusal;
    {
        std::lock_guard lock(mutex_);
        const Letter* letter = letterForHandle(device);
        if (letter == nullptr || !letter->listed) {
            return false;
        }
        const auto index = static_cast<std::size_t>(device - HandleBase);
        if (claimed_[index]) {
            return true;
        }
        if (letter->spec.heldElsewhere ||
            (letter->drive != nullptr && driveOpenElsewhere(letter->drive, device, false))) {
            ++counters_.refusedClaims;
            refusal = "zorbel: " + letter->name +
                      " is in use by another program; it was only asked for its identity, "
                      "nothing was written to it and its tray was not moved.\n";
        } else {
            ++counters_.claims;
            claimed_[index] = true;
            return true;
        }
    }
    std::fwrite(refusal.data(), 1, refusal.size(), stderr);
    std::fflush(stderr);
    return false;
}

void SimHost::closeDevice(zorbel::DeviceHandle device) {
    std::lock_guard lock(mutex_);
    if (letterForHandle(device) == nullptr) {
        ++counters_.invalidCloses;
        return;
    }
    handles_[static_cast<std::size_t>(device - HandleBase)] = nullptr;
    claimed_[static_cast<std::size_t>(device - HandleBase)] = false;
    ++counters_.closes;
    --counters_.openHandles;
}

bool SimHost::queryScsiAddress(zorbel::DeviceHandle device, zorbel::ScsiAddress& address) {
    std::lock_guard lock(mutex_);
    ++counters_.addressQueries;
    const Letter* letter = letterForHandle(device);
    if (letter == nullptr || !letter->listed) {
        return false;
    }
    switch (letter->spec.addressQuery) {
        case AddressQuery::Fails:
            return false;
        case AddressQuery::LengthZero:
            address = zorbel::ScsiAddress{};
            return true;
        case AddressQuery::Address:
            address = letter->spec.address;
            address.length = 8;
            return true;
    }
    return false;
}

bool SimHost::passThroughDirect(zorbel::DeviceHandle device,
                                std::span<std::uint8_t, zorbel::PassThroughBlockSize> block,
                                void* dataBuffer) {
    Letter* letter = nullptr;
    SimDrive* drive = nullptr;
    {
        std::lock_guard lock(mutex_);
        ++counters_.passThroughCalls;
        letter = letterForHandle(device);
        if (letter == nullptr || !letter->listed) {
            return false;  // invalid handle, or the node of a drive that moved
        }
        const std::uint8_t cdbLength = block[pt::CdbLength];
        const std::uint8_t dataIn = block[pt::DataIn];
        const std::uint32_t senseOffset = layout::getLe32(block, pt::SenseInfoOffset);
        const bool pointerField = layout::getLe32(block, pt::DataBuffer) != 0;
        const std::uint32_t length = layout::getLe32(block, pt::DataTransferLength);
        const bool wellFormed = layout::getLe16(block, pt::Length) == pt::StructSize &&
                                cdbLength >= 1 && cdbLength <= 16 && dataIn <= 2 &&
                                pointerField == (dataBuffer != nullptr) &&
                                senseOffset >= pt::StructSize &&
                                senseOffset + block[pt::SenseInfoLength] <= pt::BlockSize &&
                                (dataIn == 2 || length == 0 || dataBuffer != nullptr);
        if (!wellFormed) {
            ++counters_.rejectedRequests;
            return false;
        }
        drive = letter->nextDrive();
        if (drive == nullptr) {
            return false;  // no simulated drive answers behind this root
        }
        const std::uint8_t opcode = block[pt::Cdb];
        if ((opcode == 0x1B || opcode == 0x1E || opcode == 0x3B) &&
            !claimed_[static_cast<std::size_t>(device - HandleBase)]) {
            ++counters_.unheldChanges;
        }
    }
    const std::uint8_t cdbLength = block[pt::CdbLength];
    const auto cdb = std::span<const std::uint8_t>(block.data() + pt::Cdb, cdbLength);
    const auto direction = static_cast<Direction>(block[pt::DataIn]);
    const std::uint32_t length = layout::getLe32(block, pt::DataTransferLength);
    if (commandHook_) {
        commandHook_(cdb);
    }
    const bool mayCommit =
        letter->movesTo && cdb[0] == 0x3B && cdbLength >= 10 && (cdb[9] == 0x80 || cdb[9] == 0xA0);
    const std::size_t commitsBefore = mayCommit ? drive->commits().size() : 0;
    ++commandsSent_;
    const CommandResult result =
        drive->execute(cdb, direction, length, static_cast<std::uint8_t*>(dataBuffer),
                       layout::getLe32(block, pt::TimeOutValue), false);
    trace(letter->name, cdb, direction, length, result);
    if (mayCommit && drive->commits().size() > commitsBefore) {
        // The drive restarts and comes back under its new root.
        std::lock_guard lock(mutex_);
        letter->listed = false;
        letters_[*letter->movesTo].listed = true;
        letters_[*letter->movesTo].drive = letter->drive;
    }
    if (result.outcome == Outcome::Transport || result.outcome == Outcome::Timeout) {
        return false;
    }
    layout::putLe32(block, pt::DataTransferLength, result.moved);
    if (result.outcome == Outcome::Sense) {
        block[pt::ScsiStatus] = aspi::STATUS_CHKCOND;
        const auto sense = senseData(result.sense);
        const std::size_t count =
            std::min<std::size_t>({block[pt::SenseInfoLength], pt::SenseBytes, sense.size()});
        const std::uint32_t at = layout::getLe32(block, pt::SenseInfoOffset);
        std::copy_n(sense.begin(), count, block.begin() + at);
    } else {
        block[pt::ScsiStatus] = 0;
    }
    return true;
}

// ---- the ASPI manager ----

zorbel::AspiModule SimHost::loadLibrary(std::string_view name) {
    std::lock_guard lock(mutex_);
    if (!spec_.aspi.libraryPresent ||
        !(sameText(name, "WNASPI32") || sameText(name, "WNASPI32.DLL"))) {
        return 0;
    }
    ++libraryRefs_;
    ++counters_.libraryLoads;
    return AspiLibrary;
}

zorbel::AspiProc SimHost::getProcAddress(zorbel::AspiModule module, std::string_view name) {
    std::lock_guard lock(mutex_);
    if (module != AspiLibrary || libraryRefs_ == 0) {
        return 0;
    }
    if (name == "GetASPI32SupportInfo" && spec_.aspi.supportInfoEntry) {
        return SupportInfoProc;
    }
    if (name == "SendASPI32Command" && spec_.aspi.sendCommandEntry) {
        return SendCommandProc;
    }
    return 0;
}

void SimHost::freeLibrary(zorbel::AspiModule module) {
    std::lock_guard lock(mutex_);
    if (module == AspiLibrary && libraryRefs_ > 0) {
        --libraryRefs_;
        ++counters_.libraryFrees;
    }
}

std::uint32_t SimHost::aspiSupportInfo(zorbel::AspiProc supportInfo) {
    std::lock_guard lock(mutex_);
    if (supportInfo != SupportInfoProc || libraryRefs_ == 0) {
        return std::uint32_t{aspi::SS_NO_ASPI} << 8;
    }
    const std::uint8_t status = spec_.aspi.supportStatus;
    const std::uint32_t count =
        status == aspi::SS_COMP
            ? static_cast<std::uint32_t>(std::min<std::size_t>(spec_.aspi.adapters.size(), 255))
            : 0;
    return (std::uint32_t{status} << 8) | count;
}

SimHost::AspiTarget* SimHost::aspiTarget(std::uint8_t adapter, std::uint8_t target,
                                         std::uint8_t lun) {
    for (AspiTarget& t : aspiTargets_) {
        if (t.adapter == adapter && t.spec.target == target && t.spec.lun == lun) {
            return &t;
        }
    }
    return nullptr;
}

std::uint32_t SimHost::aspiSendCommand(zorbel::AspiProc sendCommand,
                                       std::span<std::uint8_t> request, void* dataBuffer) {
    {
        std::lock_guard lock(mutex_);
        if (sendCommand != SendCommandProc || libraryRefs_ == 0) {
            return aspi::SS_NO_ASPI;
        }
        ++counters_.aspiRequests;
        if (request.size() < aspi::HeaderSize) {
            ++counters_.rejectedRequests;
            return aspi::SS_INVALID_SRB;
        }
    }
    std::uint8_t status = aspi::SS_INVALID_CMD;
    switch (request[aspi::Cmd]) {
        case aspi::SC_HA_INQUIRY:
            status = aspiInquiry(request);
            break;
        case aspi::SC_RESCAN_SCSI_BUS:
            status = request[aspi::HaId] < spec_.aspi.adapters.size() ? aspi::SS_COMP
                                                                      : aspi::SS_INVALID_HA;
            break;
        case aspi::SC_GET_DEV_TYPE:
            status = aspiDeviceType(request);
            break;
        case aspi::SC_EXEC_SCSI_CMD:
            return aspiExecute(request, dataBuffer);
        default:
            break;
    }
    request[aspi::Status] = status;
    return status;
}

std::uint8_t SimHost::aspiInquiry(std::span<std::uint8_t> request) {
    namespace hi = aspi::inquiry;
    if (request.size() < hi::Size) {
        std::lock_guard lock(mutex_);
        ++counters_.rejectedRequests;
        return aspi::SS_INVALID_SRB;
    }
    const std::size_t count = spec_.aspi.adapters.size();
    const std::uint8_t ha = request[aspi::HaId];
    if (ha >= count && !(ha == 0 && count == 0)) {
        return aspi::SS_INVALID_HA;
    }
    if (ha < count && spec_.aspi.adapters[ha].inquiryStatus != aspi::SS_COMP) {
        return spec_.aspi.adapters[ha].inquiryStatus;
    }
    std::fill(request.begin() + hi::Count, request.begin() + hi::Size, 0);
    request[hi::Count] = static_cast<std::uint8_t>(std::min<std::size_t>(count, 255));
    constexpr std::string_view Manager = "ASPI for WIN32";
    std::copy(Manager.begin(), Manager.end(), request.begin() + hi::ManagerId);
    if (ha < count) {
        const AdapterSpec& adapter = spec_.aspi.adapters[ha];
        request[hi::ScsiId] = adapter.scsiId;
        std::copy_n(adapter.identifier.begin(),
                    std::min<std::size_t>(adapter.identifier.size(), 16),
                    request.begin() + hi::Identifier);
        layout::putLe32(request, hi::Unique + 4, 0x10000);  // largest transfer
    }
    return aspi::SS_COMP;
}

std::uint8_t SimHost::aspiDeviceType(std::span<std::uint8_t> request) {
    namespace dt = aspi::devtype;
    if (request.size() < dt::Size) {
        std::lock_guard lock(mutex_);
        ++counters_.rejectedRequests;
        return aspi::SS_INVALID_SRB;
    }
    if (request[aspi::HaId] >= spec_.aspi.adapters.size()) {
        return aspi::SS_INVALID_HA;
    }
    const AspiTarget* target =
        aspiTarget(request[aspi::HaId], request[dt::Target], request[dt::Lun]);
    if (target == nullptr || (target->drive != nullptr && target->drive->vanished())) {
        return aspi::SS_NO_DEVICE;
    }
    request[dt::DeviceType] = target->spec.type;
    return aspi::SS_COMP;
}

CommandResult SimHost::runAspi(AspiTarget& target, std::span<std::uint8_t> request, void* data,
                               std::optional<std::uint32_t> timeoutSeconds) {
    namespace ex = aspi::exec;
    const auto cdb =
        std::span<const std::uint8_t>(request.data() + ex::CdbByte, request[ex::CdbLen]);
    const Direction direction = directionOfFlags(request[aspi::Flags]);
    const std::uint32_t length = layout::getLe32(request, ex::BufLen);
    CommandResult result;
    SimDrive* drive = nullptr;
    {
        std::lock_guard lock(mutex_);
        drive = target.nextDrive();
    }
    if (drive == nullptr) {
        result.outcome = Outcome::Transport;  // a device no simulated drive answers for
        return result;
    }
    ++commandsSent_;
    result = drive->execute(cdb, direction, length, static_cast<std::uint8_t*>(data),
                            timeoutSeconds, true);
    trace(target.name, cdb, direction, length, result);
    return result;
}

void SimHost::completeAspi(std::span<std::uint8_t> request, const CommandResult& result) {
    namespace ex = aspi::exec;
    switch (result.outcome) {
        case Outcome::Ok:
            request[ex::HaStat] = aspi::HASTAT_OK;
            request[ex::TargStat] = 0;
            request[aspi::Status] = aspi::SS_COMP;
            break;
        case Outcome::Sense: {
            const auto sense = senseData(result.sense);
            const std::size_t count =
                std::min<std::size_t>({request[ex::SenseLen], std::size_t{16}, sense.size()});
            std::copy_n(sense.begin(), count, request.begin() + ex::SenseArea);
            request[ex::HaStat] = aspi::HASTAT_OK;
            request[ex::TargStat] = aspi::STATUS_CHKCOND;
            request[aspi::Status] = aspi::SS_ERR;
            break;
        }
        case Outcome::Transport:
            request[ex::HaStat] = aspi::HASTAT_SEL_TO;
            request[aspi::Status] = aspi::SS_ERR;
            break;
        case Outcome::Timeout:
            request[ex::HaStat] = aspi::HASTAT_TIMEOUT;
            request[aspi::Status] = aspi::SS_ABORTED;
            break;
    }
}

std::uint8_t SimHost::aspiExecute(std::span<std::uint8_t> request, void* data) {
    namespace ex = aspi::exec;
    AspiTarget* target = nullptr;
    std::optional<std::size_t> event;  // index: the table may grow while the drive works
    {
        std::lock_guard lock(mutex_);
        const std::uint8_t flags = request.size() >= ex::Size ? request[aspi::Flags] : 0;
        const bool wellFormed =
            request.size() >= ex::Size && request[ex::CdbLen] >= 1 && request[ex::CdbLen] <= 16 &&
            (flags & (aspi::SRB_DIR_IN | aspi::SRB_DIR_OUT)) !=
                (aspi::SRB_DIR_IN | aspi::SRB_DIR_OUT) &&
            (layout::getLe32(request, ex::BufPointer) != 0) == (data != nullptr) &&
            (directionOfFlags(flags) == Direction::None ||
             layout::getLe32(request, ex::BufLen) == 0 || data != nullptr);
        if (wellFormed && (flags & aspi::SRB_EVENT_NOTIFY) != 0) {
            const zorbel::EventHandle handle = layout::getLe32(request, ex::PostProc);
            const std::size_t index = handle - EventBase;
            if (handle >= EventBase && index < events_.size() && events_[index].open) {
                event = index;
            }
        }
        if (!wellFormed || ((flags & aspi::SRB_EVENT_NOTIFY) != 0 && !event)) {
            ++counters_.rejectedRequests;
            if (request.size() > aspi::Status) {
                request[aspi::Status] = aspi::SS_INVALID_SRB;
            }
            return aspi::SS_INVALID_SRB;
        }
        if (request[aspi::HaId] >= spec_.aspi.adapters.size()) {
            request[aspi::Status] = aspi::SS_INVALID_HA;
            return aspi::SS_INVALID_HA;
        }
        target = aspiTarget(request[aspi::HaId], request[ex::Target], request[ex::Lun]);
        if (target == nullptr) {
            request[aspi::Status] = aspi::SS_NO_DEVICE;
            return aspi::SS_NO_DEVICE;
        }
        request[aspi::Status] = aspi::SS_PENDING;
        if (event) {
            Event& e = events_[*event];
            e.signalled = false;
            if (spec_.aspi.completion == AspiCompletion::OnWait) {
                // The manager works on it while the caller waits.
                e.request = request.data();
                e.requestSize = request.size();
                e.data = data;
                e.target = target;
                e.neverCompletes = false;
                return aspi::SS_PENDING;
            }
        }
    }
    if (!event) {
        // Polled: the command ends inside the call; one that never ends is
        // aborted when the host's time-out has passed.
        const CommandResult result = runAspi(*target, request, data, PolledTimeoutSeconds);
        completeAspi(request, result);
        return request[aspi::Status];
    }
    const CommandResult result = runAspi(*target, request, data, std::nullopt);
    std::lock_guard lock(mutex_);
    if (result.outcome == Outcome::Timeout) {
        events_[*event].neverCompletes = true;  // stays SS_PENDING; the wait expires
        return aspi::SS_PENDING;
    }
    completeAspi(request, result);
    events_[*event].signalled = true;
    return request[aspi::Status];
}

zorbel::EventHandle SimHost::createEvent() {
    std::lock_guard lock(mutex_);
    if (spec_.aspi.eventCreationFails) {
        return 0;
    }
    ++counters_.eventsCreated;
    std::size_t index;
    if (!freeEvents_.empty()) {
        index = freeEvents_.back();
        freeEvents_.pop_back();
        events_[index] = Event{};
    } else {
        index = events_.size();
        events_.emplace_back();
    }
    return EventBase + static_cast<zorbel::EventHandle>(index);
}

bool SimHost::waitEvent(zorbel::EventHandle handle, std::uint32_t milliseconds) {
    std::unique_lock lock(mutex_);
    ++counters_.eventWaits;
    const std::size_t index = handle - EventBase;
    if (handle < EventBase || index >= events_.size() || !events_[index].open) {
        return false;  // the wait fails at once on a handle that is not an event
    }
    Event& event = events_[index];
    if (event.signalled) {
        return true;
    }
    if (event.request != nullptr) {
        std::span<std::uint8_t> request(event.request, event.requestSize);
        AspiTarget* target = event.target;
        void* data = event.data;
        event.request = nullptr;
        lock.unlock();
        const CommandResult result = runAspi(*target, request, data, std::nullopt);
        lock.lock();
        if (result.outcome != Outcome::Timeout) {
            completeAspi(request, result);
            events_[index].signalled = true;
            return true;
        }
        events_[index].neverCompletes = true;
    }
    lock.unlock();
    // Nothing will signal the event: the wait expires.
    const std::chrono::nanoseconds wait = std::chrono::milliseconds(milliseconds) + WaitOvershoot;
    clock_.sleep(clock_.mode() == ClockMode::RealTime
                     ? std::min<std::chrono::nanoseconds>(wait, RealWaitCap)
                     : wait);
    return false;
}

void SimHost::closeEvent(zorbel::EventHandle handle) {
    std::lock_guard lock(mutex_);
    const std::size_t index = handle - EventBase;
    if (handle < EventBase || index >= events_.size() || !events_[index].open) {
        return;
    }
    // A request still pending is dropped: the manager never writes to it again.
    events_[index] = Event{};
    events_[index].open = false;
    freeEvents_.push_back(index);
    ++counters_.eventsClosed;
}

// ---- user interface and system ----

void SimHost::systemMessageBox(std::string_view text, std::string_view caption) {
    std::lock_guard lock(mutex_);
    messageBoxes_.push_back({std::string(text), std::string(caption)});
}

bool SimHost::restartSystem(bool ntFamily) {
    std::lock_guard lock(mutex_);
    restarts_.push_back(ntFamily);
    ++counters_.restartRequests;
    return spec_.restartAccepted;
}

int SimHost::collate(std::string_view a, std::string_view b) {
    return zorbel::plainCollate(a, b);
}

// ---- scopes ----

ScopedHost::ScopedHost(zorbel::Host& host) {
    zorbel::setCurrentHost(&host);
}
ScopedHost::~ScopedHost() {
    zorbel::setCurrentHost(nullptr);
}

InstalledComputer::InstalledComputer(ComputerSpec spec)
    : host_(std::make_unique<SimHost>(std::move(spec))), scope_(*host_) {}

void SimHost::setPower(PowerSpec power) {
    std::lock_guard lock(mutex_);
    power_ = std::move(power);
    powerSince_ = commandsSent_.load();
}

zorbel::PowerState SimHost::powerState() {
    std::lock_guard lock(mutex_);
    const PowerSpec& power = power_;
    zorbel::PowerState state{power.source, power.batteryPresent, power.batteryPercent};
    if (power.lostAfterCommands && commandsSent_.load() - powerSince_ >= *power.lostAfterCommands) {
        state.source = zorbel::PowerSource::Battery;
        state.batteryPresent = true;
    }
    return state;
}

}  // namespace zorbel::sim
