// Command transport: the request bytes the platform receives on both routes,
// the outcome classification and its single repetition, the choice of route,
// the ASPI loading messages, drive selection, and that a command allocates
// nothing.

#include <gtest/gtest.h>

#include "device/ApplicationTag.h"
#include "device/AtapiDevice.h"
#include "device/RequestLayout.h"
#include "tests/device/AllocationCounter.h"
#include "tests/device/TestHost.h"

namespace zorbel {
namespace {

using test::Answer;
using test::TestHost;

constexpr Packet TestUnitReadyPacket{};
constexpr Packet InquiryPacket{0x12, 0, 0, 0, 96, 0, 0, 0, 0, 0, 0, 0};
constexpr Packet WriteBlockPacket{0x3B, 0x05, 0x01, 0, 0x40, 0, 0, 0x40, 0, 0, 0, 0};

class Transport : public ::testing::Test {
  protected:
    void SetUp() override { setApplicationTag(0); }
    void TearDown() override { setApplicationTag(0); }

    void clearRecords() {
        host.passThroughBlocks.clear();
        host.aspiBlocks.clear();
        host.commands.clear();
        host.eventWaits.clear();
        host.messageBoxes.clear();
    }

    // NT family, pass-through: C: a hard disk, D: a drive on port 1, target 3.
    std::unique_ptr<AtapiDevice> passThroughDevice() {
        host.roots = {test::otherRoot("C:\\"), test::cdromRoot("D:\\", 1, 0, 3, 0)};
        auto device = std::make_unique<AtapiDevice>(true);
        EXPECT_FALSE(device->UseAspi());
        EXPECT_TRUE(device->SelectDrive(0));
        clearRecords();
        return device;
    }

    // NT family with ASPI preferred: one drive on adapter 1, target 4, LUN 2.
    std::unique_ptr<AtapiDevice> aspiDevice() {
        setApplicationTag(AspiPreferredTag);
        host.aspiPresent = true;
        host.addAspiDevice(1, 4, 2);
        auto device = std::make_unique<AtapiDevice>(true);
        EXPECT_TRUE(device->UseAspi());
        EXPECT_TRUE(device->SelectDrive(0));
        clearRecords();
        return device;
    }

    TestHost host;
};

// ---- request bytes as the platform receives them ----

struct RequestCase {
    const char* name;
    Packet packet;
    std::uint8_t direction;
    std::uint32_t length;
    bool hasBuffer;
    std::uint8_t aspiFlags;  // without the event bit
};

const RequestCase RequestCases[] = {
    {"test unit ready", TestUnitReadyPacket, DirNone, 0, false, 0x00},
    {"no data but a length", TestUnitReadyPacket, DirNone, 4096, false, 0x00},
    {"inquiry in", InquiryPacket, DirIn, 96, true, srb::DirIn},
    {"in with length 0", InquiryPacket, DirIn, 0, false, srb::DirIn},
    {"block out", WriteBlockPacket, DirOut, 16384, true, srb::DirOut},
};

TEST_F(Transport, PassThroughBlockCarriesEveryFieldAtItsOffset) {
    namespace pt = passthrough;
    auto device = passThroughDevice();
    for (const RequestCase& c : RequestCases) {
        SCOPED_TRACE(c.name);
        clearRecords();
        ASSERT_TRUE(device->ExecuteCommand(c.packet, c.direction, c.length));
        ASSERT_EQ(host.passThroughBlocks.size(), 1u);
        const auto& b = host.passThroughBlocks[0];
        EXPECT_EQ(getLe16(b, pt::Length), 44);
        EXPECT_EQ(b[pt::ScsiStatus], 0);
        EXPECT_EQ(b[pt::PathId], 1);  // the port number stands in for the host adapter
        EXPECT_EQ(b[pt::TargetId], 3);
        EXPECT_EQ(b[pt::Lun], 0);
        EXPECT_EQ(b[pt::CdbLength], 12);
        EXPECT_EQ(b[pt::SenseInfoLength], 24);
        EXPECT_EQ(b[pt::DataIn], c.direction);
        EXPECT_EQ(getLe32(b, pt::DataTransferLength), c.length);
        EXPECT_EQ(getLe32(b, pt::TimeOutValue), 108000u);
        EXPECT_EQ(getLe32(b, pt::DataBuffer) != 0, c.hasBuffer);
        EXPECT_EQ(host.commands.at(0).bufferNull, !c.hasBuffer);
        EXPECT_EQ(getLe32(b, pt::SenseInfoOffset), 48u);
        for (std::size_t i = 0; i < 12; ++i) {
            EXPECT_EQ(b[pt::Cdb + i], c.packet[i]) << "packet byte " << i;
        }
        for (std::size_t i = 12; i < 20; ++i) {  // Cdb tail and filler
            EXPECT_EQ(b[pt::Cdb + i], 0) << "byte " << pt::Cdb + i;
        }
        for (std::size_t i = pt::SenseArea; i < pt::BlockSize; ++i) {
            EXPECT_EQ(b[i], 0) << "sense byte " << i;
        }
    }
}

TEST_F(Transport, AspiRequestCarriesEveryFieldAndTheCompletionEvent) {
    namespace ex = srb::exec;
    auto device = aspiDevice();
    host.aspiCompletesLate = true;  // the manager signals the event afterwards
    for (const RequestCase& c : RequestCases) {
        SCOPED_TRACE(c.name);
        clearRecords();
        const int closedBefore = host.eventsClosed;
        ASSERT_TRUE(device->ExecuteCommand(c.packet, c.direction, c.length));
        ASSERT_EQ(host.aspiBlocks.size(), 1u);
        const auto& b = host.aspiBlocks[0];
        EXPECT_EQ(b[srb::Cmd], 0x02);
        EXPECT_EQ(b[srb::Status], 0x00);
        EXPECT_EQ(b[srb::HaId], 1);
        EXPECT_EQ(b[srb::Flags], c.aspiFlags | srb::EventNotify);
        EXPECT_EQ(b[ex::Target], 4);
        EXPECT_EQ(b[ex::Lun], 2);
        EXPECT_EQ(getLe32(b, ex::BufLen), c.length);
        EXPECT_EQ(getLe32(b, ex::BufPointer) != 0, c.hasBuffer);
        EXPECT_EQ(b[ex::SenseLen], 14);
        EXPECT_EQ(b[ex::CdbLen], 12);
        EXPECT_EQ(getLe32(b, ex::PostProc), 77u);  // the event the host created
        for (std::size_t i = 0; i < 16; ++i) {
            EXPECT_EQ(b[ex::CdbByte + i], i < 12 ? c.packet[i] : 0) << "CDB byte " << i;
        }
        // Pending after the send: one wait of CommandTimeout x 1,000 ms.
        EXPECT_EQ(host.eventWaits, std::vector<std::uint32_t>{108'000'000u});
        EXPECT_EQ(host.eventsClosed, closedBefore + 1);
    }
}

TEST_F(Transport, AspiWaitsOnlyWhilePendingPollsWithoutAnEventAndClampsTheWait) {
    auto device = aspiDevice();

    // Completed inside the send: no wait, event still closed.
    ASSERT_TRUE(device->ExecuteCommand(TestUnitReadyPacket, DirNone, 0));
    EXPECT_TRUE(host.eventWaits.empty());
    EXPECT_EQ(host.eventsCreated, host.eventsClosed);

    // A time-out whose milliseconds pass 32 bits waits as long as the
    // platform allows short of "for ever", never a wrapped-around value.
    host.aspiCompletesLate = true;
    device->SetCommandTimeout(5'000'000);
    ASSERT_TRUE(device->ExecuteCommand(TestUnitReadyPacket, DirNone, 0));
    EXPECT_EQ(host.eventWaits, std::vector<std::uint32_t>{0xFFFFFFFEu});

    // No event available: no notify flag, no PostProc, the status is polled.
    clearRecords();
    host.aspiEvents = false;
    ASSERT_TRUE(device->ExecuteCommand(InquiryPacket, DirIn, 96));
    const auto& b = host.aspiBlocks.at(0);
    EXPECT_EQ(b[srb::Flags], srb::DirIn);
    EXPECT_EQ(getLe32(b, srb::exec::PostProc), 0u);
    EXPECT_TRUE(host.eventWaits.empty());
}

// ---- outcome classification and the single repetition ----

struct OutcomeCase {
    const char* name;
    std::vector<Answer> answers;  // one per attempt, the last repeats
    bool flashPhase;
    bool result;
    std::size_t attempts;
    std::uint8_t key, asc, ascq;
};

Answer slow(double seconds) {
    Answer a;
    a.seconds = seconds;
    return a;
}

Answer checkConditionKey0() {
    Answer a;
    a.status = 0x02;
    return a;
}

Answer busy() {
    Answer a;
    a.status = 0x08;
    return a;
}

std::vector<OutcomeCase> outcomeCases() {
    return {
        {"good", {Answer{}}, false, true, 1, 0, 0, 0},
        {"check condition", {test::senseAnswer(3, 0x11, 0x05)}, false, false, 1, 3, 0x11, 0x05},
        {"check condition in flash phase is not repeated",
         {test::senseAnswer(5, 0x24)},
         true,
         false,
         1,
         5,
         0x24,
         0},
        {"transport failure", {test::transportFailure()}, false, false, 1, 0, 0, 0},
        {"transport failure in flash phase: once more",
         {test::transportFailure()},
         true,
         false,
         2,
         0,
         0,
         0},
        {"second attempt succeeds", {test::transportFailure(), Answer{}}, true, true, 2, 0, 0, 0},
        {"second attempt reports sense",
         {test::transportFailure(), test::senseAnswer(2, 0x04, 0x01)},
         true,
         false,
         2,
         2,
         4,
         1},
        {"check condition whose sense has ASC 0",
         {test::senseAnswer(4, 0x00)},
         true,
         false,
         1,
         4,
         0,
         0},
        {"check condition without a sense key is no success",
         {checkConditionKey0()},
         true,
         false,
         1,
         0,
         0,
         0},
        {"busy is no success: sent once more", {busy()}, true, false, 2, 0, 0, 0},
        {"timed out", {slow(11.0)}, false, false, 1, 0, 0, 0},
        {"timed out in flash phase is not repeated", {slow(11.0)}, true, false, 1, 0, 0, 0},
        {"exactly the time-out is in time", {slow(10.0)}, true, true, 1, 0, 0, 0},
    };
}

void runOutcomeCases(TestHost& host, AtapiDevice& device) {
    for (const OutcomeCase& c : outcomeCases()) {
        SCOPED_TRACE(c.name);
        std::size_t calls = 0;
        host.respond = [&](const test::SeenCommand&) {
            const Answer& a = c.answers[std::min(calls, c.answers.size() - 1)];
            ++calls;
            return a;
        };
        device.SetCommandTimeout(10);
        c.flashPhase ? device.EnterFlashPhase() : device.LeaveFlashPhase();
        EXPECT_EQ(device.ExecuteCommand(TestUnitReadyPacket, DirNone, 0), c.result);
        EXPECT_EQ(calls, c.attempts);
        EXPECT_EQ(device.LastSenseKey(), c.key);
        EXPECT_EQ(device.LastAsc(), c.asc);
        EXPECT_EQ(device.LastAscq(), c.ascq);
        EXPECT_EQ(device.LastTimedOut(), c.answers.back().seconds > 10.0);
    }
}

TEST_F(Transport, PassThroughOutcomesAndRepetition) {
    auto device = passThroughDevice();
    runOutcomeCases(host, *device);
}

TEST_F(Transport, AspiOutcomesAndRepetition) {
    auto device = aspiDevice();
    runOutcomeCases(host, *device);
    host.aspiCompletesLate = true;
    runOutcomeCases(host, *device);
}

TEST_F(Transport, FlashPhaseRefusesACommandWithoutADriveAndLeavesTheLastFields) {
    auto device = passThroughDevice();
    host.respond = [](const test::SeenCommand&) { return test::senseAnswer(6, 0x29); };
    ASSERT_FALSE(device->ExecuteCommand(TestUnitReadyPacket, DirNone, 0));
    device->CloseDrive();

    device->EnterFlashPhase();
    clearRecords();
    EXPECT_FALSE(device->ExecuteCommand(TestUnitReadyPacket, DirNone, 0));
    EXPECT_TRUE(host.passThroughBlocks.empty());  // nothing sent
    EXPECT_EQ(device->LastSenseKey(), 6);
    EXPECT_EQ(device->LastAsc(), 0x29);

    // Outside the flash phase the request reaches the platform, which fails it.
    device->LeaveFlashPhase();
    EXPECT_FALSE(device->ExecuteCommand(TestUnitReadyPacket, DirNone, 0));
    EXPECT_EQ(host.passThroughBlocks.size(), 1u);
    EXPECT_EQ(device->LastSenseKey(), 0);
}

TEST_F(Transport, AspiFlashPhaseRefusesACommandWithoutAnAddress) {
    auto device = aspiDevice();
    device->CloseDrive();
    device->EnterFlashPhase();
    EXPECT_FALSE(device->ExecuteCommand(TestUnitReadyPacket, DirNone, 0));
    EXPECT_TRUE(host.aspiBlocks.empty());
    device->LeaveFlashPhase();
    EXPECT_FALSE(device->ExecuteCommand(TestUnitReadyPacket, DirNone, 0));
    ASSERT_EQ(host.aspiBlocks.size(), 1u);
    EXPECT_EQ(host.aspiBlocks[0][srb::HaId], 0xFF);  // -1 handed on; the manager refuses it
}

TEST_F(Transport, TransferLongerThanTheBufferNeverReachesThePlatform) {
    auto device = passThroughDevice();
    EXPECT_FALSE(device->ExecuteCommand(InquiryPacket, DirIn, TransferBufferSize + 1));
    EXPECT_FALSE(device->ExecuteCommand(WriteBlockPacket, DirOut, 0x100000));
    EXPECT_TRUE(host.commands.empty());
    // Without a data phase any length is fine: no buffer is passed.
    EXPECT_TRUE(device->ExecuteCommand(TestUnitReadyPacket, DirNone, 0x100000));
}

// ---- choice of route and the ASPI manager ----

struct RouteCase {
    const char* name;
    bool nt;
    int tag;
    bool aspiPresent;
    std::uint8_t supportStatus;
    bool useAspi;
    bool loaded;
    std::size_t messages;
};

TEST_F(Transport, RouteFollowsFamilyPreferenceAndProbe) {
    const RouteCase cases[] = {
        {"NT, preferred, working", true, AspiPreferredTag, true, srb::SsComp, true, true, 0},
        {"NT, not preferred", true, 0, true, srb::SsComp, false, false, 0},
        {"NT, preferred, no manager: silent", true, AspiPreferredTag, true, srb::SsNoAspi, false,
         false, 0},
        {"NT, preferred, absent: silent", true, AspiPreferredTag, false, 0, false, false, 0},
        {"9x, not preferred, working", false, 0, true, srb::SsComp, true, true, 0},
        {"9x, preferred, probe failed: ASPI anyway", false, AspiPreferredTag, true, srb::SsNoAspi,
         true, false, 1},
        {"9x, library absent: ASPI anyway", false, 0, false, 0, true, false, 1},
    };
    for (const RouteCase& c : cases) {
        SCOPED_TRACE(c.name);
        TestHost local;
        local.nt = c.nt;
        local.aspiPresent = c.aspiPresent;
        local.aspiSupportStatus = c.supportStatus;
        setApplicationTag(c.tag);
        AtapiDevice device(false);
        EXPECT_EQ(device.UseAspi(), c.useAspi);
        EXPECT_EQ(local.libraryLoads - local.libraryFrees, c.loaded ? 1 : 0);
        EXPECT_EQ(local.messageBoxes.size(), c.messages);
    }
    setCurrentHost(&host);
}

TEST_F(Transport, NinexWithoutAspiFailsEveryCommand) {
    host.nt = false;
    AtapiDevice device(true);
    EXPECT_TRUE(device.UseAspi());
    EXPECT_EQ(device.DriveCount(), 0);
    EXPECT_FALSE(device.ExecuteCommand(TestUnitReadyPacket, DirNone, 0));
    EXPECT_EQ(device.LastSenseKey(), 0);
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(Transport, LoadAspiReportsEachFailureInItsOwnMessageBox) {
    struct Case {
        bool present, supportMissing, sendMissing;
        std::uint8_t status;
        const char* text;
        const char* caption;
    };
    const Case cases[] = {
        {false, false, false, 1, "LoadLibrary:\nWNASPI32.DLL not found.", "Error FS 002"},
        {true, true, false, 1, "GetProcAddress:\nGetASPI32SupportInfo not fount.", "Error FS 003"},
        {true, false, true, 1, "GetProcAddress:\npfnSendASPI32Command not found.", "Error FS 004"},
        {true, false, false, 0xE3, "Could not find the ASPI manager.", "GetASPISupportInfo:"},
        {true, false, false, 0xE2, "ASPI for Windows does not support real mode.",
         "GetASPISupportInfo:"},
        {true, false, false, 0xE1, "Old ASPI manager.", "GetASPISupportInfo:"},
        {true, false, false, 0x04, "Error initializing ASPI.", "GetASPISupportInfo:"},
    };
    AtapiDevice device(false);  // NT, not preferred: nothing loaded
    ASSERT_EQ(host.libraryLoads, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        host.aspiPresent = c.present;
        host.aspiSupportInfoMissing = c.supportMissing;
        host.aspiSendMissing = c.sendMissing;
        host.aspiSupportStatus = c.status;
        host.messageBoxes.clear();
        EXPECT_FALSE(device.ProbeAspi());
        EXPECT_TRUE(host.messageBoxes.empty());  // the probe is silent
        EXPECT_FALSE(device.LoadAspi());
        ASSERT_EQ(host.messageBoxes.size(), 1u);
        EXPECT_EQ(host.messageBoxes[0].first, c.text);
        EXPECT_EQ(host.messageBoxes[0].second, c.caption);
        EXPECT_EQ(host.libraryLoads, host.libraryFrees);  // released again
    }
}

// ---- selection ----

TEST_F(Transport, SelectingTheCurrentDriveKeepsItsDevice) {
    auto device = passThroughDevice();
    const int opens = host.openCount;
    EXPECT_TRUE(device->SelectDrive(0));
    EXPECT_EQ(host.openCount, opens);
    EXPECT_EQ(host.closeCount, opens - 1);  // only discovery's device was closed
    EXPECT_FALSE(device->SelectDrive(1));   // not present: nothing changes
    EXPECT_FALSE(device->SelectDrive(-1));
    EXPECT_FALSE(device->SelectDrive(16));
    EXPECT_EQ(device->CurrentDriveIndex(), 0);
    EXPECT_TRUE(device->ExecuteCommand(TestUnitReadyPacket, DirNone, 0));
}

TEST_F(Transport, FailedOpenLeavesNoDriveAndALaterSelectionWorks) {
    host.roots = {test::cdromRoot("D:\\", 0), test::cdromRoot("E:\\", 1)};
    AtapiDevice device(true);
    ASSERT_EQ(device.DriveCount(), 2);
    host.roots[0].opens = false;  // D: cannot be opened any more

    EXPECT_FALSE(device.SelectDrive(0));
    EXPECT_EQ(device.CurrentDriveIndex(), SelectionFailed);
    EXPECT_FALSE(device.SelectDrive(SelectionFailed));  // the failure is no selection
    EXPECT_FALSE(device.ExecuteCommand(TestUnitReadyPacket, DirNone, 0));

    EXPECT_TRUE(device.SelectDrive(1));
    EXPECT_EQ(device.CurrentDriveIndex(), 1);
    host.commands.clear();
    EXPECT_TRUE(device.ExecuteCommand(TestUnitReadyPacket, DirNone, 0));
    ASSERT_EQ(host.commands.size(), 1u);
    EXPECT_EQ(host.commands[0].drive, "E:\\");

    host.roots[0].opens = true;
    EXPECT_TRUE(device.SelectDrive(0));  // another selection closes E: first
    EXPECT_EQ(host.openCount - host.closeCount, 1);
}

TEST_F(Transport, RunObjectOpensItsOwnDeviceFromTheCopiedTable) {
    auto list = passThroughDevice();
    AtapiDevice run(false);
    AtapiDevice::CopyDriveTable(*list, run);
    EXPECT_EQ(run.CurrentDriveIndex(), NoDriveSelected);
    EXPECT_EQ(run.DriveCount(), 1);
    const int opens = host.openCount;
    EXPECT_TRUE(run.SelectDrive(0));
    EXPECT_EQ(host.openCount, opens + 1);
    EXPECT_EQ(list->CurrentDriveIndex(), 0);  // the list object keeps its own
}

// ---- cost ----

TEST_F(Transport, ACommandAllocatesNothing) {
    auto pt = passThroughDevice();
    auto aspi = aspiDevice();
    host.quiet = true;
    for (AtapiDevice* device : {pt.get(), aspi.get()}) {
        const long before = test::allocationCount();
        for (int i = 0; i < 100; ++i) {
            device->ExecuteCommand(InquiryPacket, DirIn, 96);
            device->ExecuteCommand(WriteBlockPacket, DirOut, 16384);
        }
        EXPECT_EQ(test::allocationCount(), before);
    }
}

}  // namespace
}  // namespace zorbel
