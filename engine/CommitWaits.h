// The waits after the commits of one update, side by side: each drive is asked
// on a thread of its own (its run object belongs to that thread meanwhile), so
// that drives silent after their commits cost one RestartWaitSeconds together,
// not one each. The calling thread waits for all of them; on the window's
// thread the window keeps handling its messages meanwhile.
#pragma once

#include <span>
#include <string>

#include "device/AtapiDevice.h"
#include "engine/CommitVerdict.h"

namespace zorbel {

struct CommitWait {
    AtapiDevice* drive = nullptr;  // a run object whose commit the drive accepted
    std::string newRevision;       // the revision its bin brings
    CommitVerdict verdict;         // filled by AwaitDrivesAfterCommits
};

// Runs AwaitDriveAfterCommit for every wait at once and returns when all have
// their verdicts. A wait that gets no thread runs on the calling thread.
void AwaitDrivesAfterCommits(std::span<CommitWait> waits);

}  // namespace zorbel
