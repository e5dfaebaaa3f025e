// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/frame_search.h"

#include <atomic>
#include <cstdlib>

#include "scan/frame_search_x86.h"

namespace korvane {

size_t FindMagicScalar(const uint8_t* buf, size_t n, uint32_t* out) {
  size_t count = 0;
  for (size_t p = 0; p < n; ++p) {
    uint32_t word;
    std::memcpy(&word, buf + p, 4);
    if (word == kFrameMagicWord) out[count++] = static_cast<uint32_t>(p);
  }
  return count;
}

const std::vector<FindMagicKernel>& FindMagicKernels() {
  static const std::vector<FindMagicKernel> kernels = {
      {"scalar", &FindMagicScalar, true},
#ifdef KORVANE_X86_KERNELS
      {"sse2", &x86::FindMagicSse2, true},  // part of every x86-64 CPU
      {"avx2", &x86::FindMagicAvx2, x86::CpuRunsAvx2()},
      {"avx512", &x86::FindMagicAvx512, x86::CpuRunsAvx512()},
#endif
  };
  return kernels;
}

namespace {

const FindMagicKernel* SupportedKernel(std::string_view name) {
  for (const FindMagicKernel& k : FindMagicKernels()) {
    if (k.supported && name == k.name) return &k;
  }
  return nullptr;
}

const FindMagicKernel* Fastest() {
  const FindMagicKernel* best = nullptr;
  for (const FindMagicKernel& k : FindMagicKernels()) {
    if (k.supported) best = &k;
  }
  return best;
}

const char* RequestedKernel() {
  const char* name = std::getenv("KORVANE_KERNEL");
  return name && *name ? name : nullptr;
}

std::atomic<const FindMagicKernel*>& Selected() {
  static std::atomic<const FindMagicKernel*> selected{[] {
    const char* wanted = RequestedKernel();
    const FindMagicKernel* k = wanted ? SupportedKernel(wanted) : nullptr;
    return k ? k : Fastest();
  }()};
  return selected;
}

}  // namespace

FindMagicFn SelectedFindMagic() {
  return Selected().load(std::memory_order_relaxed)->find;
}
const char* SelectedFindMagicName() {
  return Selected().load(std::memory_order_relaxed)->name;
}

bool SelectFindMagic(std::string_view name) {
  const FindMagicKernel* k = SupportedKernel(name);
  if (!k) return false;
  Selected().store(k, std::memory_order_relaxed);
  return true;
}

std::string SupportedFindMagicNames() {
  std::string names;
  for (const FindMagicKernel& k : FindMagicKernels()) {
    if (!k.supported) continue;
    if (!names.empty()) names += ' ';
    names += k.name;
  }
  return names;
}

std::string FindMagicOverrideProblem() {
  const char* wanted = RequestedKernel();
  if (!wanted || SupportedKernel(wanted)) return {};
  bool built = false;
  for (const FindMagicKernel& k : FindMagicKernels())
    built = built || std::string_view(wanted) == k.name;
  return std::string("KORVANE_KERNEL=") + wanted +
         (built ? ": this CPU cannot run that kernel" : ": no such kernel") +
         " (this CPU runs: " + SupportedFindMagicNames() + ")";
}

}  // namespace korvane
