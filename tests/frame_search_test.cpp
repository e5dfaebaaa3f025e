// SPDX-License-Identifier: GPL-3.0-or-later
// Every search kernel this CPU runs against the per-position reference, on buffers built to hit
// their edges: every alignment and length, planted and partial magics, magics cut by the end.
#include "scan/frame_search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace korvane {
namespace {

std::vector<FindMagicKernel> FastKernels() {
  std::vector<FindMagicKernel> kernels;
  for (const FindMagicKernel& k : FindMagicKernels()) {
    if (k.supported && k.find != &FindMagicScalar) kernels.push_back(k);
  }
  return kernels;
}

std::vector<uint32_t> Find(FindMagicFn find, const uint8_t* buf, size_t n) {
  std::vector<uint32_t> out(n / 4 + 1, 0xDEADBEEF);
  out.resize(find(buf, n, out.data()));
  return out;
}

// Runs every kernel on buf[0, n) (buf holds n + 3 bytes) and compares with the reference.
void ExpectAllAgree(const uint8_t* buf, size_t n, const std::string& context) {
  const std::vector<uint32_t> want = Find(&FindMagicScalar, buf, n);
  for (const FindMagicKernel& k : FastKernels()) {
    const std::vector<uint32_t> got = Find(k.find, buf, n);
    ASSERT_EQ(got, want) << k.name << ": " << context << " n=" << n;
  }
}

// Random bytes over an alphabet: "DHAV" gives many partial and whole magics, 256 almost none.
std::vector<uint8_t> RandomBytes(std::mt19937_64& rng, size_t n, const std::string& alphabet) {
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) {
    b = alphabet.empty() ? static_cast<uint8_t>(rng())
                         : static_cast<uint8_t>(alphabet[rng() % alphabet.size()]);
  }
  return bytes;
}

TEST(FindMagic, TheReferenceFindsEveryPositionAndNothingElse) {
  const std::string text = "xDHAVDHAVDHAxDHAVyDHA";  // "DHAV" at 1, 5 and 13; the last cut off
  const auto* buf = reinterpret_cast<const uint8_t*>(text.data());
  EXPECT_EQ(Find(&FindMagicScalar, buf, text.size() - 3), (std::vector<uint32_t>{1, 5, 13}));
  // A magic starting at n - 1 counts: the kernel may look 3 bytes past n.
  EXPECT_EQ(Find(&FindMagicScalar, buf, 14), (std::vector<uint32_t>{1, 5, 13}));
  EXPECT_EQ(Find(&FindMagicScalar, buf, 13), (std::vector<uint32_t>{1, 5}));
  EXPECT_TRUE(Find(&FindMagicScalar, buf, 0).empty());
}

TEST(FindMagic, EveryKernelAgreesOnEveryLengthAndAlignment) {
  std::mt19937_64 rng(42);
  int cases = 0;
  for (const std::string& alphabet : {std::string("DHAV"), std::string("DHAVx"), std::string()}) {
    const std::vector<uint8_t> bytes = RandomBytes(rng, 4096 + 64, alphabet);
    for (size_t start = 0; start < 64; ++start) {
      for (size_t n = 0; n <= 700; n += (n < 300 ? 1 : 37)) {
        ExpectAllAgree(bytes.data() + start, n,
                       "alphabet '" + alphabet + "' start " + std::to_string(start));
        ++cases;
      }
    }
  }
  EXPECT_GT(cases, 3 * 64 * 300);
}

TEST(FindMagic, EveryKernelFindsAPlantedMagicAtEveryPositionAndNoPartialOne) {
  std::mt19937_64 rng(7);
  // Noise without any 'D' or 'V', so only what is planted can match.
  std::vector<uint8_t> base = RandomBytes(rng, 1100, "");
  for (auto& b : base) b = (b == 'D' || b == 'V') ? 'x' : b;
  const size_t n = 1000;
  const std::vector<std::string> partials = {"DHA", "HAV", "DHAW", "EHAV", "DGAV", "DHBV", "DHAv"};
  for (size_t p = 0; p < n + 3; ++p) {
    std::vector<uint8_t> buf = base;
    std::memcpy(buf.data() + p, "DHAV", std::min<size_t>(4, buf.size() - p));
    const std::vector<uint32_t> want =
        p < n ? std::vector<uint32_t>{static_cast<uint32_t>(p)} : std::vector<uint32_t>{};
    ASSERT_EQ(Find(&FindMagicScalar, buf.data(), n), want);
    ExpectAllAgree(buf.data(), n, "magic at " + std::to_string(p));
    // Two more right behind it, back to back, and a partial one just before.
    std::memcpy(buf.data() + p, "DHAVDHAV", std::min<size_t>(8, buf.size() - p));
    ExpectAllAgree(buf.data(), n, "twin at " + std::to_string(p));
    for (const std::string& partial : partials) {
      std::vector<uint8_t> miss = base;
      std::memcpy(miss.data() + p, partial.data(), std::min(partial.size(), miss.size() - p));
      ASSERT_TRUE(Find(&FindMagicScalar, miss.data(), n).empty());
      ExpectAllAgree(miss.data(), n, "partial '" + partial + "' at " + std::to_string(p));
    }
  }
}

TEST(FindMagic, EveryKernelAgreesWhereTheDataChangesKind) {
  // Wide kernels change the pair of bytes they filter on when one pair keeps matching, so data
  // that changes between kinds dense in one pair, the other, both or neither runs them through
  // every way of filtering and every switch, at any place. Whole and partial magics are
  // planted all over, also right at the edges between kinds.
  std::mt19937_64 rng(2024);
  const std::vector<std::string> patterns = {"DxxV", "xHAx", "DxxVxHAx", "DHAx", "xHAV"};
  const std::vector<std::string> plants = {"DHAV", "DHAV", "DGAV", "DHBV", "EHAV",
                                           "DHAW", "xHAV", "DHAx", "DxAV", "DHxV"};
  std::vector<uint8_t> bytes;
  std::vector<size_t> edges;
  while (bytes.size() < 3 * 1024 * 1024) {
    edges.push_back(bytes.size());
    const size_t length = 1 + rng() % 40000;
    const size_t kind = rng() % (patterns.size() + 2);
    if (kind < patterns.size()) {
      const std::string& pattern = patterns[kind];
      const size_t phase = rng() % pattern.size();
      for (size_t i = 0; i < length; ++i)
        bytes.push_back(static_cast<uint8_t>(pattern[(i + phase) % pattern.size()]));
    } else {
      const std::vector<uint8_t> noise = RandomBytes(rng, length, kind % 2 ? "DHAVx" : "");
      bytes.insert(bytes.end(), noise.begin(), noise.end());
    }
  }
  auto plant = [&](size_t at) {
    const std::string& what = plants[rng() % plants.size()];
    for (size_t i = 0; i < what.size() && at + i < bytes.size(); ++i) bytes[at + i] = what[i];
  };
  for (size_t edge : edges) {
    for (int d = -4; d <= 4; ++d) {
      if (edge + d < bytes.size() && rng() % 3 == 0) plant(edge + d);
    }
  }
  for (int i = 0; i < 20000; ++i) plant(rng() % bytes.size());
  bytes.resize(bytes.size() + 3, 'V');

  const size_t size = bytes.size() - 3;
  ExpectAllAgree(bytes.data(), size, "the whole buffer");
  for (int i = 0; i < 12; ++i) {
    const size_t start = rng() % 4096;
    const size_t n = rng() % (size - start);
    ExpectAllAgree(bytes.data() + start, n, "start " + std::to_string(start));
  }
}

TEST(FindMagic, EveryKernelAgreesOnTheBenchmarkInputClasses) {
  const size_t n = 64 * 1024 + 13;
  std::vector<uint8_t> buf(n + 3);
  auto fill = [&](const std::string& pattern) {
    for (size_t i = 0; i < buf.size(); ++i)
      buf[i] = static_cast<uint8_t>(pattern[i % pattern.size()]);
  };
  fill(std::string(1, '\0'));
  EXPECT_TRUE(Find(&FindMagicScalar, buf.data(), n).empty());
  ExpectAllAgree(buf.data(), n, "zeros");
  fill("D");
  ExpectAllAgree(buf.data(), n, "all D");
  fill("DxxV");
  ExpectAllAgree(buf.data(), n, "D..V dense");
  fill("DxxVxHAx");
  ExpectAllAgree(buf.data(), n, "D..V and H.A dense");
  fill("DHAV");
  EXPECT_EQ(Find(&FindMagicScalar, buf.data(), n).size(), (n + 3) / 4);
  ExpectAllAgree(buf.data(), n, "DHAV every 4 bytes");
  fill("DHAVD");
  ExpectAllAgree(buf.data(), n, "DHAV every 5 bytes");
}

#if defined(__unix__)
// A buffer that ends right before an unreadable page: a kernel reading one byte past what it
// may read crashes here instead of passing by luck.
TEST(FindMagic, NoKernelReadsPastTheThreeBytesAfterTheBuffer) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* mem = static_cast<uint8_t*>(map);
  ASSERT_EQ(mprotect(mem + page, page, PROT_NONE), 0);
  std::memset(mem, 'D', page);
  std::memcpy(mem + page - 4, "DHAV", 4);  // the last whole magic
  for (size_t n = 0; n + 3 <= page && n < 1200; ++n) {
    const uint8_t* buf = mem + page - 3 - n;  // buf[n + 2] is the page's last byte
    const std::vector<uint32_t> want = Find(&FindMagicScalar, buf, n);
    ASSERT_EQ(want.size(), n >= 1 ? 1u : 0u);
    ExpectAllAgree(buf, n, "at the end of a page");
  }
  munmap(map, 2 * page);
}
#endif

TEST(FindMagic, SelectionHonoursNamesThisCpuRuns) {
  const std::string before = SelectedFindMagicName();
  EXPECT_FALSE(SelectFindMagic("no-such-kernel"));
  EXPECT_EQ(SelectedFindMagicName(), before);
  for (const FindMagicKernel& k : FindMagicKernels()) {
    EXPECT_EQ(SelectFindMagic(k.name), k.supported) << k.name;
    if (k.supported) {
      EXPECT_EQ(SelectedFindMagic(), k.find);
    }
  }
  EXPECT_EQ(SupportedFindMagicNames().rfind("scalar", 0), 0u);
  ASSERT_TRUE(SelectFindMagic(before));
  std::cout << "kernels this CPU runs: " << SupportedFindMagicNames() << "\n";
}

}  // namespace
}  // namespace korvane
