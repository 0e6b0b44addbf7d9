// The parts of a program file that packaging and signing write after the
// build: everything else in a filled (and maybe signed) program is the bytes
// of the program as it was built, so a rebuild of the same source can be
// compared with it byte for byte.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace zorbel {

struct FilePart {
    std::string_view name;  // "package block", "PE checksum", ...
    std::size_t offset = 0;
    std::size_t size = 0;
};

// The parts of `file` that a fill or a signature writes, in file order: the
// package block at `blockAt`, the flash profile store at `storeAt` (when the
// file has one), and in a Windows program the header's checksum and, when it
// is signed, the security directory's entry and the certificate table, which
// runs to the end of the file. Whatever else a fill comes to write outside the
// block belongs in this list, so that `zorbel-pack same-build` leaves it out.
std::vector<FilePart> packagingParts(std::span<const std::uint8_t> file, std::size_t blockAt,
                                     std::optional<std::size_t> storeAt);

}  // namespace zorbel
