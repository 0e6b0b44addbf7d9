#include "device/BoundedPhase.h"

namespace zorbel {

BoundedPhase::BoundedPhase(AtapiDevice& drive, std::uint32_t commandTimeoutSeconds)
    : drive_(drive), saved_(drive.SavePhase()) {
    drive_.BeginBoundedPhase(commandTimeoutSeconds);
}

BoundedPhase::~BoundedPhase() {
    drive_.RestorePhase(saved_);
}

void AtapiDevice::BeginBoundedPhase(std::uint32_t commandTimeoutSeconds) {
    commandTimeout_ = commandTimeoutSeconds;
    boundedPhase_ = 1;
    gaveUpDrives_ = 0;
}

AtapiDevice::PhaseState AtapiDevice::SavePhase() const {
    return PhaseState{commandTimeout_, boundedPhase_, gaveUpDrives_};
}

void AtapiDevice::RestorePhase(const PhaseState& state) {
    commandTimeout_ = state.commandTimeout;
    boundedPhase_ = state.bounded;
    gaveUpDrives_ = state.gaveUpDrives;
}

std::uint32_t AtapiDevice::GaveUpBit() const {
    // Table entries have a bit each; anything else (no drive selected, a
    // failed selection) shares the last one.
    const int slot = currentDrive_ >= 0 && currentDrive_ < MaxDrives ? currentDrive_ : MaxDrives;
    return std::uint32_t{1} << slot;
}

bool AtapiDevice::GaveUpOnDrive() const {
    return boundedPhase_ != 0 && (gaveUpDrives_ & GaveUpBit()) != 0;
}

}  // namespace zorbel
