#include "tools/zorbel-tcmu/ServedDrive.h"

#include <cstdio>
#include <vector>

namespace zorbel::tcmu {

namespace {

// A drive that stops answering is ended by the kernel this long after its
// time-out has passed; without a time-out the host's own one ends it.
constexpr std::chrono::seconds HoldPastTimeout{1};
constexpr std::chrono::seconds HoldWithoutTimeout{30};

std::string quoted(std::span<const std::uint8_t> field) {
    std::string text = "\"";
    for (std::uint8_t byte : field) {
        if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
            text.push_back(static_cast<char>(byte));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text + "\"";
}

}  // namespace

sim::Direction directionOf(const RingCommand& command) {
    if (command.dataLength == 0) {
        return sim::Direction::None;
    }
    switch (command.cdb[0]) {
        case 0x0A:  // WRITE (6)
        case 0x15:  // MODE SELECT (6)
        case 0x2A:  // WRITE (10)
        case 0x2E:  // WRITE AND VERIFY (10)
        case 0x3B:  // WRITE BUFFER
        case 0x55:  // MODE SELECT (10)
        case 0x5D:  // SEND CUE SHEET
        case 0xA3:  // SEND KEY
        case 0xAA:  // WRITE (12)
        case 0xBF:  // SEND DISC STRUCTURE
            return sim::Direction::Out;
        default:
            return sim::Direction::In;
    }
}

ServedDrive::ServedDrive(sim::DriveSpec spec, sim::VirtualClock& clock, sim::CommandTrace* trace,
                         Timing timing)
    : drive_(std::move(spec), clock), trace_(trace), timing_(std::move(timing)) {}

std::chrono::nanoseconds ServedDrive::holdTime() const {
    if (timing_.kernelTimeout.count() <= 0) {
        return HoldWithoutTimeout;
    }
    return timing_.kernelTimeout + HoldPastTimeout;
}

RingReply ServedDrive::answer(const RingCommand& command, const CommandRing::Access& access) {
    const double arrived = timing_.now ? timing_.now() : 0.0;
    const sim::Direction direction = directionOf(command);
    std::vector<std::uint8_t> data(command.dataLength, 0);
    if (direction == sim::Direction::Out) {
        access.copyOut(data.data(), data.size());
    }
    const std::size_t commitsBefore = drive_.commits().size();
    const sim::CommandResult result = drive_.execute(
        std::span(command.cdb).first(command.cdbLength), direction, command.dataLength,
        data.empty() ? nullptr : data.data(), std::nullopt, false);

    RingReply reply;
    bool held = false;
    switch (result.outcome) {
        case sim::Outcome::Ok:
            break;
        case sim::Outcome::Sense:
            reply.status = 2;
            break;
        case sim::Outcome::Transport:
        case sim::Outcome::Timeout:
            held = true;
            break;
    }
    if (held) {
        // The kernel ends the command for the host after its time-out; this
        // late answer only frees the command's place in the ring.
        {
            std::lock_guard lock(mutex_);
            ++held_;
        }
        if (timing_.sleep) {
            timing_.sleep(holdTime());
        }
        reply.status = 2;
        reply.sense[0] = 0x70;
        reply.sense[2] = 0x02;
        reply.sense[7] = 10;
        reply.sense[12] = 0x08;  // logical unit communication failure
    } else if (reply.status == 2) {
        reply.sense[0] = 0x70;
        reply.sense[2] = result.sense.key;
        reply.sense[7] = 10;
        reply.sense[12] = result.sense.asc;
        reply.sense[13] = result.sense.ascq;
    }
    if (direction == sim::Direction::In && !held) {
        reply.dataIn = true;
        reply.readLength = result.moved;
        if (reply.status == 0) {
            access.copyIn(data.data(), data.size());
        } else {
            reply.readLength = 0;
        }
    }

    if (trace_ != nullptr) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%.6f ", arrived);
        std::string line =
            stamp + sim::formatTraceLine(drive_.id(), command.cdb, direction, command.dataLength,
                                         result.outcome, result.sense, result.duration);
        if (held) {
            char note[64];
            std::snprintf(note, sizeof note, " held %.3fs",
                          std::chrono::duration<double>(holdTime()).count());
            line += note;
        }
        trace_->write(line);
        const auto commits = drive_.commits();
        for (std::size_t i = commitsBefore; i < commits.size(); ++i) {
            std::snprintf(stamp, sizeof stamp, "%.6f ", arrived);
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", commits[i].code);
            trace_->write(stamp + drive_.id() + ": commit " + code + " " +
                          (commits[i].good
                               ? "good, revision now " + quoted(drive_.currentRevision())
                               : "bricked: " + commits[i].why));
        }
    }
    return reply;
}

std::string ServedDrive::summary() const {
    const std::string& id = drive_.id();
    const auto& identity = drive_.spec().identity;
    std::string text = id + ": identity " + quoted(identity.vendor) + " " +
                       quoted(identity.product) + " " + quoted(drive_.currentRevision()) + "\n";
    const auto commits = drive_.commits();
    text += id + ": commits " + std::to_string(commits.size()) + "\n";
    for (std::size_t i = 0; i < commits.size(); ++i) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", commits[i].code);
        text += id + ": commit " + std::to_string(i + 1) + " " + code + " " +
                (commits[i].good ? std::string("good") : "bricked: " + commits[i].why) + "\n";
    }
    text += id + ": bricked " + (drive_.bricked() ? "yes" : "no") + "\n";
    std::uint64_t held = 0;
    {
        std::lock_guard lock(mutex_);
        held = held_;
    }
    text += id + ": commands " + std::to_string(drive_.commandCount()) + ", " +
            std::to_string(held) + " answered only after the kernel's time-out\n";
    return text;
}

}  // namespace zorbel::tcmu
