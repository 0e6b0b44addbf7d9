// Every fault kind of the simulated drive at every command position of one
// programming run of a 1 MiB image: the outcome must be the right one, the
// drive must never be bricked, a commit may only follow a pass in which all
// 64 blocks were read back identical, and a drive that let a command time out
// is sent nothing more.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/ProgramFlash.h"
#include "tests/engine/SimRig.h"

namespace zorbel {
namespace {

using enginetest::makeImage;
using enginetest::OneMiB;
using enginetest::programmableDrive;
using enginetest::SimRig;

enum class Fault {
    TransportOnce,
    TransportTwice,
    Sense,
    Timeout,
    WriteCorrupt,
    ReadCorrupt,
    Vanish,
    LostReply
};

struct FaultKindCase {
    const char* name;
    Fault fault;
};

const FaultKindCase faultKinds[] = {
    {"transport_once", Fault::TransportOnce},
    {"transport_twice", Fault::TransportTwice},
    {"sense", Fault::Sense},
    {"timeout", Fault::Timeout},
    {"write_corruption", Fault::WriteCorrupt},
    {"read_corruption", Fault::ReadCorrupt},
    {"vanished", Fault::Vanish},
    {"lost_reply", Fault::LostReply},
};

sim::FaultRule ruleFor(Fault fault, std::uint64_t position) {
    sim::FaultRule rule;
    rule.nth = position;
    rule.times = 1;
    switch (fault) {
        case Fault::TransportOnce:
            rule.kind = sim::FaultKind::Transport;
            break;
        case Fault::TransportTwice:
            rule.kind = sim::FaultKind::Transport;
            rule.times = 2;
            break;
        case Fault::Sense:
            rule.kind = sim::FaultKind::Sense;
            rule.sense = sim::sense::InternalFailure;
            break;
        case Fault::Timeout:
            rule.kind = sim::FaultKind::Timeout;
            break;
        case Fault::WriteCorrupt:
            rule.kind = sim::FaultKind::WriteCorruption;
            break;
        case Fault::ReadCorrupt:
            rule.kind = sim::FaultKind::ReadCorruption;
            break;
        case Fault::Vanish:
            rule.kind = sim::FaultKind::Vanish;
            break;
        case Fault::LostReply:
            rule.kind = sim::FaultKind::LostReply;
            break;
    }
    return rule;
}

constexpr std::uint32_t Blocks = OneMiB / BlockSize;

bool isCommit(const sim::CommandRecord& c) {
    return c.packet[0] == 0x3B && (c.packet[9] == 0x80 || c.packet[9] == 0xA0);
}

bool ok(const sim::CommandRecord& c) {
    return c.outcome == sim::Outcome::Ok;
}

std::uint32_t blockOf(const sim::CommandRecord& c) {
    const std::uint32_t offset =
        (std::uint32_t{c.packet[3]} << 16) | (std::uint32_t{c.packet[4]} << 8) | c.packet[5];
    return offset / BlockSize;
}

// Where the pass that ends at the commit began: the commit must follow an
// unbroken pass of blocks 0..63, each written and read back without a fault
// (a failed transport attempt followed by its successful repetition allowed).
// Returns the index of that pass's first command, or nothing when the pass
// before the commit is not whole.
std::optional<std::size_t> verifiedPassBefore(const std::vector<sim::CommandRecord>& commands,
                                              std::size_t commit) {
    std::size_t i = commit;
    // Failed transport attempts of the commit itself, before its repetition.
    while (i > 0 && commands[i - 1].packet == commands[commit].packet &&
           commands[i - 1].outcome == sim::Outcome::Transport) {
        --i;
    }
    for (std::uint32_t block = Blocks; block-- > 0;) {
        for (const std::uint8_t opcode : {std::uint8_t{0x3C}, std::uint8_t{0x3B}}) {
            if (i == 0) {
                return std::nullopt;
            }
            --i;
            const auto& c = commands[i];
            if (c.packet[0] != opcode || blockOf(c) != block || !ok(c)) {
                return std::nullopt;
            }
            // Skip the failed first attempt of a repeated command.
            while (i > 0 && commands[i - 1].packet == c.packet &&
                   commands[i - 1].outcome == sim::Outcome::Transport) {
                --i;
            }
        }
    }
    return i;
}

class FaultMatrix : public testing::TestWithParam<FaultKindCase> {};

TEST_P(FaultMatrix, EveryPositionOfOneRun) {
    const Fault fault = GetParam().fault;
    const auto image = makeImage(OneMiB);

    // The clean run fixes the positions: one per command it sends.
    std::size_t positions = 0;
    {
        SimRig rig({programmableDrive(image)});
        ASSERT_TRUE(ProgramFlash(rig.run(), image.data(), OneMiB, false));
        positions = rig.commandCount();
    }
    ASSERT_GT(positions, 2u * Blocks);

    int failures = 0;
    for (std::size_t position = 1; position <= positions; ++position) {
        SCOPED_TRACE("fault at command " + std::to_string(position) + " of " +
                     std::to_string(positions));
        SimRig rig({programmableDrive(image)});
        rig.drive().addFault(ruleFor(fault, position));
        AtapiDevice& run = rig.run();
        const bool result = ProgramFlash(run, image.data(), OneMiB, false);
        const auto commands = rig.commands();
        const auto commits = rig.drive().commits();
        const bool atCommit = position == positions;

        // The outcome. A run survives every fault but a vanished drive, a
        // time-out (the drive fell silent: nothing more is sent to it, no
        // further pass) and a commit the drive refused or never received.
        bool expected = fault != Fault::Vanish && fault != Fault::Timeout;
        if (fault == Fault::Timeout) {
            EXPECT_EQ(commands.size(), position) << "a command after the time-out";
        }
        // A commit without its reply may have been taken (a lost reply): it
        // counts as failed and is never sent again.
        if (atCommit && fault != Fault::WriteCorrupt && fault != Fault::ReadCorrupt) {
            expected = false;
        }
        EXPECT_EQ(result, expected);
        failures += result ? 0 : 1;

        // Never bricked, and every commit the drive saw was good.
        EXPECT_FALSE(rig.drive().bricked()) << rig.drive().brickReason();
        for (const auto& commit : commits) {
            EXPECT_TRUE(commit.good) << commit.why;
        }
        if (result) {
            // Good (above) means the drive held exactly the image when it committed.
            EXPECT_EQ(commits.size(), 1u);
        }

        // The commit reaches the drive at most once.
        EXPECT_LE(std::count_if(commands.begin(), commands.end(), isCommit), 1);

        // A commit only behind a whole verified pass; a corrupted block is
        // never part of that pass.
        for (std::size_t i = 0; i < commands.size(); ++i) {
            if (!isCommit(commands[i])) {
                continue;
            }
            const auto start = verifiedPassBefore(commands, i);
            ASSERT_TRUE(start.has_value()) << "commit at command " << i + 1;
            // Corruption alters data only where data moves in its direction.
            const auto& struck = commands.at(position - 1);
            const bool blockData = struck.length == BlockSize;
            if ((fault == Fault::WriteCorrupt && blockData && struck.packet[0] == 0x3B) ||
                (fault == Fault::ReadCorrupt && blockData && struck.packet[0] == 0x3C)) {
                EXPECT_TRUE(position - 1 < *start || position - 1 > i)
                    << "the pass before the commit holds the corrupted command";
            }
        }
        if (!result && fault != Fault::Vanish && fault != Fault::Timeout && !atCommit) {
            ADD_FAILURE() << "a fault before the commit must be survived";
        }
        if (::testing::Test::HasFailure()) {
            break;  // one position's report is enough
        }
    }
    RecordProperty("positions", static_cast<int>(positions));
    RecordProperty("failed_runs", failures);
}

INSTANTIATE_TEST_SUITE_P(Engine, FaultMatrix, testing::ValuesIn(faultKinds),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorbel
