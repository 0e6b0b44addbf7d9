// The drive command set: the packets the drive receives, the answers callers
// rely on, and the waits on the virtual clock.

#include <gtest/gtest.h>

#include "device/ApplicationTag.h"
#include "device/AtapiDevice.h"
#include "tests/device/TestHost.h"

namespace zorbel {
namespace {

using test::Answer;
using test::SeenCommand;
using test::TestHost;

class Commands : public ::testing::Test {
  protected:
    void SetUp() override {
        setApplicationTag(0);
        host.roots = {test::cdromRoot("D:\\", 0)};
        device = std::make_unique<AtapiDevice>(true);
        ASSERT_TRUE(device->SelectDrive(0));
        host.commands.clear();
    }

    // Answers TEST UNIT READY with `tur`, everything else with success.
    void answerTestUnitReady(std::function<Answer()> tur) {
        host.respond = [tur](const SeenCommand& c) {
            return c.packet[0] == 0x00 ? tur() : Answer{};
        };
    }

    std::size_t testUnitReadyCount() const {
        std::size_t n = 0;
        for (const SeenCommand& c : host.commands) {
            n += c.packet[0] == 0x00 ? 1 : 0;
        }
        return n;
    }

    TestHost host;
    std::unique_ptr<AtapiDevice> device;
};

TEST_F(Commands, EachCommandSendsItsPacketDirectionAndLength) {
    struct Case {
        const char* name;
        std::function<void(AtapiDevice&)> send;
        Packet packet;
        std::uint8_t direction;
        std::uint32_t length;
    };
    const Case cases[] = {
        {"test unit ready", [](AtapiDevice& d) { d.TestUnitReady(); }, {}, DirNone, 0},
        {"inquiry of discovery",
         [](AtapiDevice& d) { d.Inquiry(0, 0, 0, 96, 0); },
         {0x12, 0, 0, 0, 96, 0, 0, 0, 0, 0, 0, 0},
         DirIn,
         96},
        {"inquiry bits",
         [](AtapiDevice& d) { d.Inquiry(3, 3, 0x80, 36, 0x40); },
         {0x12, 0x03, 0x80, 0, 36, 0x40, 0, 0, 0, 0, 0, 0},
         DirIn,
         36},
        {"load tray",
         [](AtapiDevice& d) { d.LoadTray(); },
         {0x1B, 0, 0, 0, 0x03, 0, 0, 0, 0, 0, 0, 0},
         DirNone,
         0},
        {"eject tray",
         [](AtapiDevice& d) { d.EjectTray(); },
         {0x1B, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0},
         DirNone,
         0},
        {"stop disc",
         [](AtapiDevice& d) { d.StopDisc(); },
         {0x1B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         DirNone,
         0},
        {"start stop fields",
         [](AtapiDevice& d) { d.StartStopUnit(3, 0x1F, 3, 3); },
         {0x1B, 0x01, 0, 0, 0xF3, 0, 0, 0, 0, 0, 0, 0},
         DirNone,
         0},
        {"tray status",
         [](AtapiDevice& d) { d.IsTrayOpen(); },
         {0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 8, 0, 0, 0},
         DirIn,
         8},
        {"event status, 16-bit length",
         [](AtapiDevice& d) { d.GetEventStatus(1, 0x10, 0x1234, 7); },
         {0x4A, 0x01, 0, 0, 0x10, 0, 0, 0x12, 0x34, 7, 0, 0},
         DirIn,
         0x1234},
        {"flash id",
         [](AtapiDevice& d) { d.ReadFlashId(); },
         {0xDF, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         DirIn,
         128},
        {"read back a block",
         [](AtapiDevice& d) { d.ReadDriveBuffer(0x0FC000, 0x4000); },
         {0x3C, 0x01, 0x01, 0x0F, 0xC0, 0x00, 0x00, 0x40, 0x00, 0, 0, 0},
         DirIn,
         0x4000},
        {"offset past 16 MiB keeps its low 24 bits",
         [](AtapiDevice& d) { d.ReadDriveBuffer(0x01ABCDEF, 16); },
         {0x3C, 0x01, 0x01, 0xAB, 0xCD, 0xEF, 0, 0, 16, 0, 0, 0},
         DirIn,
         16},
        {"write a block",
         [](AtapiDevice& d) { d.WriteDriveBuffer(0x104000, 0x4000, 0x00); },
         {0x3B, 0x05, 0x01, 0x10, 0x40, 0x00, 0x00, 0x40, 0x00, 0x00, 0, 0},
         DirOut,
         0x4000},
        {"write a profile",
         [](AtapiDevice& d) { d.WriteDriveBuffer(0, 0x2000, 0x7F); },
         {0x3B, 0x05, 0x01, 0, 0, 0, 0x00, 0x20, 0x00, 0x7F, 0, 0},
         DirOut,
         0x2000},
        {"commit: length encoded, no data",
         [](AtapiDevice& d) { d.WriteDriveBuffer(0, 0x4000, 0x80); },
         {0x3B, 0x05, 0x01, 0, 0, 0, 0x00, 0x40, 0x00, 0x80, 0, 0},
         DirNone,
         0},
        {"boot-code commit",
         [](AtapiDevice& d) { d.WriteDriveBuffer(0, 0, 0xA0); },
         {0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0xA0, 0, 0},
         DirNone,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.commands.clear();
        c.send(*device);
        ASSERT_EQ(host.commands.size(), 1u);
        EXPECT_EQ(host.commands[0].packet, c.packet);
        EXPECT_EQ(host.commands[0].direction, c.direction);
        EXPECT_EQ(host.commands[0].length, c.length);
    }
}

TEST_F(Commands, AnswersCallersRelyOn) {
    // Flash id: success needs a non-zero byte among the 128.
    host.respond = [](const SeenCommand&) {
        Answer a;
        a.data.assign(128, 0);
        return a;
    };
    EXPECT_FALSE(device->ReadFlashId());
    host.respond = [](const SeenCommand&) {
        Answer a;
        a.data.assign(128, 0);
        a.data[127] = 1;
        return a;
    };
    EXPECT_TRUE(device->ReadFlashId());
    host.respond = [](const SeenCommand&) { return test::senseAnswer(5, 0x20); };
    EXPECT_FALSE(device->ReadFlashId());
    EXPECT_TRUE(device->SenseIs(5, 0x20));
    EXPECT_TRUE(device->SenseKeyIs(5));
    EXPECT_FALSE(device->SenseIs(5, 0x24));

    // Tray: bit 0 of the media status byte; a rejected request reads as closed.
    for (std::uint8_t status : {0x00, 0x01, 0x02, 0x03}) {
        host.respond = [status](const SeenCommand&) {
            Answer a;
            a.data = {0, 6, 0x04, 0x1F, 0x00, status, 0, 0};
            return a;
        };
        EXPECT_EQ(device->IsTrayOpen(), (status & 1) != 0) << int(status);
    }
    host.respond = [](const SeenCommand&) { return test::senseAnswer(5, 0x20); };
    EXPECT_FALSE(device->IsTrayOpen());
}

TEST_F(Commands, AShortAnswerIsNeverReadPastItsEnd) {
    // Each check first sees a full answer that would pass, then the same
    // command answered short: the bytes left in the buffer must not count.
    struct Case {
        const char* name;
        std::vector<std::uint8_t> full;
        std::uint32_t shortLength;
        std::function<bool(AtapiDevice&)> check;
    };
    std::vector<std::uint8_t> chip(128, 0);
    chip[0] = 0xBF;
    chip[1] = 0xD6;
    chip[3] = 0x02;
    const Case cases[] = {
        {"tray open needs the media status byte",
         {0, 6, 0x04, 0x10, 0, 0x01, 0, 0},
         5,
         [](AtapiDevice& d) { return d.IsTrayOpen(); }},
        {"flash id needs its four bytes", chip, 3, [](AtapiDevice& d) { return d.ReadFlashId(); }},
        {"identity needs vendor, product and revision",
         test::inquiryData("VENDOR", "PRODUCT", "1.00"), 35,
         [](AtapiDevice& d) { return d.ReadIdentity(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::uint32_t> moved;
        host.respond = [&](const SeenCommand&) {
            Answer a;
            a.data = c.full;
            a.moved = moved;
            return a;
        };
        EXPECT_TRUE(c.check(*device));
        EXPECT_EQ(device->LastTransferLength(), c.full.size());
        moved = c.shortLength;
        EXPECT_FALSE(c.check(*device));
        EXPECT_EQ(device->LastTransferLength(), c.shortLength);
    }
    EXPECT_STREQ(device->CurrentVendor(), "");  // nothing taken from the short answer
}

TEST_F(Commands, WaitReadyOnADriveThatStaysBusyTimesOutAfterTheFullTime) {
    for (Answer busy : {test::senseAnswer(2, 0x04, 0x01), test::senseAnswer(6, 0x28)}) {
        host.commands.clear();
        answerTestUnitReady([busy] { return busy; });
        const double start = host.seconds();
        EXPECT_FALSE(device->WaitReady(30));
        const double waited = host.seconds() - start;
        EXPECT_GE(waited, 30.0);
        EXPECT_LT(waited, 30.6);
        // A poll every 300 ms, then the final TEST UNIT READY.
        EXPECT_EQ(testUnitReadyCount(), 30000u / 300u + 1u + 1u);
        EXPECT_TRUE(device->SenseKeyIs(busy.key));
    }
    // A drive still becoming ready when the wait ends has a disc inside.
    answerTestUnitReady([] { return test::senseAnswer(2, 0x04, 0x01); });
    EXPECT_FALSE(device->IsDiscAbsent());
    EXPECT_TRUE(device->SenseIs(2, 0x04));
}

TEST_F(Commands, WaitReadyEndsAtOnceOnAnyOtherOutcome) {
    struct Case {
        const char* name;
        Answer answer;
        bool discAbsent;
    };
    const Case cases[] = {
        {"no medium", test::senseAnswer(2, 0x3A, 0x01), true},
        {"ready", Answer{}, false},
        {"other sense", test::senseAnswer(3, 0x02), false},
        {"transport failure", test::transportFailure(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.commands.clear();
        answerTestUnitReady([&c] { return c.answer; });
        const double start = host.seconds();
        EXPECT_TRUE(device->WaitReady(120));
        EXPECT_EQ(host.seconds(), start);
        EXPECT_EQ(testUnitReadyCount(), 2u);
        EXPECT_EQ(device->IsDiscAbsent(), c.discAbsent);
    }
}

TEST_F(Commands, WaitReadyFollowsADriveBecomingReady) {
    int polls = 0;
    answerTestUnitReady(
        [&polls] { return ++polls <= 5 ? test::senseAnswer(2, 0x04, 0x01) : Answer{}; });
    EXPECT_TRUE(device->WaitReady(60));
    EXPECT_DOUBLE_EQ(host.seconds(), 1.5);
    EXPECT_EQ(polls, 7);  // 5 busy, 1 ready, the final one
}

TEST_F(Commands, ClearUnitAttentionRepeatsOnlyWhileUnitAttentionAndIsBounded) {
    int polls = 0;
    answerTestUnitReady([&polls] { return ++polls <= 2 ? test::senseAnswer(6, 0x29) : Answer{}; });
    device->ClearUnitAttention();
    EXPECT_EQ(polls, 3);

    polls = 0;
    answerTestUnitReady([&polls] { return ++polls, test::senseAnswer(2, 0x3A); });
    device->ClearUnitAttention();
    EXPECT_EQ(polls, 1);

    // A drive reporting unit attention for ever cannot hold the caller.
    polls = 0;
    answerTestUnitReady([&polls] { return ++polls, test::senseAnswer(6, 0x29); });
    device->ClearUnitAttention();
    EXPECT_GT(polls, 2);
    EXPECT_LE(polls, 100);
}

TEST_F(Commands, PauseSleepsForTheRequestedTime) {
    const double start = host.seconds();
    device->Pause(1.0);
    EXPECT_GE(host.seconds() - start, 1.0);
    EXPECT_LT(host.seconds() - start, 1.05);
    EXPECT_TRUE(host.commands.empty());
}

TEST(CommandsWithoutCounter, WaitsStillEndWhenTheHostHasNoCounter) {
    setApplicationTag(0);
    TestHost host;
    host.counterAvailable = false;
    host.roots = {test::cdromRoot("D:\\", 0)};
    AtapiDevice device(true);
    ASSERT_TRUE(device.SelectDrive(0));

    host.respond = [](const SeenCommand&) { return test::senseAnswer(2, 0x04, 0x01); };
    EXPECT_FALSE(device.WaitReady(30));
    EXPECT_GE(host.seconds(), 30.0);
    EXPECT_LT(host.seconds(), 31.0);

    const double start = host.seconds();
    device.Pause(1.0);
    EXPECT_NEAR(host.seconds() - start, 1.0, 0.05);

    // Without a counter no command is seen as timed out.
    host.respond = [](const SeenCommand&) {
        Answer a;
        a.seconds = 1e6;
        return a;
    };
    EXPECT_TRUE(device.TestUnitReady());
    EXPECT_FALSE(device.LastTimedOut());
}

}  // namespace
}  // namespace zorbel
