// The packaging step on a program file: finding its package block and profile
// store, laying a description out as block bytes, describing a block, and
// replacing a file only when everything succeeded.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "package/PackageBlock.h"
#include "tools/zorbel-pack/Description.h"

namespace zorbel::pack {

// Offsets of every package block in `file`: a place where the table label and
// the keys of every option, bin start, bin size and new revision stand at
// their offsets from the block's start, with the whole block inside the file.
std::vector<std::size_t> findBlocks(std::span<const std::uint8_t> file);

// Offsets of the profile bytes of every profile store in `file`: the place
// just after each copy of the store's 16-byte mark that has room for the
// 17,850 profile bytes.
std::vector<std::size_t> findProfileStores(std::span<const std::uint8_t> file);

// True when `file` is a program for the simulated computer (zorbel-sim and
// its copies): it carries that computer's mark.
bool isSimulatedComputerProgram(std::span<const std::uint8_t> file);

// The text that marks the demonstration images (examples/make-image.sh --demo,
// the image zorbel-sim carries): "ZORBEL DEMONSTRATION IMAGE".
std::string demonstrationMark();

// True when `image` carries the demonstration mark anywhere.
bool carriesDemonstrationMark(std::span<const std::uint8_t> image);

// The block bytes (block::BlockSize) a checked description stands for: every
// slot written, texts NUL-padded, constraint slots not described left with
// their empty mark, bins not in use as an untouched block holds them, and the
// bank zeroed with each image at its start (or the empty-bank mark).
std::vector<std::uint8_t> buildBlock(const PackageDescription& description);

// The description of a block as it stands, images included (from the bank)
// unless the bank is untouched. `warnings` receives a line for each part of
// the block that the description cannot reproduce byte for byte.
PackageDescription describeBlock(const PackageBlock& block, std::vector<std::string>& warnings);

// The name of the slot that holds block offset `offset` ("title",
// "constraint bin 2 slot 3", "bank", ...).
std::string slotNameAt(std::size_t offset);

// Writes `bytes` to a temporary file beside `target`, gives it `permissions`
// and renames it over `target`. On failure the target is left as it was, the
// temporary file is removed, and `error` says what failed.
bool replaceFile(const std::filesystem::path& target, std::span<const std::uint8_t> bytes,
                 std::filesystem::perms permissions, std::string& error);

// Reads a whole file; false when it cannot be read, with the system's reason
// ("No such file or directory") in `reason`.
bool readFile(const std::filesystem::path& file, std::vector<std::uint8_t>& bytes,
              std::string& reason);
bool readFile(const std::filesystem::path& file, std::vector<std::uint8_t>& bytes);

}  // namespace zorbel::pack
