// Byte layouts of the requests the drive object hands to the host: the SCSI
// pass-through block and the ASPI request blocks. Each layout is declared here
// once, as named offsets and sizes; code reads and writes the fields through
// the little-endian helpers below and never casts a buffer to a struct. The
// simulated host decodes the same offsets.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "device/Host.h"

namespace zorbel {

// ---- little-endian field access (the platform's byte order) ----

inline void putLe16(std::span<std::uint8_t> block, std::size_t offset, std::uint16_t value) {
    block[offset] = static_cast<std::uint8_t>(value);
    block[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void putLe32(std::span<std::uint8_t> block, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        block[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

inline std::uint16_t getLe16(std::span<const std::uint8_t> block, std::size_t offset) {
    return static_cast<std::uint16_t>(block[offset] | (block[offset + 1] << 8));
}

inline std::uint32_t getLe32(std::span<const std::uint8_t> block, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(block[offset + i]) << (8 * i);
    }
    return value;
}

// Sense data as both routes return it: key in the low 4 bits of byte 2,
// additional sense code in byte 12, its qualifier in byte 13.
namespace sense {
inline constexpr std::size_t Key = 2;
inline constexpr std::uint8_t KeyMask = 0x0F;
inline constexpr std::size_t Asc = 12;
inline constexpr std::size_t Ascq = 13;
inline constexpr std::size_t FixedLength = 18;  // a fixed-format answer with ASC and ASCQ

// A descriptor-format answer (response code 0x72 or 0x73, key, ASC and ASCQ in
// bytes 1-3, at least 4 bytes) in the fixed format both routes hand on.
inline std::array<std::uint8_t, FixedLength> fixedFromDescriptor(
    std::span<const std::uint8_t> descriptor) {
    std::array<std::uint8_t, FixedLength> fixed{};
    fixed[0] = (descriptor[0] & 0x7F) == 0x72 ? 0x70 : 0x71;
    fixed[Key] = descriptor[1] & KeyMask;
    fixed[7] = FixedLength - 8;  // additional length
    fixed[Asc] = descriptor[2];
    fixed[Ascq] = descriptor[3];
    return fixed;
}
}  // namespace sense

// The status byte a drive ends a command with (ScsiStatus, SRB_TargStat):
// only GOOD is success.
namespace scsistatus {
inline constexpr std::uint8_t Good = 0x00;
inline constexpr std::uint8_t CheckCondition = 0x02;
}  // namespace scsistatus

// The 80-byte pass-through request (IOCTL_SCSI_PASS_THROUGH_DIRECT): the
// 44-byte SCSI_PASS_THROUGH_DIRECT structure, 4 filler bytes, a 32-byte sense
// area. DataBuffer holds 0 exactly when the transfer has no buffer; the buffer
// itself travels beside the block (Host::passThroughDirect).
namespace passthrough {
inline constexpr std::uint32_t IoctlCode = 0x4D014;
inline constexpr std::size_t Length = 0;               // 16 bits: StructSize
inline constexpr std::size_t ScsiStatus = 2;           // 8 bits: the drive's status byte
inline constexpr std::size_t PathId = 3;               // low byte of the host adapter
inline constexpr std::size_t TargetId = 4;             // low byte of the target
inline constexpr std::size_t Lun = 5;                  // always 0
inline constexpr std::size_t CdbLength = 6;            // always 12
inline constexpr std::size_t SenseInfoLength = 7;      // SenseBytes
inline constexpr std::size_t DataIn = 8;               // the direction unchanged
inline constexpr std::size_t DataTransferLength = 12;  // 32 bits; on return: bytes moved
inline constexpr std::size_t TimeOutValue = 16;        // 32 bits, seconds
inline constexpr std::size_t DataBuffer = 20;          // 32 bits, 0 = no buffer
inline constexpr std::size_t SenseInfoOffset = 24;     // 32 bits: SenseArea
inline constexpr std::size_t Cdb = 28;                 // 16 bytes
inline constexpr std::size_t CdbSize = 16;
inline constexpr std::size_t StructSize = 44;
inline constexpr std::size_t SenseArea = 48;
inline constexpr std::size_t SenseAreaSize = 32;
inline constexpr std::uint8_t SenseBytes = 24;
inline constexpr std::size_t BlockSize = 80;

static_assert(Cdb + CdbSize == StructSize);
static_assert(DataIn < DataTransferLength && DataBuffer + 4 == SenseInfoOffset);
static_assert(SenseArea + SenseAreaSize == BlockSize);
static_assert(SenseBytes <= SenseAreaSize);
static_assert(BlockSize == PassThroughBlockSize);

// Clears the sense area the block names (SenseInfoOffset, SenseInfoLength),
// clamped to the block, and returns its size: 0 when the offset lies outside.
inline std::size_t clearSenseArea(std::span<std::uint8_t, PassThroughBlockSize> block) {
    const std::uint32_t offset = getLe32(block, SenseInfoOffset);
    if (offset < StructSize || offset >= block.size()) {
        return 0;
    }
    const std::size_t room = std::min<std::size_t>(block[SenseInfoLength], block.size() - offset);
    std::fill_n(block.begin() + offset, room, std::uint8_t{0});
    return room;
}
}  // namespace passthrough

// ASPI request blocks. Every block starts with the same header.
namespace srb {
inline constexpr std::size_t Cmd = 0;
inline constexpr std::size_t Status = 1;
inline constexpr std::size_t HaId = 2;
inline constexpr std::size_t Flags = 3;
inline constexpr std::size_t HeaderSize = 8;  // bytes 4-7 reserved

// SRB_Cmd values.
inline constexpr std::uint8_t ScHaInquiry = 0x00;
inline constexpr std::uint8_t ScGetDevType = 0x01;
inline constexpr std::uint8_t ScExecScsiCmd = 0x02;
inline constexpr std::uint8_t ScRescanScsiBus = 0x07;

// SRB_Status values (and support-info statuses in bits 8-15).
inline constexpr std::uint8_t SsPending = 0x00;
inline constexpr std::uint8_t SsComp = 0x01;
inline constexpr std::uint8_t SsOldManager = 0xE1;
inline constexpr std::uint8_t SsIllegalMode = 0xE2;
inline constexpr std::uint8_t SsNoAspi = 0xE3;

// SRB_Flags bits.
inline constexpr std::uint8_t DirIn = 0x08;
inline constexpr std::uint8_t DirOut = 0x10;
inline constexpr std::uint8_t EventNotify = 0x40;

inline constexpr std::uint8_t DtypeCdrom = 5;

// SRB_ExecSCSICmd, 80 bytes.
namespace exec {
inline constexpr std::size_t Target = 8;
inline constexpr std::size_t Lun = 9;
inline constexpr std::size_t BufLen = 12;      // 32 bits
inline constexpr std::size_t BufPointer = 16;  // 32 bits, 0 = no buffer
inline constexpr std::size_t SenseLen = 20;
inline constexpr std::size_t CdbLen = 21;
inline constexpr std::size_t HaStat = 22;
inline constexpr std::size_t TargStat = 23;
inline constexpr std::size_t PostProc = 24;  // 32 bits: the completion event
inline constexpr std::size_t CdbByte = 48;   // 16 bytes
inline constexpr std::size_t CdbSize = 16;
inline constexpr std::size_t SenseArea = 64;  // SenseLength + 2 bytes
inline constexpr std::uint8_t SenseLength = 14;
inline constexpr std::size_t Size = 80;

static_assert(BufLen + 4 == BufPointer && BufPointer + 4 == SenseLen);
static_assert(PostProc + 4 + 20 == CdbByte);  // 20 reserved bytes follow SRB_PostProc
static_assert(CdbByte + CdbSize == SenseArea);
static_assert(SenseArea + SenseLength + 2 == Size);
static_assert(Size == AspiExecRequestSize);
}  // namespace exec

// SRB_HAInquiry, 60 bytes.
namespace hainquiry {
inline constexpr std::size_t HaCount = 8;
inline constexpr std::size_t HaScsiId = 9;
inline constexpr std::size_t ManagerId = 10;   // 16 bytes
inline constexpr std::size_t Identifier = 26;  // 16 bytes
inline constexpr std::size_t Unique = 42;      // 16 bytes
inline constexpr std::size_t Size = 60;
static_assert(Unique + 16 + 2 == Size);
}  // namespace hainquiry

// SRB_GDEVBlock, 12 bytes.
namespace gdev {
inline constexpr std::size_t Target = 8;
inline constexpr std::size_t Lun = 9;
inline constexpr std::size_t DeviceType = 10;
inline constexpr std::size_t Size = 12;
static_assert(DeviceType + 2 == Size);
}  // namespace gdev

// The bus rescan request: the header alone.
namespace rescan {
inline constexpr std::size_t Size = HeaderSize;
}
}  // namespace srb

}  // namespace zorbel
