// The flash programming procedure: prepares a drive, uploads its chip's flash
// profile, transfers the image in 16 KiB blocks that are each read back and
// compared, and finally tells the drive to commit the image to its flash.
#pragma once

#include <cstdint>

#include "device/AtapiDevice.h"

namespace zorbel {

inline constexpr std::uint32_t BlockSize = 16384;     // unit of transfer and verification
inline constexpr int TransferAttempts = 3;            // passes over the image, each from block 0
inline constexpr double ReadinessWaitSeconds = 60.0;  // WaitReady before anything else
inline constexpr std::uint32_t FlashCommandTimeout = 108000;  // seconds, for the whole run
inline constexpr double SettlePauseSeconds = 1.0;             // before the commit
inline constexpr std::uint8_t CommitCode = 0x80;              // byte 9 of the commit
inline constexpr std::uint8_t BootCodeCommitCode = 0xA0;      // the commit with the boot code
inline constexpr std::uint8_t ImageBlockCode = 0x00;          // byte 9 of an image block
// The largest image the 24-bit offset field can address: 16 MiB.
inline constexpr std::int32_t MaxImageSize = 16 * 1024 * 1024;

// True for an image the procedure can transfer whole: a non-null pointer and a
// size that is a positive multiple of BlockSize, at most MaxImageSize.
bool IsProgrammableImage(const std::uint8_t* image, std::int32_t size);

// True when the drive behind the object's selection still reports, in a fresh
// INQUIRY, the vendor, product and revision of its table entry: the identity
// the package was matched against. A node or drive letter can come to name
// another drive after start-up (a drive unplugged and plugged in again); such a
// drive, or one that no longer answers, reads false. Only INQUIRY is sent.
bool IsMatchedDrive(AtapiDevice& drive);

// Programs one drive: first holds it for this run alone (AtapiDevice::ClaimDrive,
// which the update sequence has usually taken already; a drive in use elsewhere
// gets nothing and the run fails); CommandTimeout
// 108,000 s; IsMatchedDrive, and on a mismatch false with nothing else sent;
// outside the flash phase
// WaitReady (60), StopDisc and UploadFlashProfile, their results ignored; then in
// the flash phase WriteAndVerifyImage, Pause (1.0) and the commit (WRITE BUFFER
// without data, code 0xA0 with bootCode, else 0x80).
// A stop request (StopSignals) ends the run before the profile upload, before
// the next block and before the commit: false, with nothing more sent.
// Returns true when every block was read back unchanged and the drive accepted
// the commit; a commit whose reply was lost counts as refused and is not sent
// again. An image that IsProgrammableImage refuses, or a drive object
// without its transfer buffers, returns false before any command is sent.
bool ProgramFlash(AtapiDevice& drive, const std::uint8_t* image, std::int32_t size, bool bootCode);

// Writes the image block by block (WRITE BUFFER code 0x00 at i x 16,384), reading
// each block back (READ BUFFER) and comparing it before the next. A failed write,
// read or comparison ends the pass; the next pass starts again at block 0.
// True when one whole pass succeeded within TransferAttempts passes. Refuses
// (false, nothing sent) what ProgramFlash refuses.
bool WriteAndVerifyImage(AtapiDevice& drive, const std::uint8_t* image, std::int32_t size);

}  // namespace zorbel
