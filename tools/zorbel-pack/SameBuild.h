// Whether a filled (and maybe signed) program is a given unfilled build plus
// its package: every byte the same outside the parts packaging and signing
// write (package/PackagingParts.h).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "package/PackagingParts.h"

namespace zorbel::pack {

struct SameBuild {
    std::vector<FilePart> leftOut;  // the program's parts not compared
    std::size_t programBody = 0;    // the program's bytes before its signature
    std::size_t unfilledSize = 0;
    std::size_t signingPadding = 0;  // zero bytes that align the signature
    std::size_t differingBytes = 0;
    std::optional<std::size_t> firstDifference;  // file offset

    bool same() const { return programBody == unfilledSize && differingBytes == 0; }
};

// Compares `program`, whose package block lies at `blockAt` and profile store
// at `storeAt`, with `unfilled`.
SameBuild compareWithBuild(std::span<const std::uint8_t> program, std::size_t blockAt,
                           std::optional<std::size_t> storeAt,
                           std::span<const std::uint8_t> unfilled);

// The verdict as one line of text ("... is the build of ...", "... is not ...").
std::string sameBuildText(const std::string& program, const std::string& unfilled,
                          const SameBuild& result);

// The verdict as data (schema "zorbel-pack-same-build", version 1).
nlohmann::ordered_json sameBuildJson(const std::string& program, const std::string& unfilled,
                                     const SameBuild& result);

}  // namespace zorbel::pack
