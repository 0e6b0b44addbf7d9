// SHA-256 digests of a package's parts, so that a program's images and profile
// store can be checked against the files the drive maker published.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zorbel::pack {

// The SHA-256 digest of `bytes` as 64 lower-case hex digits, as sha256sum
// prints it.
std::string sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace zorbel::pack
