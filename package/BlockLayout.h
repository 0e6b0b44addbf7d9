// The byte layout of the package block, declared once. The program's embedded
// block (EmbeddedBlock.cpp), the accessors (PackageBlock.cpp) and the packaging
// tool (tools/zorbel-pack) all take offsets, sizes and keys from here.
//
// The block is a run of fixed slots followed by the 1 MiB firmware bank. A text
// slot holds a string ended by a NUL and padded with NULs to the slot's size.
// Every slot keeps its place: the program reads each one at its fixed offset and
// a packaging step finds the block in a finished program by the keys below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zorbel::block {

inline constexpr unsigned BinCount = 4;
inline constexpr std::size_t HeaderSize = 2123;  // the slots before the bank
inline constexpr std::size_t BankSize = 1048576;
inline constexpr std::size_t BlockSize = HeaderSize + BankSize;  // 1,050,699
inline constexpr unsigned SlotsPerBin = 8;

// One constraint slot: four NUL-padded texts, of which only the first
// lowestUsed / highestUsed / vendorUsed / productUsed characters are read.
struct ConstraintSlotBytes {
    char lowestRevision[8];
    char highestRevision[8];
    char vendor[12];
    char product[20];
};

// The whole block, slot by slot. Only char arrays, so there is no padding; the
// static_asserts below pin every offset to the format.
struct Layout {
    char credit[21];           // bracketed credit line, not read
    char version[13];          // caption fallback
    char unread[15];           // not read
    char title[64];            // window caption
    char packageDate[12];      // YYYY/MM/DD, not read
    char spare[32];            // not read
    char supportedDrives[65];  // start-up notice, refusal message
    char tableLabel[16];       // "FW_CONSTRAINTS="
    ConstraintSlotBytes constraints[BinCount][SlotsPerBin];
    char n2oMessage[13];             // "N2OMESSAGE=d"
    char chkDisc[10];                // "CHKDISC=d"
    char bootCode[18];               // "BOOTCODE=d" + room
    char reboot[9];                  // "REBOOT=d"
    char autoMode[11];               // "AUTOMODE=d"
    char closeAp[10];                // "CLOSEAP=d"
    char warning[10];                // "WARNING=d"
    char nbWarning[12];              // "NBWARNING=d"
    char howManyBin[20];             // "HOW_MANY_BIN=d" + room
    char binStart[BinCount][22];     // "BIN_STARTn=" + ten digits
    char binSize[BinCount][21];      // "BIN_SIZEn=" + ten digits
    char newFirmware[BinCount][16];  // "NEW_FWn=" + 8-byte value
    char bank[BankSize];             // the firmware images
};

// Offsets and sizes of every slot, taken from the layout itself.
#define ZORBEL_SLOT(name, member)                                         \
    inline constexpr std::size_t name##Offset = offsetof(Layout, member); \
    inline constexpr std::size_t name##Size = sizeof(Layout::member)

ZORBEL_SLOT(Credit, credit);
ZORBEL_SLOT(Version, version);
ZORBEL_SLOT(Unread, unread);
ZORBEL_SLOT(Title, title);
ZORBEL_SLOT(PackageDate, packageDate);
ZORBEL_SLOT(Spare, spare);
ZORBEL_SLOT(SupportedDrives, supportedDrives);
ZORBEL_SLOT(TableLabel, tableLabel);
ZORBEL_SLOT(Constraints, constraints);
ZORBEL_SLOT(N2oMessage, n2oMessage);
ZORBEL_SLOT(ChkDisc, chkDisc);
ZORBEL_SLOT(BootCode, bootCode);
ZORBEL_SLOT(Reboot, reboot);
ZORBEL_SLOT(AutoMode, autoMode);
ZORBEL_SLOT(CloseAp, closeAp);
ZORBEL_SLOT(Warning, warning);
ZORBEL_SLOT(NbWarning, nbWarning);
ZORBEL_SLOT(HowManyBin, howManyBin);
ZORBEL_SLOT(BinStarts, binStart);
ZORBEL_SLOT(BinSizes, binSize);
ZORBEL_SLOT(NewFirmwares, newFirmware);
inline constexpr std::size_t BankOffset = offsetof(Layout, bank);
#undef ZORBEL_SLOT

inline constexpr std::size_t ConstraintSlotSize = sizeof(ConstraintSlotBytes);
inline constexpr std::size_t LowestOffset = offsetof(ConstraintSlotBytes, lowestRevision);
inline constexpr std::size_t HighestOffset = offsetof(ConstraintSlotBytes, highestRevision);
inline constexpr std::size_t VendorOffset = offsetof(ConstraintSlotBytes, vendor);
inline constexpr std::size_t ProductOffset = offsetof(ConstraintSlotBytes, product);
inline constexpr std::size_t LowestFieldSize = sizeof(ConstraintSlotBytes::lowestRevision);
inline constexpr std::size_t HighestFieldSize = sizeof(ConstraintSlotBytes::highestRevision);
inline constexpr std::size_t VendorFieldSize = sizeof(ConstraintSlotBytes::vendor);
inline constexpr std::size_t ProductFieldSize = sizeof(ConstraintSlotBytes::product);
// Characters of each constraint field that take part in matching.
inline constexpr std::size_t LowestUsed = 4;
inline constexpr std::size_t HighestUsed = 4;
inline constexpr std::size_t VendorUsed = 8;
inline constexpr std::size_t ProductUsed = 16;

inline constexpr std::size_t BinStartSlotSize = sizeof(Layout::binStart[0]);
inline constexpr std::size_t BinSizeSlotSize = sizeof(Layout::binSize[0]);
inline constexpr std::size_t NewFirmwareSlotSize = sizeof(Layout::newFirmware[0]);

// The format's fixed numbers.
static_assert(CreditOffset == 0 && CreditSize == 21);
static_assert(VersionOffset == 21 && VersionSize == 13);
static_assert(UnreadOffset == 34 && UnreadSize == 15);
static_assert(TitleOffset == 49 && TitleSize == 64);
static_assert(PackageDateOffset == 113 && PackageDateSize == 12);
static_assert(SpareOffset == 125 && SpareSize == 32);
static_assert(SupportedDrivesOffset == 157 && SupportedDrivesSize == 65);
static_assert(TableLabelOffset == 222 && TableLabelSize == 16);
static_assert(ConstraintsOffset == 238 && ConstraintsSize == 1536);
static_assert(ConstraintSlotSize == 48 && LowestOffset == 0 && HighestOffset == 8 &&
              VendorOffset == 16 && ProductOffset == 28);
static_assert(N2oMessageOffset == 1774 && N2oMessageSize == 13);
static_assert(ChkDiscOffset == 1787 && ChkDiscSize == 10);
static_assert(BootCodeOffset == 1797 && BootCodeSize == 18);
static_assert(RebootOffset == 1815 && RebootSize == 9);
static_assert(AutoModeOffset == 1824 && AutoModeSize == 11);
static_assert(CloseApOffset == 1835 && CloseApSize == 10);
static_assert(WarningOffset == 1845 && WarningSize == 10);
static_assert(NbWarningOffset == 1855 && NbWarningSize == 12);
static_assert(HowManyBinOffset == 1867 && HowManyBinSize == 20);
static_assert(BinStartsOffset == 1887 && BinStartSlotSize == 22 && BinStartsSize == 88);
static_assert(BinSizesOffset == 1975 && BinSizeSlotSize == 21 && BinSizesSize == 84);
static_assert(NewFirmwaresOffset == 2059 && NewFirmwareSlotSize == 16 && NewFirmwaresSize == 64);
static_assert(BankOffset == HeaderSize && sizeof(Layout::bank) == 1048576);
static_assert(sizeof(Layout) == BlockSize && BlockSize == 1050699);
static_assert(alignof(Layout) == 1);

// Offset of constraint slot (bin 0-3, slot 0-7) inside the block.
constexpr std::size_t constraintSlotOffset(unsigned bin, unsigned slot) {
    return ConstraintsOffset + (bin * SlotsPerBin + slot) * ConstraintSlotSize;
}
constexpr std::size_t binStartOffset(unsigned bin) {
    return BinStartsOffset + bin * BinStartSlotSize;
}
constexpr std::size_t binSizeOffset(unsigned bin) {
    return BinSizesOffset + bin * BinSizeSlotSize;
}
constexpr std::size_t newFirmwareOffset(unsigned bin) {
    return NewFirmwaresOffset + bin * NewFirmwareSlotSize;
}

// ---- keys and marks ----

// The nine options in slot order, with the key text that precedes the digit.
enum class Option : unsigned {
    N2OMESSAGE,
    CHKDISC,
    BOOTCODE,
    REBOOT,
    AUTOMODE,
    CLOSEAP,
    WARNING,
    NBWARNING,
    HOW_MANY_BIN,
};
inline constexpr unsigned OptionCount = 9;

struct OptionSlot {
    std::string_view key;  // "CHKDISC=" (the key and its "=")
    std::size_t offset;
    std::size_t size;
};
inline constexpr OptionSlot OptionSlots[OptionCount] = {
    {"N2OMESSAGE=", N2oMessageOffset, N2oMessageSize},
    {"CHKDISC=", ChkDiscOffset, ChkDiscSize},
    {"BOOTCODE=", BootCodeOffset, BootCodeSize},
    {"REBOOT=", RebootOffset, RebootSize},
    {"AUTOMODE=", AutoModeOffset, AutoModeSize},
    {"CLOSEAP=", CloseApOffset, CloseApSize},
    {"WARNING=", WarningOffset, WarningSize},
    {"NBWARNING=", NbWarningOffset, NbWarningSize},
    {"HOW_MANY_BIN=", HowManyBinOffset, HowManyBinSize},
};
constexpr const OptionSlot& optionSlot(Option option) {
    return OptionSlots[static_cast<unsigned>(option)];
}

inline constexpr std::string_view TableLabel = "FW_CONSTRAINTS=";
// Keys of bin n (1-4) are "BIN_STARTn=", "BIN_SIZEn=", "NEW_FWn="; the digit
// sits just before the "=".
inline constexpr std::string_view BinStartKeyStem = "BIN_START";
inline constexpr std::string_view BinSizeKeyStem = "BIN_SIZE";
inline constexpr std::string_view NewFirmwareKeyStem = "NEW_FW";
inline constexpr std::size_t BinStartKeyLength = 11;    // "BIN_START1="
inline constexpr std::size_t BinSizeKeyLength = 10;     // "BIN_SIZE1="
inline constexpr std::size_t NewFirmwareKeyLength = 8;  // "NEW_FW1="
inline constexpr std::size_t NumberDigits = 10;         // ten digits, leading zeros
inline constexpr std::size_t NewFirmwareValueSize = NewFirmwareSlotSize - NewFirmwareKeyLength;
inline constexpr std::size_t RevisionUsed = 4;  // characters of a revision that are compared

// Placeholders the program recognises.
inline constexpr std::string_view TitlePlaceholder = "APP_TITLE_HERE";  // first 14 chars
inline constexpr std::string_view BankPlaceholder = "BANK_START_FROM_HERE";
inline constexpr std::size_t BankPlaceholderCompared = 19;      // bytes compared by the empty test
inline constexpr std::string_view EmptySlotMarkStem = "#FLSH";  // + bin number + slot number
inline constexpr std::string_view EmptySlotCompared = "#FLS";   // what the empty test compares
inline constexpr std::string_view EmptyFieldMark = "#";

// Bank images go in whole blocks of this size.
inline constexpr std::int64_t ImageBlockSize = 16384;
inline constexpr std::int64_t MaxImageSize = 16 * 1024 * 1024;

// The flash profile store: a 16-byte mark (the text ZORBEL_PROFILES and a NUL)
// followed at once by the profile bytes. The mark's text is deliberately not
// spelled out as one literal here: a program that used such a literal would
// carry a second copy of the mark, and a packaging step could not tell which
// one is the store.
inline constexpr std::size_t ProfileStoreMarkSize = 16;
inline constexpr std::size_t ProfileStoreSize = 17850;

}  // namespace zorbel::block
