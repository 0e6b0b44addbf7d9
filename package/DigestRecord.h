// The digest record: the SHA-256 digests of what the packaging step wrote into
// a program (its package block, part by part, and its flash profile store),
// kept in a small object of the program's own data beside, never inside, the
// package block, whose fixed layout stays as it is.
//
// The record is a 16-byte mark (the text ZORBEL_DIGESTS and two NULs), an
// 8-byte state ("NONE" until a packaging step fills it, then "SHA-256") and
// one 32-byte digest per part. A packaging step finds it in a program file by
// its mark (digestRecordRange); the program reads its own through memory at
// start-up and checks every part before anything reaches a drive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "package/BlockLayout.h"

namespace zorbel {

// The parts of a program that carry a digest each, in record order.
enum class DigestPart : unsigned {
    Texts,        // the block's slots before the constraint table (credit ... table label)
    Constraints,  // the constraint table, every slot of every bin
    Options,      // the nine options and the bin table (starts, sizes, new revisions)
    Bank,         // the whole 1 MiB firmware bank
    Profiles,     // the flash profile store (nothing, in a program without one)
};
inline constexpr unsigned DigestPartCount = 5;

// "the texts", "the constraint table", ... as a line names the part.
std::string_view digestPartName(DigestPart part);
// The block bytes [first, second) a part of the block covers (not Profiles).
std::pair<std::size_t, std::size_t> digestPartRange(DigestPart part);

using Sha256Digest = std::array<std::uint8_t, 32>;
// Computes the SHA-256 of the bytes; false (with the reason) when it cannot.
using Sha256Function =
    std::function<bool(std::span<const std::uint8_t>, Sha256Digest&, std::string& reason)>;

namespace digest {

struct RecordLayout {
    char mark[16];
    char state[8];
    std::uint8_t digests[DigestPartCount][32];
};
inline constexpr std::size_t MarkSize = sizeof(RecordLayout::mark);
inline constexpr std::size_t StateOffset = offsetof(RecordLayout, state);
inline constexpr std::size_t StateSize = sizeof(RecordLayout::state);
inline constexpr std::size_t DigestsOffset = offsetof(RecordLayout, digests);
inline constexpr std::size_t RecordSize = sizeof(RecordLayout);
static_assert(MarkSize == 16 && StateOffset == 16 && StateSize == 8 && DigestsOffset == 24);
static_assert(RecordSize == 24 + 5 * 32 && alignof(RecordLayout) == 1);
inline constexpr std::string_view NoRecordState{"NONE\0\0\0\0", StateSize};
inline constexpr std::string_view FilledState{"SHA-256\0", StateSize};

// The record's 16-byte mark, put together at run time so that no program
// carries a second copy of it as one literal.
std::string mark();

}  // namespace digest

// The byte range [first, second) of the one digest record in a program file,
// found by its mark; nullopt when the file holds none or several (see
// digestRecordCount). Tools that compare programs leave this range out.
std::optional<std::pair<std::size_t, std::size_t>> digestRecordRange(
    std::span<const std::uint8_t> file);
// How many copies of the record's mark, each with room for a record, the file holds.
std::size_t digestRecordCount(std::span<const std::uint8_t> file);

// The digests of a package block and a profile store (empty: none), part by
// part; false when the hash cannot be computed (reason says why).
bool computeDigests(std::span<const std::uint8_t> block, std::span<const std::uint8_t> store,
                    const Sha256Function& sha256,
                    std::array<Sha256Digest, DigestPartCount>& digests, std::string& reason);

// Writes a filled record (mark, state, digests) into `record` (RecordSize bytes).
void writeDigestRecord(std::span<std::uint8_t> record,
                       const std::array<Sha256Digest, DigestPartCount>& digests);

// What a record says about a block and a store.
struct DigestCheck {
    enum class Outcome {
        NoRecord,   // the record is still unfilled: the package was put in by hand
        Holds,      // every part matches its digest
        Mismatch,   // a part, or the record itself, does not match
        Unchecked,  // no SHA-256 could be computed here
    };
    Outcome outcome = Outcome::NoRecord;
    std::vector<DigestPart> mismatched;  // the parts that differ
    bool recordDamaged = false;          // the mark or the state is neither form
    std::string reason;                  // for Unchecked: why no digest could be computed
    // "the constraint table and the bank", "the digest record itself", ...
    std::string describe() const;
};
DigestCheck checkDigestRecord(std::span<const std::uint8_t> record,
                              std::span<const std::uint8_t> block,
                              std::span<const std::uint8_t> store, const Sha256Function& sha256);

// The program's own record (RecordSize bytes, read through memory).
std::span<const std::uint8_t> embeddedDigestRecord();

// 64 lower-case hex digits.
std::string digestHex(const Sha256Digest& digest);

}  // namespace zorbel
