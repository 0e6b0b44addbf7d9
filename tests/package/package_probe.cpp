// A small program that prints what it reads from its own embedded package
// block through the package accessors, one "key=value" line each. Tests patch
// or pack a copy of it and check that the copy reports the new contents.
#include <cstdint>
#include <cstdio>
#include <string>

#include "package/PackageBlock.h"

namespace {

// FNV-1a over an image, so a test can compare megabytes in one line.
std::uint64_t fingerprint(std::span<const std::uint8_t> bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const std::uint8_t b : bytes) {
        hash = (hash ^ b) * 0x100000001b3ULL;
    }
    return hash;
}

}  // namespace

int main() {
    using namespace zorbel;
    const PackageBlock pkg = PackageBlock::current();
    LoadedSettings s;
    pkg.readOptions(s);
    std::printf("title=%s\n", pkg.title().c_str());
    std::printf("version=%s\n", pkg.version().c_str());
    std::printf("supported=%s\n", pkg.supportedDrivesText().c_str());
    std::printf("titleIsPlaceholder=%d\n", pkg.titleIsPlaceholder() ? 1 : 0);
    std::printf("bankIsEmpty=%d\n", pkg.bankIsEmpty() ? 1 : 0);
    std::printf("N2OMESSAGE=%u\nCHKDISC=%u\nBOOTCODE=%u\nREBOOT=%u\nAUTOMODE=%u\n", s.N2OMESSAGE,
                s.CHKDISC, s.BOOTCODE, s.REBOOT, s.AUTOMODE);
    std::printf("CLOSEAP=%u\nWARNING=%u\nNBWARNING=%u\nHOW_MANY_BIN=%u\n", s.CLOSEAP, s.WARNING,
                s.NBWARNING, s.HOW_MANY_BIN);
    const auto problem = pkg.validatePackage();
    std::printf("valid=%s\n", problem ? problem->describe().c_str() : "yes");
    for (unsigned bin = 0; bin < block::BinCount; ++bin) {
        const auto image = pkg.binImage(bin);
        std::printf("bin%u=%d %d %s %zu %016llx\n", bin + 1, pkg.binStart(bin), pkg.binSize(bin),
                    pkg.newFirmwareRevision(bin).c_str(), image.size(),
                    static_cast<unsigned long long>(fingerprint(image)));
        for (unsigned slot = 0; slot < block::SlotsPerBin; ++slot) {
            const ConstraintSlot c = pkg.constraintSlot(bin, slot);
            std::printf("slot%u%u=%s|%s|%s|%s\n", bin + 1, slot + 1, c.lowestRevision.c_str(),
                        c.highestRevision.c_str(), c.vendor.c_str(), c.product.c_str());
        }
    }
    return 0;
}
