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
inline constexpr double SettlePauseSeconds = 1.0;     // before the commit
inline constexpr std::uint8_t CommitCode = 0x80;      // byte 9 of the commit
inline constexpr std::uint8_t BootCodeCommitCode = 0xA0;  // the commit with the boot code
inline constexpr std::uint8_t ImageBlockCode = 0x00;      // byte 9 of an image block

// The bound of each command of a run, in seconds. A drive answers these within
// a second or two; one that lets a command outlast its bound has fallen silent,
// and the run ends there with nothing more sent: the drive was not committed,
// and another pass would only wait again.
// INQUIRY of the identity check: as long as discovery gives it.
inline constexpr std::uint32_t IdentityCommandTimeout = 10;
// Readiness, stopping the disc, the chip's identification and its profile: a
// disc spinning down or a drive starting up takes seconds.
inline constexpr std::uint32_t PrepareCommandTimeout = 60;
// Each image block and each read-back: 16 KiB into or out of the drive's memory.
inline constexpr std::uint32_t BlockCommandTimeout = 60;
// The commit: a drive may answer it only once it has erased and written its
// flash, which takes a minute or two; ten minutes leaves it more than enough.
inline constexpr std::uint32_t CommitCommandTimeout = 600;
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
// gets nothing and the run fails); IsMatchedDrive, and on a mismatch false
// with nothing else sent; outside the flash phase WaitReady (60), StopDisc and
// UploadFlashProfile, their results ignored; then in the flash phase
// WriteAndVerifyImage, Pause (1.0) and the commit (WRITE BUFFER without data,
// code 0xA0 with bootCode, else 0x80). Each command has the bound above that
// fits it; a command that outlasts it ends the run (false) with nothing more
// sent to the drive. The object's own time-out comes back at the end.
// A stop request (StopSignals), or the computer found on its battery alone
// (ExternalPower::lostDuringRun), ends the run before the profile upload,
// before the next block and before the commit (even of a whole image): false,
// with nothing more sent.
// Returns true when every block was read back unchanged and the drive accepted
// the commit; a commit whose reply was lost counts as refused and is not sent
// again. An image that IsProgrammableImage refuses, or a drive object
// without its transfer buffers, returns false before any command is sent.
bool ProgramFlash(AtapiDevice& drive, const std::uint8_t* image, std::int32_t size, bool bootCode);

// Writes the image block by block (WRITE BUFFER code 0x00 at i x 16,384), reading
// each block back (READ BUFFER) and comparing it before the next. A failed write,
// read or comparison ends the pass; the next pass starts again at block 0,
// unless the drive was given up on (a time-out in a bounded phase).
// True when one whole pass succeeded within TransferAttempts passes. Refuses
// (false, nothing sent) what ProgramFlash refuses.
bool WriteAndVerifyImage(AtapiDevice& drive, const std::uint8_t* image, std::int32_t size);

}  // namespace zorbel
