#include "sim/SimDrive.h"

#include "sim/VirtualClock.h"

namespace zorbel::sim {

Identity Identity::fromText(std::string_view vendor, std::string_view product,
                            std::string_view revision, std::string_view vendorSpecific) {
    Identity id;
    id.vendor = padded<8>(vendor);
    id.product = padded<16>(product);
    id.revision = padded<4>(revision);
    id.vendorSpecific = padded<16>(vendorSpecific);
    return id;
}

ProfileForm profileFormForChip(const ChipId&, std::optional<std::uint16_t>) {
    return {};
}

std::uint32_t crc32(std::span<const std::uint8_t>) {
    return 0;
}

SimDrive::SimDrive(DriveSpec spec, VirtualClock& clock, bool recordCommands)
    : spec_(std::move(spec)), clock_(clock), recordCommands_(recordCommands) {}

CommandResult SimDrive::execute(std::span<const std::uint8_t>, Direction, std::uint32_t,
                                std::uint8_t*, std::uint32_t, bool) {
    return {Outcome::Transport, {}, 0, {}};
}

std::vector<CommandRecord> SimDrive::commands() const {
    return {};
}
std::uint64_t SimDrive::commandCount() const {
    return 0;
}
std::vector<std::uint8_t> SimDrive::stagedBytes(std::uint32_t, std::uint32_t) const {
    return {};
}
std::vector<ProfileRecord> SimDrive::profiles() const {
    return {};
}
std::vector<CommitRecord> SimDrive::commits() const {
    return {};
}
bool SimDrive::bricked() const {
    return false;
}
std::string SimDrive::brickReason() const {
    return {};
}
bool SimDrive::vanished() const {
    return false;
}
std::array<std::uint8_t, 4> SimDrive::currentRevision() const {
    return {};
}
std::string SimDrive::currentRevisionText() const {
    return {};
}
bool SimDrive::trayOpen() const {
    return false;
}
bool SimDrive::mediumPresent() const {
    return false;
}
bool SimDrive::trayLocked() const {
    return false;
}
bool SimDrive::unitAttentionPending() const {
    return false;
}
void SimDrive::insertMedium() {}
void SimDrive::removeMedium() {}
void SimDrive::setTrayOpen(bool) {}
void SimDrive::setTrayLocked(bool) {}
void SimDrive::vanish() {}
void SimDrive::addFault(const FaultRule&) {}

}  // namespace zorbel::sim
