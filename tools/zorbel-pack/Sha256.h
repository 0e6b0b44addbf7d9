// SHA-256 digests of a package's parts, so that a program's images and profile
// store can be checked against the files the drive maker published.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "package/DigestRecord.h"

namespace zorbel::pack {

// The SHA-256 digest of `bytes` as 64 lower-case hex digits, as sha256sum
// prints it.
std::string sha256Hex(std::span<const std::uint8_t> bytes);
// The same digest as bytes, in the form the digest record takes; never fails.
bool sha256Digest(std::span<const std::uint8_t> bytes, Sha256Digest& digest, std::string& reason);

// What a program file's digest record says about the package and store it holds.
struct RecordFacts {
    std::size_t records = 0;                               // copies of the record's mark
    std::optional<DigestCheck> check;                      // when there is exactly one
    std::array<Sha256Digest, DigestPartCount> recorded{};  // its digests, when filled
};
// `block`: the program's package block; `store`: its profile store (empty: none).
RecordFacts recordFacts(std::span<const std::uint8_t> file, std::span<const std::uint8_t> block,
                        std::span<const std::uint8_t> store);

}  // namespace zorbel::pack
