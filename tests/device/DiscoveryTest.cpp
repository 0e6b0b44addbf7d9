// Discovery and identification: both scans, the drive-letter fallback, the
// order of the table, the 16-entry limit, and the identity of each drive.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "device/ApplicationTag.h"
#include "device/AtapiDevice.h"
#include "device/FixedText.h"
#include "tests/device/TestHost.h"

namespace zorbel {
namespace {

using test::Answer;
using test::SeenCommand;
using test::TestHost;

class Discovery : public ::testing::Test {
  protected:
    void SetUp() override { setApplicationTag(0); }
    void TearDown() override { setApplicationTag(0); }

    static std::vector<std::string> rootsOf(AtapiDevice& device) {
        std::vector<std::string> roots;
        for (unsigned i = 0; i < device.DriveCount(); ++i) {
            roots.emplace_back(fixedText(device.GetDrive(i)->rootPath));
        }
        return roots;
    }

    TestHost host;
};

TEST_F(Discovery, DriveLetterScanOrdersByAddressWithAddresslessDrivesAfterPortsZeroAndOne) {
    using A = test::TestRoot::Address;
    host.roots = {
        test::otherRoot("C:\\"),
        test::cdromRoot("D:\\", 0),   // address fails: adapter 2
        test::cdromRoot("E:\\", 1),   // port 1
        test::cdromRoot("F:\\", 0),   // address fails: adapter 3
        test::cdromRoot("G:\\", 0),   // port 0
        test::cdromRoot("H:\\", 16),  // a port past 15 stays, sorted last
        test::cdromRoot("I:\\", 2),   // port 2: same key as D:, listed later
        test::cdromRoot("J:\\", 0),   // cannot be opened: not listed
        test::cdromRoot("K:\\", 0),   // empty address: not listed
        test::otherRoot("L:\\", DriveType::Remote),
        test::cdromRoot("M:\\", 1),  // E:'s address: a second letter for E:'s drive
    };
    host.roots[1].address = A::Fails;
    host.roots[3].address = A::Fails;
    host.roots[7].opens = false;
    host.roots[8].address = A::Empty;

    AtapiDevice device(true);
    EXPECT_FALSE(device.UseAspi());
    EXPECT_EQ(device.DriveCount(), 6);
    EXPECT_EQ(rootsOf(device),
              (std::vector<std::string>{"G:\\", "E:\\", "D:\\", "I:\\", "F:\\", "H:\\"}));
    const std::int16_t adapters[] = {0, 1, 2, 2, 3, 16};
    for (unsigned i = 0; i < 6; ++i) {
        const DriveEntry* e = device.GetDrive(i);
        EXPECT_EQ(e->hostAdapter, adapters[i]) << i;
        EXPECT_EQ(e->present, 1);
        EXPECT_EQ(e->viaAspi, 0);
    }
    EXPECT_EQ(device.GetDrive(6), nullptr);
    EXPECT_FALSE(device.IsDrivePresent(6));
    EXPECT_FALSE(device.IsDrivePresent(-1));
    EXPECT_EQ(device.CurrentDriveIndex(), NoDriveSelected);
    // Each root examined once; the empty string ending the list never.
    EXPECT_EQ(host.driveTypeCalls, static_cast<int>(host.roots.size()));
    EXPECT_EQ(host.openCount, host.closeCount);  // every device closed again
}

TEST_F(Discovery, OnOnePortTheTargetOrdersBeforeTheLun) {
    host.roots = {test::cdromRoot("D:\\", 0, 0, 1, 0), test::cdromRoot("E:\\", 0, 0, 0, 3),
                  test::cdromRoot("F:\\", 0, 0, 0, 1)};
    AtapiDevice device(true);
    EXPECT_EQ(rootsOf(device), (std::vector<std::string>{"F:\\", "E:\\", "D:\\"}));
}

TEST_F(Discovery, AspiScanWalksEveryAdapterTargetAndLun) {
    setApplicationTag(AspiPreferredTag);
    host.aspiPresent = true;
    host.addAspiDevice(0, 0, 0, 0x00);  // a disk
    host.addAspiDevice(0, 1, 0);
    host.addAspiDevice(1, 15, 7);
    host.addAspiDevice(1, 2, 3);
    AtapiDevice device(true);
    EXPECT_TRUE(device.UseAspi());
    EXPECT_EQ(host.rescans, 2);
    EXPECT_EQ(host.gdevs, 2 * 16 * 8);
    ASSERT_EQ(device.DriveCount(), 3);
    struct Address {
        std::int16_t ha, target, lun;
    };
    const Address expected[] = {{0, 1, 0}, {1, 2, 3}, {1, 15, 7}};
    for (unsigned i = 0; i < 3; ++i) {
        const DriveEntry* e = device.GetDrive(i);
        EXPECT_EQ(e->hostAdapter, expected[i].ha);
        EXPECT_EQ(e->target, expected[i].target);
        EXPECT_EQ(e->lun, expected[i].lun);
        EXPECT_EQ(e->path, 0);
        EXPECT_EQ(e->viaAspi, 1);
        EXPECT_EQ(e->rootPath[0], '\0');
    }
    // An ASPI drive is addressed by adapter, target and LUN.
    host.commands.clear();
    ASSERT_TRUE(device.SelectDrive(2));
    EXPECT_TRUE(device.TestUnitReady());
    EXPECT_EQ(host.commands.at(0).drive, "1-15-7");
    EXPECT_EQ(host.openCount, 0);
}

TEST_F(Discovery, AspiScanStopsAtAFullTable) {
    setApplicationTag(AspiPreferredTag);
    host.aspiPresent = true;
    for (int target = 0; target < 16; ++target) {
        host.addAspiDevice(0, target, 0);
        host.addAspiDevice(0, target, 1);
    }
    AtapiDevice device(true);
    EXPECT_EQ(device.DriveCount(), MaxDrives);
    EXPECT_EQ(device.GetDrive(15)->target, 7);
    EXPECT_EQ(device.GetDrive(15)->lun, 1);
}

TEST_F(Discovery, NtFallsBackToDriveLettersOnceWhenAspiMissesDrives) {
    struct Case {
        const char* name;
        bool nt;
        int aspiDrives;
        int letters;
        bool viaAspi;
        int count;
    };
    const Case cases[] = {
        {"fewer than letters: drive letters", true, 1, 2, false, 2},
        {"no ASPI drive: drive letters", true, 0, 1, false, 1},
        {"as many as letters: ASPI", true, 2, 2, true, 2},
        {"9x never falls back", false, 1, 2, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        setApplicationTag(AspiPreferredTag);
        TestHost local;
        local.nt = c.nt;
        local.aspiPresent = true;
        local.addAdapter();
        for (int i = 0; i < c.aspiDrives; ++i) {
            local.addAspiDevice(0, i, 0);
        }
        for (int i = 0; i < c.letters; ++i) {
            local.roots.push_back(
                test::cdromRoot(std::string(1, static_cast<char>('D' + i)) + ":\\", 0, 0,
                                static_cast<std::uint8_t>(i)));
        }
        AtapiDevice device(true);
        EXPECT_EQ(device.DriveCount(), c.count);
        EXPECT_EQ(device.UseAspi(), c.viaAspi);
        for (unsigned i = 0; i < device.DriveCount(); ++i) {
            EXPECT_EQ(device.GetDrive(i)->viaAspi, c.viaAspi ? 1 : 0);
        }
        // After the fallback the ASPI manager is released.
        EXPECT_EQ(local.libraryLoads - local.libraryFrees, c.viaAspi ? 1 : 0);
    }
    setCurrentHost(&host);
}

TEST_F(Discovery, IdentificationGivesEachDriveTenInquiriesAndOnlyStandardCommands) {
    host.roots = {test::cdromRoot("D:\\", 0), test::cdromRoot("E:\\", 1),
                  test::cdromRoot("F:\\", 2)};
    std::map<std::string, int> inquiries;
    std::map<std::string, int> unitAttentions = {{"D:\\", 2}};
    host.respond = [&](const SeenCommand& c) {
        Answer a;
        switch (c.packet[0]) {
            case 0x00:
                if (unitAttentions[c.drive] > 0) {
                    --unitAttentions[c.drive];
                    return test::senseAnswer(6, 0x29);
                }
                return a;
            case 0x12: {
                const int n = ++inquiries[c.drive];
                if (c.drive == "D:\\" && n == 10) {  // answers at the last attempt
                    a.data = test::inquiryData("VENDOR  ", "DVD-RW DRIVE    ", "1.00");
                } else if (c.drive == "F:\\") {  // zeros in vendor and product only
                    a.data = test::inquiryData("", "", "9.99");
                } else if (c.drive == "E:\\") {
                    return test::senseAnswer(2, 0x04, 0x01);
                } else {
                    a.data.assign(96, 0);
                }
                return a;
            }
            default:
                return a;
        }
    };
    AtapiDevice device(true);
    // Discovery speaks only standard commands: whatever their make, drives
    // receive TEST UNIT READY and INQUIRY, and never the vendor command 0xDF.
    for (const SeenCommand& c : host.commands) {
        EXPECT_TRUE(c.packet[0] == 0x00 || c.packet[0] == 0x12) << int(c.packet[0]);
    }
    ASSERT_EQ(device.DriveCount(), 3);
    EXPECT_EQ(inquiries["D:\\"], 10);
    EXPECT_EQ(inquiries["E:\\"], 10);
    EXPECT_EQ(inquiries["F:\\"], 10);
    EXPECT_EQ(unitAttentions["D:\\"], 0);  // cleared before the first INQUIRY

    const DriveEntry* d = device.GetDrive(0);
    EXPECT_STREQ(d->vendor, "VENDOR  ");  // trailing blanks kept
    EXPECT_STREQ(d->product, "DVD-RW DRIVE    ");
    EXPECT_STREQ(d->revision, "1.00");
    EXPECT_STREQ(d->displayName, "VENDOR  DVD-RW DRIVE    ");

    for (unsigned i : {1u, 2u}) {  // never identified: empty texts, still listed
        const DriveEntry* e = device.GetDrive(i);
        EXPECT_STREQ(e->vendor, "");
        EXPECT_STREQ(e->revision, "");
        EXPECT_STREQ(e->displayName, "");
        EXPECT_EQ(e->present, 1);
    }
}

TEST_F(Discovery, AHungDriveCostsOneBoundedTimeOutAndAShortAnswerIdentifiesNothing) {
    // D: answers in full; E: never answers (the platform gives up at the
    // time-out); F: sends only 20 bytes of its INQUIRY data, so the rest of
    // the buffer still holds D:'s answer.
    host.roots = {test::cdromRoot("D:\\", 0), test::cdromRoot("E:\\", 1),
                  test::cdromRoot("F:\\", 2)};
    std::map<std::string, int> commands;
    host.respond = [&](const SeenCommand& c) {
        ++commands[c.drive];
        Answer a;
        if (c.drive == "E:\\") {
            a = test::transportFailure();
            // It fails when the time-out the request carries has passed.
            a.seconds = getLe32(host.passThroughBlocks.back(), passthrough::TimeOutValue) + 0.5;
        } else if (c.packet[0] == 0x12) {
            a.data =
                test::inquiryData("VENDOR", c.drive == "D:\\" ? "FULL ANSWER" : "SHORT", "1.00");
            if (c.drive == "F:\\") {
                a.moved = 20;
            }
        }
        return a;
    };
    AtapiDevice device(true);
    EXPECT_EQ(commands["E:\\"], 1);  // one TEST UNIT READY, no INQUIRY after it timed out
    EXPECT_LT(host.seconds(), 60.0);
    for (const auto& block : host.passThroughBlocks) {
        EXPECT_EQ(getLe32(block, passthrough::TimeOutValue), DiscoveryCommandTimeout);
    }
    EXPECT_EQ(device.CommandTimeout(), DefaultCommandTimeout);  // the runs' own again
    ASSERT_EQ(device.DriveCount(), 3);
    EXPECT_STREQ(device.GetDrive(0)->product, "FULL ANSWER");
    EXPECT_STREQ(device.GetDrive(1)->displayName, "");
    EXPECT_STREQ(device.GetDrive(2)->product, "");
    EXPECT_STREQ(device.GetDrive(2)->revision, "");
}

TEST_F(Discovery, RefreshIdentityReplacesOnlyTheSelectedEntrysTexts) {
    host.roots = {test::cdromRoot("D:\\", 0), test::cdromRoot("E:\\", 1)};
    std::string revision = "1.00";
    host.respond = [&](const SeenCommand& c) {
        Answer a;
        if (c.packet[0] == 0x12) {
            a.data = test::inquiryData("VENDOR", "MODEL", revision);
        }
        return a;
    };
    AtapiDevice list(true);
    AtapiDevice run(false);
    AtapiDevice::CopyDriveTable(list, run);
    ASSERT_TRUE(run.SelectDrive(1));

    revision = "2.00";
    EXPECT_FALSE(list.RefreshIdentity());  // no drive selected: nothing to replace
    ASSERT_TRUE(list.SelectDrive(1));
    EXPECT_TRUE(list.RefreshIdentity());
    EXPECT_STREQ(list.GetDrive(1)->revision, "2.00");
    EXPECT_STREQ(list.GetDrive(0)->revision, "1.00");
    EXPECT_STREQ(list.CurrentRevision(), "2.00");
    EXPECT_STREQ(run.GetDrive(1)->revision, "1.00");  // the copy is the run's own

    host.respond = [](const SeenCommand&) { return test::senseAnswer(2, 0x3A); };
    EXPECT_FALSE(list.RefreshIdentity());
    EXPECT_STREQ(list.GetDrive(1)->revision, "2.00");  // unchanged
}

}  // namespace
}  // namespace zorbel
