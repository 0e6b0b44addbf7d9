// Byte layouts of the requests the simulated operating system and ASPI
// manager accept: the pass-through block (SCSI_PASS_THROUGH_DIRECT followed
// by filler and the sense area) and the ASPI request blocks. All multi-byte
// fields are little-endian. Tests that build requests by hand use the same
// names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zorbel::sim::layout {

// ---- pass-through block, 80 bytes ----
namespace pt {
inline constexpr std::size_t Length = 0;               // u16, 44
inline constexpr std::size_t ScsiStatus = 2;           // u8
inline constexpr std::size_t PathId = 3;               // u8
inline constexpr std::size_t TargetId = 4;             // u8
inline constexpr std::size_t Lun = 5;                  // u8
inline constexpr std::size_t CdbLength = 6;            // u8
inline constexpr std::size_t SenseInfoLength = 7;      // u8
inline constexpr std::size_t DataIn = 8;               // u8: 0 out, 1 in, 2 unspecified
inline constexpr std::size_t DataTransferLength = 12;  // u32
inline constexpr std::size_t TimeOutValue = 16;        // u32, seconds
inline constexpr std::size_t DataBuffer = 20;          // u32, 0 exactly when the pointer is null
inline constexpr std::size_t SenseInfoOffset = 24;     // u32
inline constexpr std::size_t Cdb = 28;                 // 16 bytes
inline constexpr std::size_t StructSize = 44;          // SCSI_PASS_THROUGH_DIRECT
inline constexpr std::size_t SenseArea = 48;           // 32 bytes
inline constexpr std::size_t BlockSize = 80;
inline constexpr std::size_t SenseBytes = 24;  // sense bytes the platform writes at most
static_assert(Cdb + 16 == StructSize);
static_assert(SenseArea + 32 == BlockSize);
}  // namespace pt

// ---- ASPI ----
namespace aspi {
// Commands (SRB_Cmd).
inline constexpr std::uint8_t SC_HA_INQUIRY = 0x00;
inline constexpr std::uint8_t SC_GET_DEV_TYPE = 0x01;
inline constexpr std::uint8_t SC_EXEC_SCSI_CMD = 0x02;
inline constexpr std::uint8_t SC_RESCAN_SCSI_BUS = 0x07;
// Request states (SRB_Status) and support-info statuses.
inline constexpr std::uint8_t SS_PENDING = 0x00;
inline constexpr std::uint8_t SS_COMP = 0x01;
inline constexpr std::uint8_t SS_ABORTED = 0x02;
inline constexpr std::uint8_t SS_ERR = 0x04;
inline constexpr std::uint8_t SS_INVALID_CMD = 0x80;
inline constexpr std::uint8_t SS_INVALID_HA = 0x81;
inline constexpr std::uint8_t SS_NO_DEVICE = 0x82;
inline constexpr std::uint8_t SS_INVALID_SRB = 0xE0;
inline constexpr std::uint8_t SS_OLD_MANAGER = 0xE1;
inline constexpr std::uint8_t SS_ILLEGAL_MODE = 0xE2;
inline constexpr std::uint8_t SS_NO_ASPI = 0xE3;
// Flags (SRB_Flags).
inline constexpr std::uint8_t SRB_DIR_IN = 0x08;
inline constexpr std::uint8_t SRB_DIR_OUT = 0x10;
inline constexpr std::uint8_t SRB_EVENT_NOTIFY = 0x40;
// Host adapter and target states.
inline constexpr std::uint8_t HASTAT_OK = 0x00;
inline constexpr std::uint8_t HASTAT_TIMEOUT = 0x09;
inline constexpr std::uint8_t HASTAT_SEL_TO = 0x11;
inline constexpr std::uint8_t STATUS_CHKCOND = 0x02;
inline constexpr std::uint8_t DTYPE_CDROM = 0x05;

// Header common to every request block.
inline constexpr std::size_t Cmd = 0;
inline constexpr std::size_t Status = 1;
inline constexpr std::size_t HaId = 2;
inline constexpr std::size_t Flags = 3;
inline constexpr std::size_t HeaderSize = 8;  // also the whole bus rescan request

// SRB_HAInquiry, 60 bytes.
namespace inquiry {
inline constexpr std::size_t Count = 8;
inline constexpr std::size_t ScsiId = 9;
inline constexpr std::size_t ManagerId = 10;   // 16 bytes
inline constexpr std::size_t Identifier = 26;  // 16 bytes
inline constexpr std::size_t Unique = 42;      // 16 bytes
inline constexpr std::size_t Size = 60;
}  // namespace inquiry

// SRB_GDEVBlock, 12 bytes.
namespace devtype {
inline constexpr std::size_t Target = 8;
inline constexpr std::size_t Lun = 9;
inline constexpr std::size_t DeviceType = 10;
inline constexpr std::size_t Size = 12;
}  // namespace devtype

// SRB_ExecSCSICmd, 80 bytes.
namespace exec {
inline constexpr std::size_t Target = 8;
inline constexpr std::size_t Lun = 9;
inline constexpr std::size_t BufLen = 12;      // u32
inline constexpr std::size_t BufPointer = 16;  // u32, 0 exactly when the pointer is null
inline constexpr std::size_t SenseLen = 20;
inline constexpr std::size_t CdbLen = 21;
inline constexpr std::size_t HaStat = 22;
inline constexpr std::size_t TargStat = 23;
inline constexpr std::size_t PostProc = 24;   // u32, the event
inline constexpr std::size_t CdbByte = 48;    // 16 bytes
inline constexpr std::size_t SenseArea = 64;  // 16 bytes
inline constexpr std::size_t Size = 80;
inline constexpr std::size_t SenseBytes = 14;
static_assert(SenseArea + 16 == Size);
}  // namespace exec
}  // namespace aspi

inline std::uint32_t getLe32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) |
           (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[at + 2]) << 16) |
           (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}
inline std::uint16_t getLe16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}
inline void putLe32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}
inline void putLe16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace zorbel::sim::layout
