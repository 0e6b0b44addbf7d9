// The package block: slot places, the untouched contents, the reading rules of
// options and numbers, the placeholders, bins and the package's validity.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "package/Matching.h"
#include "package/PackageBlock.h"
#include "tests/package/BlockBytes.h"

namespace zorbel {
namespace {

using block::Option;
using testing::BlockBytes;

// Writes text at a literal offset of a zeroed block, so the places checked are
// the format's numbers, not the layout constants under test.
struct RawBlock {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(1050699, 0);
    RawBlock& at(std::size_t offset, std::string_view text) {
        std::memcpy(bytes.data() + offset, text.data(), text.size());
        return *this;
    }
    PackageBlock view() const { return PackageBlock(bytes); }
};

TEST(PackageBlockLayout, EverySlotIsReadAtItsOffset) {
    RawBlock raw;
    raw.at(21, "VER-MARK")
        .at(49, "TITLE-MARK")
        .at(157, "DRIVES-MARK")
        .at(1774, "N2OMESSAGE=3")
        .at(1787, "CHKDISC=4")
        .at(1797, "BOOTCODE=5")
        .at(1815, "REBOOT=6")
        .at(1824, "AUTOMODE=7")
        .at(1835, "CLOSEAP=8")
        .at(1845, "WARNING=9")
        .at(1855, "NBWARNING=2")
        .at(1867, "HOW_MANY_BIN=3");
    for (unsigned bin = 0; bin < 4; ++bin) {
        const std::string n = std::to_string(bin + 1);
        raw.at(1887 + bin * 22, "BIN_START" + n + "=000000001" + n);
        raw.at(1975 + bin * 21, "BIN_SIZE" + n + "=000000002" + n);
        raw.at(2059 + bin * 16, "NEW_FW" + n + "=REV" + n);
        for (unsigned slot = 0; slot < 8; ++slot) {
            const std::size_t base = 238 + (bin * 8 + slot) * 48;
            const std::string js = n + std::to_string(slot + 1);
            raw.at(base, "L" + js)
                .at(base + 8, "H" + js)
                .at(base + 16, "V" + js)
                .at(base + 28, "P" + js);
        }
    }
    raw.at(2123, "BANK");

    const PackageBlock pkg = raw.view();
    EXPECT_EQ(pkg.version(), "VER-MARK");
    EXPECT_EQ(pkg.title(), "TITLE-MARK");
    EXPECT_EQ(pkg.supportedDrivesText(), "DRIVES-MARK");
    LoadedSettings s;
    pkg.readOptions(s);
    EXPECT_EQ(s.N2OMESSAGE, 3);
    EXPECT_EQ(s.CHKDISC, 4);
    EXPECT_EQ(s.BOOTCODE, 5);
    EXPECT_EQ(s.REBOOT, 6);
    EXPECT_EQ(s.AUTOMODE, 7);
    EXPECT_EQ(s.CLOSEAP, 8);
    EXPECT_EQ(s.WARNING, 9);
    EXPECT_EQ(s.NBWARNING, 2);
    EXPECT_EQ(s.HOW_MANY_BIN, 3);
    for (unsigned bin = 0; bin < 4; ++bin) {
        const int n = static_cast<int>(bin + 1);
        EXPECT_EQ(pkg.binStart(bin), 10 + n);
        EXPECT_EQ(pkg.binSize(bin), 20 + n);
        EXPECT_EQ(pkg.newFirmwareRevision(bin), "REV" + std::to_string(n));
        for (unsigned slot = 0; slot < 8; ++slot) {
            const std::string js = std::to_string(n) + std::to_string(slot + 1);
            const ConstraintSlot c = pkg.constraintSlot(bin, slot);
            EXPECT_EQ(c.lowestRevision, "L" + js);
            EXPECT_EQ(c.highestRevision, "H" + js);
            EXPECT_EQ(c.vendor, "V" + js);
            EXPECT_EQ(c.product, "P" + js);
        }
    }
    ASSERT_NE(pkg.bankStart(), nullptr);
    EXPECT_EQ(std::memcmp(pkg.bankStart(), "BANK", 4), 0);
    EXPECT_EQ(pkg.bankStart(), raw.bytes.data() + 2123);
}

TEST(PackageBlockLayout, UntouchedBlockHoldsThePlaceholders) {
    const PackageBlock pkg = PackageBlock::embedded();
    ASSERT_EQ(pkg.bytes().size(), 1050699u);
    EXPECT_EQ(pkg.title(), "APP_TITLE_HERE");
    EXPECT_TRUE(pkg.titleIsPlaceholder());
    EXPECT_TRUE(pkg.bankIsEmpty());
    EXPECT_EQ(pkg.version(), "v2.0.0");
    EXPECT_EQ(pkg.slotText(222, 16), "FW_CONSTRAINTS=");
    for (unsigned bin = 0; bin < 4; ++bin) {
        for (unsigned slot = 0; slot < 8; ++slot) {
            const ConstraintSlot c = pkg.constraintSlot(bin, slot);
            EXPECT_TRUE(c.isEmptyMark()) << bin << "," << slot;
            EXPECT_EQ(c.lowestRevision, "#FLS");  // "#FLSHjk" cut to four
            const std::string mark = "#FLSH" + std::to_string(bin + 1) + std::to_string(slot + 1);
            EXPECT_EQ(pkg.slotText(block::constraintSlotOffset(bin, slot), 8), mark);
        }
    }
    LoadedSettings s;
    pkg.readOptions(s);
    EXPECT_EQ(s.HOW_MANY_BIN, 1);
    EXPECT_EQ(s.REBOOT, 0);  // an untouched program never restarts the computer
    EXPECT_EQ(pkg.binStart(0), 0);
    EXPECT_EQ(pkg.binSize(0), 1048576);
    EXPECT_EQ(pkg.newFirmwareRevision(0), "????");
    EXPECT_EQ(pkg.newFirmwareRevision(1), "N/A ");
    EXPECT_EQ(pkg.binImage(0).size(), 1048576u);
    EXPECT_FALSE(pkg.validatePackage().has_value());
}

struct OptionCase {
    Option option;
    std::string text;
    unsigned value;
};

TEST(PackageBlockOptions, LastCharacterReadAsDigit) {
    const OptionCase cases[] = {
        {Option::CHKDISC, "CHKDISC=2", 2},
        {Option::REBOOT, "REBOOT=2", 2},
        {Option::CHKDISC, "CHKDISC=x", 0},     // not a digit
        {Option::CHKDISC, "CHKDISC=", 0},      // the "=" is the last character
        {Option::CHKDISC, "", 0},              // empty slot
        {Option::AUTOMODE, "AUTOMODE=-", 0},   // a sign alone is no number
        {Option::BOOTCODE, "BOOTCODE=12", 2},  // only the last character counts
        {Option::BOOTCODE, std::string("BOOTCODE=1\0\0\0009", 14), 1},  // room after NUL unread
        {Option::REBOOT, "REBOOT=17", 7},                               // fills the slot, no NUL
        {Option::HOW_MANY_BIN, "HOW_MANY_BIN=9", 9},
        {Option::NBWARNING, "NBWARNING=1", 1},
    };
    for (const auto& c : cases) {
        BlockBytes b;
        b.option(c.option, c.text);
        EXPECT_EQ(b.view().option(c.option), c.value) << c.text;
    }
}

TEST(PackageBlockOptions, OnTestsDifferBetweenOptions) {
    BlockBytes b;
    b.option(Option::CHKDISC, "CHKDISC=2")
        .option(Option::REBOOT, "REBOOT=2")
        .option(Option::N2OMESSAGE, "N2OMESSAGE=2")
        .option(Option::WARNING, "WARNING=2")
        .option(Option::NBWARNING, "NBWARNING=2")
        .option(Option::BOOTCODE, "BOOTCODE=2")
        .option(Option::AUTOMODE, "AUTOMODE=2")
        .option(Option::CLOSEAP, "CLOSEAP=2")
        .option(Option::HOW_MANY_BIN, "HOW_MANY_BIN=x");
    LoadedSettings s;
    b.view().readOptions(s);
    EXPECT_FALSE(s.chkDiscOn());
    EXPECT_FALSE(s.n2oMessageOn());
    EXPECT_FALSE(s.warningOn());
    EXPECT_FALSE(s.nbWarningOn());
    EXPECT_TRUE(s.rebootOn());
    EXPECT_TRUE(s.bootCodeOn());
    EXPECT_TRUE(s.autoModeOn());
    EXPECT_TRUE(s.closeApOn());
    EXPECT_FALSE(s.hasFirmware());  // a non-digit bin count means no firmware
}

struct NumberCase {
    std::string value;
    std::int32_t expected;
};

TEST(PackageBlockNumbers, TenDigitFieldsConvertAsAtol) {
    const NumberCase cases[] = {
        {"0000000000", 0},
        {"0001048576", 1048576},
        {"  +0016384", 16384},     // leading blanks, plus sign
        {"\t-000016384", -16384},  // tab, minus sign
        {"00001x6384", 1},         // stops at the first non-digit
        {"", 0},
        {"x000016384", 0},
        {"9999999999", 2147483647},  // saturates instead of overflowing
        {"-9999999999", -2147483647 - 1},
        {"2147483648", 2147483647},
    };
    for (const auto& c : cases) {
        BlockBytes b;
        b.bin(2, c.value, c.value);
        EXPECT_EQ(b.view().binStart(2), c.expected) << c.value;
        EXPECT_EQ(b.view().binSize(2), c.expected) << c.value;
    }
}

TEST(PackageBlockNumbers, ReadingStopsAtTheSlotsEnd) {
    BlockBytes b;
    // Bin 1's start fills its slot with no NUL; the digits that follow belong to
    // the next slot and must not be read with it.
    b.putRaw(block::binStartOffset(0), "BIN_START1=00000000001");
    b.putRaw(block::binStartOffset(1), "99999");
    b.putRaw(block::binSizeOffset(3), "BIN_SIZE4=00000000002");
    b.putRaw(block::newFirmwareOffset(0), "7777");
    EXPECT_EQ(b.view().binStart(0), 1);
    EXPECT_EQ(b.view().binSize(3), 2);
}

TEST(PackageBlockTexts, PlaceholdersAndCuts) {
    BlockBytes b;
    b.put(block::TitleOffset, block::TitleSize, "APP_TITLE_HERE with more text");
    EXPECT_TRUE(b.view().titleIsPlaceholder());
    EXPECT_EQ(b.view().windowCaption(), "Zorbel v2.0.0");
    b.put(block::TitleOffset, block::TitleSize, "APP_TITLE_HER");
    EXPECT_FALSE(b.view().titleIsPlaceholder());
    EXPECT_EQ(b.view().windowCaption(), "APP_TITLE_HER");
    b.put(block::TitleOffset, block::TitleSize, std::string(64, 'T'));  // no NUL
    EXPECT_EQ(b.view().title(), std::string(64, 'T'));

    b.newFirmware(1, "N/A ");
    EXPECT_EQ(b.view().newFirmwareRevision(1), "N/A ");
    b.newFirmware(1, "ABCDEFGH");  // fills the value field, no NUL
    EXPECT_EQ(b.view().newFirmwareRevision(1), "ABCDEFGH");

    b.slot(0, 0, "1B05EXTRA", "1B09", "MERIDOX WIDE", "PRODUCT-SIXTEEN-AND-MORE");
    const ConstraintSlot c = b.view().constraintSlot(0, 0);
    EXPECT_EQ(c.lowestRevision, "1B05");
    EXPECT_EQ(c.vendor, "MERIDOX ");
    EXPECT_EQ(c.product, "PRODUCT-SIXTEEN-");
    EXPECT_EQ(b.view().constraintSlot(4, 0).vendor, "");
    EXPECT_EQ(b.view().constraintSlot(0, 8).vendor, "");
}

TEST(PackageBlockBank, NineteenBytesDecideEmptiness) {
    const std::pair<std::string, bool> cases[] = {
        {"BANK_START_FROM_HERE", true},
        {"BANK_START_FROM_HERX", true},  // only 19 bytes are compared
        {"BANK_START_FROM_HEX", false},
        {"bank_start_from_here", false},
    };
    for (const auto& [text, empty] : cases) {
        BlockBytes b;
        b.fillBank(0).putRaw(block::BankOffset, text);
        EXPECT_EQ(b.view().bankIsEmpty(), empty) << text;
    }
    BlockBytes zeros;
    zeros.fillBank(0);
    EXPECT_FALSE(zeros.view().bankIsEmpty());
}

TEST(PackageBlockBank, BinImageStaysInsideTheBank) {
    BlockBytes b;
    b.fillBank(0xA5);
    b.bin(0, "0000016384", "0000032768")
        .bin(1, "0001032192", "0000032768")   // runs past the end
        .bin(2, "-000016384", "0000016384")   // starts before the bank
        .bin(3, "0001048576", "0000000000");  // empty image at the very end
    const PackageBlock pkg = b.view();
    const auto image = pkg.binImage(0);
    EXPECT_EQ(image.data(), pkg.bankStart() + 16384);
    EXPECT_EQ(image.size(), 32768u);
    EXPECT_TRUE(pkg.binImage(1).empty());
    EXPECT_TRUE(pkg.binImage(2).empty());
    EXPECT_TRUE(pkg.binImage(3).empty());
    EXPECT_TRUE(pkg.binImage(4).empty());
    EXPECT_EQ(pkg.binStart(9), 0);
}

TEST(PackageBlockBank, ShortOrGarbageBytesNeverReadOutside) {
    std::vector<std::uint8_t> garbage(3000, '7');  // digits everywhere, no NUL, no bank
    const PackageBlock pkg(garbage);
    EXPECT_EQ(pkg.title().size(), 64u);
    EXPECT_EQ(pkg.binStart(0), 2147483647);
    EXPECT_TRUE(pkg.binImage(0).empty());
    EXPECT_FALSE(pkg.bankIsEmpty());
    EXPECT_EQ(pkg.option(Option::HOW_MANY_BIN), 7u);
    EXPECT_TRUE(pkg.validatePackage().has_value());
    const PackageBlock none(std::span<const std::uint8_t>{});
    EXPECT_EQ(none.title(), "");
    EXPECT_EQ(none.bankStart(), nullptr);
    EXPECT_FALSE(none.bankIsEmpty());
}

// Blocks of random bytes biased towards digits, NULs and marks: every accessor
// and the matching stay inside the bytes (the sanitizer builds check the reads).
TEST(PackageBlockBank, RandomBlocksStayInBounds) {
    std::mt19937 random(20261208);
    const std::string_view alphabet = "0123456789 +-\t#FLSH=\0";
    std::vector<std::uint8_t> bytes(block::BlockSize);
    for (int round = 0; round < 40; ++round) {
        for (std::size_t i = 0; i < block::HeaderSize + 64; ++i) {
            bytes[i] = static_cast<std::uint8_t>(alphabet[random() % alphabet.size()]);
        }
        const std::size_t length = round % 4 == 0 ? random() % block::BlockSize : bytes.size();
        const PackageBlock pkg(std::span<const std::uint8_t>(bytes).first(length));
        LoadedSettings s;
        pkg.readOptions(s);
        s.HOW_MANY_BIN = static_cast<std::uint16_t>(random() % 10);
        for (unsigned bin = 0; bin < 5; ++bin) {
            const auto image = pkg.binImage(bin);
            if (!image.empty()) {
                EXPECT_GE(image.data(), bytes.data() + block::BankOffset);
                EXPECT_LE(image.data() + image.size(), bytes.data() + length);
            }
            EXPECT_LE(pkg.newFirmwareRevision(bin).size(), 8u);
        }
        (void)pkg.validatePackage();
        (void)pkg.title();
        DriveEntry drives[2] = {};
        std::memset(&drives[0], '7', sizeof drives[0]);  // texts without a NUL
        drives[0].present = 1;
        drives[1].present = 1;
        matchDrives(drives, pkg, s);
    }
}

struct InvalidCase {
    const char* name;
    std::string howManyBin;
    unsigned bin;
    std::string start;
    std::string size;
    std::optional<PackageProblem::Kind> problem;
};

TEST(PackageBlockValidity, FirstReasonIsReported) {
    using Kind = PackageProblem::Kind;
    const InvalidCase cases[] = {
        {"five bins", "HOW_MANY_BIN=5", 0, "0000000000", "0000016384", Kind::TooManyBins},
        {"negative start", "HOW_MANY_BIN=2", 1, "-000016384", "0000016384", Kind::StartNegative},
        {"zero size", "HOW_MANY_BIN=2", 1, "0000000000", "0000000000", Kind::SizeNotBlocks},
        {"negative size", "HOW_MANY_BIN=2", 1, "0000000000", "-000016384", Kind::SizeNotBlocks},
        {"odd size", "HOW_MANY_BIN=2", 1, "0000000000", "0000016385", Kind::SizeNotBlocks},
        {"over 16 MiB", "HOW_MANY_BIN=2", 1, "0000000000", "0017825792", Kind::SizeTooLarge},
        {"past the bank", "HOW_MANY_BIN=2", 1, "0001032192", "0000032768", Kind::BeyondBank},
        {"huge start", "HOW_MANY_BIN=2", 1, "9999999999", "0000016384", Kind::BeyondBank},
        {"whole bank", "HOW_MANY_BIN=2", 1, "0000000000", "0001048576", std::nullopt},
        {"last block", "HOW_MANY_BIN=2", 1, "0001032192", "0000016384", std::nullopt},
        {"bad bin not in use", "HOW_MANY_BIN=1", 1, "-000000001", "0000000001", std::nullopt},
        {"no firmware", "HOW_MANY_BIN=0", 0, "-000000001", "0000000001", std::nullopt},
    };
    for (const auto& c : cases) {
        BlockBytes b;
        b.option(Option::HOW_MANY_BIN, c.howManyBin).bin(c.bin, c.start, c.size);
        if (c.bin != 0) {
            b.bin(0, "0000000000", "0000016384");
        }
        const auto problem = b.view().validatePackage();
        ASSERT_EQ(problem.has_value(), c.problem.has_value()) << c.name;
        if (problem) {
            EXPECT_EQ(problem->kind, *c.problem) << c.name;
            EXPECT_EQ(problem->bin, c.problem == Kind::TooManyBins ? 0u : c.bin) << c.name;
            EXPECT_FALSE(problem->describe().empty());
        }
    }
}

TEST(PackageBlockOverride, CurrentFollowsNestedOverrides) {
    BlockBytes first;
    first.put(block::TitleOffset, block::TitleSize, "first");
    BlockBytes second;
    second.put(block::TitleOffset, block::TitleSize, "second");
    EXPECT_EQ(PackageBlock::current().title(), "APP_TITLE_HERE");
    {
        ScopedPackageOverride a(first.bytes());
        EXPECT_EQ(PackageBlock::current().title(), "first");
        {
            ScopedPackageOverride b(second.bytes());
            EXPECT_EQ(PackageBlock::current().title(), "second");
            EXPECT_EQ(PackageBlock::embedded().title(), "APP_TITLE_HERE");
        }
        EXPECT_EQ(PackageBlock::current().title(), "first");
    }
    EXPECT_EQ(PackageBlock::current().title(), "APP_TITLE_HERE");
    std::vector<std::uint8_t> tooShort(100);
    EXPECT_THROW(ScopedPackageOverride bad(tooShort), std::invalid_argument);
    EXPECT_EQ(PackageBlock::current().title(), "APP_TITLE_HERE");
}

}  // namespace
}  // namespace zorbel
