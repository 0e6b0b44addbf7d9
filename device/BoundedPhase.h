// A stretch of a drive object's work (the disc check, a programming run, the
// wait after a commit) in which no wait can outlast its bound: every command gets at most the
// phase's time-out, and a drive that has let one command time out is sent nothing more until the
// phase ends (its further commands fail at once, reading as timed out). The drive object's own
// time-out and its earlier phase come back when the object ends.
//
// The list object serves many drives: each drive of its table is given up on
// its own, so one mute drive never silences the others.
#pragma once

#include <cstdint>

#include "device/AtapiDevice.h"

namespace zorbel {

class BoundedPhase {
  public:
    BoundedPhase(AtapiDevice& drive, std::uint32_t commandTimeoutSeconds);
    ~BoundedPhase();
    BoundedPhase(const BoundedPhase&) = delete;
    BoundedPhase& operator=(const BoundedPhase&) = delete;

  private:
    AtapiDevice& drive_;
    AtapiDevice::PhaseState saved_;
};

}  // namespace zorbel
