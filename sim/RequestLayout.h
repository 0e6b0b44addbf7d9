// The request layouts as the simulated operating system and ASPI manager read
// them. The offsets are the drive object's own (device/RequestLayout.h), so
// both sides of the host interface decode one declaration; this header only
// adds the spellings of the platform's headers that the simulation and its
// tests use, and the states only a manager reports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/RequestLayout.h"

namespace zorbel::sim::layout {

using zorbel::getLe16;
using zorbel::getLe32;
using zorbel::putLe16;
using zorbel::putLe32;

// ---- pass-through block, 80 bytes ----
namespace pt {
using namespace zorbel::passthrough;
}  // namespace pt

// ---- ASPI ----
namespace aspi {
namespace s = zorbel::srb;
// Commands (SRB_Cmd).
inline constexpr std::uint8_t SC_HA_INQUIRY = s::ScHaInquiry;
inline constexpr std::uint8_t SC_GET_DEV_TYPE = s::ScGetDevType;
inline constexpr std::uint8_t SC_EXEC_SCSI_CMD = s::ScExecScsiCmd;
inline constexpr std::uint8_t SC_RESCAN_SCSI_BUS = s::ScRescanScsiBus;
// Request states (SRB_Status) and support-info statuses.
inline constexpr std::uint8_t SS_PENDING = s::SsPending;
inline constexpr std::uint8_t SS_COMP = s::SsComp;
inline constexpr std::uint8_t SS_ABORTED = 0x02;
inline constexpr std::uint8_t SS_ERR = 0x04;
inline constexpr std::uint8_t SS_INVALID_CMD = 0x80;
inline constexpr std::uint8_t SS_INVALID_HA = 0x81;
inline constexpr std::uint8_t SS_NO_DEVICE = 0x82;
inline constexpr std::uint8_t SS_INVALID_SRB = 0xE0;
inline constexpr std::uint8_t SS_OLD_MANAGER = s::SsOldManager;
inline constexpr std::uint8_t SS_ILLEGAL_MODE = s::SsIllegalMode;
inline constexpr std::uint8_t SS_NO_ASPI = s::SsNoAspi;
// Flags (SRB_Flags).
inline constexpr std::uint8_t SRB_DIR_IN = s::DirIn;
inline constexpr std::uint8_t SRB_DIR_OUT = s::DirOut;
inline constexpr std::uint8_t SRB_EVENT_NOTIFY = s::EventNotify;
// Host adapter and target states.
inline constexpr std::uint8_t HASTAT_OK = 0x00;
inline constexpr std::uint8_t HASTAT_TIMEOUT = 0x09;
inline constexpr std::uint8_t HASTAT_SEL_TO = 0x11;
inline constexpr std::uint8_t STATUS_CHKCOND = 0x02;
inline constexpr std::uint8_t DTYPE_CDROM = s::DtypeCdrom;

// Header common to every request block.
inline constexpr std::size_t Cmd = s::Cmd;
inline constexpr std::size_t Status = s::Status;
inline constexpr std::size_t HaId = s::HaId;
inline constexpr std::size_t Flags = s::Flags;
inline constexpr std::size_t HeaderSize = s::HeaderSize;  // also the whole bus rescan request

// SRB_HAInquiry, 60 bytes.
namespace inquiry {
inline constexpr std::size_t Count = s::hainquiry::HaCount;
inline constexpr std::size_t ScsiId = s::hainquiry::HaScsiId;
inline constexpr std::size_t ManagerId = s::hainquiry::ManagerId;
inline constexpr std::size_t Identifier = s::hainquiry::Identifier;
inline constexpr std::size_t Unique = s::hainquiry::Unique;
inline constexpr std::size_t Size = s::hainquiry::Size;
}  // namespace inquiry

// SRB_GDEVBlock, 12 bytes.
namespace devtype {
using namespace zorbel::srb::gdev;
}  // namespace devtype

// SRB_ExecSCSICmd, 80 bytes.
namespace exec {
using namespace zorbel::srb::exec;
inline constexpr std::size_t SenseBytes = SenseLength;
}  // namespace exec
}  // namespace aspi

}  // namespace zorbel::sim::layout
