// Drive matching: decides for each drive of a table whether the package may
// update it, which bin it receives and whether it already carries the new
// firmware, and the one text comparison every identity and revision test uses.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "device/DriveEntry.h"
#include "package/PackageBlock.h"

namespace zorbel {

// Compares two identity or revision texts: the current host's collation when a
// host is installed, the plain character order otherwise. Only the sign counts.
int compareTexts(std::string_view a, std::string_view b);

// Sets allowed, binIndex and upToDate of every present entry of `table`
// against `block` and the loaded HOW_MANY_BIN and N2OMESSAGE of `settings`:
// bins 1 to HOW_MANY_BIN (at most 4) in order, slots 1 to 8 in order, the first
// accepting slot decides the bin. An empty first slot accepts every drive; a
// slot otherwise accepts when vendor and product equal the drive's and the
// drive's revision lies within the inclusive bounds (an empty field constrains
// nothing). An empty bank refuses every drive. A drive that no slot accepts
// gets allowed 0 and keeps its binIndex and upToDate. Entries not present are
// left untouched.
void matchDrives(std::span<DriveEntry> table, const PackageBlock& block,
                 const LoadedSettings& settings);

// The program's form: the current package block and the loaded settings.
void matchDrives(std::span<DriveEntry> table);
inline void matchDrives(DriveEntry* table, unsigned count) {
    matchDrives(std::span<DriveEntry>(table, count));
}

// The start-up check: how many entries are present and allowed.
unsigned countAllowed(std::span<const DriveEntry> table);

// The message shown when no present drive is allowed: the fixed texts, the
// supported-drives text, and each of the drive list's lines followed by "\n"
// (the lines as the drive list shows them, in list order).
std::string noMatchMessage(std::string_view supportedDrives,
                           std::span<const std::string> driveListLines);

// Whether one drive identity is accepted by slot (bin, slot) of `block`, as
// the matching decides it (the empty-slot rule applies to slot 0 only).
bool slotAccepts(const PackageBlock& block, unsigned bin, unsigned slot, std::string_view vendor,
                 std::string_view product, std::string_view revision);

}  // namespace zorbel
