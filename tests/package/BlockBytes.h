// Test helper: a block's bytes to edit, starting from the program's
// untouched embedded block.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "package/PackageBlock.h"

namespace zorbel::testing {

class BlockBytes {
  public:
    // A copy of the embedded block as the build left it.
    BlockBytes() {
        const auto embedded = PackageBlock::embedded().bytes();
        bytes_.assign(embedded.begin(), embedded.end());
    }

    // Writes text into the slot at offset and pads the rest of the slot with
    // NULs (text may fill the slot completely, leaving no NUL).
    BlockBytes& put(std::size_t offset, std::size_t size, std::string_view text) {
        std::memset(bytes_.data() + offset, 0, size);
        std::memcpy(bytes_.data() + offset, text.data(), std::min(text.size(), size));
        return *this;
    }
    BlockBytes& putRaw(std::size_t offset, std::string_view text) {
        std::memcpy(bytes_.data() + offset, text.data(), text.size());
        return *this;
    }
    BlockBytes& option(block::Option which, std::string_view text) {
        const auto& slot = block::optionSlot(which);
        return put(slot.offset, slot.size, text);
    }
    BlockBytes& slot(unsigned bin, unsigned slot, std::string_view lowest, std::string_view highest,
                     std::string_view vendor, std::string_view product) {
        const std::size_t base = block::constraintSlotOffset(bin, slot);
        put(base + block::LowestOffset, block::LowestFieldSize, lowest);
        put(base + block::HighestOffset, block::HighestFieldSize, highest);
        put(base + block::VendorOffset, block::VendorFieldSize, vendor);
        return put(base + block::ProductOffset, block::ProductFieldSize, product);
    }
    BlockBytes& bin(unsigned bin, std::string_view start, std::string_view size) {
        const std::string n = std::to_string(bin + 1);
        put(block::binStartOffset(bin), block::BinStartSlotSize,
            "BIN_START" + n + "=" + std::string(start));
        return put(block::binSizeOffset(bin), block::BinSizeSlotSize,
                   "BIN_SIZE" + n + "=" + std::string(size));
    }
    BlockBytes& newFirmware(unsigned bin, std::string_view value) {
        return put(block::newFirmwareOffset(bin), block::NewFirmwareSlotSize,
                   "NEW_FW" + std::to_string(bin + 1) + "=" + std::string(value));
    }
    BlockBytes& fillBank(std::uint8_t value) {
        std::memset(bytes_.data() + block::BankOffset, value, block::BankSize);
        return *this;
    }

    PackageBlock view() const { return PackageBlock(bytes_); }
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

  private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace zorbel::testing
