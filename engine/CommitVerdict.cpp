#include "engine/CommitVerdict.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "device/BoundedPhase.h"
#include "device/HiTimer.h"
#include "device/MessagePump.h"

namespace zorbel {

namespace {

constexpr std::uint8_t KeyNotReady = 0x02;
constexpr std::uint8_t KeyUnitAttention = 0x06;
constexpr std::uint8_t AscBecomingReady = 0x04;
constexpr std::uint8_t AscMediumNotPresent = 0x3A;
constexpr std::uint8_t AscReset = 0x29;  // power on, reset or bus device reset occurred
constexpr std::uint32_t PollMs = 300;
constexpr int IdentityAttempts = 3;

// A text field without its trailing blanks (and never past its end).
std::string_view trimmed(const char* text, std::size_t size) {
    std::string_view view(text, strnlen(text, size));
    while (!view.empty() && view.back() == ' ') {
        view.remove_suffix(1);
    }
    return view;
}

template <std::size_t N>
std::string_view trimmed(const char (&field)[N]) {
    return trimmed(field, N);
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string senseText(const AtapiDevice& drive) {
    char text[32];
    std::snprintf(text, sizeof text, "sense %02X/%02X/%02X", drive.LastSenseKey(), drive.LastAsc(),
                  drive.LastAscq());
    return text;
}

std::string identityText(const AtapiDevice& drive) {
    std::string text = "\"";
    text += trimmed(drive.CurrentVendor(), 8);
    text += ' ';
    text += trimmed(drive.CurrentProduct(), 16);
    text += ' ';
    text += trimmed(drive.CurrentRevision(), 4);
    text += '"';
    return text;
}

// Seconds since the wait began: the timer, or the sleeps taken where the
// host has no counter.
double waited(HiTimer& timer, std::uint64_t sleptMs) {
    return timer.IsUnavailable() ? static_cast<double>(sleptMs) / 1000.0
                                 : timer.ElapsedSinceStart();
}

}  // namespace

CommitVerdict AwaitDriveAfterCommit(AtapiDevice& drive, std::string_view newRevision) {
    CommitVerdict verdict;
    const std::int16_t index = drive.CurrentDriveIndex();
    const DriveEntry* selected = index < 0 ? nullptr : drive.GetDrive(static_cast<unsigned>(index));
    if (selected == nullptr) {
        verdict.answered = "nothing: no drive is selected";
        return verdict;
    }
    const DriveEntry entry = *selected;  // the table changes when the drive moves
    const auto limitSeconds = static_cast<std::uint32_t>(std::ceil(RestartWaitSeconds));
    const BoundedPhase phase(drive, limitSeconds);
    HiTimer timer;
    timer.StartTimer(true);
    std::uint64_t sleptMs = 0;
    std::string lastAnswer = "nothing";
    // Each command gets what is left of the wait; false when nothing is.
    const auto boundNextCommand = [&] {
        const double left = RestartWaitSeconds - waited(timer, sleptMs);
        if (left <= 0.0) {
            return false;
        }
        drive.SetCommandTimeout(
            std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::ceil(left))));
        return true;
    };

    // 1. Ready again: a drive starting up reports a reset, then becoming
    // ready, and may drop commands on the way meanwhile.
    bool restarted = false;
    bool wasNotReady = false;
    for (;;) {
        if (!boundNextCommand()) {
            verdict.answered = lastAnswer + " within " + std::to_string(limitSeconds) + " s";
            return verdict;
        }
        const bool ready = drive.TestUnitReady();
        if (drive.GaveUpOnDrive()) {
            verdict.answered = "nothing within " + std::to_string(limitSeconds) + " s";
            return verdict;
        }
        const bool becomingReady = !ready && drive.SenseIs(KeyNotReady, AscBecomingReady);
        const bool attention = !ready && drive.SenseKeyIs(KeyUnitAttention);
        restarted = restarted || (attention && drive.LastAsc() == AscReset);
        wasNotReady = wasNotReady || becomingReady;
        if (!ready && drive.LastSenseKey() == 0 && drive.FollowMovedDrive(entry)) {
            restarted = true;  // it left and came back under a new node
            continue;
        }
        if (!(becomingReady || attention || (!ready && drive.LastSenseKey() == 0))) {
            break;  // ready, or an answer that waiting will not change
        }
        lastAnswer =
            drive.LastSenseKey() == 0 ? "no completed command" : "only " + senseText(drive);
        pumpedSleepMs(PollMs);
        sleptMs += PollMs;
    }
    restarted = restarted || wasNotReady;
    // Ready, or empty: anything else is an error the drive reports.
    const bool driveError =
        drive.LastSenseKey() != 0 && !drive.SenseIs(KeyNotReady, AscMediumNotPresent);
    const std::string readiness = drive.LastSenseKey() == 0 ? "" : senseText(drive);

    // 2. Who answers now.
    bool identified = false;
    for (int attempt = 0;
         attempt < IdentityAttempts && !identified && !drive.GaveUpOnDrive() && boundNextCommand();
         ++attempt) {
        identified = drive.ReadIdentity();
    }
    timer.StopTimer();
    if (!identified) {
        if (drive.GaveUpOnDrive() || !boundNextCommand()) {
            verdict.outcome = AfterCommit::NoAnswer;
            verdict.answered = "nothing to INQUIRY within " + std::to_string(limitSeconds) + " s";
        } else {
            verdict.outcome = AfterCommit::OtherIdentity;
            verdict.answered = "no identity";
            if (!readiness.empty()) {
                verdict.answered += " (" + readiness + ")";
            }
        }
        return verdict;
    }
    verdict.answered = identityText(drive);
    if (std::memcmp(entry.vendor, drive.CurrentVendor(), sizeof entry.vendor) != 0 ||
        std::memcmp(entry.product, drive.CurrentProduct(), sizeof entry.product) != 0) {
        verdict.outcome = AfterCommit::OtherIdentity;
        return verdict;
    }
    if (driveError) {
        verdict.outcome = AfterCommit::DriveError;
        verdict.answered = "TEST UNIT READY with " + readiness;
        return verdict;
    }
    const std::string_view revision = trimmed(drive.CurrentRevision(), 4);
    if (revision == trimmed(newRevision.substr(0, 4))) {
        verdict.outcome = AfterCommit::NewRevision;
    } else if (revision == trimmed(entry.revision)) {
        verdict.outcome = restarted ? AfterCommit::OldRevision : AfterCommit::NoRestart;
    } else {
        verdict.outcome = AfterCommit::OtherRevision;
    }
    return verdict;
}

std::string CommitVerdictLine(const CommitVerdict& verdict, std::string_view driveName,
                              std::string_view oldRevision, std::string_view newRevision) {
    std::string line = "drive ";
    line += driveName;
    switch (verdict.outcome) {
        case AfterCommit::NewRevision:
            return {};
        case AfterCommit::OldRevision:
            line += " still answers its old revision " + std::string(trimmed(oldRevision)) +
                    " after the update: the new firmware " + std::string(trimmed(newRevision)) +
                    " takes effect after a restart";
            break;
        case AfterCommit::NoAnswer:
            line += " did not come back after its commit: it answered " + verdict.answered;
            break;
        case AfterCommit::OtherIdentity:
            line += " answered " + verdict.answered +
                    " after its commit, not its own vendor and product";
            break;
        case AfterCommit::NoRestart:
            line += " answered its old revision " + std::string(trimmed(oldRevision)) +
                    " after its commit without showing that it restarted: the update failed";
            break;
        case AfterCommit::DriveError:
            line += " answered " + verdict.answered + " after its commit: the update failed";
            break;
        case AfterCommit::OtherRevision:
            line += " answered " + verdict.answered +
                    " after its commit: revision neither the new " +
                    std::string(trimmed(newRevision)) + " nor the old " +
                    std::string(trimmed(oldRevision));
            break;
    }
    return line;
}

}  // namespace zorbel
