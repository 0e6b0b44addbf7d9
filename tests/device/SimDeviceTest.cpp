// The drive object on the simulated computer: waits on the virtual clock,
// repetition against injected faults, and discovery of whole computers.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "device/ApplicationTag.h"
#include "device/AtapiDevice.h"
#include "device/FixedText.h"
#include "sim/SimHost.h"

namespace zorbel {
namespace {

using sim::ComputerSpec;
using sim::FaultKind;
using sim::FaultRule;
using sim::InstalledComputer;

double virtualSeconds(sim::SimHost& host) {
    return std::chrono::duration<double>(host.clock().threadNow()).count();
}

std::size_t countOpcode(const sim::SimDrive& drive, std::uint8_t opcode) {
    const auto commands = drive.commands();
    return static_cast<std::size_t>(
        std::count_if(commands.begin(), commands.end(),
                      [&](const sim::CommandRecord& c) { return c.packet[0] == opcode; }));
}

class OnSim : public ::testing::Test {
  protected:
    void SetUp() override { setApplicationTag(0); }
    void TearDown() override { setApplicationTag(0); }
};

// One drive behind E: on an NT computer.
ComputerSpec oneLetterComputer(sim::DriveSpec** drive = nullptr) {
    ComputerSpec spec;
    sim::DriveSpec& d = spec.addDrive("e");
    spec.addLetter('E', "e");
    if (drive != nullptr) {
        *drive = &d;
    }
    return spec;
}

TEST_F(OnSim, WaitReadyOnADriveThatNeverBecomesReadyEndsAfterTheTimeOut) {
    sim::DriveSpec* d = nullptr;
    ComputerSpec spec = oneLetterComputer(&d);
    d->becomingReadyPolls = -1;
    InstalledComputer computer(std::move(spec));
    AtapiDevice device(true);
    ASSERT_TRUE(device.SelectDrive(0));

    const double start = virtualSeconds(computer.host());
    EXPECT_FALSE(device.WaitReady(30));
    const double waited = virtualSeconds(computer.host()) - start;
    EXPECT_GE(waited, 30.0);
    EXPECT_LT(waited, 31.0);
    EXPECT_TRUE(device.SenseIs(0x02, 0x04));
}

TEST_F(OnSim, NoMediumEndsTheWaitAtOnce) {
    sim::DriveSpec* d = nullptr;
    ComputerSpec spec = oneLetterComputer(&d);
    d->medium = false;
    InstalledComputer computer(std::move(spec));
    AtapiDevice device(true);
    ASSERT_TRUE(device.SelectDrive(0));

    const double start = virtualSeconds(computer.host());
    EXPECT_TRUE(device.IsDiscAbsent());
    EXPECT_LT(virtualSeconds(computer.host()) - start, 0.3);
}

TEST_F(OnSim, FaultsAreRepeatedOnlyAsTransportFailuresInTheFlashPhase) {
    struct Case {
        const char* name;
        FaultKind kind;
        bool flashPhase;
        bool result;
        std::size_t sent;
    };
    const Case cases[] = {
        {"transport failure, flash phase: once more", FaultKind::Transport, true, true, 2},
        {"transport failure outside the flash phase", FaultKind::Transport, false, false, 1},
        {"drive error in the flash phase", FaultKind::Sense, true, false, 1},
    };
    for (const bool aspi : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (aspi ? " (ASPI)" : " (pass-through)"));
            ComputerSpec spec;
            sim::DriveSpec& d = spec.addDrive("e");
            d.powerOnAttention = false;
            if (aspi) {
                setApplicationTag(AspiPreferredTag);
                spec.aspi.libraryPresent = true;
                spec.aspi.completion = sim::AspiCompletion::OnWait;
                spec.addAdapter().devices.push_back({1, 0, 5, "e"});
            } else {
                setApplicationTag(0);
                spec.addLetter('E', "e");
            }
            InstalledComputer computer(std::move(spec));
            AtapiDevice device(true);
            ASSERT_EQ(device.UseAspi(), aspi);
            ASSERT_TRUE(device.SelectDrive(0));

            FaultRule rule;
            rule.kind = c.kind;
            rule.opcode = 0x3C;
            rule.nth = 1;
            computer->drive(0).addFault(rule);
            c.flashPhase ? device.EnterFlashPhase() : device.LeaveFlashPhase();
            EXPECT_EQ(device.ReadDriveBuffer(0, 16384), c.result);
            EXPECT_EQ(countOpcode(computer->drive(0), 0x3C), c.sent);
            if (c.kind == FaultKind::Sense) {
                EXPECT_TRUE(device.SenseIs(0x04, 0x44));
            }
        }
    }
}

TEST_F(OnSim, DiscoveryFallsBackToLettersAndOrdersAddresslessDrivesAfterPortsZeroAndOne) {
    setApplicationTag(AspiPreferredTag);
    ComputerSpec spec;
    spec.aspi.libraryPresent = true;
    for (const char* id : {"d", "e", "f", "g"}) {
        spec.addDrive(id);
    }
    spec.addAdapter().devices.push_back({0, 0, 5, "g"});  // ASPI sees only one drive
    spec.addLetter('C', "", DriveType::Fixed);
    spec.addLetter('D', "d").addressQuery = sim::AddressQuery::Fails;
    spec.addLetter('E', "e").address = ScsiAddress{8, 1, 0, 0, 0};
    spec.addLetter('F', "f").addressQuery = sim::AddressQuery::Fails;
    spec.addLetter('G', "g").address = ScsiAddress{8, 0, 0, 1, 0};
    InstalledComputer computer(std::move(spec));

    AtapiDevice device(true);
    EXPECT_FALSE(device.UseAspi());
    ASSERT_EQ(device.DriveCount(), 4);
    const char* roots[] = {"G:\\", "E:\\", "D:\\", "F:\\"};
    const std::int16_t adapters[] = {0, 1, 2, 3};
    for (unsigned i = 0; i < 4; ++i) {
        const DriveEntry* e = device.GetDrive(i);
        EXPECT_EQ(fixedText(e->rootPath), roots[i]);
        EXPECT_EQ(e->hostAdapter, adapters[i]);
        EXPECT_EQ(e->viaAspi, 0);
        EXPECT_STREQ(e->vendor, "ZORBEL  ");
    }
    EXPECT_EQ(computer->counters().openHandles, 0u);
    EXPECT_EQ(computer->counters().libraryLoads, computer->counters().libraryFrees);
}

TEST_F(OnSim, DriveAnsweringOnlyZerosKeepsAnEmptyIdentityAfterTenAttempts) {
    sim::DriveSpec* d = nullptr;
    ComputerSpec spec = oneLetterComputer(&d);
    d->identity = sim::Identity{};
    d->chip = {0, 0, 0, 0};
    InstalledComputer computer(std::move(spec));
    AtapiDevice device(true);
    ASSERT_EQ(device.DriveCount(), 1);
    EXPECT_EQ(countOpcode(computer->drive(0), 0x12), 10u);
    const DriveEntry* e = device.GetDrive(0);
    EXPECT_STREQ(e->displayName, "");
    EXPECT_STREQ(e->vendor, "");
    EXPECT_STREQ(e->revision, "");
    EXPECT_EQ(countOpcode(computer->drive(0), 0xDF), 0u);  // discovery sends no vendor command
}

TEST_F(OnSim, ADriveThatNeverAnswersIsListedWithoutIdentityAfterOneTimeOut) {
    sim::DriveSpec* d = nullptr;
    ComputerSpec spec = oneLetterComputer(&d);
    sim::FaultRule hang;
    hang.kind = sim::FaultKind::Timeout;
    d->faults.push_back(hang);
    InstalledComputer computer(std::move(spec));
    const auto start = computer->clock().now();
    AtapiDevice device(true);
    EXPECT_LT(computer->clock().now() - start, std::chrono::seconds(2 * DiscoveryCommandTimeout));
    ASSERT_EQ(device.DriveCount(), 1);
    EXPECT_STREQ(device.GetDrive(0)->displayName, "");
    EXPECT_EQ(computer->drive(0).commandCount(), 1u);
}

TEST_F(OnSim, SeventeenDriveLettersFillSixteenEntries) {
    ComputerSpec spec;
    for (int i = 0; i < 17; ++i) {
        const char letter = static_cast<char>('D' + i);
        spec.addDrive(std::string(1, letter));
        spec.addLetter(letter, std::string(1, letter)).address =
            ScsiAddress{8, 1, 0, static_cast<std::uint8_t>(i), 0};
    }
    InstalledComputer computer(std::move(spec));
    AtapiDevice device(true);
    EXPECT_EQ(device.DriveCount(), MaxDrives);
    EXPECT_EQ(fixedText(device.GetDrive(15)->rootPath), "S:\\");
    EXPECT_EQ(computer->opensOf("T:\\"), 0u);
}

}  // namespace
}  // namespace zorbel
