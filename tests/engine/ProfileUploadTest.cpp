// Flash profile upload on simulated drives: which frame each chip answer
// produces (form, header, length, offset, code), and the answers that must
// send nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "engine/ChipTable.h"
#include "tests/engine/SimRig.h"

namespace zorbel {
namespace {

using enginetest::SimRig;

struct FrameCase {
    const char* name;
    sim::ChipId answer;
    int group;                  // stored profile the frame must carry
    std::size_t header;         // 4 legacy, 6 current
    std::uint32_t transferred;  // bytes of the WRITE BUFFER
    std::uint32_t offset;
    std::uint8_t code;
};

// The chip answers of the drives we know, with the frame each must receive.
const FrameCase frameCases[] = {
    {"row0_legacy", {0xDA, 0xC8, 0x00, 0x00}, 0, 4, 318, 0x080000, 0x00},
    {"row1_legacy", {0xBF, 0xB4, 0x00, 0x00}, 1, 4, 456, 0x080000, 0x00},
    {"row2_header_not_counted", {0xBF, 0xD6, 0x00, 0x01}, 2, 6, 1280, 0, 0x7F},
    {"row4_header_not_counted", {0x37, 0x8C, 0x00, 0x01}, 3, 6, 1280, 0, 0x7F},
    {"row8_shares_profile6", {0xBF, 0xD6, 0x00, 0x02}, 6, 6, 700, 0, 0x7F},
    {"row10_1280_with_header", {0xDA, 0xB5, 0x00, 0x01}, 8, 6, 1286, 0, 0x7F},
    {"row19_platform05", {0xBF, 0xD8, 0x00, 0x05}, 17, 6, 1240, 0, 0x7F},
    {"row20_platform05", {0x01, 0x37, 0x00, 0x05}, 17, 6, 1240, 0, 0x7F},
    {"row21_platform05", {0xC2, 0x37, 0x00, 0x05}, 17, 6, 1240, 0, 0x7F},
    {"row22_platform05", {0xC2, 0x38, 0x00, 0x05}, 17, 6, 1240, 0, 0x7F},
    {"row24_last", {0x01, 0x37, 0x00, 0x06}, 19, 6, 1128, 0, 0x7F},
};

class ProfileFrame : public testing::TestWithParam<FrameCase> {};

TEST_P(ProfileFrame, ChipAnswerGetsItsFrame) {
    const FrameCase& c = GetParam();
    sim::DriveSpec spec;
    spec.chip = c.answer;
    SimRig rig({spec});

    EXPECT_TRUE(rig.run().UploadFlashProfile());

    const auto commands = rig.commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].packet[0], 0xDF);
    const auto& write = commands[1];
    const std::array<std::uint8_t, 12> expectedPacket{
        0x3B,
        0x05,
        0x01,
        static_cast<std::uint8_t>(c.offset >> 16),
        static_cast<std::uint8_t>(c.offset >> 8),
        static_cast<std::uint8_t>(c.offset),
        static_cast<std::uint8_t>(c.transferred >> 16),
        static_cast<std::uint8_t>(c.transferred >> 8),
        static_cast<std::uint8_t>(c.transferred),
        c.code,
        0,
        0};
    EXPECT_EQ(write.packet, expectedPacket);
    EXPECT_EQ(write.direction, sim::Direction::Out);
    EXPECT_EQ(write.length, c.transferred);

    // The frame: the row's header (the answer, then for the current form the
    // profile length), then the stored profile, cut at the transfer length.
    const auto profile = StoredProfile(c.group);
    std::vector<std::uint8_t> frame(c.answer.begin(), c.answer.end());
    if (c.header == 6) {
        frame.push_back(static_cast<std::uint8_t>(profile.size() >> 8));
        frame.push_back(static_cast<std::uint8_t>(profile.size()));
    }
    frame.insert(frame.end(), profile.begin(), profile.end());
    frame.resize(c.transferred);

    const auto received = rig.drive().profiles();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].frame, frame);
    EXPECT_TRUE(received[0].fits) << received[0].why;
}

INSTANTIATE_TEST_SUITE_P(Engine, ProfileFrame, testing::ValuesIn(frameCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProfileFrame, PlatformFiveChipsShareOneProfileBehindTheirOwnHeaders) {
    std::vector<std::vector<std::uint8_t>> tails;
    for (const sim::ChipId& chip :
         {sim::ChipId{0xBF, 0xD8, 0x00, 0x05}, sim::ChipId{0x01, 0x37, 0x00, 0x05},
          sim::ChipId{0xC2, 0x37, 0x00, 0x05}, sim::ChipId{0xC2, 0x38, 0x00, 0x05}}) {
        sim::DriveSpec spec;
        spec.chip = chip;
        SimRig rig({spec});
        ASSERT_TRUE(rig.run().UploadFlashProfile());
        const auto frame = rig.drive().profiles().at(0).frame;
        ASSERT_EQ(frame.size(), 1240u);
        EXPECT_TRUE(std::equal(chip.begin(), chip.end(), frame.begin()));
        tails.emplace_back(frame.begin() + 6, frame.end());
    }
    for (const auto& tail : tails) {
        EXPECT_EQ(tail, tails.front());
    }
}

struct SilentCase {
    const char* name;
    sim::ChipId answer;
    std::vector<std::uint8_t> tail;
    bool supported;
    std::optional<std::uint32_t> answered{};  // bytes of the answer the drive sends
};

const SilentCase silentCases[] = {
    {"platform_in_no_row", {0xBF, 0xD6, 0x00, 0x09}, {}, true},
    {"byte2_differs_from_row8", {0xBF, 0xD6, 0x01, 0x02}, {}, true},
    {"zero_id_nonzero_tail", {0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x5A}, true},
    {"all_zero_answer", {0x00, 0x00, 0x00, 0x00}, {}, true},
    {"no_flash_id_command", {0xBF, 0xD6, 0x00, 0x02}, {}, false},
    {"answer_short_of_the_platform_byte", {0xBF, 0xD6, 0x00, 0x02}, {}, true, 3},
};

class NoProfileFrame : public testing::TestWithParam<SilentCase> {};

TEST_P(NoProfileFrame, SendsNothingAndFails) {
    const SilentCase& c = GetParam();
    sim::DriveSpec spec;
    spec.chip = c.answer;
    spec.flashIdTail = c.tail;
    spec.flashIdSupported = c.supported;
    spec.answerLengths.flashId = c.answered;
    SimRig rig({spec});
    // The identification a moment ago left a whole answer in the buffer.
    if (c.answered) {
        AtapiDevice& run = rig.run();
        std::fill_n(run.InBuffer(), 128, std::uint8_t{0});
        std::copy(c.answer.begin(), c.answer.end(), run.InBuffer());
    }

    EXPECT_FALSE(rig.run().UploadFlashProfile());
    const auto commands = rig.commands();
    ASSERT_EQ(commands.size(), 1u);  // the identification alone
    EXPECT_EQ(commands[0].packet[0], 0xDF);
    EXPECT_TRUE(rig.drive().profiles().empty());
}

INSTANTIATE_TEST_SUITE_P(Engine, NoProfileFrame, testing::ValuesIn(silentCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProfileFrame, RejectedFrameFailsTheUpload) {
    sim::DriveSpec spec;
    spec.faults.push_back(enginetest::faultRule(sim::FaultKind::Sense, 0x3B, 0x7F));
    SimRig rig({spec});
    EXPECT_FALSE(rig.run().UploadFlashProfile());
    EXPECT_EQ(rig.run().LastSenseKey(), sim::sense::InternalFailure.key);
}

}  // namespace
}  // namespace zorbel
