// Byte layouts of the answers the drive object and the probe read: standard
// INQUIRY data and the media class of GET EVENT STATUS NOTIFICATION. Declared
// here once; readers never look past the bytes a command delivered.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zorbel {

// Standard INQUIRY data: where the identity texts lie.
namespace inquiry {
inline constexpr std::uint8_t Length = 96;   // what discovery and the probe ask for
inline constexpr std::size_t Vendor = 8;     // 8 bytes
inline constexpr std::size_t Product = 16;   // 16 bytes
inline constexpr std::size_t Revision = 32;  // 4 bytes
inline constexpr std::size_t VendorSpecific = 36;
inline constexpr std::size_t VendorSpecificEnd = 52;
static_assert(Vendor < Product && Product < Revision && Revision < VendorSpecific &&
              VendorSpecific < VendorSpecificEnd && VendorSpecificEnd <= Length);
}  // namespace inquiry

// GET EVENT STATUS NOTIFICATION, polled, media class: an 8-byte answer whose
// byte 5 holds the media status.
namespace mediaevent {
inline constexpr std::uint8_t Class = 0x10;
inline constexpr std::uint16_t Length = 8;
inline constexpr std::size_t Status = 5;
inline constexpr std::uint8_t TrayOpen = 0x01;      // door or tray open
inline constexpr std::uint8_t MediaPresent = 0x02;  // a disc is in
static_assert(Status < Length);
}  // namespace mediaevent

}  // namespace zorbel
