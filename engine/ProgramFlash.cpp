#include "engine/ProgramFlash.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "device/BoundedPhase.h"
#include "device/ExternalPower.h"
#include "device/StopSignals.h"

namespace zorbel {

namespace {
static_assert(BlockSize <= TransferBufferSize);
// The last block of the largest image still starts within the 24-bit offset field.
static_assert(MaxImageSize - BlockSize <= 0xFFFFFF);

// Writes the bitwise complement of one block into another buffer, a word at a
// time (the block is a whole number of words). It is a whole pass over the
// block on every write, so where the loader picks a function by the processor
// (ELF on x86-64) it runs with the widest vectors the processor has.
static_assert(BlockSize % sizeof(std::uint64_t) == 0);
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__ELF__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void FillWithComplement(const std::uint8_t* __restrict from, std::uint8_t* __restrict to) {
    for (std::size_t i = 0; i < BlockSize; i += sizeof(std::uint64_t)) {
        std::uint64_t word;
        std::memcpy(&word, from + i, sizeof word);
        word = ~word;
        std::memcpy(to + i, &word, sizeof word);
    }
}

// One block: OutBuffer holds the image bytes; InBuffer is prefilled with their
// complement, so that a read that succeeds without delivering the block's data
// can never pass the comparison, whatever the block holds.
bool WriteAndVerifyBlock(AtapiDevice& drive, const std::uint8_t* image, std::uint32_t block) {
    std::uint8_t* out = drive.OutBuffer();
    std::uint8_t* in = drive.InBuffer();
    const std::uint32_t offset = block * BlockSize;
    std::fill_n(out, BlockSize, std::uint8_t{0});
    std::copy_n(image + offset, BlockSize, out);
    FillWithComplement(out, in);
    if (!drive.WriteDriveBuffer(offset, BlockSize, ImageBlockCode)) {
        return false;
    }
    if (!drive.ReadDriveBuffer(offset, BlockSize)) {
        return false;
    }
    return std::equal(in, in + BlockSize, out);
}

bool HasTransferBuffers(AtapiDevice& drive) {
    return drive.InBuffer() != nullptr && drive.OutBuffer() != nullptr;
}

// INQUIRY attempts of the identity check: a drive error or a lost command
// now and then must not fail a drive that is the right one.
constexpr int IdentityCheckAttempts = 3;

template <std::size_t N>
bool sameField(const char (&entryField)[N], const char* current) {
    return std::memcmp(entryField, current, N) == 0;
}
}  // namespace

namespace {
// A stop signal, or the loss of external power, lets no new block and no
// commit go out.
bool RunMustStop() {
    return StopSignals::stopRequested() || ExternalPower::lostDuringRun();
}
}  // namespace

bool IsMatchedDrive(AtapiDevice& drive) {
    const std::int16_t index = drive.CurrentDriveIndex();
    const DriveEntry* entry = index < 0 ? nullptr : drive.GetDrive(static_cast<unsigned>(index));
    if (entry == nullptr) {
        return false;
    }
    bool identified = false;
    for (int attempt = 0; attempt < IdentityCheckAttempts && !identified; ++attempt) {
        identified = drive.ReadIdentity();
    }
    return identified && sameField(entry->vendor, drive.CurrentVendor()) &&
           sameField(entry->product, drive.CurrentProduct()) &&
           sameField(entry->revision, drive.CurrentRevision());
}

bool IsProgrammableImage(const std::uint8_t* image, std::int32_t size) {
    return image != nullptr && size > 0 && size <= MaxImageSize &&
           static_cast<std::uint32_t>(size) % BlockSize == 0;
}

bool WriteAndVerifyImage(AtapiDevice& drive, const std::uint8_t* image, std::int32_t size) {
    if (!IsProgrammableImage(image, size) || !HasTransferBuffers(drive)) {
        return false;
    }
    const std::uint32_t blocks = static_cast<std::uint32_t>(size) / BlockSize;
    for (int attempt = 0; attempt < TransferAttempts; ++attempt) {
        std::uint32_t block = 0;
        // A stop request lets no new block go out.
        while (block < blocks && !RunMustStop() && WriteAndVerifyBlock(drive, image, block)) {
            ++block;
        }
        if (block == blocks) {
            return true;
        }
        // A silent drive would only let the next pass wait again.
        if (RunMustStop() || drive.GaveUpOnDrive()) {
            return false;
        }
    }
    return false;
}

bool ProgramFlash(AtapiDevice& drive, const std::uint8_t* image, std::int32_t size, bool bootCode) {
    if (!IsProgrammableImage(image, size) || !HasTransferBuffers(drive)) {
        return false;
    }
    // Nothing goes to a drive that is in use elsewhere (a mounted disc).
    if (!drive.ClaimDrive()) {
        return false;
    }
    // Every command is bounded, and a drive that lets one time out is sent
    // nothing more in this run.
    const BoundedPhase phase(drive, IdentityCommandTimeout);
    if (!IsMatchedDrive(drive)) {
        return false;  // another drive, or none, answers where the matched one was
    }

    // Preparation, outside the flash phase; its outcome does not stop the run,
    // unless the drive has fallen silent.
    drive.SetCommandTimeout(PrepareCommandTimeout);
    drive.LeaveFlashPhase();
    drive.WaitReady(ReadinessWaitSeconds);
    drive.LeaveFlashPhase();
    drive.StopDisc();
    drive.LeaveFlashPhase();
    if (RunMustStop() || drive.GaveUpOnDrive()) {
        return false;
    }
    drive.UploadFlashProfile();
    if (drive.GaveUpOnDrive()) {
        return false;
    }

    drive.EnterFlashPhase();
    drive.SetCommandTimeout(BlockCommandTimeout);
    if (!WriteAndVerifyImage(drive, image, size)) {
        return false;  // never commit an image that was not read back whole
    }
    drive.Pause(SettlePauseSeconds);
    if (RunMustStop()) {
        return false;  // no commit after a stop request, not even of a whole image
    }
    drive.SetCommandTimeout(CommitCommandTimeout);
    return drive.WriteDriveBuffer(0, 0, bootCode ? BootCodeCommitCode : CommitCode);
}

}  // namespace zorbel
