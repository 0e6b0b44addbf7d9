// libFuzzer target: the whole program over a simulated computer whose drives
// answer INQUIRY, GET EVENT STATUS NOTIFICATION, the flash identification and
// READ BUFFER with the fuzzer's bytes and sense. Discovery, identification,
// the drive list, matching, the disc and tray check and the programming
// procedure must never crash or read out of bounds (the sanitizers watch),
// never commit after a read-back that was not the drive's own (AnswerHost
// aborts), and keep every promise the soak test checks (brick no drive, no
// failure shown as success, one final message, everything released).
//
// Input: two bytes choose the computer and the package options, one byte per
// drive its chip and revision, the rest is the stream of bent answers.
//
// Speed: each input updates its drives with a small image of two blocks (the
// procedure's paths are the same for 2 blocks as for 64, at a thirty-second of
// the data), and works on one kept copy of the 1 MiB package block whose header
// is restored per input. With ZORBEL_FUZZ_FULL_IMAGE=1 in the environment the
// bin is the whole 1 MiB bank (scripts/fuzz.sh drive_answers_full): slower,
// for the long runs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/ChipTable.h"
#include "fuzz/AnswerHost.h"
#include "package/BlockLayout.h"
#include "tests/package/BlockBytes.h"
#include "tests/soak/ProgramRig.h"

namespace {

using namespace zorbel;

// The bin: two blocks from 16 KiB into the bank, or the whole bank.
const bool FullImage = [] {
    const char* full = std::getenv("ZORBEL_FUZZ_FULL_IMAGE");
    return full != nullptr && std::string(full) == "1";
}();
const std::int32_t BinStart = FullImage ? 0 : 16384;
const std::int32_t BinSize = FullImage ? 1048576 : 2 * 16384;

// The package: one bin for "MERIDOX DVR-1" revisions 1.00 to 1.09, bringing 1.10.
const std::vector<std::uint8_t>& basePackage() {
    static const std::vector<std::uint8_t> bytes = [] {
        testing::BlockBytes block;
        block.bin(0, FullImage ? "0000000000" : "0000016384",
                  FullImage ? "0001048576" : "0000032768");
        block.slot(0, 0, "1.00", "1.09", "MERIDOX ", "DVR-1           ");
        block.newFirmware(0, "1.10");
        block.option(block::Option::HOW_MANY_BIN, "HOW_MANY_BIN=1");
        for (std::size_t i = 0; i < block::BankSize; ++i) {
            block.bytes()[block::BankOffset + i] = static_cast<std::uint8_t>((i * 7 + 3) & 0xFF);
        }
        return block.bytes();
    }();
    return bytes;
}

void putOption(std::vector<std::uint8_t>& package, block::Option option, bool on) {
    const auto& slot = block::optionSlot(option);
    std::string text = std::string(slot.key) + (on ? '1' : '0');
    std::fill_n(package.begin() + static_cast<std::ptrdiff_t>(slot.offset), slot.size, 0);
    std::copy(text.begin(), text.end(), package.begin() + static_cast<std::ptrdiff_t>(slot.offset));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto computerByte = input.ConsumeIntegral<std::uint8_t>();
    const auto optionByte = input.ConsumeIntegral<std::uint8_t>();

    proof::ProgramRig rig;
    // The kept copy, its header as the base package's; the bank is never written.
    static std::vector<std::uint8_t> kept = basePackage();
    std::copy_n(basePackage().begin(), block::HeaderSize, kept.begin());
    rig.package.swap(kept);
    if ((computerByte & 0x08) != 0) {
        // The untouched first slot: every drive is accepted.
        const auto embedded = PackageBlock::embedded().bytes();
        const std::size_t slot = block::constraintSlotOffset(0, 0);
        std::copy_n(embedded.begin() + static_cast<std::ptrdiff_t>(slot), block::ConstraintSlotSize,
                    rig.package.begin() + static_cast<std::ptrdiff_t>(slot));
    }
    putOption(rig.package, block::Option::AUTOMODE, (computerByte & 0x10) != 0);
    putOption(rig.package, block::Option::CHKDISC, (computerByte & 0x20) != 0);
    putOption(rig.package, block::Option::N2OMESSAGE, (computerByte & 0x40) != 0);
    putOption(rig.package, block::Option::WARNING, (computerByte & 0x80) != 0);
    putOption(rig.package, block::Option::BOOTCODE, (optionByte & 0x10) != 0);
    for (int i = 0; i < 4; ++i) {
        rig.answers.push_back((optionByte >> i) & 1 ? DialogAnswer::Yes : DialogAnswer::No);
    }

    const bool aspi = (computerByte & 0x04) != 0;
    sim::ComputerSpec& computer = rig.computer;
    computer.platform = aspi ? sim::Platform::Win9x : sim::Platform::Nt;
    if (aspi) {
        computer.aspi.libraryPresent = true;
        computer.addAdapter();
    }
    const unsigned drives = 1 + (computerByte & 0x03) % 3;
    for (unsigned d = 0; d < drives; ++d) {
        const auto driveByte = input.ConsumeIntegral<std::uint8_t>();
        sim::DriveSpec& drive = computer.addDrive("d" + std::to_string(d));
        drive.identity =
            sim::Identity::fromText("MERIDOX", "DVR-1", "1.0" + std::to_string(driveByte % 10));
        drive.newRevision = sim::padded<4>("1.10");
        drive.medium = false;
        drive.powerOnAttention = (driveByte & 0x80) != 0;
        const auto& row = ChipIdTable[(driveByte >> 3) % ChipIdRowCount];
        drive.chip = {row[0], row[1], row[2], row[3]};
        drive.imageSize = static_cast<std::uint32_t>(BinSize);
        const auto* bank = rig.package.data() + block::BankOffset + BinStart;
        drive.expectedImage.assign(bank, bank + BinSize);
        if (aspi) {
            sim::AspiDeviceSpec device;
            device.target = static_cast<std::uint8_t>(d);
            device.drive = drive.id;
            computer.aspi.adapters.back().devices.push_back(device);
        } else {
            computer.addLetter(static_cast<char>('E' + d), drive.id).address.targetId =
                static_cast<std::uint8_t>(d);
        }
    }
    rig.wrapHost = [&input](sim::SimHost& host) -> std::unique_ptr<Host> {
        return std::make_unique<proof::AnswerHost>(host, input);
    };
    rig.dialogLimit = 200;

    const proof::RunVerdict verdict = rig.run();
    rig.package.swap(kept);
    if (!verdict.clean()) {
        std::fprintf(stderr, "%s", verdict.describe().c_str());
        std::abort();
    }
    return 0;
}
