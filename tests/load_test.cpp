// SPDX-License-Identifier: GPL-3.0-or-later
// Long runs (ctest label `long`, not part of ./test): korvane-scan over a 64 GiB sparse file keeps
// its memory flat and finds the recordings at both ends.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kGiB = kMiB << 10;

struct ScanRun {
  int status = -1;
  std::string out;
  long peak_rss_kib = 0;
  double seconds = 0;
};

// Runs korvane-scan on path and measures the child's peak resident set size.
ScanRun Scan(const std::string& path, const std::string& out_file) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(out_file.c_str(), "w", stdout)) _exit(126);
    execl(KORVANE_SCAN_BINARY, "korvane-scan", "--quiet", "--format", "csv", path.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  ScanRun run;
  int raw = 0;
  struct rusage usage {};
  if (pid < 0 || wait4(pid, &raw, 0, &usage) != pid) return run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.peak_rss_kib = usage.ru_maxrss;
  std::ifstream in(out_file);
  std::stringstream text;
  text << in.rdbuf();
  run.out = text.str();
  return run;
}

// A sparse file of `size` bytes with a recording at its start and one in its last MiB.
void MakeSparseImage(const std::string& path, uint64_t size) {
  testimage::ImageBuilder head(kMiB, testimage::Fill::kNoise, 5);
  head.AddRecording(4096, 1393891200, 10, 1, 1000);
  test::WriteFile(path, head.bytes());
  testimage::ImageBuilder tail(kMiB, testimage::Fill::kNoise, 6);
  tail.AddRecording(kMiB - 20000, 1393891200 + 86400, 10, 1, 1000);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(size - kMiB));
  f.write(reinterpret_cast<const char*>(tail.bytes().data()), kMiB);
  ASSERT_TRUE(f.good());
}

TEST(Load, A64GiBSparseImageIsScannedWithFlatMemory) {
  test::TempDir dir;
  const std::string small = dir.File("1g.img"), big = dir.File("64g.img");
  MakeSparseImage(small, kGiB);
  MakeSparseImage(big, 64 * kGiB);

  const ScanRun base = Scan(small, dir.File("1g.csv"));
  ASSERT_EQ(base.status, 0);
  const ScanRun run = Scan(big, dir.File("64g.csv"));
  ASSERT_EQ(run.status, 0);
  const std::string last_position = std::to_string(64 * kGiB - 20000);
  EXPECT_EQ(run.out,
            "name,start,end,position\n"
            "0.dav,2014-03-04 00:00:00,2014-03-04 00:00:09,4096\n"
            "1.dav,2014-03-05 00:00:00,2014-03-05 00:00:09," +
                last_position + "\n");

  std::cout << "peak RSS: 1 GiB scan " << base.peak_rss_kib << " KiB in " << base.seconds
            << " s; 64 GiB scan " << run.peak_rss_kib << " KiB in " << run.seconds << " s ("
            << 64.0 * 1024 / run.seconds << " MiB/s)\n";
  RecordProperty("peak_rss_kib_64g", static_cast<int>(run.peak_rss_kib));
  EXPECT_LT(run.peak_rss_kib, 64 * 1024) << "KiB";
  EXPECT_LT(run.peak_rss_kib, base.peak_rss_kib + 4 * 1024) << "memory grew with the range";
}

}  // namespace
}  // namespace korvane
