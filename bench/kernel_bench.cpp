// SPDX-License-Identifier: GPL-3.0-or-later
// Search kernels on one chunk-sized buffer per input class, in GB/s (10^9 bytes a second).
// Every benchmark checks the kernel's match count and fails if it is wrong.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "scan/frame_search.h"
#include "scan/scanner.h"

namespace korvane {
namespace {

struct Input {
  const char* name;
  std::vector<uint8_t> bytes;  // n + 3 bytes
  size_t matches;
};

std::vector<uint8_t> Repeat(const std::string& pattern, size_t n) {
  std::vector<uint8_t> bytes(n + 3);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<uint8_t>(pattern[i % pattern.size()]);
  return bytes;
}

std::vector<Input> Inputs(size_t n) {
  std::vector<Input> inputs;
  // Random bytes with a frame header every 64 KiB, as in an image of recordings.
  std::mt19937_64 rng(1);
  std::vector<uint8_t> random(n + 3);
  for (auto& b : random) b = static_cast<uint8_t>(rng());
  for (size_t p = 0; p + 4 <= random.size(); ++p) {
    if (LoadLe32(&random[p]) == kFrameMagicWord) random[p] = 'd';
  }
  size_t planted = 0;
  for (size_t p = 1000; p < n; p += 64 * 1024, ++planted) std::memcpy(&random[p], kFrameMagic, 4);
  inputs.push_back({"random", std::move(random), planted});
  inputs.push_back({"zeros", std::vector<uint8_t>(n + 3, 0), 0});
  inputs.push_back({"all_D", Repeat("D", n), 0});
  inputs.push_back({"DxxV_dense", Repeat("DxxV", n), 0});  // every 'D' has its 'V' 3 bytes on
  // Dense in both pairs a wide kernel can filter on: the worst case short of matches.
  inputs.push_back({"DxxVxHAx_dense", Repeat("DxxVxHAx", n), 0});
  inputs.push_back({"DHAV_every_4", Repeat("DHAV", n), n / 4});
  return inputs;
}

void Search(benchmark::State& state, FindMagicFn find, const Input* input, size_t n) {
  std::vector<uint32_t> out(n / 4 + 1);
  for (auto _ : state) {
    const size_t count = find(input->bytes.data(), n, out.data());
    benchmark::DoNotOptimize(count);
    benchmark::ClobberMemory();
    if (count != input->matches) {
      state.SkipWithError(
          ("found " + std::to_string(count) + " matches, not " + std::to_string(input->matches))
              .c_str());
      break;
    }
  }
  const double bytes = static_cast<double>(n) * static_cast<double>(state.iterations());
  state.counters["GB"] = benchmark::Counter(bytes / 1e9, benchmark::Counter::kIsRate);
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  using namespace korvane;
  const size_t n = kChunkSize;
  static const std::vector<Input> inputs = Inputs(n);
  for (const FindMagicKernel& k : FindMagicKernels()) {
    if (!k.supported) continue;
    for (const Input& input : inputs) {
      benchmark::RegisterBenchmark((std::string(k.name) + "/" + input.name).c_str(), Search, k.find,
                                   &input, n);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
