// libFuzzer target: arbitrary bytes in every slot of the package block. The
// bytes are read as a block of their own length and laid over the header of a
// full block (the embedded block's bytes where the input ends); each is read
// through every accessor, validatePackage and the matching; then the whole
// program starts on the full block with two simulated drives (one carrying the
// identity the first constraint slot names) and runs its update when the
// package lets it. Nothing may read outside the block (the sanitizers watch),
// and every run must keep the promises the soak test checks.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "package/BlockLayout.h"
#include "package/Matching.h"
#include "package/PackageBlock.h"
#include "tests/soak/ProgramRig.h"

namespace {

using namespace zorbel;

void readEverything(const PackageBlock& block) {
    LoadedSettings settings;
    block.readOptions(settings);
    (void)block.title();
    (void)block.version();
    (void)block.supportedDrivesText();
    (void)block.windowCaption();
    (void)block.bankIsEmpty();
    if (const auto problem = block.validatePackage()) {
        (void)problem->describe();
    }
    for (unsigned o = 0; o < block::OptionCount; ++o) {
        (void)block.option(static_cast<block::Option>(o));
    }
    for (unsigned bin = 0; bin <= block::BinCount; ++bin) {
        (void)block.newFirmwareRevision(bin);
        const auto image = block.binImage(bin);
        volatile std::uint8_t sink = 0;
        if (!image.empty()) {
            sink = static_cast<std::uint8_t>(image.front() ^ image.back());
        }
        (void)sink;
        for (unsigned slot = 0; slot <= block::SlotsPerBin; ++slot) {
            const ConstraintSlot c = block.constraintSlot(bin, slot);
            (void)c.isEmptyMark();
            (void)slotAccepts(block, bin, slot, c.vendor, c.product, c.lowestRevision);
        }
    }
    // Identities as drives report them: full-width texts without their NUL,
    // empty ones, and one a slot names.
    DriveEntry drives[3] = {};
    std::memset(&drives[1], 'Z', sizeof drives[1]);
    const ConstraintSlot first = block.constraintSlot(0, 0);
    std::memcpy(drives[2].vendor, first.vendor.data(),
                std::min(first.vendor.size(), sizeof drives[2].vendor - 1));
    std::memcpy(drives[2].product, first.product.data(),
                std::min(first.product.size(), sizeof drives[2].product - 1));
    for (DriveEntry& d : drives) {
        d.present = 1;
    }
    for (std::uint16_t bins : {settings.HOW_MANY_BIN, std::uint16_t{9}}) {
        settings.HOW_MANY_BIN = bins;
        matchDrives(drives, block, settings);
    }
    const std::vector<std::string> lines = {"0-0-0-0 E:" + std::string(24, 'x') + " 1.00", ""};
    (void)noMatchMessage(block.supportedDrivesText(), lines);
}

template <std::size_t N>
std::string padTo(const std::string& text) {
    return text.substr(0, std::min(text.size(), N));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    readEverything(PackageBlock({data, size}));

    // The embedded block with a patterned bank, the input laid over its header.
    static const std::vector<std::uint8_t> base = [] {
        const auto embedded = PackageBlock::embedded().bytes();
        std::vector<std::uint8_t> bytes(embedded.begin(), embedded.end());
        for (std::size_t i = 0; i < block::BankSize; ++i) {
            bytes[block::BankOffset + i] = static_cast<std::uint8_t>((i * 7 + 3) & 0xFF);
        }
        return bytes;
    }();
    proof::ProgramRig rig;
    // A kept copy, its header restored per input; the bank is never written.
    static std::vector<std::uint8_t> kept = base;
    std::copy_n(base.begin(), block::HeaderSize, kept.begin());
    std::memcpy(kept.data(), data, std::min(size, block::HeaderSize));
    rig.package.swap(kept);
    const PackageBlock full(rig.package);
    readEverything(full);

    // One drive the first slot names, one it does not.
    const ConstraintSlot first = full.constraintSlot(0, 0);
    rig.computer.addDrive("named").identity = sim::Identity::fromText(
        padTo<8>(first.vendor), padTo<16>(first.product), padTo<4>(first.lowestRevision));
    rig.computer.addDrive("other").identity = sim::Identity::fromText("OTHERCO", "DW-9", "2.00");
    for (sim::DriveSpec& drive : rig.computer.drives) {
        drive.medium = false;
        drive.imageSize = 16384;  // every image starts with a whole block
        drive.powerOnAttention = false;
    }
    rig.computer.addLetter('E', "named");
    rig.computer.addLetter('F', "other").address.targetId = 1;
    rig.answers.assign(4, DialogAnswer::Yes);
    rig.dialogLimit = 200;

    const proof::RunVerdict verdict = rig.run();
    rig.package.swap(kept);
    if (!verdict.clean()) {
        std::fprintf(stderr, "%s", verdict.describe().c_str());
        std::abort();
    }
    return 0;
}
