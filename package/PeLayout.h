// The byte layout of the parts of a Windows program file (PE) that packaging
// and signing touch: the DOS header's pointer to the PE header, the file
// header's time stamp, the optional header's checksum and the security
// directory, where an Authenticode signature is entered. Declared once; the
// readers in PeImage.cpp take every offset from here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorbel::pe {

// Only byte arrays, so there is no padding; the static_asserts pin every
// offset to the format.
struct DosHeader {
    std::uint8_t magic[2];  // "MZ"
    std::uint8_t unused[58];
    std::uint8_t peHeaderOffset[4];  // e_lfanew
};

// The "PE\0\0" signature and the file header that follows it.
struct FileHeader {
    std::uint8_t signature[4];
    std::uint8_t machine[2];
    std::uint8_t sectionCount[2];
    std::uint8_t timeStamp[4];
    std::uint8_t symbolTable[4];
    std::uint8_t symbolCount[4];
    std::uint8_t optionalHeaderSize[2];
    std::uint8_t characteristics[2];
};

struct DataDirectory {
    std::uint8_t address[4];  // the security directory's is a file offset
    std::uint8_t size[4];
};

// The optional header up to its data directories, for PE32 (i686) and PE32+
// (x86_64); the two differ in the width of the image base and the stack and
// heap sizes, so the directories start 16 bytes later in PE32+.
struct OptionalHeader32 {
    std::uint8_t magic[2];  // 0x10b
    std::uint8_t unused1[62];
    std::uint8_t checksum[4];
    std::uint8_t unused2[24];
    std::uint8_t directoryCount[4];
    DataDirectory directories[16];
};
struct OptionalHeader64 {
    std::uint8_t magic[2];  // 0x20b
    std::uint8_t unused1[62];
    std::uint8_t checksum[4];
    std::uint8_t unused2[40];
    std::uint8_t directoryCount[4];
    DataDirectory directories[16];
};

inline constexpr std::uint16_t DosMagic = 0x5a4d;         // "MZ"
inline constexpr std::uint32_t PeSignature = 0x00004550;  // "PE\0\0"
inline constexpr std::uint16_t Pe32Magic = 0x10b;
inline constexpr std::uint16_t Pe32PlusMagic = 0x20b;
inline constexpr unsigned SecurityDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY

inline constexpr std::size_t PeHeaderOffsetAt = offsetof(DosHeader, peHeaderOffset);
inline constexpr std::size_t TimeStampAt = offsetof(FileHeader, timeStamp);  // from "PE"
inline constexpr std::size_t OptionalHeaderAt = sizeof(FileHeader);          // from "PE"
inline constexpr std::size_t ChecksumAt = offsetof(OptionalHeader32, checksum);
inline constexpr std::size_t ChecksumSize = sizeof(OptionalHeader32::checksum);
inline constexpr std::size_t Directories32At = offsetof(OptionalHeader32, directories);
inline constexpr std::size_t Directories64At = offsetof(OptionalHeader64, directories);
inline constexpr std::size_t DirectoryCount32At = offsetof(OptionalHeader32, directoryCount);
inline constexpr std::size_t DirectoryCount64At = offsetof(OptionalHeader64, directoryCount);
inline constexpr std::size_t DirectorySize = sizeof(DataDirectory);
// Authenticode places the certificate table on an 8-byte boundary.
inline constexpr std::size_t CertificateAlignment = 8;

static_assert(sizeof(DosHeader) == 64 && PeHeaderOffsetAt == 0x3c);
static_assert(sizeof(FileHeader) == 24 && TimeStampAt == 8);
static_assert(ChecksumAt == 64 && offsetof(OptionalHeader64, checksum) == ChecksumAt);
static_assert(Directories32At == 96 && Directories64At == 112);
static_assert(DirectoryCount32At == 92 && DirectoryCount64At == 108);
static_assert(DirectorySize == 8 && sizeof(OptionalHeader32) == 224 &&
              sizeof(OptionalHeader64) == 240);

}  // namespace zorbel::pe
