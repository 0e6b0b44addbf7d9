// The program's check of its own package before anything reaches a drive: the
// digests its packaging step recorded against the package block it reads and
// its flash profile store.
#pragma once

namespace zorbel {

// Only the program's embedded block is checked: a block put in its place
// (ScopedPackageOverride) passes. True when the record holds, when the package carries no record
// (put in by hand: one line on standard error, the first time only) or when the system offers no
// SHA-256 (likewise). False, after one line on standard error that names what does not match, when
// a part or the record itself was changed.
bool PackageIntegrityHolds();

}  // namespace zorbel
