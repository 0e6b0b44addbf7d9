// The package a program holds as data: the document `zorbel-pack show --json`
// prints. Its layout (schema "zorbel-pack-show", version 1) is documented in
// tools/zorbel-pack/README.md; a change that a reader could trip over gives it
// a new version.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/zorbel-pack/Description.h"
#include "tools/zorbel-pack/Sha256.h"

namespace zorbel::pack {

inline constexpr int ShowSchemaVersion = 1;

// What a program file's flash profile store holds.
struct ProfileStoreFacts {
    std::size_t marks = 0;              // copies of the store's mark in the file
    std::optional<std::string> sha256;  // of the 17,850 bytes, when there is exactly one store
    std::vector<int> standInGroups;     // groups that still hold a stand-in
};

// The document for `d` (as describeBlock gave it) in `program`.
nlohmann::ordered_json showJson(const std::string& program, const PackageDescription& d,
                                const ProfileStoreFacts& store, const RecordFacts& record,
                                const std::vector<std::string>& warnings);

}  // namespace zorbel::pack
