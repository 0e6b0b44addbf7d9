#include "device/ExternalPower.h"

#include <atomic>

namespace zorbel {

namespace {

std::atomic<bool> lost{false};

}  // namespace

PowerState ExternalPower::now() {
    return hasCurrentHost() ? currentHost().powerState() : PowerState{};
}

void ExternalPower::beginRun() {
    lost.store(false);
}

bool ExternalPower::lostDuringRun() {
    if (lost.load()) {
        return true;
    }
    if (!allowsUpdate(now())) {
        lost.store(true);
    }
    return lost.load();
}

bool ExternalPower::lossSeen() {
    return lost.load();
}

std::string ExternalPower::describe(const PowerState& state) {
    switch (state.source) {
        case PowerSource::External:
            return "on external power";
        case PowerSource::Battery:
            return state.batteryPercent >= 0
                       ? "on its battery alone (" + std::to_string(state.batteryPercent) + " %)"
                       : "on its battery alone";
        case PowerSource::Unknown:
            break;
    }
    return state.batteryPresent ? "on a battery that is not discharging"
                                : "without a battery it can read";
}

}  // namespace zorbel
