// The pass-through request block mapped onto sg_io_hdr, and the outcome of an
// SG_IO call mapped back onto the block as the drive object reads it.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <vector>

#include "device/RequestLayout.h"
#include "device/host_linux.h"

namespace zorbel::linuxhost {
namespace {

namespace pt = passthrough;
using Block = std::array<std::uint8_t, PassThroughBlockSize>;

// The block as the drive object lays it out for one command.
Block makeBlock(std::uint8_t direction, std::uint32_t length, std::uint32_t timeoutSeconds,
                bool hasBuffer, std::uint8_t opcode = 0x12) {
    Block block{};
    putLe16(block, pt::Length, pt::StructSize);
    block[pt::CdbLength] = 12;
    block[pt::SenseInfoLength] = pt::SenseBytes;
    block[pt::DataIn] = direction;
    putLe32(block, pt::DataTransferLength, length);
    putLe32(block, pt::TimeOutValue, timeoutSeconds);
    putLe32(block, pt::DataBuffer, hasBuffer ? 0x1000u : 0u);
    putLe32(block, pt::SenseInfoOffset, pt::SenseArea);
    block[pt::Cdb] = opcode;
    return block;
}

struct DataCase {
    std::uint8_t direction;
    std::uint32_t length;
    bool hasBuffer;
    bool accepted;
    int sgDirection;
    unsigned sgLength;
};

TEST(SgRequest, DirectionLengthAndBufferFollowTheBlock) {
    const DataCase cases[] = {
        {1, 96, true, true, SG_DXFER_FROM_DEV, 96},
        {0, 16384, true, true, SG_DXFER_TO_DEV, 16384},
        {2, 0, false, true, SG_DXFER_NONE, 0},
        {2, 96, false, true, SG_DXFER_NONE, 0},  // no data moves, whatever the length says
        {0, 0, false, true, SG_DXFER_NONE, 0},   // a commit: length 0, no buffer
        {1, 0, true, true, SG_DXFER_NONE, 0},
        {1, 96, false, false, 0, 0},  // a data phase without a buffer never reaches the drive
        {0, 16384, false, false, 0, 0},
        {3, 0, false, false, 0, 0},  // no such direction
    };
    std::vector<std::uint8_t> data(65536);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "direction " << int(c.direction) << " length "
                                        << c.length << " buffer " << c.hasBuffer);
        Block block = makeBlock(c.direction, c.length, 108000, c.hasBuffer);
        std::array<std::uint8_t, 32> sense{};
        sg_io_hdr hdr{};
        const bool accepted =
            buildSgRequest(block, c.hasBuffer ? data.data() : nullptr, hdr, sense);
        ASSERT_EQ(accepted, c.accepted);
        if (!accepted) {
            continue;
        }
        EXPECT_EQ(hdr.interface_id, 'S');
        EXPECT_EQ(hdr.dxfer_direction, c.sgDirection);
        EXPECT_EQ(hdr.dxfer_len, c.sgLength);
        EXPECT_EQ(hdr.dxferp, c.sgLength != 0 ? static_cast<void*>(data.data()) : nullptr);
        EXPECT_EQ(hdr.cmd_len, 12);
        EXPECT_EQ(hdr.cmdp, block.data() + pt::Cdb);
        EXPECT_EQ(hdr.mx_sb_len, pt::SenseBytes);
        EXPECT_EQ(hdr.sbp, sense.data());
    }
}

TEST(SgRequest, TimeOutIsTheBlocksSecondsInMillisecondsClamped) {
    const std::pair<std::uint32_t, unsigned> cases[] = {
        {108000, 108000000u},  // the drive object's default
        {1, 1000u},
        {0, 0u},                                    // the kernel's own default time-out
        {3000000, static_cast<unsigned>(INT_MAX)},  // beyond what the kernel takes
        {0xFFFFFFFFu, static_cast<unsigned>(INT_MAX)},
    };
    for (const auto& [seconds, milliseconds] : cases) {
        Block block = makeBlock(2, 0, seconds, false);
        std::array<std::uint8_t, 32> sense{};
        sg_io_hdr hdr{};
        ASSERT_TRUE(buildSgRequest(block, nullptr, hdr, sense));
        EXPECT_EQ(hdr.timeout, milliseconds) << seconds << " s";
    }
}

TEST(SgRequest, RefusesPacketsAndSenseAreasOutsideTheBlock) {
    std::array<std::uint8_t, 32> sense{};
    sg_io_hdr hdr{};
    Block block = makeBlock(2, 0, 10, false);
    block[pt::CdbLength] = 17;
    EXPECT_FALSE(buildSgRequest(block, nullptr, hdr, sense));
    block[pt::CdbLength] = 0;
    EXPECT_FALSE(buildSgRequest(block, nullptr, hdr, sense));

    block = makeBlock(2, 0, 10, false);
    putLe32(block, pt::SenseInfoOffset, 70);  // 70 + 24 runs past the block
    EXPECT_FALSE(buildSgRequest(block, nullptr, hdr, sense));
    putLe32(block, pt::SenseInfoOffset, 8);  // inside the request structure
    EXPECT_FALSE(buildSgRequest(block, nullptr, hdr, sense));

    block = makeBlock(2, 0, 10, false);
    block[pt::SenseInfoLength] = 32;  // room in the block, but the buffer has 24
    std::array<std::uint8_t, 24> small{};
    ASSERT_TRUE(buildSgRequest(block, nullptr, hdr, small));
    EXPECT_EQ(hdr.mx_sb_len, 24);
}

// ---- outcome ----

struct OutcomeCase {
    const char* what;
    int ioctlResult;
    std::uint8_t status;
    std::uint16_t hostStatus;
    std::uint16_t driverStatus;
    std::vector<std::uint8_t> sense;
    Outcome outcome;
    std::uint8_t key;
    std::uint8_t asc;
    std::uint8_t ascq;
};

std::vector<std::uint8_t> fixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    std::vector<std::uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[7] = 10;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

TEST(SgOutcome, ClassifiesAsTheDriveObjectMustSeeIt) {
    const OutcomeCase cases[] = {
        {"good", 0, 0x00, 0, 0, {}, Outcome::Completed, 0, 0, 0},
        {"check condition with sense", 0, 0x02, 0, 0x08, fixedSense(0x05, 0x20, 0x00),
         Outcome::Completed, 0x05, 0x20, 0x00},
        {"no medium", 0, 0x02, 0, 0x08, fixedSense(0x02, 0x3A, 0x01), Outcome::Completed, 0x02,
         0x3A, 0x01},
        {"check condition with key 0: completed, its status kept", 0, 0x02, 0, 0x08,
         fixedSense(0x00, 0x00, 0x00), Outcome::Completed, 0, 0, 0},
        {"descriptor sense converted",
         0,
         0x02,
         0,
         0x08,
         {0x72, 0x06, 0x28, 0x00, 0, 0, 0, 0},
         Outcome::Completed,
         0x06,
         0x28,
         0x00},
        {"ioctl refused", -1, 0, 0, 0, {}, Outcome::Failed, 0, 0, 0},
        {"host: no connect", 0, 0, 0x01, 0, {}, Outcome::Failed, 0, 0, 0},
        {"host: time-out", 0, 0, 0x03, 0, {}, Outcome::Failed, 0, 0, 0},
        {"host: reset with sense", 0, 0x02, 0x08, 0x08, fixedSense(0x06, 0x29, 0x00),
         Outcome::Failed, 0, 0, 0},
        {"driver: time-out", 0, 0, 0, 0x06, {}, Outcome::Failed, 0, 0, 0},
        {"driver: error", 0, 0, 0, 0x04, {}, Outcome::Failed, 0, 0, 0},
        {"check condition without sense", 0, 0x02, 0, 0x08, {}, Outcome::Failed, 0, 0, 0},
        {"busy", 0, 0x08, 0, 0, {}, Outcome::Failed, 0, 0, 0},
        {"reservation conflict", 0, 0x18, 0, 0, {}, Outcome::Failed, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Block block = makeBlock(1, 96, 108000, true);
        // Stale bytes from an earlier command must not survive.
        std::fill(block.begin() + pt::SenseArea, block.end(), std::uint8_t{0xEE});
        std::array<std::uint8_t, 32> sense{};
        std::copy(c.sense.begin(), c.sense.end(), sense.begin());
        sg_io_hdr hdr{};
        hdr.mx_sb_len = pt::SenseBytes;
        hdr.sb_len_wr = static_cast<unsigned char>(c.sense.size());
        hdr.status = c.status;
        hdr.host_status = c.hostStatus;
        hdr.driver_status = c.driverStatus;
        EXPECT_EQ(classifySgResult(c.ioctlResult, hdr, sense, block), c.outcome);
        EXPECT_EQ(block[pt::ScsiStatus], c.ioctlResult < 0 ? 0 : c.status);
        EXPECT_EQ(block[pt::SenseArea + 2] & 0x0F, c.key);
        EXPECT_EQ(block[pt::SenseArea + 12], c.asc);
        EXPECT_EQ(block[pt::SenseArea + 13], c.ascq);
        for (std::size_t i = pt::SenseArea + pt::SenseBytes; i < block.size(); ++i) {
            EXPECT_EQ(block[i], 0xEE) << "byte " << i << " lies outside the 24-byte sense area";
        }
    }
}

TEST(SgOutcome, TheBytesMovedAreTheLengthLessTheResidual) {
    const std::array<std::pair<int, std::uint32_t>, 4> cases{
        {{0, 96}, {60, 36}, {96, 0}, {500, 0}}};  // a residual past the length moves nothing
    for (const auto& [residual, moved] : cases) {
        Block block = makeBlock(1, 96, 108000, true);
        std::array<std::uint8_t, 32> sense{};
        sg_io_hdr hdr{};
        hdr.dxfer_len = 96;
        hdr.resid = residual;
        ASSERT_EQ(classifySgResult(0, hdr, sense, block), Outcome::Completed);
        EXPECT_EQ(getLe32(block, pt::DataTransferLength), moved) << residual;
    }
}

TEST(SgOutcome, SenseIsClippedToTheSenseArea) {
    Block block = makeBlock(1, 96, 108000, true);
    std::array<std::uint8_t, 32> sense{};
    sense.fill(0x5A);
    sense[0] = 0x70;
    sense[2] = 0x03;
    sg_io_hdr hdr{};
    hdr.mx_sb_len = pt::SenseBytes;
    hdr.sb_len_wr = 32;  // more than was asked for
    hdr.status = 0x02;
    ASSERT_EQ(classifySgResult(0, hdr, sense, block), Outcome::Completed);
    EXPECT_EQ(block[pt::SenseArea + 2], 0x03);
    EXPECT_EQ(block[pt::SenseArea + pt::SenseBytes - 1], 0x5A);
    EXPECT_EQ(block[pt::SenseArea + pt::SenseBytes], 0);
    EXPECT_EQ(block[pt::ScsiStatus], 0x02);
}

}  // namespace
}  // namespace zorbel::linuxhost
