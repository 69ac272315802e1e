// Throughput of the mask loop against memcpy over the same buffer size: the
// mask pass should cost no more than copying the bytes once more.
#include <benchmark/benchmark.h>

#include <cstring>

#include "file_mask.h"

namespace {

constexpr std::size_t OneMiB = 1024 * 1024;

void FillPattern(ByteBuffer& buffer) {
  for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<unsigned char>(i * 131 + 7);
}

void BM_MaskBuffer(benchmark::State& state) {
  ByteBuffer buffer(static_cast<std::size_t>(state.range(0)));
  FillPattern(buffer);
  for (auto _ : state) {
    MaskBuffer(buffer);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_Memcpy(benchmark::State& state) {
  ByteBuffer from(static_cast<std::size_t>(state.range(0)));
  ByteBuffer to(from.size());
  FillPattern(from);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// An odd length and offset take the unaligned head and the tail paths too.
void BM_MaskBufferUnaligned(benchmark::State& state) {
  ByteBuffer buffer(static_cast<std::size_t>(state.range(0)) + 64);
  FillPattern(buffer);
  const std::size_t count = static_cast<std::size_t>(state.range(0)) - 3;
  for (auto _ : state) {
    MaskBuffer(buffer.data() + 1, count);
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(count));
}

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(OneMiB)->Arg(64 * 1024);
BENCHMARK(BM_MaskBuffer)->Arg(OneMiB)->Arg(64 * 1024);
BENCHMARK(BM_MaskBufferUnaligned)->Arg(OneMiB);

BENCHMARK_MAIN();
