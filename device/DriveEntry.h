// One record of the drive table: a drive's address, its identity as INQUIRY
// reports it, and the verdict of the package's matching. Plain fields of fixed
// size; texts are zero-terminated and keep the drive's trailing blanks.
#pragma once

#include <cstdint>

namespace zorbel {

struct DriveEntry {
    char displayName[32];     // 8 vendor bytes then 16 product bytes, zero-terminated
    char vendor[9];           // INQUIRY bytes 8-15
    char product[17];         // INQUIRY bytes 16-31
    char revision[5];         // INQUIRY bytes 32-35
    char vendorSpecific[17];  // INQUIRY bytes 36-51
    char rootPath[4];         // "D:\" for drives found by drive letter; empty for ASPI drives
    std::int16_t hostAdapter;
    std::int16_t target;
    std::int16_t lun;
    std::int16_t path;
    std::uint8_t present;    // the entry holds a drive
    std::uint8_t allowed;    // the package may update this drive
    std::uint8_t viaAspi;    // found by the ASPI scan and served by ASPI
    std::uint16_t binIndex;  // the bin the drive receives (valid while allowed)
    std::int16_t upToDate;   // 1: the drive already carries the new revision
};

inline constexpr int MaxDrives = 16;

}  // namespace zorbel
