// SHA-256 from what the system offers, for the program's check of its own
// package: the update programs link no hashing library. Each platform's back
// end defines it (device/host_linux.cpp: the kernel's crypto interface, else
// the system's libnettle loaded at run time; device/host_windows.cpp: the
// CryptoAPI provider of the system directory, looked up at run time). Every
// route is checked once against a known digest before it is trusted.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace zorbel {

// The SHA-256 digest of `bytes`. False when the system offers no working
// SHA-256 (a minimal system without the kernel's hash interface and without
// libnettle, a statically linked program there); `reason` then says what was
// tried. Safe to call from any thread.
bool systemSha256(std::span<const std::uint8_t> bytes, std::array<std::uint8_t, 32>& digest,
                  std::string& reason);

}  // namespace zorbel
