// The drive object's pass-through block mapped onto the platform's
// SCSI_PASS_THROUGH_DIRECT request, and the request as the platform hands it
// back mapped onto the block as the drive object reads it.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/RequestLayout.h"
#include "device/host_windows.h"

namespace zorbel::winhost {
namespace {

namespace pt = passthrough;
using Block = std::array<std::uint8_t, PassThroughBlockSize>;

// The block as the drive object lays it out for one command.
Block makeBlock(std::uint8_t direction, std::uint32_t length, std::uint32_t timeoutSeconds,
                bool hasBuffer, std::uint8_t opcode = 0x12) {
    Block block{};
    putLe16(block, pt::Length, pt::StructSize);
    block[pt::PathId] = 1;
    block[pt::TargetId] = 2;
    block[pt::CdbLength] = 12;
    block[pt::SenseInfoLength] = pt::SenseBytes;
    block[pt::DataIn] = direction;
    putLe32(block, pt::DataTransferLength, length);
    putLe32(block, pt::TimeOutValue, timeoutSeconds);
    putLe32(block, pt::DataBuffer, hasBuffer ? 0x1000u : 0u);
    putLe32(block, pt::SenseInfoOffset, pt::SenseArea);
    block[pt::Cdb] = opcode;
    block[pt::Cdb + 11] = 0x5C;
    return block;
}

struct DataCase {
    std::uint8_t direction;
    std::uint32_t length;
    bool hasBuffer;
    bool accepted;
    bool bufferPassed;
};

TEST(PassThroughRequest, FollowsTheBlockInThePlatformsLayout) {
    const DataCase cases[] =
        {
            {1, 96, true, true, true},
            {0, 16384, true, true, true},
            {2, 0, false, true, false},
            {2, 96, false, true, false},  // no data moves; the length still travels
            {0, 0, false, true, false},   // a commit: length 0, no buffer
            {1, 0, true, true, false},
            {1, 96, false, false, false},  // a data phase without a buffer never reaches the drive
            {0, 16384, false, false, false},
            {3, 0, false, false, false},  // no such direction
        };
    std::vector<std::uint8_t> data(65536);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "direction " << int(c.direction) << " length "
                                        << c.length << " buffer " << c.hasBuffer);
        const Block block = makeBlock(c.direction, c.length, 108000, c.hasBuffer);
        PassThroughRequest request{};
        ASSERT_EQ(buildPassThrough(block, c.hasBuffer ? data.data() : nullptr, request),
                  c.accepted);
        if (!c.accepted) {
            continue;
        }
        const SCSI_PASS_THROUGH_DIRECT& s = request.sptd;
        EXPECT_EQ(s.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
        EXPECT_EQ(s.PathId, 1);
        EXPECT_EQ(s.TargetId, 2);
        EXPECT_EQ(s.DataIn, c.direction);
        EXPECT_EQ(s.DataTransferLength, c.length);
        EXPECT_EQ(s.DataBuffer, c.bufferPassed ? static_cast<void*>(data.data()) : nullptr);
        EXPECT_EQ(s.TimeOutValue, 108000u);
        EXPECT_EQ(s.CdbLength, 12);
        EXPECT_EQ(s.Cdb[0], 0x12);
        EXPECT_EQ(s.Cdb[11], 0x5C);
        EXPECT_EQ(s.SenseInfoLength, pt::SenseBytes);
        // The sense area lies inside the request, right where the platform writes it.
        EXPECT_EQ(s.SenseInfoOffset, offsetof(PassThroughRequest, sense));
        EXPECT_LE(s.SenseInfoOffset + s.SenseInfoLength, sizeof(PassThroughRequest));
    }
}

TEST(PassThroughRequest, RefusesEmptyAndOversizedPackets) {
    PassThroughRequest request{};
    Block block = makeBlock(2, 0, 10, false);
    block[pt::CdbLength] = 17;
    EXPECT_FALSE(buildPassThrough(block, nullptr, request));
    block[pt::CdbLength] = 0;
    EXPECT_FALSE(buildPassThrough(block, nullptr, request));
    block[pt::SenseInfoLength] = 200;  // more than the request's sense area
    block[pt::CdbLength] = 12;
    ASSERT_TRUE(buildPassThrough(block, nullptr, request));
    EXPECT_EQ(request.sptd.SenseInfoLength, sizeof request.sense);
}

// ---- outcome ----

std::vector<std::uint8_t> fixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    std::vector<std::uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[7] = 10;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

struct OutcomeCase {
    const char* what;
    bool delivered;
    std::uint8_t status;
    std::vector<std::uint8_t> sense;  // what the platform wrote; SenseInfoLength its size
    Outcome outcome;
    std::uint8_t key;
    std::uint8_t asc;
    std::uint8_t ascq;
};

TEST(PassThroughOutcome, StatusAndSenseGiveTheThreeOutcomes) {
    const OutcomeCase cases[] = {
        {"good", true, 0x00, {}, Outcome::Good, 0, 0, 0},
        // As wine hands back a refused WRITE BUFFER: 18 bytes, SenseInfoLength 18.
        {"check condition with sense", true, 0x02, fixedSense(0x05, 0x20, 0x00),
         Outcome::DriveError, 0x05, 0x20, 0x00},
        {"no medium", true, 0x02, fixedSense(0x02, 0x3A, 0x00), Outcome::DriveError, 0x02, 0x3A,
         0x00},
        {"sense key 0 counts as good", true, 0x02, fixedSense(0, 0, 0), Outcome::Good, 0, 0, 0},
        {"descriptor sense converted",
         true,
         0x02,
         {0x72, 0x06, 0x28, 0x00, 0, 0, 0, 0},
         Outcome::DriveError,
         0x06,
         0x28,
         0x00},
        {"control call failed", false, 0, {}, Outcome::Failed, 0, 0, 0},
        {"failed call leaves no stale sense", false, 0x02, fixedSense(0x06, 0x29, 0x00),
         Outcome::Failed, 0, 0, 0},
        {"check condition without sense", true, 0x02, {}, Outcome::Failed, 0, 0, 0},
        {"sense bytes that are no sense data",
         true,
         0x02,
         {0x00, 0x00, 0x05},
         Outcome::Failed,
         0,
         0,
         0},
        {"busy", true, 0x08, {}, Outcome::Failed, 0, 0, 0},
        {"reservation conflict", true, 0x18, {}, Outcome::Failed, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> data(96);
        Block block = makeBlock(1, 96, 108000, true);
        PassThroughRequest request{};
        ASSERT_TRUE(buildPassThrough(block, data.data(), request));
        // Stale bytes from an earlier command must not survive.
        std::fill(block.begin() + pt::SenseArea, block.end(), std::uint8_t{0xEE});
        request.sptd.ScsiStatus = c.status;
        request.sptd.SenseInfoLength = static_cast<UCHAR>(c.sense.size());
        std::copy(c.sense.begin(), c.sense.end(), request.sense);
        EXPECT_EQ(finishPassThrough(c.delivered, request, block), c.outcome);
        EXPECT_EQ(block[pt::SenseArea + 2] & 0x0F, c.key);
        EXPECT_EQ(block[pt::SenseArea + 12], c.asc);
        EXPECT_EQ(block[pt::SenseArea + 13], c.ascq);
        EXPECT_EQ(block[pt::ScsiStatus], c.delivered ? c.status : 0);
        for (std::size_t i = pt::SenseArea + pt::SenseBytes; i < block.size(); ++i) {
            EXPECT_EQ(block[i], 0xEE) << "byte " << i << " lies outside the 24-byte sense area";
        }
    }
}

TEST(PassThroughOutcome, SenseIsClippedToTheBlocksSenseArea) {
    std::vector<std::uint8_t> data(96);
    Block block = makeBlock(1, 96, 108000, true);
    PassThroughRequest request{};
    ASSERT_TRUE(buildPassThrough(block, data.data(), request));
    std::fill(std::begin(request.sense), std::end(request.sense), std::uint8_t{0x5A});
    request.sense[0] = 0x70;
    request.sense[2] = 0x03;
    request.sptd.SenseInfoLength = 32;  // more than was asked for
    request.sptd.ScsiStatus = 0x02;
    request.sptd.DataTransferLength = 40;  // the drive delivered less
    ASSERT_EQ(finishPassThrough(true, request, block), Outcome::DriveError);
    EXPECT_EQ(block[pt::SenseArea + 2], 0x03);
    EXPECT_EQ(block[pt::SenseArea + pt::SenseBytes - 1], 0x5A);
    EXPECT_EQ(block[pt::SenseArea + pt::SenseBytes], 0);
    EXPECT_EQ(getLe32(block, pt::DataTransferLength), 40u);
}

}  // namespace
}  // namespace zorbel::winhost
