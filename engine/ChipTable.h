// Flash chip identification: the chip table that maps the identification a
// drive reports (vendor command 0xDF, bytes 0-3) to one of the 20 flash
// profiles in the profile store, and the frame each profile travels in.
//
// ChipIdTable rows are searched in order and the frame form depends on the row
// number. Each row is 6 bytes: maker, device, a further identification byte
// (0x00 everywhere), platform, then the profile length, 16 bits big-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zorbel {

inline constexpr int ChipIdRowCount = 25;
inline constexpr int ProfileCount = 20;
inline constexpr std::size_t ProfileStoreSize = 17850;
// The 16-byte mark in front of the profile store in the program's data.
inline constexpr std::size_t ProfileStoreMarkSize = 16;
// FindChipEntry's answer when no row matches.
inline constexpr int NoChipEntry = -1;

using ChipIdRow = std::array<std::uint8_t, 6>;

// Maker codes (JEDEC manufacturer identification as the drives report it).
namespace maker {
inline constexpr std::uint8_t Amd = 0x01;
inline constexpr std::uint8_t Amic = 0x37;
inline constexpr std::uint8_t Sst = 0xBF;
inline constexpr std::uint8_t Mxic = 0xC2;
inline constexpr std::uint8_t Winbond = 0xDA;
}  // namespace maker

constexpr ChipIdRow chipRow(std::uint8_t makerCode, std::uint8_t device, std::uint8_t platform,
                            std::uint16_t length) {
    return {makerCode,
            device,
            0x00,
            platform,
            static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length & 0xFF)};
}

// clang-format off
inline constexpr std::array<ChipIdRow, ChipIdRowCount> ChipIdTable = {{
    //       maker           device platform length
    chipRow(maker::Winbond, 0xC8, 0x00,  314),  //  0 W29C512A / W29EE512, legacy frame
    chipRow(maker::Sst,     0xB4, 0x00,  452),  //  1 SST39SF512, legacy frame
    chipRow(maker::Sst,     0xD6, 0x01, 1280),  //  2 SST39VF020, header not counted
    chipRow(maker::Sst,     0xB6, 0x01, 1280),  //  3 SST39SF020, header not counted
    chipRow(maker::Amic,    0x8C, 0x01, 1280),  //  4 A29002L, header not counted
    chipRow(maker::Sst,     0xD7, 0x03,  998),  //  5 SST39LV040 / SST39VF040
    chipRow(maker::Amic,    0x0D, 0x02,  796),  //  6 A29002U
    chipRow(maker::Sst,     0xB6, 0x02,  694),  //  7 SST39SF020
    chipRow(maker::Sst,     0xD6, 0x02,  694),  //  8 SST39VF020
    chipRow(maker::Winbond, 0xB5, 0x02,  698),  //  9 W39L020
    chipRow(maker::Winbond, 0xB5, 0x01, 1280),  // 10 W39L020
    chipRow(maker::Sst,     0xD7, 0x04,  854),  // 11 SST39LV040 / SST39VF040
    chipRow(maker::Mxic,    0xB6, 0x03,  830),  // 12 MX29LV004B
    chipRow(maker::Winbond, 0x46, 0x03,  742),  // 13 W29C040
    chipRow(maker::Amic,    0xB5, 0x03,  946),  // 14 A29L004U
    chipRow(maker::Mxic,    0xB6, 0x07,  798),  // 15 MX29LV004B
    chipRow(maker::Winbond, 0x46, 0x07,  710),  // 16 W29C040
    chipRow(maker::Amic,    0xB5, 0x04,  942),  // 17 A29L004U
    chipRow(maker::Amic,    0xB5, 0x07,  802),  // 18 A29L004U
    chipRow(maker::Sst,     0xD8, 0x05, 1234),  // 19 SST39LF080 / SST39VF080
    chipRow(maker::Amd,     0x37, 0x05, 1234),  // 20 AM29LV008B
    chipRow(maker::Mxic,    0x37, 0x05, 1234),  // 21 MX29LV008B
    chipRow(maker::Mxic,    0x38, 0x05, 1234),  // 22 MX29LV081
    chipRow(maker::Sst,     0xD8, 0x06, 1078),  // 23 SST39VF080 / SST39LF080
    chipRow(maker::Amd,     0x37, 0x06, 1122),  // 24 AM29LV008BB
}};
// clang-format on

// The stored profile each row uses; adjacent rows with the same number share it.
inline constexpr std::array<std::int32_t, ChipIdRowCount> ProfileGroupTable = {
    0, 1, 2, 2, 3, 4, 5, 6, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 17, 17, 17, 18, 19};

// Where each profile begins in the store.
inline constexpr std::array<std::uint32_t, ProfileCount> ProfileOffsets = {
    0,    314,  766,   2046,  3326,  4324,  5120,  5814,  6512,  7792,
    8646, 9476, 10218, 11164, 11962, 12672, 13614, 14416, 15650, 16728};

// The bytes the store gives a profile group: up to the next group's offset.
constexpr std::uint32_t StoredProfileLength(int group) {
    const auto next = group + 1 < ProfileCount ? ProfileOffsets[static_cast<std::size_t>(group + 1)]
                                               : static_cast<std::uint32_t>(ProfileStoreSize);
    return next - ProfileOffsets[static_cast<std::size_t>(group)];
}

// The last chip row that uses a profile group, or -1 when none does.
constexpr int LastRowOfProfileGroup(int group) {
    int last = -1;
    for (int row = 0; row < ChipIdRowCount; ++row) {
        if (ProfileGroupTable[static_cast<std::size_t>(row)] == group) {
            last = row;
        }
    }
    return last;
}

// The flash part each row stands for (reference only; the stand-in profiles
// carry these names in their texts).
inline constexpr std::array<std::string_view, ChipIdRowCount> ChipNames = {
    "Winbond W29C512A / W29EE512",
    "SST39SF512",
    "SST39VF020",
    "SST39SF020",
    "AMIC A29002L",
    "SST39LV040 / SST39VF040",
    "AMIC A29002U",
    "SST39SF020",
    "SST39VF020",
    "Winbond W39L020",
    "Winbond W39L020",
    "SST39LV040 / SST39VF040",
    "MXIC MX29LV004B",
    "Winbond W29C040",
    "AMIC A29L004U",
    "MXIC MX29LV004B",
    "Winbond W29C040",
    "AMIC A29L004U",
    "AMIC A29L004U",
    "SST39LF080 / SST39VF080",
    "AMD AM29LV008B",
    "MXIC MX29LV008B",
    "MXIC MX29LV081",
    "SST39VF080 / SST39LF080",
    "AMD AM29LV008BB"};

// The 16-bit big-endian length in bytes 4-5 of a row; 0 for NoChipEntry or a
// number outside the table.
constexpr int ProfileLength(int row) {
    if (row < 0 || row >= ChipIdRowCount) {
        return 0;
    }
    return (ChipIdTable[static_cast<std::size_t>(row)][4] << 8) |
           ChipIdTable[static_cast<std::size_t>(row)][5];
}

// The first row, in table order, whose bytes 0-3 equal the four arguments, or
// NoChipEntry.
constexpr int FindChipEntry(std::uint8_t makerCode, std::uint8_t device, std::uint8_t byte2,
                            std::uint8_t platform) {
    for (int row = 0; row < ChipIdRowCount; ++row) {
        const ChipIdRow& r = ChipIdTable[static_cast<std::size_t>(row)];
        if (r[0] == makerCode && r[1] == device && r[2] == byte2 && r[3] == platform) {
            return row;
        }
    }
    return NoChipEntry;
}

// Where the row's profile begins in the store, found by walking the rows: each
// stored profile is counted once, through the last row of its group. 0 for
// NoChipEntry.
constexpr std::uint32_t ProfileStart(int row) {
    std::uint32_t start = 0;
    for (int i = 1; i <= row && i < ChipIdRowCount; ++i) {
        if (ProfileGroupTable[static_cast<std::size_t>(i)] !=
            ProfileGroupTable[static_cast<std::size_t>(i - 1)]) {
            start += static_cast<std::uint32_t>(ProfileLength(i - 1));
        }
    }
    return start;
}

// ---- the profile frame: header, then the profile, built in OutBuffer ----
// Legacy form (rows 0 and 1): maker, device, byte 2, platform, then the profile;
// sent with WRITE BUFFER to 0x080000, code 0x00. Current form (all other rows):
// the whole 6-byte row, then the profile; sent to 0, code 0x7F.
inline constexpr std::uint32_t LegacyFrameOffset = 0x080000;
inline constexpr std::uint8_t LegacyFrameCode = 0x00;
inline constexpr std::uint32_t CurrentFrameOffset = 0x000000;
inline constexpr std::uint8_t CurrentFrameCode = 0x7F;
inline constexpr std::size_t LegacyHeaderSize = 4;
inline constexpr std::size_t CurrentHeaderSize = 6;

constexpr bool IsLegacyFrameRow(int row) {
    return row == 0 || row == 1;
}
// Rows whose transfer length leaves the header out: their frame still begins
// with the 6-byte header, so the profile's last 6 bytes (zero) are not sent.
constexpr bool IsHeaderNotCountedRow(int row) {
    return row >= 2 && row <= 4;
}

constexpr std::size_t ProfileHeaderSize(int row) {
    return IsLegacyFrameRow(row) ? LegacyHeaderSize : CurrentHeaderSize;
}

// The profile length rounded up to even (a pad byte 0 follows an odd profile),
// plus the header bytes the form counts.
constexpr std::uint32_t ProfileTransferLength(int row) {
    const auto even = static_cast<std::uint32_t>((ProfileLength(row) + 1) & ~1);
    if (IsLegacyFrameRow(row)) {
        return even + LegacyHeaderSize;
    }
    return IsHeaderNotCountedRow(row) ? even : even + CurrentHeaderSize;
}

constexpr std::uint32_t ProfileFrameOffset(int row) {
    return IsLegacyFrameRow(row) ? LegacyFrameOffset : CurrentFrameOffset;
}

constexpr std::uint8_t ProfileFrameCode(int row) {
    return IsLegacyFrameRow(row) ? LegacyFrameCode : CurrentFrameCode;
}

// The 17,850 profile bytes, read from the program's data at run time: the
// store is one region of initialised data behind a 16-byte mark, so that a
// packaging step can put the drive maker's profiles in its place in the
// finished program. Without that step it holds stand-ins of the same lengths.
std::span<const std::uint8_t, ProfileStoreSize> ProfileStore();

// One profile of the store, by group number (0-19).
std::span<const std::uint8_t> StoredProfile(int group);

}  // namespace zorbel
