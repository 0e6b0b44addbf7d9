// Measures of the programming engine on simulated drives.
//
//   engine_bench --benchmark_filter=ProgramFlash   host CPU of one 1 MiB run (target < 1 ms)
//   engine_bench --benchmark_filter=Parallel       1, 4, 16 drives with 2 ms per command
//
// ProgramFlashOneMiB: one ProgramFlash of a 1 MiB image into a zero-latency
// drive whose waits (the readiness wait, the 1 s settle pause) run on the
// virtual clock, so the time measured is the host's own work.
// ProgramFlashOneMiBCopyingDrive: the same run against a minimal drive that
// only copies: WRITE BUFFER and READ BUFFER move the bytes to and from a
// staging buffer and answer good status, without fault rules, trace or record
// (the other commands, a handful per run, go to the simulated drive). It
// measures the program's own cost, set against the memory work the procedure
// prescribes (reference_bench's PrescribedMemoryWork).
// ParallelDrives/N: N Parser workers, each on its own drive answering every
// command after 2 ms of real time (the settle pause is real too); the time is
// from the first Resume to the last end event. 16 drives should finish within
// 1.2 times the time of one.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/AtapiDevice.h"
#include "device/RequestLayout.h"
#include "engine/Parser.h"
#include "engine/ProgramFlash.h"
#include "sim/ForwardingHost.h"
#include "sim/SimHost.h"

namespace {

using namespace zorbel;
using namespace std::chrono_literals;

constexpr std::int32_t OneMiB = 1'048'576;

std::vector<std::uint8_t> makeImage() {
    std::vector<std::uint8_t> image(OneMiB);
    std::uint32_t state = 12345;
    for (auto& byte : image) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return image;
}

// A computer with `count` drives on letters E, F, ..., a list object and one
// selected run object per drive.
struct Bench {
    Bench(int count, sim::ClockMode clock, std::chrono::nanoseconds latency)
        : computer(makeSpec(count, clock, latency)) {
        list = std::make_unique<AtapiDevice>(true);
        for (int i = 0; i < count; ++i) {
            auto run = std::make_unique<AtapiDevice>(false);
            AtapiDevice::CopyDriveTable(*list, *run);
            run->SelectDrive(static_cast<std::int16_t>(i));
            runs.push_back(std::move(run));
        }
    }

    static sim::ComputerSpec makeSpec(int count, sim::ClockMode clock,
                                      std::chrono::nanoseconds latency) {
        sim::ComputerSpec spec;
        spec.clock = clock;
        spec.recordCommands = false;
        for (int i = 0; i < count; ++i) {
            auto& drive = spec.addDrive("drive" + std::to_string(i));
            drive.powerOnAttention = false;
            drive.latency.perCommand = latency;
            auto& letter = spec.addLetter(static_cast<char>('E' + i), drive.id);
            letter.address.targetId = static_cast<std::uint8_t>(i);
        }
        return spec;
    }

    sim::InstalledComputer computer;
    std::unique_ptr<AtapiDevice> list;
    std::vector<std::unique_ptr<AtapiDevice>> runs;
};

void ProgramFlashOneMiB(benchmark::State& state) {
    const auto image = makeImage();
    Bench bench(1, sim::ClockMode::Virtual, 0ns);
    AtapiDevice& run = *bench.runs[0];
    std::int64_t failures = 0;
    for (auto _ : state) {
        failures += ProgramFlash(run, image.data(), OneMiB, false) ? 0 : 1;
    }
    state.counters["failures"] = static_cast<double>(failures);
    state.SetBytesProcessed(state.iterations() * OneMiB);
}
BENCHMARK(ProgramFlashOneMiB)->Unit(benchmark::kMicrosecond);

// A drive that only copies, in front of the simulated computer.
class CopyingHost final : public sim::ForwardingHost {
  public:
    explicit CopyingHost(Host& inner) : ForwardingHost(inner), staging_(16u << 20) {}

    bool passThroughDirect(DeviceHandle device, std::span<std::uint8_t, PassThroughBlockSize> block,
                           void* data) override {
        namespace pt = passthrough;
        const std::uint8_t* cdb = block.data() + pt::Cdb;
        if (cdb[0] != 0x3B && cdb[0] != 0x3C) {
            return ForwardingHost::passThroughDirect(device, block, data);
        }
        const std::uint32_t offset = (std::uint32_t{cdb[3]} << 16) | (cdb[4] << 8) | cdb[5];
        const std::uint32_t length = getLe32(block, pt::DataTransferLength);
        if (data != nullptr && length > 0 && std::size_t{offset} + length <= staging_.size()) {
            if (cdb[0] == 0x3B && cdb[9] == 0x00) {
                std::memcpy(staging_.data() + offset, data, length);
            } else if (cdb[0] == 0x3C) {
                std::memcpy(data, staging_.data() + offset, length);
            }
        }
        block[pt::ScsiStatus] = 0;
        return true;
    }

  private:
    std::vector<std::uint8_t> staging_;
};

void ProgramFlashOneMiBCopyingDrive(benchmark::State& state) {
    const auto image = makeImage();
    Bench bench(1, sim::ClockMode::Virtual, 0ns);
    CopyingHost host(bench.computer.host());
    setCurrentHost(&host);
    AtapiDevice& run = *bench.runs[0];
    std::int64_t failures = 0;
    for (auto _ : state) {
        failures += ProgramFlash(run, image.data(), OneMiB, false) ? 0 : 1;
    }
    setCurrentHost(&bench.computer.host());
    state.counters["failures"] = static_cast<double>(failures);
    state.SetBytesProcessed(state.iterations() * OneMiB);
}
BENCHMARK(ProgramFlashOneMiBCopyingDrive)->Unit(benchmark::kMicrosecond);

void ParallelDrives(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const auto image = makeImage();
    std::int64_t failures = 0;
    for (auto _ : state) {
        Bench bench(count, sim::ClockMode::RealTime, 2ms);
        EndEventQueue queue;
        int ended = 0;
        const auto start = std::chrono::steady_clock::now();
        for (auto& run : bench.runs) {
            auto* worker = new Parser({run.get(), image.data(), OneMiB, 0, nullptr}, &queue);
            worker->OnTerminate = [&ended](WorkerThread&) { ++ended; };
            worker->Resume();
        }
        while (ended < count) {
            queue.waitAndRunOne(100ms);
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(elapsed.count());
        for (auto& run : bench.runs) {
            failures += run->FlashResult() == 0 ? 0 : 1;
        }
    }
    state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(ParallelDrives)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
