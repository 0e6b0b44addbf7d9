// What a drive answers after its commit, and whether that is a success. A
// drive writes the committed image into its flash and then starts again; only
// a drive that comes back with its own vendor and product and a TEST UNIT READY
// without error, carrying the new firmware's revision or (a drive that runs new
// firmware only from its next restart) its old one after it has shown that it
// restarted, was updated. Everything else — silence, another identity, a third
// revision, a drive error, the old revision with no sign of a restart — is a
// failed update.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "device/AtapiDevice.h"

namespace zorbel {

// How long a drive may take to come back after its commit, in seconds; no
// single command of the wait outlasts what is left of it. A drive writes its
// flash and starts again within tens of seconds; this is twice the readiness
// wait a run grants a drive before it programs it, and as long as the disc
// check's longest wait for a drive becoming ready.
inline constexpr double RestartWaitSeconds = 120.0;

enum class AfterCommit {
    NewRevision,    // the drive runs the new firmware
    OldRevision,    // the drive still reports its old revision: new firmware at the next restart
    NoAnswer,       // nothing within RestartWaitSeconds, or only "not ready yet"
    OtherIdentity,  // another vendor or product, or no identity at all
    OtherRevision,  // its own vendor and product with a revision neither old nor new
    NoRestart,      // the old revision, and the drive never showed that it restarted
    DriveError,     // its own identity, but TEST UNIT READY ends in an error
};

struct CommitVerdict {
    AfterCommit outcome = AfterCommit::NoAnswer;
    std::string answered;  // what the drive answered, for the person reading the reason
    bool succeeded() const {
        return outcome == AfterCommit::NewRevision || outcome == AfterCommit::OldRevision;
    }
};

// Waits, within RestartWaitSeconds, for the drive selected in a run object to
// be ready again after its commit (while it reports becoming ready or a unit
// attention, or its commands fail on the way), then reads its identity and
// compares it with the run object's table entry (the identity matched at
// start-up) and `newRevision` (the bin's new revision). A restart shows as a
// reset unit attention (ASC 29h), as becoming ready after not ready, or as the
// drive coming back under a new node: a handle that stops working is followed
// to the root that answers the drive's address (AtapiDevice::FollowMovedDrive)
// and the drive is asked there. No command outlasts what is left of the wait; a
// command that times out ends it: the drive is not asked again. On the window's
// thread the window keeps handling its messages meanwhile.
CommitVerdict AwaitDriveAfterCommit(AtapiDevice& drive, std::string_view newRevision);

// The line for standard error about a drive's verdict, naming the drive as
// `driveName`; empty for a drive that came back with the new revision.
std::string CommitVerdictLine(const CommitVerdict& verdict, std::string_view driveName,
                              std::string_view oldRevision, std::string_view newRevision);

}  // namespace zorbel
