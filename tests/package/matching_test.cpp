// Drive matching against the constraint table: the empty-slot rule, the four
// tests in order with inclusive bounds, bin order, the up-to-date verdict, and
// the one collation every comparison goes through.
#include "package/Matching.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "device/Host.h"
#include "tests/package/BlockBytes.h"

namespace zorbel {
namespace {

using testing::BlockBytes;

constexpr const char* Vendor = "MERIDOX ";
constexpr const char* Product = "DVR-RW 1616 SUPR";  // 16 characters

template <std::size_t N>
void copyText(char (&field)[N], std::string_view text) {
    const std::size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

DriveEntry drive(std::string_view vendor, std::string_view product, std::string_view revision) {
    DriveEntry d{};
    copyText(d.vendor, vendor);
    copyText(d.product, product);
    copyText(d.revision, revision);
    d.present = 1;
    return d;
}

// A filled package: a bank with firmware and every slot left empty.
BlockBytes filledPackage() {
    BlockBytes b;
    b.fillBank(0x5A);
    return b;
}

LoadedSettings settings(std::uint16_t bins, std::uint8_t n2oMessage = 0) {
    LoadedSettings s;
    s.HOW_MANY_BIN = bins;
    s.N2OMESSAGE = n2oMessage;
    return s;
}

struct Verdict {
    bool allowed;
    std::uint16_t binIndex;
};

Verdict matchOne(const BlockBytes& b, const LoadedSettings& s, DriveEntry d) {
    matchDrives(std::span<DriveEntry>(&d, 1), b.view(), s);
    return {d.allowed == 1, d.binIndex};
}

TEST(Matching, RevisionBoundsAreInclusive) {
    BlockBytes b = filledPackage();
    b.slot(0, 0, "1B05", "1B09", Vendor, Product);
    const std::pair<const char*, bool> cases[] = {
        {"1B04", false}, {"1B05", true}, {"1B07", true}, {"1B09", true},
        {"1B10", false}, {"1B0", false},  // a text before every longer text that begins with it
    };
    for (const auto& [revision, allowed] : cases) {
        EXPECT_EQ(matchOne(b, settings(1), drive(Vendor, Product, revision)).allowed, allowed)
            << revision;
    }
}

TEST(Matching, IdentityMustMatchInFullWithTrailingBlanks) {
    BlockBytes b = filledPackage();
    b.slot(0, 0, "", "", Vendor, Product);
    EXPECT_TRUE(matchOne(b, settings(1), drive("MERIDOX ", Product, "0001")).allowed);
    EXPECT_FALSE(matchOne(b, settings(1), drive("MERIDOX", Product, "0001")).allowed);
    EXPECT_FALSE(matchOne(b, settings(1), drive("meridox ", Product, "0001")).allowed);
    EXPECT_FALSE(matchOne(b, settings(1), drive(Vendor, "DVR-RW 1616 SUP", "0001")).allowed);
}

TEST(Matching, EmptyFieldsConstrainNothing) {
    BlockBytes b = filledPackage();
    b.slot(0, 0, "", "", "", "");  // all four empty: every drive
    EXPECT_TRUE(matchOne(b, settings(1), drive("OTHER   ", "ANY", "ZZZZ")).allowed);

    b.slot(0, 0, "", "1B09", "", "");  // no lower bound
    EXPECT_TRUE(matchOne(b, settings(1), drive("OTHER   ", "ANY", "    ")).allowed);
    EXPECT_FALSE(matchOne(b, settings(1), drive("OTHER   ", "ANY", "1B10")).allowed);

    b.slot(0, 0, "1B05", "", "", "");  // no upper bound
    EXPECT_TRUE(matchOne(b, settings(1), drive("OTHER   ", "ANY", "ZZZZ")).allowed);
    EXPECT_FALSE(matchOne(b, settings(1), drive("OTHER   ", "ANY", "1B04")).allowed);
}

TEST(Matching, EmptyMarkCountsOnlyInTheFirstSlot) {
    BlockBytes b = filledPackage();
    // Bin 1: slot 1 for another product, slot 2 left empty, slot 3 for ours.
    b.slot(0, 0, "", "", Vendor, "OTHER PRODUCT   ");
    b.slot(0, 2, "1B00", "1B99", Vendor, Product);
    EXPECT_TRUE(matchOne(b, settings(1), drive(Vendor, Product, "1B50")).allowed);
    // The empty slot 2 is compared like any values and accepts nothing.
    EXPECT_FALSE(matchOne(b, settings(1), drive(Vendor, Product, "2000")).allowed);
    EXPECT_FALSE(matchOne(b, settings(1), drive("#", "#", "#FLS")).allowed);
    // An empty first slot accepts every drive.
    EXPECT_TRUE(matchOne(filledPackage(), settings(1), drive("ANY", "ANY", "0000")).allowed);
}

TEST(Matching, FirstAcceptingBinWins) {
    BlockBytes b = filledPackage();
    b.slot(0, 0, "1B00", "1B50", Vendor, Product);
    b.slot(1, 0, "1B00", "1B99", Vendor, Product);
    // Bin 3's first slot is left empty: it takes every drive bins 1 and 2 refused.
    EXPECT_EQ(matchOne(b, settings(3), drive(Vendor, Product, "1B20")).binIndex, 0);
    EXPECT_EQ(matchOne(b, settings(3), drive(Vendor, Product, "1B70")).binIndex, 1);
    EXPECT_EQ(matchOne(b, settings(3), drive("OTHER   ", Product, "1B70")).binIndex, 2);
    // Bins beyond HOW_MANY_BIN are never looked at.
    EXPECT_FALSE(matchOne(b, settings(2), drive("OTHER   ", Product, "1B70")).allowed);
    EXPECT_FALSE(matchOne(b, settings(0), drive(Vendor, Product, "1B20")).allowed);
    // A bin count above the table's four looks at the four bins only.
    EXPECT_EQ(matchOne(b, settings(9), drive("OTHER   ", Product, "1B70")).binIndex, 2);
}

TEST(Matching, UpToDateOnlyWithN2OMessageOne) {
    BlockBytes b = filledPackage();
    b.slot(0, 0, "", "", Vendor, Product).newFirmware(0, "1B10").newFirmware(1, "N/A ");
    b.slot(1, 0, "", "", "", "");
    struct Case {
        std::uint8_t n2o;
        const char* vendor;
        const char* revision;
        std::int16_t upToDate;
    };
    const Case cases[] = {
        {1, Vendor, "1B10", 1},     {1, Vendor, "1B11", 1}, {1, Vendor, "1B09", 0},
        {0, Vendor, "1B10", 0},     {2, Vendor, "1B99", 0}, {1, "OTHER   ", "N/A ", 1},
        {1, "OTHER   ", "1B99", 0},  // "N/A " compared as four characters
    };
    for (const auto& c : cases) {
        DriveEntry d = drive(c.vendor, Product, c.revision);
        d.upToDate = 7;
        matchDrives(std::span<DriveEntry>(&d, 1), b.view(), settings(2, c.n2o));
        EXPECT_EQ(d.allowed, 1);
        EXPECT_EQ(d.upToDate, c.upToDate) << int{c.n2o} << " " << c.revision;
    }
}

TEST(Matching, RefusedAndAbsentEntries) {
    BlockBytes b = filledPackage();
    b.slot(0, 0, "1B00", "1B10", Vendor, Product);
    std::vector<DriveEntry> table = {drive(Vendor, Product, "1B05"), drive(Vendor, Product, "1B11"),
                                     DriveEntry{}};
    table[1].allowed = 1;  // left over from an earlier matching
    table[1].binIndex = 3;
    table[1].upToDate = 1;
    table[2].allowed = 9;  // not present: untouched
    table[2].binIndex = 9;
    matchDrives(table, b.view(), settings(1, 1));
    EXPECT_EQ(table[0].allowed, 1);
    EXPECT_EQ(table[1].allowed, 0);
    EXPECT_EQ(table[1].binIndex, 3);  // kept when nothing matched
    EXPECT_EQ(table[1].upToDate, 1);
    EXPECT_EQ(table[2].allowed, 9);
    EXPECT_EQ(table[2].binIndex, 9);

    // An empty bank refuses every drive, even with an unconstrained first slot.
    BlockBytes emptyBank;
    table[0].allowed = 1;
    matchDrives(table, emptyBank.view(), settings(1, 1));
    EXPECT_EQ(table[0].allowed, 0);
}

TEST(Matching, ProgramFormUsesCurrentBlockAndLoadedSettings) {
    BlockBytes b = filledPackage();
    b.slot(0, 0, "1B00", "1B10", Vendor, Product).newFirmware(0, "1B05");
    b.option(block::Option::N2OMESSAGE, "N2OMESSAGE=1");
    ScopedPackageOverride use(b.bytes());
    const LoadedSettings saved = loadedSettings();
    PackageBlock::current().readOptions();
    DriveEntry table[2] = {drive(Vendor, Product, "1B07"), drive(Vendor, Product, "1B20")};
    matchDrives(table, 2);
    loadedSettings() = saved;
    EXPECT_EQ(table[0].allowed, 1);
    EXPECT_EQ(table[0].upToDate, 1);
    EXPECT_EQ(table[1].allowed, 0);
}

TEST(Matching, StartUpCheckAndNoMatchMessage) {
    std::vector<DriveEntry> table = {drive(Vendor, Product, "1B05"), drive(Vendor, Product, "1B06"),
                                     DriveEntry{}};
    table[0].allowed = 1;
    table[2].allowed = 1;  // not present: never counted
    EXPECT_EQ(countAllowed(table), 1u);
    const std::string lines[] = {" 1-0-0-0 D:MERIDOX DVR-RW 1616 SUPR 1B06", "second"};
    EXPECT_EQ(noMatchMessage("MERIDOX DVR-RW 1616", lines),
              "No matched drive detected !\nThis utility is only for MERIDOX DVR-RW 1616 "
              "drive.\n\nDetected drives :\n 1-0-0-0 D:MERIDOX DVR-RW 1616 SUPR 1B06\nsecond\n");
    EXPECT_EQ(noMatchMessage("X", {}),
              "No matched drive detected !\nThis utility is only for X drive.\n\nDetected "
              "drives :\n");
}

// A host whose collation orders every text in reverse, to show that matching
// asks the installed host and nothing else.
class ReverseCollationHost : public Host {
  public:
    bool isNtFamily() override { return true; }
    bool queryPerformanceFrequency(std::int64_t&) override { return false; }
    std::int64_t queryPerformanceCounter() override { return 0; }
    void sleepMs(std::uint32_t) override {}
    std::string logicalDriveStrings() override { return {}; }
    DriveType driveType(std::string_view) override { return DriveType::Unknown; }
    std::string deviceNameForRoot(std::string_view) override { return {}; }
    std::string rootLabel(std::string_view) override { return {}; }
    DeviceHandle openDevice(std::string_view) override { return InvalidDevice; }
    void closeDevice(DeviceHandle) override {}
    bool queryScsiAddress(DeviceHandle, ScsiAddress&) override { return false; }
    bool passThroughDirect(DeviceHandle, std::span<std::uint8_t, PassThroughBlockSize>,
                           void*) override {
        return false;
    }
    AspiModule loadLibrary(std::string_view) override { return 0; }
    AspiProc getProcAddress(AspiModule, std::string_view) override { return 0; }
    void freeLibrary(AspiModule) override {}
    std::uint32_t aspiSupportInfo(AspiProc) override { return 0; }
    std::uint32_t aspiSendCommand(AspiProc, std::span<std::uint8_t>, void*) override { return 0; }
    EventHandle createEvent() override { return 0; }
    bool waitEvent(EventHandle, std::uint32_t) override { return false; }
    void closeEvent(EventHandle) override {}
    void systemMessageBox(std::string_view, std::string_view) override {}
    bool restartSystem(bool) override { return false; }
    int collate(std::string_view a, std::string_view b) override { return -plainCollate(a, b); }
};

TEST(Matching, ComparisonsGoThroughTheHostsCollation) {
    EXPECT_LT(compareTexts(" ", "0"), 0);
    EXPECT_LT(compareTexts("9", "A"), 0);
    EXPECT_LT(compareTexts("1B", "1B0"), 0);
    EXPECT_EQ(compareTexts("1B05", "1B05"), 0);

    ASSERT_FALSE(hasCurrentHost());
    ReverseCollationHost host;
    setCurrentHost(&host);
    EXPECT_GT(compareTexts("9", "A"), 0);
    BlockBytes b = filledPackage();
    // Bounds that hold no revision in plain order hold 1B07 in the reversed one.
    b.slot(0, 0, "1B09", "1B05", Vendor, Product);
    EXPECT_TRUE(matchOne(b, settings(1), drive(Vendor, Product, "1B07")).allowed);
    EXPECT_FALSE(matchOne(b, settings(1), drive(Vendor, Product, "1B10")).allowed);
    setCurrentHost(nullptr);
    EXPECT_FALSE(matchOne(b, settings(1), drive(Vendor, Product, "1B07")).allowed);
}

}  // namespace
}  // namespace zorbel
