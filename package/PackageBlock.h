// Read-only access to a package block: texts, options, the constraint table,
// the bin table and the firmware bank.
//
// PackageBlock::current() is the block the program uses: the one embedded in
// the program's own data, unless a test, the fuzzer or the simulation put
// another in its place with ScopedPackageOverride. A PackageBlock can also be
// made over any bytes; whatever they hold, no accessor reads outside them
// (texts without a NUL end at their slot, out-of-range bins and bin numbers
// give empty results, a short byte span reads as NUL bytes past its end).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "package/BlockLayout.h"

namespace zorbel {

// The four fields of one constraint slot, each cut to the characters that are
// compared (lowest/highest revision 4, vendor 8, product 16).
struct ConstraintSlot {
    std::string lowestRevision;
    std::string highestRevision;
    std::string vendor;
    std::string product;

    // The empty-slot test: lowest begins with "#FLS" and vendor, highest and
    // product each begin with "#".
    bool isEmptyMark() const;
};

// The program-wide values read once at start-up, and the three values that
// describe the image of the drive being prepared for programming.
struct LoadedSettings {
    std::uint8_t CHKDISC = 0;
    std::uint8_t N2OMESSAGE = 0;
    std::uint8_t BOOTCODE = 0;
    std::uint8_t CLOSEAP = 0;
    std::uint8_t WARNING = 0;
    std::uint8_t REBOOT = 0;
    std::uint8_t AUTOMODE = 0;
    std::uint8_t NBWARNING = 0;
    std::uint16_t HOW_MANY_BIN = 0;

    // The tests each option is read with: some are on only at 1, the others at
    // any digit but 0.
    bool chkDiscOn() const { return CHKDISC == 1; }
    bool n2oMessageOn() const { return N2OMESSAGE == 1; }
    bool warningOn() const { return WARNING == 1; }
    bool nbWarningOn() const { return NBWARNING == 1; }
    bool bootCodeOn() const { return BOOTCODE != 0; }
    bool rebootOn() const { return REBOOT != 0; }
    bool autoModeOn() const { return AUTOMODE != 0; }
    bool closeApOn() const { return CLOSEAP != 0; }
    bool hasFirmware() const { return HOW_MANY_BIN != 0; }

    const std::uint8_t* imageStart = nullptr;  // first byte of the image inside the bank
    std::int32_t binStart = 0;
    std::int32_t binSize = 0;
};

// The process's loaded settings (one instance for the program's life).
LoadedSettings& loadedSettings();

// The error message start-up shows for a package that validatePackage refuses.
inline constexpr std::string_view InvalidPackageMessage = "Invalid F/W in executable !";

// Why a package cannot be used. validatePackage reports the first one found.
struct PackageProblem {
    enum class Kind {
        TooManyBins,    // HOW_MANY_BIN above 4
        StartNegative,  // a bin in use starts before the bank
        SizeNotBlocks,  // a bin in use has a size that is not a positive multiple of 16,384
        SizeTooLarge,   // a bin in use is larger than 16 MiB
        BeyondBank,     // a bin in use runs past the end of the bank
    };
    Kind kind;
    unsigned bin = 0;        // 0-3; 0 for TooManyBins
    std::int64_t value = 0;  // the offending number (bin count, start, size or end)

    // A one-line description for tools and notes ("bin 2: size 100 is not ...").
    std::string describe() const;
};

class PackageBlock {
  public:
    // A view over block bytes (normally BlockSize of them). The bytes must
    // outlive the view.
    explicit PackageBlock(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    // The block the program reads: the embedded one or the active override.
    static PackageBlock current();
    // The program's embedded block, whatever override is active.
    static PackageBlock embedded();

    std::span<const std::uint8_t> bytes() const { return bytes_; }

    // ---- texts, each up to its NUL (or the end of its slot) ----
    std::string title() const;
    std::string version() const;
    std::string supportedDrivesText() const;
    // True when the first 14 characters of the title are "APP_TITLE_HERE".
    bool titleIsPlaceholder() const;
    // The window caption: the title, or "Zorbel " and the version while the
    // title is still the placeholder.
    std::string windowCaption() const;

    // ---- options ----
    // The value of one option: the last character of its text (up to its NUL)
    // read as a decimal digit; anything but a digit, or an empty text, gives 0.
    unsigned option(block::Option option) const;
    // Reads the nine options into `into` (the other fields stay as they are).
    void readOptions(LoadedSettings& into) const;
    // Reads the nine options into the program-wide loaded settings.
    void readOptions() const { readOptions(loadedSettings()); }

    // ---- constraint table ----
    // The four fields of slot (bin 0-3, slot 0-7), each cut to its characters
    // used. Empty strings for a bin or slot outside the table.
    ConstraintSlot constraintSlot(unsigned bin, unsigned slot) const;

    // ---- bins ----
    // The value text after "NEW_FWn=" (bin 0-3), up to its NUL, at most 8
    // characters; comparisons use its first four. Empty for another bin.
    std::string newFirmwareRevision(unsigned bin) const;
    // The numbers after "BIN_STARTn=" and "BIN_SIZEn=", converted as atol does
    // (leading blanks, optional sign, digits up to the first non-digit), read
    // afresh at every call. A number beyond the signed 32-bit range saturates
    // at its limit. 0 for a bin outside 0-3.
    std::int32_t binStart(unsigned bin) const;
    std::int32_t binSize(unsigned bin) const;
    // The bin's image: the bank's first byte plus binStart, binSize bytes.
    // Empty when the bin does not lie wholly inside the bank (negative start
    // or size, or start + size past the bank's end) or the bin is outside 0-3.
    std::span<const std::uint8_t> binImage(unsigned bin) const;
    // The bank's first byte (what start-up gives the image start).
    const std::uint8_t* bankStart() const;

    // True when the bank's first 19 bytes are those of "BANK_START_FROM_HERE".
    bool bankIsEmpty() const;

    // The first reason the package cannot be used: more than 4 bins, or a bin
    // in use (1 to HOW_MANY_BIN, as the block holds it) with a negative start,
    // a size that is not a positive multiple of 16,384, a size over 16 MiB, or
    // start + size past the bank. None for a usable package (including one
    // with HOW_MANY_BIN 0, which the program reports as holding no firmware).
    std::optional<PackageProblem> validatePackage() const;

    // The text of a slot (offset, size) up to its NUL or the slot's end.
    std::string slotText(std::size_t offset, std::size_t size) const;

  private:
    std::uint8_t byteAt(std::size_t offset) const {
        return offset < bytes_.size() ? bytes_[offset] : 0;
    }
    std::int32_t numberAfterKey(std::size_t slotOffset, std::size_t slotSize,
                                std::size_t keyLength) const;

    std::span<const std::uint8_t> bytes_;
};

// While it lives, PackageBlock::current() reads `bytes` (exactly BlockSize of
// them, else std::invalid_argument) instead of the embedded block. Overrides
// nest; each restores the one before it. Install and remove them while no
// other thread reads the package.
class ScopedPackageOverride {
  public:
    explicit ScopedPackageOverride(std::span<const std::uint8_t> bytes);
    ~ScopedPackageOverride();
    ScopedPackageOverride(const ScopedPackageOverride&) = delete;
    ScopedPackageOverride& operator=(const ScopedPackageOverride&) = delete;

  private:
    const std::uint8_t* previous_;
};

// Converts text as the C library's atol does (leading white space, an optional
// sign, decimal digits up to the first other character), saturating at the
// signed 32-bit limits instead of overflowing.
std::int32_t atolText(std::string_view text);

}  // namespace zorbel
