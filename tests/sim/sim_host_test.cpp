// The simulated operating system and ASPI manager, and the command trace.
#include <gtest/gtest.h>

#include <sstream>

#include "sim/Scenario.h"
#include "sim/SimHost.h"
#include "sim/Trace.h"
#include "tests/sim/SimTestKit.h"

namespace zorbel::sim {
namespace {

using namespace testkit;
namespace a = layout::aspi;

TEST(VirtualOs, DriveLettersTypesAndDeviceNames) {
    ComputerSpec spec = oneDrive();
    spec.addLetter('F', "", DriveType::Remote);
    SimHost host(spec);
    EXPECT_EQ(host.logicalDriveStrings(), std::string("C:\\\0E:\\\0F:\\\0\0", 13));
    EXPECT_EQ(host.driveType("C:\\"), DriveType::Fixed);
    EXPECT_EQ(host.driveType("E:\\"), DriveType::Cdrom);
    EXPECT_EQ(host.driveType("F:\\"), DriveType::Remote);
    EXPECT_EQ(host.driveType("Q:\\"), DriveType::NoRootDir);
    EXPECT_EQ(host.counters().emptyRootQueries, 0u);
    EXPECT_EQ(host.driveType(""), DriveType::NoRootDir);
    EXPECT_EQ(host.counters().emptyRootQueries, 1u) << "an empty root is counted";
    EXPECT_EQ(host.deviceNameForRoot("E:\\"), "\\\\.\\E:");
    EXPECT_EQ(host.rootLabel("E:\\"), "E:");
    EXPECT_EQ(SimHost(ComputerSpec{}).logicalDriveStrings(), "");
}

TEST(VirtualOs, OpensCloseAndFailedOpens) {
    ComputerSpec spec = oneDrive();
    spec.addDrive("dead");
    spec.addLetter('G', "dead").openFails = true;
    SimHost host(spec);
    const DeviceHandle e1 = host.openDevice("\\\\.\\E:");
    const DeviceHandle e2 = host.openDevice("\\\\.\\e:");
    EXPECT_NE(e1, InvalidDevice);
    EXPECT_NE(e2, InvalidDevice);
    EXPECT_NE(e1, e2) << "the drive may be opened twice (shared)";
    EXPECT_EQ(host.openDevice("\\\\.\\G:"), InvalidDevice);
    EXPECT_EQ(host.openDevice("\\\\.\\Z:"), InvalidDevice);
    EXPECT_EQ(host.openDevice("E:"), InvalidDevice);
    host.closeDevice(e1);
    host.closeDevice(e1);
    host.closeDevice(InvalidDevice);
    const OsCounters c = host.counters();
    EXPECT_EQ(c.opens, 2u);
    EXPECT_EQ(c.failedOpens, 3u);
    EXPECT_EQ(c.closes, 1u);
    EXPECT_EQ(c.invalidCloses, 2u);
    EXPECT_EQ(c.openHandles, 1u);
    EXPECT_EQ(host.opensOf("E:\\"), 2u);
    // A closed handle no longer reaches the drive.
    EXPECT_FALSE(passThrough(host, e1, testUnitReady(), Direction::None, 0, nullptr).delivered);
    EXPECT_TRUE(passThrough(host, e2, testUnitReady(), Direction::None, 0, nullptr).delivered);
}

TEST(VirtualOs, AnotherDriveTakesTheLetterAfterItsCommands) {
    const ComputerSpec spec = parseScenario(
        "[[drives]]\nid = \"dvd\"\n[[drives]]\nid = \"new\"\n[[letters]]\nletter = \"E\"\n"
        "drive = \"dvd\"\nreplaced_by = { drive = \"new\", after_commands = 2 }\n",
        "swap.toml", ".");
    SimHost host(spec);
    const DeviceHandle e = host.openDevice("\\\\.\\E:");
    for (int i = 0; i < 3; ++i) {
        passThrough(host, e, testUnitReady(), Direction::None, 0, nullptr);
    }
    EXPECT_EQ(host.findDrive("dvd")->commandCount(), 2u);
    EXPECT_EQ(host.findDrive("new")->commandCount(), 1u);
    host.replaceDrive("E:", "dvd");  // and back, from the next command on
    passThrough(host, e, testUnitReady(), Direction::None, 0, nullptr);
    EXPECT_EQ(host.findDrive("dvd")->commandCount(), 3u);
    EXPECT_THROW(host.replaceDrive("Q:", "dvd"), std::invalid_argument);
    EXPECT_THROW(host.replaceDrive("E:", "ghost"), std::invalid_argument);
}

TEST(VirtualOs, ScsiAddressQueryAnswersAsConfigured) {
    ComputerSpec spec = oneDrive();
    spec.letters[1].address = {0, 1, 2, 3, 4};
    spec.addDrive("b");
    spec.addLetter('F', "b").addressQuery = AddressQuery::Fails;
    spec.addDrive("c");
    spec.addLetter('G', "c").addressQuery = AddressQuery::LengthZero;
    SimHost host(spec);
    ScsiAddress address;
    EXPECT_TRUE(host.queryScsiAddress(host.openDevice("\\\\.\\E:"), address));
    EXPECT_EQ(address.length, 8u);
    EXPECT_EQ(address.portNumber, 1);
    EXPECT_EQ(address.pathId, 2);
    EXPECT_EQ(address.targetId, 3);
    EXPECT_EQ(address.lun, 4);
    EXPECT_FALSE(host.queryScsiAddress(host.openDevice("\\\\.\\F:"), address));
    address = {8, 9, 9, 9, 9};
    EXPECT_TRUE(host.queryScsiAddress(host.openDevice("\\\\.\\G:"), address));
    EXPECT_EQ(address.length, 0u);
    EXPECT_FALSE(host.queryScsiAddress(InvalidDevice, address));
}

TEST(VirtualOs, PassThroughRefusesMalformedBlocksAndFillsSense) {
    SimHost host(oneDrive());
    const DeviceHandle e = host.openDevice("\\\\.\\E:");
    std::array<std::uint8_t, 65536> buffer{};
    // Sense: 24 bytes at most at the sense offset, fixed format.
    PtAnswer answer = passThrough(host, e, cdb({0x28}), Direction::In, 2048, buffer.data());
    EXPECT_TRUE(answer.delivered);
    EXPECT_EQ(answer.block[layout::pt::SenseArea], 0x70);
    EXPECT_EQ(answer.sense, sense::InvalidOpcode);
    // The data buffer field must be 0 exactly when no buffer travels.
    auto block = answer.block;
    std::fill(block.begin() + layout::pt::SenseArea, block.end(), 0);
    layout::putLe32(block, layout::pt::DataBuffer, 0);
    EXPECT_FALSE(host.passThroughDirect(e, std::span<std::uint8_t, 80>(block), buffer.data()));
    layout::putLe16(block, layout::pt::Length, 40);
    EXPECT_FALSE(host.passThroughDirect(e, std::span<std::uint8_t, 80>(block), nullptr));
    EXPECT_EQ(host.counters().rejectedRequests, 2u);
    EXPECT_EQ(host.drive(0).commandCount(), 1u) << "refused blocks never reach the drive";
    // Data in: the transferred length is written back.
    answer = passThrough(host, e, inquiry(36), Direction::In, 96, buffer.data());
    EXPECT_EQ(answer.transferred, 36u);
    // A root without a simulated drive behind it.
    EXPECT_FALSE(passThrough(host, host.openDevice("\\\\.\\C:"), testUnitReady(), Direction::None,
                             0, nullptr)
                     .delivered);
}

TEST(VirtualOs, PlatformRestartMessagesAndCollation) {
    ComputerSpec spec;
    spec.platform = Platform::Win9x;
    spec.restartAccepted = false;
    spec.performanceCounter = false;
    SimHost host(spec);
    EXPECT_FALSE(host.isNtFamily());
    std::int64_t frequency = 1;
    EXPECT_FALSE(host.queryPerformanceFrequency(frequency));
    EXPECT_EQ(host.queryPerformanceCounter(), 0);
    EXPECT_FALSE(host.restartSystem(false));
    host.systemMessageBox("Old ASPI manager.", "GetASPISupportInfo:");
    ASSERT_EQ(host.messageBoxes().size(), 1u);
    EXPECT_EQ(host.messageBoxes()[0].text, "Old ASPI manager.");
    EXPECT_EQ(host.messageBoxes()[0].caption, "GetASPISupportInfo:");
    EXPECT_EQ(host.restartRequests(), std::vector<bool>{false});
    EXPECT_LT(host.collate("1.00", "1.0A"), 0);
    EXPECT_LT(host.collate("1.0", "1.00"), 0);
    EXPECT_EQ(host.collate("ABC", "ABC"), 0);
    SimHost nt{ComputerSpec{}};
    EXPECT_TRUE(nt.isNtFamily());
    EXPECT_TRUE(nt.queryPerformanceFrequency(frequency));
    EXPECT_EQ(frequency, 1'000'000'000);
    EXPECT_TRUE(nt.restartSystem(true));
}

TEST(VirtualAspi, LibraryEntryPointsAndSupportInfo) {
    struct Row {
        const char* name;
        bool present, supportEntry, sendEntry;
        std::uint8_t status;
        bool loads, hasSupport, hasSend;
        std::uint32_t info;
    };
    const Row rows[] = {
        {"absent", false, true, true, 0x01, false, false, false, 0},
        {"no support-info entry", true, false, true, 0x01, true, false, true, 0},
        {"no send entry", true, true, false, 0x01, true, true, false, 0x0101},
        {"working, one adapter", true, true, true, 0x01, true, true, true, 0x0101},
        {"old manager", true, true, true, 0xE1, true, true, true, 0xE100},
        {"real mode", true, true, true, 0xE2, true, true, true, 0xE200},
        {"no manager", true, true, true, 0xE3, true, true, true, 0xE300},
        {"other status", true, true, true, 0x04, true, true, true, 0x0400},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ComputerSpec spec = oneDrive(true);
        spec.aspi.libraryPresent = row.present;
        spec.aspi.supportInfoEntry = row.supportEntry;
        spec.aspi.sendCommandEntry = row.sendEntry;
        spec.aspi.supportStatus = row.status;
        SimHost host(spec);
        const AspiModule module = host.loadLibrary("WNASPI32");
        EXPECT_EQ(module != 0, row.loads);
        const AspiProc support = host.getProcAddress(module, "GetASPI32SupportInfo");
        const AspiProc send = host.getProcAddress(module, "SendASPI32Command");
        EXPECT_EQ(support != 0, row.hasSupport);
        EXPECT_EQ(send != 0, row.hasSend);
        if (support != 0) {
            EXPECT_EQ(host.aspiSupportInfo(support), row.info);
        }
        EXPECT_EQ(host.getProcAddress(module, "Other"), 0u);
        host.freeLibrary(module);
        EXPECT_EQ(host.counters().libraryLoads, host.counters().libraryFrees);
        EXPECT_EQ(host.getProcAddress(module, "SendASPI32Command"), 0u) << "library released";
    }
}

// The scan requests of drive discovery.
TEST(VirtualAspi, AdapterInquiryRescanAndDeviceTypes) {
    ComputerSpec spec = oneDrive(true);
    spec.addAdapter().inquiryStatus = a::SS_INVALID_HA;
    spec.aspi.adapters[0].identifier = "ATAPI PORT";
    SimHost host(spec);
    const AspiProc send = host.getProcAddress(host.loadLibrary("wnaspi32"), "SendASPI32Command");

    std::array<std::uint8_t, a::inquiry::Size> inquiry{};
    EXPECT_EQ(host.aspiSendCommand(send, inquiry, nullptr), a::SS_COMP);
    EXPECT_EQ(inquiry[a::Status], a::SS_COMP);
    EXPECT_EQ(inquiry[a::inquiry::Count], 2);
    EXPECT_EQ(inquiry[a::inquiry::ScsiId], 7);
    EXPECT_EQ(std::string(inquiry.begin() + a::inquiry::ManagerId,
                          inquiry.begin() + a::inquiry::ManagerId + 14),
              "ASPI for WIN32");
    EXPECT_EQ(std::string(inquiry.begin() + a::inquiry::Identifier,
                          inquiry.begin() + a::inquiry::Identifier + 10),
              "ATAPI PORT");
    inquiry.fill(0);
    inquiry[a::HaId] = 1;
    EXPECT_EQ(host.aspiSendCommand(send, inquiry, nullptr), a::SS_INVALID_HA);
    inquiry[a::HaId] = 2;
    EXPECT_EQ(host.aspiSendCommand(send, inquiry, nullptr), a::SS_INVALID_HA);

    std::array<std::uint8_t, a::HeaderSize> rescan{a::SC_RESCAN_SCSI_BUS};
    EXPECT_EQ(host.aspiSendCommand(send, rescan, nullptr), a::SS_COMP);

    auto devType = [&](std::uint8_t ha, std::uint8_t target, std::uint8_t lun) {
        std::array<std::uint8_t, a::devtype::Size> r{a::SC_GET_DEV_TYPE, 0, ha};
        r[a::devtype::Target] = target;
        r[a::devtype::Lun] = lun;
        const auto status = host.aspiSendCommand(send, r, nullptr);
        EXPECT_EQ(status, r[a::Status]);
        return std::pair{r[a::Status], r[a::devtype::DeviceType]};
    };
    EXPECT_EQ(devType(0, 0, 0), (std::pair<std::uint8_t, std::uint8_t>{a::SS_COMP, 0}));
    EXPECT_EQ(devType(0, 1, 0), (std::pair<std::uint8_t, std::uint8_t>{a::SS_COMP, 5}));
    EXPECT_EQ(devType(0, 1, 1).first, a::SS_NO_DEVICE);
    EXPECT_EQ(devType(5, 1, 0).first, a::SS_INVALID_HA);

    std::array<std::uint8_t, 4> tooShort{a::SC_HA_INQUIRY};
    EXPECT_EQ(host.aspiSendCommand(send, tooShort, nullptr), a::SS_INVALID_SRB);
}

class AspiExec : public ::testing::Test {
  protected:
    void build(AspiCompletion completion, bool eventsFail = false) {
        ComputerSpec spec = oneDrive(true);
        spec.aspi.completion = completion;
        spec.aspi.eventCreationFails = eventsFail;
        spec.drives[0].latency.perCommand = std::chrono::milliseconds(3);
        host = std::make_unique<SimHost>(spec);
        send = host->getProcAddress(host->loadLibrary("WNASPI32"), "SendASPI32Command");
    }
    std::unique_ptr<SimHost> host;
    AspiProc send = 0;
    std::array<std::uint8_t, 128> buffer{};
};

TEST_F(AspiExec, WithoutAnEventTheCommandEndsInsideTheCall) {
    build(AspiCompletion::Immediate, true);
    EXPECT_EQ(host->createEvent(), 0u);
    auto r = execRequest(0, 1, 0, inquiry(), Direction::In, 96, true, 0);
    EXPECT_EQ(host->aspiSendCommand(send, r, buffer.data()), a::SS_COMP);
    EXPECT_EQ(r[a::Status], a::SS_COMP);
    EXPECT_EQ(buffer[0], 0x05);
    r = execRequest(0, 1, 0, cdb({0x28}), Direction::In, 96, true, 0);
    EXPECT_EQ(host->aspiSendCommand(send, r, buffer.data()), a::SS_ERR);
    EXPECT_EQ(r[a::exec::TargStat], a::STATUS_CHKCOND);
    EXPECT_EQ(aspiSense(r), sense::InvalidOpcode);
    EXPECT_EQ(r[a::exec::SenseArea + 14], 0) << "14 sense bytes requested";
}

TEST_F(AspiExec, WithAnEventTheCommandEndsAndSignalsIt) {
    build(AspiCompletion::Immediate);
    const EventHandle event = host->createEvent();
    auto r = execRequest(0, 1, 0, testUnitReady(), Direction::None, 0, false, event);
    EXPECT_EQ(host->aspiSendCommand(send, r, nullptr), a::SS_COMP);
    EXPECT_TRUE(host->waitEvent(event, 1000));
    host->closeEvent(event);
    EXPECT_FALSE(host->waitEvent(event, 1000)) << "a closed event";
    EXPECT_EQ(host->counters().eventsCreated, host->counters().eventsClosed);
}

TEST_F(AspiExec, OnWaitTheRequestStaysPendingUntilTheWait) {
    build(AspiCompletion::OnWait);
    const EventHandle event = host->createEvent();
    auto r = execRequest(0, 1, 0, inquiry(), Direction::In, 96, true, event);
    EXPECT_EQ(host->aspiSendCommand(send, r, buffer.data()), a::SS_PENDING);
    EXPECT_EQ(r[a::Status], a::SS_PENDING);
    EXPECT_EQ(host->drive(0).commandCount(), 0u);
    const auto t0 = host->clock().threadNow();
    EXPECT_TRUE(host->waitEvent(event, 5000));
    EXPECT_EQ(host->clock().threadNow() - t0, std::chrono::milliseconds(3));
    EXPECT_EQ(r[a::Status], a::SS_COMP);
    EXPECT_EQ(buffer[0], 0x05);
    host->closeEvent(event);
}

TEST_F(AspiExec, ACommandThatNeverEndsLeavesTheWaitToExpire) {
    build(AspiCompletion::OnWait);
    host->drive(0).addFault({.kind = FaultKind::Timeout, .nth = 1});
    const EventHandle event = host->createEvent();
    auto r = execRequest(0, 1, 0, testUnitReady(), Direction::None, 0, false, event);
    host->aspiSendCommand(send, r, nullptr);
    const auto t0 = host->clock().threadNow();
    EXPECT_FALSE(host->waitEvent(event, 108'000'000));
    EXPECT_GT(host->clock().threadNow() - t0, std::chrono::seconds(108000));
    EXPECT_EQ(r[a::Status], a::SS_PENDING);
    EXPECT_EQ(aspiSense(r), Sense{});
    host->closeEvent(event);
    // Polled, a command that never ends is aborted once the time-out passed.
    host->drive(0).addFault({.kind = FaultKind::Timeout, .nth = 1});
    r = execRequest(0, 1, 0, testUnitReady(), Direction::None, 0, false, 0);
    EXPECT_EQ(host->aspiSendCommand(send, r, nullptr), a::SS_ABORTED);
    EXPECT_EQ(r[a::exec::HaStat], a::HASTAT_TIMEOUT);
}

TEST_F(AspiExec, RequestsToNoDeviceOrMalformedAreRefused) {
    build(AspiCompletion::Immediate);
    auto r = execRequest(0, 3, 0, testUnitReady(), Direction::None, 0, false, 0);
    EXPECT_EQ(host->aspiSendCommand(send, r, nullptr), a::SS_NO_DEVICE);
    r = execRequest(1, 1, 0, testUnitReady(), Direction::None, 0, false, 0);
    EXPECT_EQ(host->aspiSendCommand(send, r, nullptr), a::SS_INVALID_HA);
    r = execRequest(0, 1, 0, testUnitReady(), Direction::None, 0, false, 0x777);
    EXPECT_EQ(host->aspiSendCommand(send, r, nullptr), a::SS_INVALID_SRB) << "not an event";
    r = execRequest(0, 1, 0, inquiry(), Direction::In, 96, false, 0);
    EXPECT_EQ(host->aspiSendCommand(send, r, buffer.data()), a::SS_INVALID_SRB)
        << "pointer field 0 with a buffer";
    r = execRequest(0, 0, 0, testUnitReady(), Direction::None, 0, false, 0);
    EXPECT_EQ(host->aspiSendCommand(send, r, nullptr), a::SS_ERR) << "a disk no drive answers for";
    // Direction none with a length but no buffer is legal; nothing moves.
    r = execRequest(0, 1, 0, testUnitReady(), Direction::None, 4096, false, 0);
    EXPECT_EQ(host->aspiSendCommand(send, r, nullptr), a::SS_COMP);
}

// ---- trace ----

TEST(Trace, LinesHaveTheExactForm) {
    const auto line = [](std::string_view name, Cdb packet, Direction d, std::uint32_t length,
                         Outcome o, Sense s, double seconds) {
        return formatTraceLine(name, packet, d, length, o, s,
                               std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9)));
    };
    EXPECT_EQ(
        line("E:", writeBuffer(0x4000, 0x4000, 0), Direction::Out, 16384, Outcome::Ok, {}, 0.004),
        "E: 3B 05 01 00 40 00 00 40 00 00 00 00 out 16384 -> ok 0.004s");
    EXPECT_EQ(line("E:", flashId(), Direction::In, 128, Outcome::Sense, {5, 0x20, 0}, 0.001),
              "E: DF 11 00 00 00 00 00 00 00 00 00 00 in 128 -> sense 05/20/00 0.001s");
    EXPECT_EQ(line("1-0-0", testUnitReady(), Direction::None, 0, Outcome::Transport, {}, 0),
              "1-0-0: 00 00 00 00 00 00 00 00 00 00 00 00 none 0 -> transport 0.000s");
    EXPECT_EQ(line("E:", testUnitReady(), Direction::None, 0, Outcome::Timeout, {}, 108001),
              "E: 00 00 00 00 00 00 00 00 00 00 00 00 none 0 -> timeout 108001.000s");
}

TEST(Trace, EveryCommandThatReachesADriveIsTracedOnce) {
    ComputerSpec spec = oneDrive(true);
    spec.drives[0].latency.perCommand = std::chrono::milliseconds(4);
    spec.drives[0].flashIdSupported = false;
    SimHost host(spec);
    std::ostringstream out;
    CommandTrace trace(out);
    host.setTrace(&trace);
    std::array<std::uint8_t, 16384> buffer{};
    const DeviceHandle e = host.openDevice("\\\\.\\E:");
    passThrough(host, e, writeBuffer(0x4000, 16384, 0), Direction::Out, 16384, buffer.data());
    passThrough(host, e, flashId(), Direction::In, 128, buffer.data());
    passThrough(host, InvalidDevice, testUnitReady(), Direction::None, 0, nullptr);
    const AspiProc send = host.getProcAddress(host.loadLibrary("WNASPI32"), "SendASPI32Command");
    auto r = execRequest(0, 1, 0, testUnitReady(), Direction::None, 0, false, 0);
    host.aspiSendCommand(send, r, nullptr);
    host.setTrace(nullptr);
    passThrough(host, e, testUnitReady(), Direction::None, 0, nullptr);
    EXPECT_EQ(out.str(),
              "E: 3B 05 01 00 40 00 00 40 00 00 00 00 out 16384 -> ok 0.004s\n"
              "E: DF 11 00 00 00 00 00 00 00 00 00 00 in 128 -> sense 05/20/00 0.004s\n"
              "0-1-0: 00 00 00 00 00 00 00 00 00 00 00 00 none 0 -> ok 0.004s\n");
    EXPECT_EQ(trace.lines(), 3u);
}

TEST(InstalledComputer, InstallsItselfAsTheCurrentHostForItsLife) {
    {
        InstalledComputer computer(oneDrive());
        EXPECT_EQ(&currentHost(), &computer.host());
        EXPECT_TRUE(currentHost().isNtFamily());
    }
    ComputerSpec spec;
    spec.platform = Platform::Win9x;
    InstalledComputer second(spec);
    EXPECT_FALSE(currentHost().isNtFamily());
}

TEST(ComputerSpec, InconsistentComputersAreRefused) {
    const std::vector<std::pair<const char*, std::function<void(ComputerSpec&)>>> cases = {
        {"letter names no drive", [](ComputerSpec& s) { s.addLetter('F', "nobody"); }},
        {"drive id twice", [](ComputerSpec& s) { s.addDrive("dvd"); }},
        {"letter twice", [](ComputerSpec& s) { s.addLetter('e', "dvd"); }},
        {"bad root", [](ComputerSpec& s) { s.letters[0].root = "C:"; }},
        {"image over 16 MiB", [](ComputerSpec& s) { s.drives[0].imageSize = (16 << 20) + 1; }},
        {"ASPI device names no drive",
         [](ComputerSpec& s) {
             s.addAdapter().devices.push_back({0, 0, 5, "nobody"});
         }},
        {"two devices at one place",
         [](ComputerSpec& s) {
             s.addAdapter().devices = {{0, 0, 5, "dvd"}, {0, 0, 0, ""}};
         }},
    };
    for (const auto& [name, change] : cases) {
        SCOPED_TRACE(name);
        ComputerSpec spec = oneDrive();
        change(spec);
        EXPECT_THROW(SimHost{spec}, std::invalid_argument);
    }
}

}  // namespace
}  // namespace zorbel::sim
