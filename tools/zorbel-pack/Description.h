// A package description: what zorbel-pack writes into a program's package
// block, read from (and printed as) TOML. tools/zorbel-pack/README.md gives the
// format.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "package/BlockLayout.h"

namespace zorbel::pack {

// One refusal: where in which file, which key, and the rule it breaks.
struct Refusal {
    std::string file;
    unsigned line = 0;  // 0 when no line applies
    std::string key;    // "bin[2].constraint[3].vendor"; empty when no key applies
    std::string rule;

    // "FILE:LINE: KEY: RULE"
    std::string text() const;
};

// One constraint slot as described. Untouched slots keep their empty mark.
struct SlotDescription {
    bool untouched = false;
    std::string lowestRevision;  // bytes as stored; empty: no lower bound
    std::string highestRevision;
    std::string vendor;
    std::string product;
    bool shortText = false;  // a vendor or product shorter than its field is meant
    unsigned line = 0;
};

struct BinDescription {
    std::optional<std::filesystem::path> image;  // resolved against the description's folder
    std::optional<std::int64_t> start;           // default: right after the previous bin
    std::optional<std::int64_t> size;            // default: the image's size
    std::string newRevision;
    std::vector<SlotDescription> constraints;  // slot 1 onwards; the rest stay untouched
    bool anyDrive = false;                     // said in so many words: a drive of any make may fit
    unsigned line = 0;

    std::vector<std::uint8_t> imageBytes;  // filled by loadImages
};

struct PackageDescription {
    std::string file;  // where it was read from, for refusals
    std::string title;
    std::string supportedDrives;
    std::string version;
    std::string date;
    std::string credit;
    std::string unread;
    std::string spare;
    std::array<unsigned, block::OptionCount> options{};  // in block::Option order
    bool bankUntouched = false;
    std::vector<BinDescription> bins;

    // What is allowed but probably not meant ("FILE:LINE: KEY: note").
    std::vector<std::string> warnings;
};

// True when a drive of any make would fit under this bin: it has no slot, its
// first slot is untouched, or one of its slots names neither vendor nor product.
bool acceptsAnyMake(const BinDescription& bin);

// Reads and checks a description file: syntax, known keys, types, text
// lengths, option digits, revisions, identity lengths, bin count. Images are
// not read here. Returns the description, or fills `refusals` (all that were
// found) and returns nothing.
std::optional<PackageDescription> parseDescription(const std::filesystem::path& file,
                                                   std::vector<Refusal>& refusals);

// Reads every bin's image and checks the bank layout: images present, not
// empty, whole 16,384-byte blocks, inside the bank, not overlapping, not
// starting with the empty-bank mark. Fills starts and sizes. False with
// refusals when something is wrong.
bool loadImages(PackageDescription& description, std::vector<Refusal>& refusals);

// The description as TOML, in the format parseDescription reads. Bins name
// their image when they have one; untouched slots and an untouched bank are
// shown as such. Empty constraint fields are left out.
std::string renderDescription(const PackageDescription& description);

// Texts are stored one byte per character: characters U+0001 to U+00FF. These
// convert between the description's UTF-8 and the stored bytes.
std::optional<std::string> bytesFromUtf8(std::string_view utf8);
std::string utf8FromBytes(std::string_view bytes);

}  // namespace zorbel::pack
