// Host cost of the drive object on the simulated computer (virtual clock, zero
// latency, commands not recorded), so the real time measured is the CPU the
// drive object and the host interface spend:
//   - one ExecuteCommand without data and with 16 KiB in, through
//     pass-through and through ASPI;
//   - a 16 KiB WRITE BUFFER of an image block followed by its READ BUFFER
//     through pass-through (the drive staging and returning it), set against
//     memcpy+memcmp of 16 KiB;
//   - a WaitReady of 120 s on a drive that never becomes ready (400 polls);
//   - a whole discovery of 16 drives through the ASPI scan (16 targets x 8
//     LUNs per adapter) and through 16 drive letters.
//
// Run: cmake --build <dir> --target device_bench && <dir>/bench/device_bench

#include <benchmark/benchmark.h>

#include <string>

#include "device/ApplicationTag.h"
#include "device/AtapiDevice.h"
#include "sim/SimHost.h"

namespace zorbel {
namespace {

constexpr Packet TestUnitReadyPacket{};
constexpr Packet ReadBlockPacket{0x3C, 0x01, 0x01, 0, 0, 0, 0x00, 0x40, 0x00, 0, 0, 0};
constexpr std::uint32_t BlockSize = 16384;

sim::DriveSpec& quietDrive(sim::ComputerSpec& spec, std::string id) {
    sim::DriveSpec& drive = spec.addDrive(std::move(id));
    drive.powerOnAttention = false;
    return drive;
}

sim::ComputerSpec oneDriveComputer(bool aspi) {
    sim::ComputerSpec spec;
    spec.recordCommands = false;
    quietDrive(spec, "e");
    if (aspi) {
        spec.aspi.libraryPresent = true;
        spec.addAdapter().devices.push_back({0, 0, 5, "e"});
    } else {
        spec.addLetter('E', "e");
    }
    return spec;
}

void runCommands(benchmark::State& state, bool aspi, std::uint32_t length) {
    setApplicationTag(aspi ? AspiPreferredTag : 0);
    sim::InstalledComputer computer(oneDriveComputer(aspi));
    AtapiDevice device(true);
    if (device.UseAspi() != aspi || !device.SelectDrive(0)) {
        state.SkipWithError("the simulated drive was not found");
        return;
    }
    const Packet& packet = length == 0 ? TestUnitReadyPacket : ReadBlockPacket;
    const std::uint8_t direction = length == 0 ? DirNone : DirIn;
    for (auto _ : state) {
        benchmark::DoNotOptimize(device.ExecuteCommand(packet, direction, length));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * length);
    setApplicationTag(0);
}

void BM_ExecuteCommandPassThrough(benchmark::State& state) {
    runCommands(state, false, static_cast<std::uint32_t>(state.range(0)));
}
BENCHMARK(BM_ExecuteCommandPassThrough)->Arg(0)->Arg(BlockSize);

void BM_ExecuteCommandAspi(benchmark::State& state) {
    runCommands(state, true, static_cast<std::uint32_t>(state.range(0)));
}
BENCHMARK(BM_ExecuteCommandAspi)->Arg(0)->Arg(BlockSize);

void BM_WriteReadBlockPassThrough(benchmark::State& state) {
    setApplicationTag(0);
    sim::InstalledComputer computer(oneDriveComputer(false));
    AtapiDevice device(true);
    if (!device.SelectDrive(0)) {
        state.SkipWithError("the simulated drive was not found");
        return;
    }
    for (std::uint32_t i = 0; i < BlockSize; ++i) {
        device.OutBuffer()[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    std::int64_t failures = 0;
    for (auto _ : state) {
        const bool written = device.WriteDriveBuffer(0, BlockSize, 0x00);
        const bool read = device.ReadDriveBuffer(0, BlockSize);
        failures += written && read ? 0 : 1;
    }
    state.counters["failures"] = static_cast<double>(failures);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * BlockSize);
}
BENCHMARK(BM_WriteReadBlockPassThrough);

void BM_WaitReady120OnABusyDrive(benchmark::State& state) {
    setApplicationTag(0);
    sim::ComputerSpec spec = oneDriveComputer(false);
    spec.drives.front().becomingReadyPolls = -1;
    sim::InstalledComputer computer(std::move(spec));
    AtapiDevice device(true);
    if (!device.SelectDrive(0)) {
        state.SkipWithError("the simulated drive was not found");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(device.WaitReady(120));
    }
}
BENCHMARK(BM_WaitReady120OnABusyDrive)->Unit(benchmark::kMicrosecond);

void BM_DiscoverSixteenAspiDrives(benchmark::State& state) {
    setApplicationTag(AspiPreferredTag);
    sim::ComputerSpec spec;
    spec.recordCommands = false;
    spec.aspi.libraryPresent = true;
    sim::AdapterSpec& adapter = spec.addAdapter();
    for (std::uint8_t target = 0; target < 16; ++target) {
        const std::string id = "t" + std::to_string(target);
        quietDrive(spec, id);
        adapter.devices.push_back({target, 0, 5, id});
    }
    sim::InstalledComputer computer(std::move(spec));
    for (auto _ : state) {
        AtapiDevice device(true);
        if (device.DriveCount() != MaxDrives) {
            state.SkipWithError("not all 16 drives were found");
            break;
        }
    }
    setApplicationTag(0);
}
BENCHMARK(BM_DiscoverSixteenAspiDrives)->Unit(benchmark::kMicrosecond);

void BM_DiscoverSixteenDriveLetters(benchmark::State& state) {
    setApplicationTag(0);
    sim::ComputerSpec spec;
    spec.recordCommands = false;
    for (int i = 0; i < 16; ++i) {
        const char letter = static_cast<char>('D' + i);
        quietDrive(spec, std::string(1, letter));
        spec.addLetter(letter, std::string(1, letter)).address =
            ScsiAddress{8, 1, 0, static_cast<std::uint8_t>(i), 0};
    }
    sim::InstalledComputer computer(std::move(spec));
    for (auto _ : state) {
        AtapiDevice device(true);
        if (device.DriveCount() != MaxDrives) {
            state.SkipWithError("not all 16 drives were found");
            break;
        }
    }
}
BENCHMARK(BM_DiscoverSixteenDriveLetters)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zorbel

BENCHMARK_MAIN();
