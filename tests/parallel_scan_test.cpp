// SPDX-License-Identifier: GPL-3.0-or-later
// The scan with several threads and every kernel: the same reports, in the same order, as one
// worker reading chunk after chunk, whatever order the chunks are read in.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#if defined(__unix__)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "scan/frame_search.h"
#include "scan/scanner.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using test::MemoryDevice;
using test::RecordingSink;
using testimage::ImageBuilder;

constexpr uint64_t kMiB = 1 << 20;

// Recordings that run across chunk edges, stray magics in the last bytes of chunks, magics cut by
// the image's end.
std::vector<uint8_t> Image(uint64_t size, uint32_t seed) {
  ImageBuilder image(size, testimage::Fill::kNoise, seed);
  std::mt19937_64 rng(seed);
  int64_t t = DaysFromCivil(2014, 3, 4) * kSecondsPerDay;
  for (uint64_t edge = kMiB; edge < size; edge += kMiB) {
    t += static_cast<int64_t>(rng() % 3);
    image.AddRecording(edge - 3000 - rng() % 3000, t, 12, static_cast<uint32_t>(1 + rng() % 3),
                       500);
    image.AddStrayMagic(edge - 1 - rng() % 19, testimage::PackEpochSeconds(t + 1));
    t += 10;
  }
  image.AddStrayMagic(size - 2, testimage::PackEpochSeconds(t));
  return image.bytes();
}

// A sink that also notes calls from any thread but the one that started the scan.
class ThreadNotingSink : public RecordingSink {
 public:
  Status OnScanStart(uint64_t total) override {
    Note();
    return RecordingSink::OnScanStart(total);
  }
  Status OnProgress(uint64_t done, uint64_t total) override {
    Note();
    return RecordingSink::OnProgress(done, total);
  }
  Status OnRecordingOpened(const Recording& r) override {
    Note();
    return RecordingSink::OnRecordingOpened(r);
  }
  Status OnRecordingClosed(const Recording& r) override {
    Note();
    return RecordingSink::OnRecordingClosed(r);
  }
  bool AllOnThisThread() const { return other_threads == 0; }

 private:
  void Note() {
    if (std::this_thread::get_id() != caller) ++other_threads;
  }
  std::thread::id caller = std::this_thread::get_id();
  int other_threads = 0;
};

struct Outcome {
  ScanResult result;
  ThreadNotingSink sink;
  size_t reads = 0;
};

std::unique_ptr<Outcome> Scan(const std::vector<uint8_t>& image, ScanJob job, unsigned threads,
                              std::function<void(MemoryDevice&)> setup = {},
                              const std::atomic<int>* stop = nullptr,
                              std::function<void(uint64_t)> on_progress = {}) {
  auto out = std::make_unique<Outcome>();
  out->sink.on_progress = std::move(on_progress);
  auto device = std::make_unique<MemoryDevice>(image);
  device->concurrent = true;
  MemoryDevice* raw = device.get();
  if (setup) setup(*raw);
  SourceReader reader(std::move(device));
  static const std::atomic<int> kNoStop{0};
  job.threads = threads;
  out->result = ScanSource(reader, job, out->sink, stop ? *stop : kNoStop);
  out->reads = raw->calls.size();
  return out;
}

void ExpectSameReports(const Outcome& got, const Outcome& want, const std::string& context) {
  EXPECT_TRUE(got.sink.AllOnThisThread()) << context;
  EXPECT_EQ(got.result.status.code(), want.result.status.code()) << context;
  EXPECT_EQ(got.result.status.message(), want.result.status.message()) << context;
  EXPECT_EQ(got.result.scanned_bytes, want.result.scanned_bytes) << context;
  EXPECT_EQ(got.result.unreadable_bytes, want.result.unreadable_bytes) << context;
  EXPECT_EQ(got.result.read_error, want.result.read_error) << context;
  EXPECT_EQ(got.result.recordings, want.result.recordings) << context;
  ASSERT_EQ(got.sink.progress.size(), want.sink.progress.size()) << context;
  for (size_t i = 0; i < got.sink.progress.size(); ++i) {
    EXPECT_EQ(got.sink.progress[i].done, want.sink.progress[i].done)
        << context << " progress " << i;
  }
  ASSERT_EQ(got.sink.opened.size(), want.sink.opened.size()) << context;
  ASSERT_EQ(got.sink.closed.size(), want.sink.closed.size()) << context;
  for (size_t i = 0; i < got.sink.closed.size(); ++i) {
    EXPECT_TRUE(test::SameRecording(got.sink.opened[i], want.sink.opened[i])) << context;
    EXPECT_TRUE(test::SameRecording(got.sink.closed[i], want.sink.closed[i]))
        << context << "\n got  " << test::Describe(got.sink.closed[i]) << "\n want "
        << test::Describe(want.sink.closed[i]);
  }
}

TEST(ParallelScan, ReportsWhatOneWorkerReportsWithAnyNumberOfWorkers) {
  const std::vector<uint8_t> image = Image(9 * kMiB + 4321, 11);
  const DateWindow windows[] = {{}, {DateValue(2014, 3, 4), DateValue(2014, 3, 5)}};
  for (const DateWindow& window : windows) {
    for (const auto& [offset, size] : std::vector<std::pair<uint64_t, uint64_t>>{
             {0, image.size()}, {1000, 5 * kMiB}, {3, 20 * kMiB}, {kMiB, kMiB - 1}}) {
      ScanJob job;
      job.offset = offset;
      job.size = size;
      job.window = window;
      const auto one = Scan(image, job, 1);
      EXPECT_EQ(one->sink.closed.size(), test::ReferenceScan(image, offset, size, window).size());
      for (unsigned threads : {2u, 3u, kMaxScanThreads}) {
        ExpectSameReports(
            *Scan(image, job, threads), *one,
            "offset " + std::to_string(offset) + " threads " + std::to_string(threads));
      }
      // Chunks searched where they lie in maps of the source: the same reports.
      ScanJob mapped = job;
      mapped.read = ReadMethod::kMap;
      for (unsigned threads : {1u, 2u, kMaxScanThreads}) {
        ExpectSameReports(
            *Scan(image, mapped, threads, [](MemoryDevice& d) { d.mappable = true; }), *one,
            "mapped, offset " + std::to_string(offset) + " threads " + std::to_string(threads));
      }
    }
  }
}

TEST(ParallelScan, ChunksReadOutOfOrderAreReportedInOrder) {
  const std::vector<uint8_t> image = Image(12 * kMiB, 12);
  ScanJob job;
  const auto one = Scan(image, job, 1);
  // The first chunk, and then random others, take long to read: later chunks finish first.
  std::mt19937 rng(5);
  std::mutex rng_mutex;
  auto slow = [&](MemoryDevice& d) {
    d.before_read = [&](MemoryDevice&) {
      int ms;
      {
        const std::lock_guard<std::mutex> lock(rng_mutex);
        ms = static_cast<int>(rng() % 4);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    };
  };
  for (unsigned threads : {2u, 4u}) {
    const auto got = Scan(image, job, threads, slow);
    ExpectSameReports(*got, *one, "threads " + std::to_string(threads));
    EXPECT_EQ(got->reads, one->reads) << "each chunk is read once";
  }
}

TEST(ParallelScan, UnreadableSectorsCountTheSameAndTheFirstErrorIsKept) {
  const std::vector<uint8_t> image = Image(6 * kMiB + 1000, 13);
  ScanJob job;
  auto bad = [](MemoryDevice& d) {
    d.bad_sectors = {(kMiB / 512) - 1, 3 * kMiB / 512 + 7, 3 * kMiB / 512 + 8, 6 * kMiB / 512};
  };
  const auto one = Scan(image, job, 1, bad);
  EXPECT_EQ(one->result.unreadable_bytes, 4u * 512);
  ExpectSameReports(*Scan(image, job, 3, bad), *one, "bad sectors");
  // Mapped, a chunk whose pages cannot be read is read again, and counted the same.
  ScanJob mapped = job;
  mapped.read = ReadMethod::kMap;
  auto bad_mapped = [&bad](MemoryDevice& d) {
    bad(d);
    d.mappable = true;
  };
  for (unsigned threads : {1u, 3u}) {
    ExpectSameReports(*Scan(image, mapped, threads, bad_mapped), *one,
                      "mapped, bad sectors, threads " + std::to_string(threads));
  }
}

TEST(ParallelScan, StopEndsRightAfterTheReportedChunk) {
  const std::vector<uint8_t> image = Image(10 * kMiB, 14);
  const auto want = test::ReferenceScan(image, 0, 3 * kMiB);
  for (unsigned threads : {1u, 2u, 4u}) {
    // The sink asks to stop after the third chunk's progress, while other threads read ahead.
    std::atomic<int> stop{0};
    const auto got = Scan(
        image, ScanJob{}, threads,
        [](MemoryDevice& d) {
          d.before_read = [](MemoryDevice&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          };
        },
        &stop,
        [&](uint64_t done) {
          if (done == 3 * kMiB) stop = 1;
        });
    const std::string context = "threads " + std::to_string(threads);
    EXPECT_EQ(got->result.status.code(), ErrorCode::kStopped) << context;
    EXPECT_EQ(got->result.scanned_bytes, 3 * kMiB) << context;
    ASSERT_EQ(got->sink.progress.size(), 3u) << context;
    EXPECT_EQ(got->sink.progress.back().done, 3 * kMiB) << context;
    EXPECT_TRUE(got->sink.AllOnThisThread()) << context;
    ASSERT_EQ(got->sink.closed.size(), want.size()) << context;
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_TRUE(test::SameRecording(got->sink.closed[i], want[i])) << context;
    }
    if (threads == 1) {
      EXPECT_EQ(got->reads, 3u) << "one worker reads nothing ahead";
    }
  }
}

TEST(ParallelScan, EveryKernelGivesTheSameRecordings) {
  const std::vector<uint8_t> image = Image(5 * kMiB + 77, 15);
  const std::string before = SelectedFindMagicName();
  ScanJob job;
  job.offset = 1;
  ASSERT_TRUE(SelectFindMagic("scalar"));
  const auto reference = Scan(image, job, 1);
  EXPECT_EQ(reference->sink.closed.size(), test::ReferenceScan(image, 1, image.size()).size());
  for (const FindMagicKernel& k : FindMagicKernels()) {
    if (!k.supported) continue;
    ASSERT_TRUE(SelectFindMagic(k.name));
    ExpectSameReports(*Scan(image, job, 2), *reference, k.name);
  }
  ASSERT_TRUE(SelectFindMagic(before));
}

#if defined(__unix__)
// Peak memory of a whole korvane-scan process does not grow with the image: a sparse file of
// 1 GiB, and one of 128 MiB (larger than the maps a scan holds at once), both well under 64 MiB.
TEST(ParallelScan, MemoryStaysFlatOnALargeImage) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory is no measure of the scan's";
#endif
  test::TempDir dir;
  auto peak_kib = [&](uint64_t size) -> long {
    const std::string file = dir.File("sparse-" + std::to_string(size) + ".img");
    {
      std::vector<uint8_t> head = Image(4 * kMiB, 16);
      test::WriteFile(file, head);
    }
    if (truncate(file.c_str(), static_cast<off_t>(size)) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      dup2(null, 1);
      execl(KORVANE_SCAN_BINARY, "korvane-scan", "--quiet", file.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return -1;
    }
    return usage.ru_maxrss;  // KiB on Linux
  };
  const long small = peak_kib(128 * kMiB);
  const long large = peak_kib(1024 * kMiB);
  ASSERT_GT(small, 0);
  ASSERT_GT(large, 0);
  EXPECT_LT(large, 64 * 1024);
  EXPECT_LT(large, small + 8 * 1024)
      << "peak RSS grew with the image: " << small << " KiB, then " << large << " KiB";
}

// korvane-scan lists the same recordings with every kernel and any number of threads, chosen by
// option or by KORVANE_KERNEL, and says which kernel runs.
TEST(ParallelScan, CommandLineKernelAndWorkerChoices) {
  test::TempDir dir;
  const std::string image = dir.File("image.img");
  test::WriteFile(image, Image(5 * kMiB + 999, 17));
  auto run = [&](const std::string& env, const std::string& args, int* status) {
    const std::string command = env + " '" KORVANE_SCAN_BINARY "' " + args + " 2>&1";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    const int raw = pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
  };
  int status = 0;
  const std::string want =
      run("KORVANE_KERNEL=scalar", "--workers 1 --format json " + image, &status);
  ASSERT_EQ(status, 0) << want;
  EXPECT_NE(want.find("\"name\": \"12.dav\""), std::string::npos) << want;
  for (const FindMagicKernel& k : FindMagicKernels()) {
    if (!k.supported) continue;
    const std::string name = k.name;
    EXPECT_NE(
        run("KORVANE_KERNEL=" + name, "--version", &status).find("(search kernel: " + name + ";"),
        std::string::npos);
    EXPECT_EQ(run("KORVANE_KERNEL=" + name, "--format json " + image, &status), want) << name;
    EXPECT_EQ(run("KORVANE_KERNEL=bogus",
                  "--kernel " + name + " --workers 3 --format json " + image, &status),
              want)
        << name;
  }
  std::string out = run("KORVANE_KERNEL=bogus", "--version", &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(out.find("KORVANE_KERNEL=bogus: no such kernel (this CPU runs: scalar"),
            std::string::npos)
      << out;
  out = run("", "--kernel bogus " + image, &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(out.find("--kernel bogus"), std::string::npos) << out;
  run("", "--workers 9 " + image, &status);
  EXPECT_EQ(status, 2);
}
#endif

// The scan's observers get the bytes of the range in order whatever the number of threads,
// unreadable sectors as zeros, and after a stop exactly the chunks reported.
class Collector final : public RangeObserver {
 public:
  // Slower than the reading threads, which would run ahead into a chunk still being observed.
  void OnBytes(const uint8_t* data, size_t len) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bytes.insert(bytes.end(), data, data + len);
  }
  std::vector<uint8_t> bytes;
};

TEST(ScanObservers, GetTheRangeInOrderBesideTheSearch) {
  std::vector<uint8_t> image((5u << 20) + 777);
  uint32_t x = 12345;
  for (uint8_t& b : image) {
    x = x * 1103515245 + 12345;
    b = static_cast<uint8_t>(x >> 24);
  }
  for (unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(threads);
    auto device = std::make_unique<test::MemoryDevice>(image);
    device->concurrent = true;
    device->bad_sectors = {3000};  // inside the second MiB
    SourceReader reader(std::move(device));
    Collector a, b;
    ScanJob job;
    job.offset = 1000;
    job.threads = threads;
    job.observers = {&a, &b};
    test::RecordingSink sink;
    std::atomic<int> stop{0};
    const ScanResult result = ScanSource(reader, job, sink, stop);
    ASSERT_TRUE(result.status.ok()) << result.status.message();
    std::vector<uint8_t> want(image.begin() + 1000, image.end());
    std::fill(want.begin() + (3000 * 512 - 1000), want.begin() + (3001 * 512 - 1000), 0);
    EXPECT_TRUE(a.bytes == want);
    EXPECT_TRUE(b.bytes == want);

    // Stopped after the second chunk: the observers have had exactly two chunks.
    Collector c;
    job.observers = {&c};
    test::RecordingSink stopping;
    stopping.on_progress = [&stop](uint64_t done) {
      if (done >= 2 * kChunkSize) stop.store(1);
    };
    const ScanResult stopped = ScanSource(reader, job, stopping, stop);
    EXPECT_TRUE(stopped.Stopped());
    EXPECT_EQ(c.bytes.size(), stopped.scanned_bytes);
    EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), want.begin()));
  }
}

}  // namespace
}  // namespace korvane
