// libFuzzer target: arbitrary bytes as a package block (short, or laid over a
// full-size block), read through every accessor and the drive matching. Any
// read outside the bytes is a sanitizer report.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "package/Matching.h"
#include "package/PackageBlock.h"

namespace {

void readEverything(const zorbel::PackageBlock& block) {
    using namespace zorbel;
    LoadedSettings settings;
    block.readOptions(settings);
    (void)block.title();
    (void)block.version();
    (void)block.supportedDrivesText();
    (void)block.titleIsPlaceholder();
    (void)block.bankIsEmpty();
    (void)block.validatePackage();
    for (unsigned bin = 0; bin <= block::BinCount; ++bin) {
        (void)block.newFirmwareRevision(bin);
        const auto image = block.binImage(bin);
        volatile std::uint8_t sink = 0;
        if (!image.empty()) {
            sink = static_cast<std::uint8_t>(image.front() ^ image.back());
        }
        (void)sink;
    }
    DriveEntry drives[3] = {};
    std::memset(&drives[1], 'Z', sizeof drives[1]);  // identity texts without a NUL
    for (DriveEntry& d : drives) {
        d.present = 1;
    }
    settings.HOW_MANY_BIN = 9;
    matchDrives(drives, block, settings);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    readEverything(zorbel::PackageBlock({data, size}));
    static std::vector<std::uint8_t> full(zorbel::block::BlockSize);
    std::memset(full.data(), 0, zorbel::block::HeaderSize + 64);
    std::memcpy(full.data(), data, std::min(size, zorbel::block::HeaderSize + 64));
    readEverything(zorbel::PackageBlock(full));
    return 0;
}
