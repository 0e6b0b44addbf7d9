#include "package/Matching.h"

#include <algorithm>
#include <string>

#include "device/Host.h"

namespace zorbel {

namespace {

// A drive record's text cut to n characters: up to its first NUL, at most n,
// never past the field.
template <std::size_t N>
std::string_view cut(const char (&field)[N], std::size_t n) {
    const std::size_t limit = std::min(n, N);
    std::size_t length = 0;
    while (length < limit && field[length] != '\0') {
        ++length;
    }
    return {field, length};
}

// A test passes when the slot's text is empty or the condition holds.
bool equalsOrEmpty(std::string_view slotText, std::string_view driveText) {
    return slotText.empty() || compareTexts(driveText, slotText) == 0;
}

}  // namespace

int compareTexts(std::string_view a, std::string_view b) {
    // The one place that chooses the collation of identity and revision texts.
    if (hasCurrentHost()) {
        return currentHost().collate(a, b);
    }
    return plainCollate(a, b);
}

bool slotAccepts(const PackageBlock& block, unsigned bin, unsigned slot, std::string_view vendor,
                 std::string_view product, std::string_view revision) {
    const ConstraintSlot c = block.constraintSlot(bin, slot);
    if (slot == 0 && c.isEmptyMark()) {
        return true;  // the bin carries no constraints
    }
    // Vendor, product, lowest, highest: the first failing test rejects the slot.
    if (!equalsOrEmpty(c.vendor, vendor)) {
        return false;
    }
    if (!equalsOrEmpty(c.product, product)) {
        return false;
    }
    if (!c.lowestRevision.empty() && compareTexts(revision, c.lowestRevision) < 0) {
        return false;
    }
    if (!c.highestRevision.empty() && compareTexts(revision, c.highestRevision) > 0) {
        return false;
    }
    return true;
}

void matchDrives(std::span<DriveEntry> table, const PackageBlock& block,
                 const LoadedSettings& settings) {
    const bool bankEmpty = block.bankIsEmpty();
    // A bin count above the table's four is refused at start-up; never look past it.
    const unsigned bins = std::min<unsigned>(settings.HOW_MANY_BIN, block::BinCount);
    for (DriveEntry& drive : table) {
        if (drive.present == 0) {
            continue;
        }
        drive.allowed = 0;
        if (bankEmpty) {
            continue;
        }
        const std::string_view vendor = cut(drive.vendor, block::VendorUsed);
        const std::string_view product = cut(drive.product, block::ProductUsed);
        const std::string_view revision = cut(drive.revision, block::RevisionUsed);
        for (unsigned bin = 0; bin < bins && drive.allowed == 0; ++bin) {
            for (unsigned slot = 0; slot < block::SlotsPerBin; ++slot) {
                if (!slotAccepts(block, bin, slot, vendor, product, revision)) {
                    continue;
                }
                drive.allowed = 1;
                drive.binIndex = static_cast<std::uint16_t>(bin);
                const std::string newRevision =
                    block.newFirmwareRevision(bin).substr(0, block::RevisionUsed);
                drive.upToDate =
                    (settings.N2OMESSAGE == 1 && compareTexts(revision, newRevision) >= 0) ? 1 : 0;
                break;
            }
        }
    }
}

unsigned countAllowed(std::span<const DriveEntry> table) {
    return static_cast<unsigned>(std::count_if(table.begin(), table.end(), [](const DriveEntry& d) {
        return d.present != 0 && d.allowed != 0;
    }));
}

std::string noMatchMessage(std::string_view supportedDrives,
                           std::span<const std::string> driveListLines) {
    std::string message = "No matched drive detected !\n";
    message += "This utility is only for ";
    message += supportedDrives;
    message += " drive.\n\n";
    message += "Detected drives :\n";
    for (const std::string& line : driveListLines) {
        message += line;
        message += "\n";
    }
    return message;
}

void matchDrives(std::span<DriveEntry> table) {
    matchDrives(table, PackageBlock::current(), loadedSettings());
}

}  // namespace zorbel
