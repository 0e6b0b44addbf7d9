// Reading and mending the header of a Windows program file (PE32 or PE32+):
// whether it carries an Authenticode signature, its time stamp, and its
// checksum, which a change of the file's bytes makes stale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zorbel::pe {

// What the header says, with the file offsets of the fields packaging and
// signing write.
struct PeFacts {
    bool plus = false;  // PE32+ (x86_64) rather than PE32 (i686)
    std::size_t timeStampAt = 0;
    std::uint32_t timeStamp = 0;
    std::size_t checksumAt = 0;
    std::uint32_t checksum = 0;  // as stored; 0 when the linker set none
    // The security directory's entry, absent when the header has too few
    // directories to hold one.
    std::optional<std::size_t> securityEntryAt;
    std::uint32_t certificatesAt = 0;  // file offset of the certificate table
    std::uint32_t certificatesSize = 0;

    // An Authenticode signature is entered: the security directory is set.
    bool isSigned() const { return certificatesAt != 0 || certificatesSize != 0; }
};

// The header of `file`, or nothing when it is no PE file (an ELF program) or
// its header does not fit in it.
std::optional<PeFacts> readHeaders(std::span<const std::uint8_t> file);

// The checksum the header's field should hold: the file's 16-bit little-endian
// words (a last odd byte padded with zero) summed with end-around carry, the
// field itself counted as zero, plus the file's length.
std::uint32_t checksumOf(std::span<const std::uint8_t> file, const PeFacts& facts);

// Writes checksumOf(file) into the header's field.
void writeChecksum(std::span<std::uint8_t> file, const PeFacts& facts);

}  // namespace zorbel::pe
