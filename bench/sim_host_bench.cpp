// Host cost of the simulated computer: one zero-latency drive command through
// the host interface, and a simulated 120-second readiness wait.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstring>
#include <vector>

#include "sim/RequestLayout.h"
#include "sim/SimHost.h"

namespace {

using namespace zorbel;
using namespace zorbel::sim;
namespace pt = layout::pt;
namespace aspi = layout::aspi;

ComputerSpec benchComputer(std::int64_t becomingReady = 0) {
    ComputerSpec spec;
    spec.recordCommands = false;  // a log would grow without end over millions of commands
    DriveSpec& drive = spec.addDrive("dvd");
    drive.powerOnAttention = false;
    drive.becomingReadyPolls = becomingReady;
    spec.addLetter('E', "dvd");
    spec.aspi.libraryPresent = true;
    spec.addAdapter().devices.push_back({0, 0, 5, "dvd"});
    return spec;
}

// The pass-through block as the drive object builds it for every command.
void buildBlock(std::array<std::uint8_t, PassThroughBlockSize>& block, const std::uint8_t* cdb,
                std::uint8_t direction, std::uint32_t length, bool data) {
    block.fill(0);
    layout::putLe16(block, pt::Length, pt::StructSize);
    block[pt::CdbLength] = 12;
    block[pt::SenseInfoLength] = 24;
    block[pt::DataIn] = direction;
    layout::putLe32(block, pt::DataTransferLength, length);
    layout::putLe32(block, pt::TimeOutValue, 108000);
    layout::putLe32(block, pt::DataBuffer, data ? 0x00400000u : 0u);
    layout::putLe32(block, pt::SenseInfoOffset, pt::SenseArea);
    std::memcpy(block.data() + pt::Cdb, cdb, 12);
}

void BM_PassThroughTestUnitReady(benchmark::State& state) {
    SimHost host(benchComputer());
    const DeviceHandle device = host.openDevice("\\\\.\\E:");
    const std::uint8_t tur[12] = {};
    std::array<std::uint8_t, PassThroughBlockSize> block{};
    for (auto _ : state) {
        buildBlock(block, tur, 2, 0, false);
        benchmark::DoNotOptimize(host.passThroughDirect(device, block, nullptr));
    }
}
BENCHMARK(BM_PassThroughTestUnitReady);

void BM_PassThroughInquiry(benchmark::State& state) {
    SimHost host(benchComputer());
    const DeviceHandle device = host.openDevice("\\\\.\\E:");
    const std::uint8_t inquiry[12] = {0x12, 0, 0, 0, 96};
    std::array<std::uint8_t, PassThroughBlockSize> block{};
    std::vector<std::uint8_t> buffer(65536);
    for (auto _ : state) {
        buildBlock(block, inquiry, 1, 96, true);
        benchmark::DoNotOptimize(host.passThroughDirect(device, block, buffer.data()));
    }
}
BENCHMARK(BM_PassThroughInquiry);

// One image block written: the 16 KiB copy into the staging is the data copy.
void BM_PassThroughWriteBlock(benchmark::State& state) {
    SimHost host(benchComputer());
    const DeviceHandle device = host.openDevice("\\\\.\\E:");
    const std::uint8_t write[12] = {0x3B, 0x05, 0x01, 0, 0x40, 0, 0, 0x40, 0, 0};
    std::array<std::uint8_t, PassThroughBlockSize> block{};
    std::vector<std::uint8_t> buffer(65536, 0x5A);
    for (auto _ : state) {
        buildBlock(block, write, 0, 16384, true);
        benchmark::DoNotOptimize(host.passThroughDirect(device, block, buffer.data()));
    }
    state.SetBytesProcessed(state.iterations() * 16384);
}
BENCHMARK(BM_PassThroughWriteBlock);

void BM_AspiTestUnitReadyWithEvent(benchmark::State& state) {
    SimHost host(benchComputer());
    const AspiProc send = host.getProcAddress(host.loadLibrary("WNASPI32"), "SendASPI32Command");
    std::array<std::uint8_t, aspi::exec::Size> request{};
    for (auto _ : state) {
        const EventHandle event = host.createEvent();
        request.fill(0);
        request[aspi::Cmd] = aspi::SC_EXEC_SCSI_CMD;
        request[aspi::Flags] = aspi::SRB_EVENT_NOTIFY;
        request[aspi::exec::SenseLen] = 14;
        request[aspi::exec::CdbLen] = 12;
        layout::putLe32(request, aspi::exec::PostProc, event);
        host.aspiSendCommand(send, request, nullptr);
        if (request[aspi::Status] == aspi::SS_PENDING) {
            host.waitEvent(event, 108000000u);
        }
        host.closeEvent(event);
        benchmark::DoNotOptimize(request[aspi::Status]);
    }
}
BENCHMARK(BM_AspiTestUnitReadyWithEvent);

// A readiness wait of 120 s on a drive that never becomes ready: TEST UNIT
// READY, read the counter, sleep 300 ms, as the drive command set polls.
void BM_Simulated120SecondWait(benchmark::State& state) {
    SimHost host(benchComputer(-1));
    const DeviceHandle device = host.openDevice("\\\\.\\E:");
    const std::uint8_t tur[12] = {};
    std::array<std::uint8_t, PassThroughBlockSize> block{};
    std::int64_t frequency = 0;
    host.queryPerformanceFrequency(frequency);
    for (auto _ : state) {
        const std::int64_t start = host.queryPerformanceCounter();
        int polls = 0;
        for (;;) {
            buildBlock(block, tur, 2, 0, false);
            host.passThroughDirect(device, block, nullptr);
            ++polls;
            const double elapsed =
                static_cast<double>(host.queryPerformanceCounter() - start) / frequency;
            if (elapsed >= 120.0) {
                break;
            }
            host.sleepMs(300);
        }
        benchmark::DoNotOptimize(polls);
    }
}
BENCHMARK(BM_Simulated120SecondWait)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
