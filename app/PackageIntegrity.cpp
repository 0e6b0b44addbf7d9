#include "app/PackageIntegrity.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "device/SystemSha256.h"
#include "engine/ChipTable.h"
#include "package/DigestRecord.h"
#include "package/PackageBlock.h"

namespace zorbel {

namespace {

std::atomic<bool> noteGiven{false};

void line(const std::string& text) {
    const std::string out = "zorbel: " + text + "\n";
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

void noteOnce(const std::string& text) {
    if (!noteGiven.exchange(true)) {
        line(text);
    }
}

}  // namespace

bool PackageIntegrityHolds() {
    // The record describes the program's own block; a block a test or the
    // fuzzer put in its place is no part of the program file.
    const PackageBlock package = PackageBlock::current();
    if (package.bytes().data() != PackageBlock::embedded().bytes().data()) {
        return true;
    }
    const DigestCheck check =
        checkDigestRecord(embeddedDigestRecord(), package.bytes(), ProfileStore(),
                          [](std::span<const std::uint8_t> bytes, Sha256Digest& digest,
                             std::string& reason) { return systemSha256(bytes, digest, reason); });
    switch (check.outcome) {
        case DigestCheck::Outcome::Holds:
            return true;
        case DigestCheck::Outcome::NoRecord:
            if (package.bankIsEmpty()) {
                return true;  // an untouched program: it refuses every drive anyway
            }
            noteOnce(
                "its package carries no digest (it was not filled by zorbel-pack), so damage to "
                "it cannot be recognised");
            return true;
        case DigestCheck::Outcome::Unchecked:
            noteOnce("its package's digest could not be checked: no SHA-256 on this system (" +
                     check.reason + ")");
            return true;
        case DigestCheck::Outcome::Mismatch:
            break;
    }
    line("the program is damaged: " + check.describe() +
         (check.recordDamaged || check.mismatched.size() > 1 ? " do" : " does") +
         " not match the digest its packaging step recorded; get the program again");
    return false;
}

}  // namespace zorbel
