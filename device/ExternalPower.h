// External power and the update: an update starts only where the computer is
// not on its battery alone, and a run watches for the loss of external power
// between its blocks and before its commit, which then stops it as a stop
// signal does (no new block, no commit). Through the current host
// (Host::powerState); a computer without a battery, or one that cannot tell,
// counts as on external power.
#pragma once

#include <string>

#include "device/Host.h"

namespace zorbel {

class ExternalPower {
  public:
    // The power state now, read afresh (Unknown without a current host).
    static PowerState now();
    // True unless `state` is the battery alone.
    static bool allowsUpdate(const PowerState& state) {
        return state.source != PowerSource::Battery;
    }
    // A run begins: forgets a loss seen by an earlier one.
    static void beginRun();
    // Asked by a run between blocks and before its commit, from any thread:
    // true once the computer has been found on its battery alone since
    // beginRun (the state is read afresh until then, and the loss kept).
    static bool lostDuringRun();
    // True when lostDuringRun has seen the loss (nothing is read).
    static bool lossSeen();
    // "on its battery alone (37 %)", "on external power", "power source unknown".
    static std::string describe(const PowerState& state);
};

}  // namespace zorbel
