// The programming procedure on simulated drives: order of the run, block
// transfer and read-back, the restarts from block 0, the commit packets, and
// the images that must never be transferred.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "engine/ProgramFlash.h"
#include "tests/engine/SimRig.h"

namespace zorbel {
namespace {

using enginetest::faultRule;
using enginetest::makeImage;
using enginetest::OneMiB;
using enginetest::programmableDrive;
using enginetest::SimRig;

constexpr std::uint8_t OpWriteBuffer = 0x3B;
constexpr std::uint8_t OpReadBuffer = 0x3C;

std::uint32_t offsetOf(const sim::CommandRecord& c) {
    return (std::uint32_t{c.packet[3]} << 16) | (std::uint32_t{c.packet[4]} << 8) | c.packet[5];
}

bool isBlockWrite(const sim::CommandRecord& c) {
    return c.packet[0] == OpWriteBuffer && c.packet[9] == 0x00 && c.length == BlockSize;
}

bool isBlockRead(const sim::CommandRecord& c) {
    return c.packet[0] == OpReadBuffer && c.length == BlockSize;
}

bool isCommit(const sim::CommandRecord& c) {
    return c.packet[0] == OpWriteBuffer && (c.packet[9] == 0x80 || c.packet[9] == 0xA0);
}

// The block numbers of the image writes, in order.
std::vector<std::uint32_t> writtenBlocks(const std::vector<sim::CommandRecord>& commands) {
    std::vector<std::uint32_t> blocks;
    for (const auto& c : commands) {
        if (isBlockWrite(c)) {
            blocks.push_back(offsetOf(c) / BlockSize);
        }
    }
    return blocks;
}

TEST(ProgramFlash, CleanRunPreparesTransfersVerifiesAndCommits) {
    const auto image = makeImage(OneMiB);
    SimRig rig({programmableDrive(image)});
    AtapiDevice& run = rig.run();
    run.SetCommandTimeout(5);

    ASSERT_TRUE(ProgramFlash(run, image.data(), OneMiB, false));
    EXPECT_EQ(run.CommandTimeout(), 5u) << "the object's own time-out comes back";
    EXPECT_TRUE(run.FlashPhase());

    const auto commands = rig.commands();
    // The identity check before anything else; then preparation: readiness
    // (TEST UNIT READY), stop, identification, profile.
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands[0].packet[0], 0x12);
    std::size_t i = 1;
    while (i < commands.size() && commands[i].packet[0] == 0x00) {
        ++i;
    }
    EXPECT_GE(i, 2u) << "the wait ends with one more TEST UNIT READY";
    ASSERT_LT(i + 2, commands.size());
    EXPECT_EQ(commands[i].packet[0], 0x1B);
    EXPECT_EQ(commands[i].packet[4], 0x00) << "StopDisc: no eject, no start";
    EXPECT_EQ(commands[i + 1].packet[0], 0xDF);
    EXPECT_EQ(commands[i + 2].packet[9], 0x7F);
    i += 3;

    // 64 blocks, each written then read back over the same range.
    for (std::uint32_t block = 0; block < 64; ++block, i += 2) {
        ASSERT_LT(i + 1, commands.size());
        EXPECT_TRUE(isBlockWrite(commands[i])) << block;
        EXPECT_TRUE(isBlockRead(commands[i + 1])) << block;
        EXPECT_EQ(offsetOf(commands[i]), block * BlockSize);
        EXPECT_EQ(offsetOf(commands[i + 1]), block * BlockSize);
    }
    ASSERT_EQ(commands.size(), i + 1);
    EXPECT_TRUE(isCommit(commands[i]));

    const auto commits = rig.drive().commits();
    ASSERT_EQ(commits.size(), 1u);
    EXPECT_TRUE(commits[0].good) << commits[0].why;
    EXPECT_FALSE(rig.drive().bricked());
}

TEST(ProgramFlash, CommitPacketsAreByteExactAndCarryNoData) {
    const std::array<std::uint8_t, 12> plain{0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x80, 0, 0};
    const std::array<std::uint8_t, 12> boot{0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0xA0, 0, 0};
    for (const bool bootCode : {false, true}) {
        SCOPED_TRACE(bootCode);
        const auto image = makeImage(4 * BlockSize);
        SimRig rig({programmableDrive(image)});
        ASSERT_TRUE(ProgramFlash(rig.run(), image.data(), 4 * BlockSize, bootCode));
        const auto commit = rig.commands().back();
        EXPECT_EQ(commit.packet, bootCode ? boot : plain);
        EXPECT_EQ(commit.direction, sim::Direction::None);
        EXPECT_EQ(commit.length, 0u);
        EXPECT_EQ(commit.moved, 0u);
        EXPECT_EQ(rig.drive().commits().at(0).code, bootCode ? 0xA0 : 0x80);
    }
}

TEST(ProgramFlash, ReadBackDifferenceInBlockTenRestartsAtBlockZero) {
    const auto image = makeImage(OneMiB);
    auto drive = programmableDrive(image);
    drive.faults.push_back(faultRule(sim::FaultKind::ReadCorruption, OpReadBuffer, {}, 11));
    SimRig rig({drive});

    ASSERT_TRUE(ProgramFlash(rig.run(), image.data(), OneMiB, false));
    std::vector<std::uint32_t> expected;
    for (std::uint32_t b = 0; b <= 10; ++b) {
        expected.push_back(b);
    }
    for (std::uint32_t b = 0; b < 64; ++b) {
        expected.push_back(b);
    }
    EXPECT_EQ(writtenBlocks(rig.commands()), expected);
    EXPECT_TRUE(rig.drive().commits().at(0).good);
}

TEST(ProgramFlash, WriteCorruptionIsCaughtOnReadBackAndRewritten) {
    const auto image = makeImage(OneMiB);
    auto drive = programmableDrive(image);
    drive.faults.push_back(faultRule(sim::FaultKind::WriteCorruption, OpWriteBuffer, 0x00, 40));
    SimRig rig({drive});
    ASSERT_TRUE(ProgramFlash(rig.run(), image.data(), OneMiB, true));
    EXPECT_EQ(writtenBlocks(rig.commands()).size(), 40u + 64u);
    EXPECT_TRUE(rig.drive().commits().at(0).good) << rig.drive().commits().at(0).why;
}

TEST(ProgramFlash, DriveRejectingEveryWriteGetsThreeBlockZeroWritesAndNoCommit) {
    const auto image = makeImage(OneMiB);
    auto drive = programmableDrive(image);
    drive.faults.push_back(
        faultRule(sim::FaultKind::Sense, OpWriteBuffer, 0x00, 0, 0, sim::sense::InvalidFieldInCdb));
    SimRig rig({drive});

    EXPECT_FALSE(ProgramFlash(rig.run(), image.data(), OneMiB, false));
    EXPECT_TRUE(rig.run().FlashPhase());
    EXPECT_EQ(writtenBlocks(rig.commands()), (std::vector<std::uint32_t>{0, 0, 0}));
    for (const auto& c : rig.commands()) {
        EXPECT_FALSE(isCommit(c));
        EXPECT_NE(c.packet[0], OpReadBuffer);
    }
    EXPECT_TRUE(rig.drive().commits().empty());
}

TEST(ProgramFlash, ReadBackThatDeliversNothingNeverPassesEvenOnABlockOfZeros) {
    // The buffer the read-back lands in holds zeros from its allocation (no
    // flash identification wrote into it), exactly what the image holds.
    const std::vector<std::uint8_t> image(2 * BlockSize, 0);
    auto drive = programmableDrive(image);
    drive.flashIdSupported = false;
    drive.answerLengths.readBuffer = 0;
    SimRig rig({drive});
    EXPECT_FALSE(ProgramFlash(rig.run(), image.data(), 2 * BlockSize, false));
    for (const auto& c : rig.commands()) {
        EXPECT_FALSE(isCommit(c));
    }
}

TEST(ProgramFlash, UnknownChipStillGetsImageAndCommit) {
    const auto image = makeImage(8 * BlockSize);
    SimRig rig({programmableDrive(image, {0xBF, 0xD6, 0x00, 0x09})});
    ASSERT_TRUE(ProgramFlash(rig.run(), image.data(), 8 * BlockSize, false));
    EXPECT_TRUE(rig.drive().profiles().empty());
    EXPECT_EQ(writtenBlocks(rig.commands()).size(), 8u);
    EXPECT_TRUE(rig.drive().commits().at(0).good);
}

TEST(ProgramFlash, LargestImageReachesTheTopOfTheOffsetField) {
    const auto image = makeImage(MaxImageSize);
    SimRig rig({programmableDrive(image)}, sim::ClockMode::Virtual, /*record=*/false);
    ASSERT_TRUE(ProgramFlash(rig.run(), image.data(), MaxImageSize, false));
    // Good only when the drive holds exactly the image (it compares every byte).
    EXPECT_TRUE(rig.drive().commits().at(0).good) << rig.drive().commits().at(0).why;
}

// A drive another handle still reaches (another program, or a second open of
// this one) cannot be held: the run sends it nothing. Once the other handle is
// gone the same run object holds it and programs it.
TEST(ProgramFlash, DriveThatCannotBeHeldGetsNothing) {
    const auto image = makeImage(4 * static_cast<std::int32_t>(BlockSize));
    SimRig rig({programmableDrive(image)});
    const DeviceHandle other = rig.host().openDevice("\\\\.\\E:");
    ASSERT_NE(other, InvalidDevice);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(
        ProgramFlash(rig.run(), image.data(), static_cast<std::int32_t>(image.size()), false));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("E:"), std::string::npos);
    EXPECT_EQ(rig.commandCount(), 0u);

    rig.host().closeDevice(other);
    EXPECT_TRUE(
        ProgramFlash(rig.run(), image.data(), static_cast<std::int32_t>(image.size()), false));
    EXPECT_EQ(rig.drive().commits().size(), 1u);
    EXPECT_EQ(rig.host().counters().unheldChanges, 0u);
    EXPECT_EQ(rig.host().openDevice("\\\\.\\E:"), InvalidDevice)
        << "no other handle opens while the run holds the drive";
}

// Sizes the procedure cannot transfer whole: refused before any command.
TEST(ProgramFlash, ImagesThatCannotBeTransferredWholeAreRefusedBeforeAnyCommand) {
    const auto image = makeImage(OneMiB);
    struct Case {
        const char* what;
        const std::uint8_t* data;
        std::int32_t size;
    };
    const Case cases[] = {
        {"empty", image.data(), 0},
        {"negative", image.data(), -static_cast<std::int32_t>(BlockSize)},
        {"below one block", image.data(), BlockSize - 1},
        {"ragged", image.data(), OneMiB - 100},
        {"one byte over a block", image.data(), BlockSize + 1},
        {"over 16 MiB", image.data(), MaxImageSize + static_cast<std::int32_t>(BlockSize)},
        {"no image", nullptr, OneMiB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimRig rig({programmableDrive(image)});
        EXPECT_FALSE(ProgramFlash(rig.run(), c.data, c.size, false));
        EXPECT_FALSE(WriteAndVerifyImage(rig.run(), c.data, c.size));
        EXPECT_EQ(rig.commandCount(), 0u);
        EXPECT_FALSE(rig.run().FlashPhase());
        EXPECT_FALSE(rig.drive().bricked());
    }
}

}  // namespace
}  // namespace zorbel
