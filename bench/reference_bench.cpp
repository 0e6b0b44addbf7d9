// The references the other measures are set against: copying a run of bytes
// and comparing the copy with its source (memcpy + memcmp), the least work a
// transfer that is read back and checked can cost on this machine. Sizes:
// 0 and 16,384 bytes (one command without data, one image block), 1,536 bytes
// (sixteen 96-byte INQUIRY answers: a discovery of 16 drives) and 1 MiB (the
// image of one ProgramFlash).
//
// PrescribedMemoryWork: the memory work one 1 MiB ProgramFlash prescribes, per
// 16 KiB block: clear the out buffer, copy the block in, the drive's copy of it
// to its staging and back into the in buffer, the comparison of the two. The
// program's own cost is set against it.
//
// Run: cmake --build <dir> --target reference_bench && <dir>/bench/reference_bench
// scripts/bench.sh runs it with the other benchmarks and writes the table.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void MemcpyMemcmp(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> source(size + 1), copy(size + 1);
    for (std::size_t i = 0; i < source.size(); ++i) {
        source[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.data());
        std::memcpy(copy.data(), source.data(), size);
        benchmark::ClobberMemory();
        benchmark::DoNotOptimize(std::memcmp(copy.data(), source.data(), size));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(MemcpyMemcmp)->Arg(0)->Arg(1536)->Arg(16384)->Arg(1048576);

void PrescribedMemoryWork(benchmark::State& state) {
    constexpr std::size_t Block = 16384;
    const auto size = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> image(size), staging(size), out(Block), in(Block);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    for (auto _ : state) {
        for (std::size_t offset = 0; offset < size; offset += Block) {
            benchmark::DoNotOptimize(image.data());
            std::memset(out.data(), 0, Block);
            std::memcpy(out.data(), image.data() + offset, Block);
            benchmark::ClobberMemory();
            std::memcpy(staging.data() + offset, out.data(), Block);
            benchmark::ClobberMemory();
            std::memcpy(in.data(), staging.data() + offset, Block);
            benchmark::ClobberMemory();
            benchmark::DoNotOptimize(std::memcmp(in.data(), out.data(), Block));
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(PrescribedMemoryWork)->Arg(1048576)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
