#include "engine/StandInProfiles.h"

#include <atomic>

namespace zorbel {

namespace {

std::atomic<bool> standInsAccepted{false};

}  // namespace

void SetStandInProfilesAccepted(bool accepted) {
    standInsAccepted.store(accepted);
}

bool StandInProfilesAccepted() {
    return standInsAccepted.load();
}

bool OwnStoreHoldsStandIns() {
    return !StandInGroups(ProfileStore()).empty();
}

}  // namespace zorbel
