// One simulated drive behind the kernel's SCSI target: each command the ring
// delivers is carried out by the drive model and answered as the drive
// answers it, and written to the trace with the time it arrived.
//
// A command the model does not answer (a transport failure, a time-out, a
// lost reply) is answered only after the kernel's own time-out for the
// device has passed: the kernel gives up on it first and ends it for the
// host itself, as it does for a real drive that stops answering. A lost reply
// is still carried out by the model (a block staged, a commit taken).
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "sim/SimDrive.h"
#include "sim/Trace.h"
#include "tools/zorbel-tcmu/CommandRing.h"

namespace zorbel::tcmu {

// Which way a command's data moves; the ring does not say, the command does.
sim::Direction directionOf(const RingCommand& command);

class ServedDrive {
  public:
    struct Timing {
        // The kernel's time-out for a command of this device (0: none).
        std::chrono::milliseconds kernelTimeout{0};
        // Waits before answering a command the drive does not answer.
        std::function<void(std::chrono::nanoseconds)> sleep;
        // Seconds since the machine started, for the trace.
        std::function<double()> now;
    };

    ServedDrive(sim::DriveSpec spec, sim::VirtualClock& clock, sim::CommandTrace* trace,
                Timing timing);
    ServedDrive(const ServedDrive&) = delete;
    ServedDrive& operator=(const ServedDrive&) = delete;

    RingReply answer(const RingCommand& command, const CommandRing::Access& access);

    // How long an unanswered command is held: past the kernel's time-out.
    std::chrono::nanoseconds holdTime() const;

    // Identity now, commits, whether it is bricked, and what it received.
    std::string summary() const;

    const sim::SimDrive& drive() const { return drive_; }
    sim::SimDrive& drive() { return drive_; }

  private:
    sim::SimDrive drive_;
    sim::CommandTrace* trace_;
    Timing timing_;
    mutable std::mutex mutex_;
    std::uint64_t held_ = 0;
};

}  // namespace zorbel::tcmu
