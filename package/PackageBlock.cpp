#include "package/PackageBlock.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace zorbel {

// Defined with the embedded block (EmbeddedBlock.cpp).
const std::uint8_t* embeddedBlockBytes();

namespace {

// The override PackageBlock::current() reads instead of the embedded block;
// null when none is active.
std::atomic<const std::uint8_t*> g_override{nullptr};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

LoadedSettings& loadedSettings() {
    static LoadedSettings settings;
    return settings;
}

std::int32_t atolText(std::string_view text) {
    std::size_t i = 0;
    // atol skips what isspace() calls white space in the C locale.
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        value = std::min(value * 10 + (text[i] - '0'), limit);
    }
    if (negative) {
        return static_cast<std::int32_t>(-value);
    }
    return static_cast<std::int32_t>(std::min(value, limit - 1));
}

bool ConstraintSlot::isEmptyMark() const {
    return lowestRevision.starts_with(block::EmptySlotCompared) &&
           vendor.starts_with(block::EmptyFieldMark) &&
           highestRevision.starts_with(block::EmptyFieldMark) &&
           product.starts_with(block::EmptyFieldMark);
}

std::string PackageProblem::describe() const {
    const std::string binName = "bin " + std::to_string(bin + 1) + ": ";
    switch (kind) {
        case Kind::TooManyBins:
            return "HOW_MANY_BIN " + std::to_string(value) + " is more than 4 bins";
        case Kind::StartNegative:
            return binName + "start " + std::to_string(value) + " lies before the bank";
        case Kind::SizeNotBlocks:
            return binName + "size " + std::to_string(value) +
                   " is not a positive multiple of 16384 bytes";
        case Kind::SizeTooLarge:
            return binName + "size " + std::to_string(value) + " is over 16 MiB";
        case Kind::BeyondBank:
            return binName + "image ends at " + std::to_string(value) +
                   ", past the end of the 1048576-byte bank";
    }
    return binName + "unusable";
}

PackageBlock PackageBlock::current() {
    const std::uint8_t* active = g_override.load(std::memory_order_acquire);
    if (active == nullptr) {
        return embedded();
    }
    return PackageBlock({active, block::BlockSize});
}

PackageBlock PackageBlock::embedded() {
    return PackageBlock({embeddedBlockBytes(), block::BlockSize});
}

std::string PackageBlock::slotText(std::size_t offset, std::size_t size) const {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t byte = byteAt(offset + i);
        if (byte == 0) {
            break;
        }
        text.push_back(static_cast<char>(byte));
    }
    return text;
}

std::string PackageBlock::title() const {
    return slotText(block::TitleOffset, block::TitleSize);
}

std::string PackageBlock::version() const {
    return slotText(block::VersionOffset, block::VersionSize);
}

std::string PackageBlock::supportedDrivesText() const {
    return slotText(block::SupportedDrivesOffset, block::SupportedDrivesSize);
}

bool PackageBlock::titleIsPlaceholder() const {
    const std::string_view mark = block::TitlePlaceholder;
    for (std::size_t i = 0; i < mark.size(); ++i) {
        if (byteAt(block::TitleOffset + i) != static_cast<std::uint8_t>(mark[i])) {
            return false;
        }
    }
    return true;
}

std::string PackageBlock::windowCaption() const {
    return titleIsPlaceholder() ? "Zorbel " + version() : title();
}

unsigned PackageBlock::option(block::Option which) const {
    const block::OptionSlot& slot = block::optionSlot(which);
    const std::string text = slotText(slot.offset, slot.size);
    // Only the text's last character counts; an empty text has none and reads 0.
    if (text.empty() || !isDigit(text.back())) {
        return 0;
    }
    return static_cast<unsigned>(text.back() - '0');
}

void PackageBlock::readOptions(LoadedSettings& into) const {
    using block::Option;
    into.N2OMESSAGE = static_cast<std::uint8_t>(option(Option::N2OMESSAGE));
    into.CHKDISC = static_cast<std::uint8_t>(option(Option::CHKDISC));
    into.BOOTCODE = static_cast<std::uint8_t>(option(Option::BOOTCODE));
    into.REBOOT = static_cast<std::uint8_t>(option(Option::REBOOT));
    into.AUTOMODE = static_cast<std::uint8_t>(option(Option::AUTOMODE));
    into.CLOSEAP = static_cast<std::uint8_t>(option(Option::CLOSEAP));
    into.WARNING = static_cast<std::uint8_t>(option(Option::WARNING));
    into.NBWARNING = static_cast<std::uint8_t>(option(Option::NBWARNING));
    into.HOW_MANY_BIN = static_cast<std::uint16_t>(option(Option::HOW_MANY_BIN));
}

ConstraintSlot PackageBlock::constraintSlot(unsigned bin, unsigned slot) const {
    if (bin >= block::BinCount || slot >= block::SlotsPerBin) {
        return {};
    }
    const std::size_t base = block::constraintSlotOffset(bin, slot);
    auto field = [&](std::size_t offset, std::size_t size, std::size_t used) {
        return slotText(base + offset, std::min(size, used));
    };
    return {
        field(block::LowestOffset, block::LowestFieldSize, block::LowestUsed),
        field(block::HighestOffset, block::HighestFieldSize, block::HighestUsed),
        field(block::VendorOffset, block::VendorFieldSize, block::VendorUsed),
        field(block::ProductOffset, block::ProductFieldSize, block::ProductUsed),
    };
}

std::string PackageBlock::newFirmwareRevision(unsigned bin) const {
    if (bin >= block::BinCount) {
        return {};
    }
    return slotText(block::newFirmwareOffset(bin) + block::NewFirmwareKeyLength,
                    block::NewFirmwareValueSize);
}

std::int32_t PackageBlock::numberAfterKey(std::size_t slotOffset, std::size_t slotSize,
                                          std::size_t keyLength) const {
    return atolText(slotText(slotOffset + keyLength, slotSize - keyLength));
}

std::int32_t PackageBlock::binStart(unsigned bin) const {
    if (bin >= block::BinCount) {
        return 0;
    }
    return numberAfterKey(block::binStartOffset(bin), block::BinStartSlotSize,
                          block::BinStartKeyLength);
}

std::int32_t PackageBlock::binSize(unsigned bin) const {
    if (bin >= block::BinCount) {
        return 0;
    }
    return numberAfterKey(block::binSizeOffset(bin), block::BinSizeSlotSize,
                          block::BinSizeKeyLength);
}

const std::uint8_t* PackageBlock::bankStart() const {
    if (bytes_.size() <= block::BankOffset) {
        return nullptr;
    }
    return bytes_.data() + block::BankOffset;
}

std::span<const std::uint8_t> PackageBlock::binImage(unsigned bin) const {
    if (bin >= block::BinCount) {
        return {};
    }
    const std::int64_t start = binStart(bin);
    const std::int64_t size = binSize(bin);
    const std::int64_t available = bytes_.size() > block::BankOffset
                                       ? static_cast<std::int64_t>(std::min(
                                             bytes_.size() - block::BankOffset, block::BankSize))
                                       : 0;
    if (start < 0 || size < 0 || start + size > available) {
        return {};
    }
    return bytes_.subspan(block::BankOffset + static_cast<std::size_t>(start),
                          static_cast<std::size_t>(size));
}

bool PackageBlock::bankIsEmpty() const {
    const std::string_view mark = block::BankPlaceholder;
    for (std::size_t i = 0; i < block::BankPlaceholderCompared; ++i) {
        if (byteAt(block::BankOffset + i) != static_cast<std::uint8_t>(mark[i])) {
            return false;
        }
    }
    return true;
}

std::optional<PackageProblem> PackageBlock::validatePackage() const {
    using Kind = PackageProblem::Kind;
    const unsigned bins = option(block::Option::HOW_MANY_BIN);
    if (bins > block::BinCount) {
        return PackageProblem{Kind::TooManyBins, 0, bins};
    }
    for (unsigned bin = 0; bin < bins; ++bin) {
        const std::int64_t start = binStart(bin);
        const std::int64_t size = binSize(bin);
        if (start < 0) {
            return PackageProblem{Kind::StartNegative, bin, start};
        }
        if (size <= 0 || size % block::ImageBlockSize != 0) {
            return PackageProblem{Kind::SizeNotBlocks, bin, size};
        }
        if (size > block::MaxImageSize) {
            return PackageProblem{Kind::SizeTooLarge, bin, size};
        }
        if (start + size > static_cast<std::int64_t>(block::BankSize)) {
            return PackageProblem{Kind::BeyondBank, bin, start + size};
        }
    }
    return std::nullopt;
}

ScopedPackageOverride::ScopedPackageOverride(std::span<const std::uint8_t> bytes)
    : previous_(g_override.load(std::memory_order_acquire)) {
    if (bytes.size() != block::BlockSize) {
        throw std::invalid_argument("a package block override must hold exactly " +
                                    std::to_string(block::BlockSize) + " bytes");
    }
    g_override.store(bytes.data(), std::memory_order_release);
}

ScopedPackageOverride::~ScopedPackageOverride() {
    g_override.store(previous_, std::memory_order_release);
}

}  // namespace zorbel
