// SPDX-License-Identifier: GPL-3.0-or-later
// Faults of real files under a scan: interrupted, short and failing reads of the real POSIX
// device (injected where the device calls pread), and files that shrink or vanish while they are
// scanned. This executable replaces pread for itself; everything else it runs is the real code.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <sstream>

#include "cli/scan_command.h"
#include "scan/map_fault.h"
#include "scan/scanner.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace {

// What the next preads do. Only reads of `fd` are touched; everything else passes through.
struct PreadFaults {
  int fd = -1;
  int eintr_every = 0;             // every Nth call fails with EINTR before reading
  size_t max_len = SIZE_MAX;       // deliver at most this many bytes a call
  std::set<uint64_t> bad_sectors;  // a read touching one of these fails with EIO
  uint64_t ends_at = UINT64_MAX;   // the file shrank to this size after it was opened
  uint64_t throw_at = UINT64_MAX;  // a read at or past this offset throws std::bad_alloc
  int calls = 0;
  int interrupted = 0;
  int failed = 0;
};

std::mutex g_faults_mutex;
PreadFaults g_faults;

using PreadFn = ssize_t (*)(int, void*, size_t, off_t);

ssize_t FaultyPread(PreadFn real, int fd, void* buf, size_t n, off_t offset) {
  {
    std::lock_guard<std::mutex> lock(g_faults_mutex);
    PreadFaults& f = g_faults;
    if (fd == f.fd) {
      ++f.calls;
      if (f.eintr_every > 0 && f.calls % f.eintr_every == 0) {
        ++f.interrupted;
        errno = EINTR;
        return -1;
      }
      n = std::min(n, f.max_len);
      const uint64_t pos = static_cast<uint64_t>(offset);
      if (pos >= f.throw_at) throw std::bad_alloc();
      if (pos >= f.ends_at) return 0;
      n = static_cast<size_t>(std::min<uint64_t>(n, f.ends_at - pos));
      for (uint64_t s = pos / 512; n > 0 && s * 512 < pos + n; ++s) {
        if (f.bad_sectors.count(s)) {
          ++f.failed;
          errno = EIO;
          return -1;
        }
      }
    }
  }
  return real(fd, buf, n, offset);
}

}  // namespace

extern "C" ssize_t pread(int fd, void* buf, size_t n, off_t offset) {
  static const auto real = reinterpret_cast<PreadFn>(dlsym(RTLD_NEXT, "pread"));
  return FaultyPread(real, fd, buf, n, offset);
}

extern "C" ssize_t pread64(int fd, void* buf, size_t n, off_t offset) {
  static const auto real = reinterpret_cast<PreadFn>(dlsym(RTLD_NEXT, "pread64"));
  return FaultyPread(real, fd, buf, n, offset);
}

namespace korvane {
namespace {

constexpr uint64_t kMiB = 1 << 20;

// Arms the faults for the next file that the process opens, and disarms them when it goes.
class ArmedFaults {
 public:
  explicit ArmedFaults(PreadFaults faults) {
    // The next descriptor open() returns is the lowest free one.
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(probe);
    std::lock_guard<std::mutex> lock(g_faults_mutex);
    g_faults = std::move(faults);
    g_faults.fd = probe;
  }
  ~ArmedFaults() {
    std::lock_guard<std::mutex> lock(g_faults_mutex);
    g_faults = PreadFaults{};
  }
  PreadFaults Seen() const {
    std::lock_guard<std::mutex> lock(g_faults_mutex);
    return g_faults;
  }
};

std::vector<uint8_t> Image(uint64_t size, uint32_t seed) {
  testimage::ImageBuilder image(size, testimage::Fill::kNoise, seed);
  const int64_t t0 = DaysFromCivil(2014, 3, 4) * kSecondsPerDay;
  uint64_t pos = 3000;
  for (int i = 0; pos + 300 * 1100 < size; ++i) {
    pos = image.AddRecording(pos, t0 + i * 3600, 300, 2, 1000) + 70000;
  }
  return image.bytes();
}

struct FileScan {
  ScanResult result;
  test::RecordingSink sink;
};

// `threads` 1 reads chunk after chunk, so a change made from the progress callback is seen by
// every later read; parallel threads may have read ahead of it. The faults above are pread's:
// scans read with pread unless told.
std::unique_ptr<FileScan> ScanFile(const std::string& path,
                                   std::function<void(uint64_t)> on_progress = {},
                                   unsigned threads = 0, ReadMethod read = ReadMethod::kPread) {
  auto scan = std::make_unique<FileScan>();
  scan->sink.on_progress = std::move(on_progress);
  ScanJob job;
  job.source = path;
  job.threads = threads;
  job.read = read;
  static const std::atomic<int> kNoStop{0};
  scan->result = ScanSource(job, scan->sink, kNoStop);
  return scan;
}

void ExpectRecordings(const std::vector<Recording>& got, const std::vector<Recording>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(test::SameRecording(got[i], want[i]))
        << "got " << test::Describe(got[i]) << "\nwant " << test::Describe(want[i]);
  }
}

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = Image(3 * kMiB + 4321, 21);
    path_ = dir_.File("disk.img");
    test::WriteFile(path_, image_);
  }
  test::TempDir dir_;
  std::vector<uint8_t> image_;
  std::string path_;
};

TEST_F(FaultTest, InterruptedAndShortReadsOfARealFileLoseNothing) {
  const auto want = test::ReferenceScan(image_, 0, image_.size());
  ASSERT_GT(want.size(), 3u);
  for (const auto& [eintr_every, max_len] :
       std::vector<std::pair<int, size_t>>{{2, SIZE_MAX}, {1000000, 1000}, {3, 4093}}) {
    PreadFaults armed;
    armed.eintr_every = eintr_every;
    armed.max_len = max_len;
    ArmedFaults faults(armed);
    const auto scan = ScanFile(path_);
    const PreadFaults seen = faults.Seen();
    EXPECT_EQ(scan->result.status.code(), ErrorCode::kOk);
    EXPECT_EQ(scan->result.unreadable_bytes, 0u);
    EXPECT_EQ(scan->result.read_error, "");
    ExpectRecordings(scan->sink.closed, want);
    EXPECT_GT(seen.calls, 4) << "the faults were armed for the scanned file";
    if (eintr_every == 2) {
      EXPECT_GT(seen.interrupted, 0);
    }
  }
}

TEST_F(FaultTest, FailingSectorsOfARealFileAreSalvagedAroundAndCounted) {
  // Sectors in the middle of a chunk, at a chunk's start, in its overlap, and the source's last
  // (partial) sector.
  const std::set<uint64_t> bad = {100, 101, 2048, 2047, (image_.size() - 1) / 512};
  PreadFaults armed;
  armed.bad_sectors = bad;
  ArmedFaults faults(armed);
  const auto scan = ScanFile(path_);
  EXPECT_EQ(scan->result.status.code(), ErrorCode::kOk);
  const uint64_t last_sector_bytes = image_.size() % 512;
  EXPECT_EQ(scan->result.unreadable_bytes, 4 * 512 + last_sector_bytes);
  EXPECT_EQ(scan->result.read_error, std::strerror(EIO));
  std::vector<uint8_t> zeroed = image_;
  for (uint64_t s : bad) {
    std::fill(
        zeroed.begin() + static_cast<ptrdiff_t>(s * 512),
        zeroed.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(s * 512 + 512, zeroed.size())),
        0);
  }
  ExpectRecordings(scan->sink.closed, test::ReferenceScan(zeroed, 0, zeroed.size()));
}

// korvane-scan's exit status and message for partly and wholly unreadable sources, run
// in-process so that the injected faults apply.
TEST_F(FaultTest, TheCommandLineReportsUnreadableBytes) {
  auto run = [&](std::set<uint64_t> bad, std::vector<std::string> args) {
    const std::string out = dir_.File("out"), err = dir_.File("err");
    std::FILE* o = std::fopen(out.c_str(), "w");
    std::FILE* e = std::fopen(err.c_str(), "w");
    args.insert(args.end(), {"--read", "pread", path_});
    PreadFaults armed;
    armed.bad_sectors = std::move(bad);
    ArmedFaults faults(armed);
    // The command opens the file after the two streams above.
    static const std::atomic<int> kNoStop{0};
    const int status = cli::RunScanCommand(args, {o, e, false}, kNoStop);
    std::fclose(o);
    std::fclose(e);
    std::ifstream in(err);
    std::stringstream text;
    text << in.rdbuf();
    return std::make_pair(status, text.str());
  };
  auto [status, err] = run({5, 6}, {"--quiet"});
  EXPECT_EQ(status, cli::kExitUnreadable);
  EXPECT_NE(err.find("1024 bytes could not be read (Input/output error)"), std::string::npos)
      << err;

  // Every sector of the range unreadable: the source failed.
  std::set<uint64_t> all;
  for (uint64_t s = 0; s < 16; ++s) all.insert(s);
  std::tie(status, err) = run(all, {"--size", "8192"});
  EXPECT_EQ(status, cli::kExitSourceFailed) << err;
  std::tie(status, err) = run(all, {"--size", "8704"});
  EXPECT_EQ(status, cli::kExitUnreadable) << "one sector of the range was read";
}

// korvane-scan on a source that shrinks while it is scanned (exit 3, saying so and to what size)
// and on a scan whose reading fails with an exception (exit 1 with the reason, not an abort).
TEST_F(FaultTest, TheCommandLineReportsAShrunkSourceAndAFailedRead) {
  auto run = [&](PreadFaults armed, std::vector<std::string> args) {
    const std::string out = dir_.File("out"), err = dir_.File("err");
    std::FILE* o = std::fopen(out.c_str(), "w");
    std::FILE* e = std::fopen(err.c_str(), "w");
    args.insert(args.end(), {"--read", "pread", path_});
    ArmedFaults faults(std::move(armed));
    static const std::atomic<int> kNoStop{0};
    const int status = cli::RunScanCommand(args, {o, e, false}, kNoStop);
    std::fclose(o);
    std::fclose(e);
    return std::make_tuple(status, test::Slurp(out), test::Slurp(err));
  };
  const uint64_t cut = kMiB + 1000;
  PreadFaults shrink;
  shrink.ends_at = cut;
  auto [status, out, err] = run(shrink, {"--quiet"});
  EXPECT_EQ(status, cli::kExitUnreadable) << err;
  EXPECT_NE(err.find("the source shrank to " + std::to_string(cut) + " bytes"), std::string::npos)
      << err;
  EXPECT_NE(err.find(std::to_string(image_.size() - cut) + " bytes could not be read"),
            std::string::npos)
      << err;

  for (const char* threads : {"1", "2"}) {
    PreadFaults failing;
    failing.throw_at = 2 * kMiB;
    std::tie(status, out, err) = run(failing, {"--workers", threads, "--format", "json"});
    EXPECT_EQ(status, cli::kExitSourceFailed) << threads << " " << err;
    EXPECT_NE(err.find("not enough memory"), std::string::npos) << err;
    EXPECT_EQ(out.substr(0, 1), "[") << out;
    EXPECT_EQ(out.substr(out.size() - 2), "]\n") << "the list is closed: " << out;
  }
}

// The same truncation, at the same point of the scan, on both ways of reading: mapped, the
// pages past the new end raise SIGBUS and their chunks are read again with pread. No crash, and
// the same result.
TEST_F(FaultTest, AFileThatShrinksDuringTheScanReadsAsZerosPastItsNewEnd) {
  const uint64_t cut = kMiB + kMiB / 2;
  std::optional<ScanResult> pread_result;
  std::vector<Recording> pread_closed;
  for (const ReadMethod read : {ReadMethod::kPread, ReadMethod::kMap}) {
    const std::string context = read == ReadMethod::kMap ? "mmap" : "pread";
    test::WriteFile(path_, image_);
    const auto scan = ScanFile(
        path_,
        [&](uint64_t done) {
          if (done == kMiB) std::filesystem::resize_file(path_, cut);
        },
        /*threads=*/1, read);
    EXPECT_EQ(scan->result.mapped, read == ReadMethod::kMap) << context;
    EXPECT_EQ(scan->result.status.code(), ErrorCode::kOk) << context;
    // The bytes the file held when the scan began and no longer holds could not be read.
    EXPECT_EQ(scan->result.unreadable_bytes, image_.size() - cut) << context;
    EXPECT_EQ(scan->result.shrunk_to, std::optional<uint64_t>(cut)) << context;
    EXPECT_EQ(scan->result.scanned_bytes, image_.size()) << context;
    const std::vector<uint8_t> shrunk(image_.begin(), image_.begin() + cut);
    ExpectRecordings(scan->sink.closed, test::ReferenceScan(shrunk, 0, image_.size()));
    if (!pread_result) {
      pread_result = scan->result;
      pread_closed = scan->sink.closed;
      continue;
    }
    EXPECT_EQ(scan->result.matches, pread_result->matches);
    EXPECT_EQ(scan->result.invalid_matches, pread_result->invalid_matches);
    EXPECT_EQ(scan->result.data_matches, pread_result->data_matches);
    EXPECT_EQ(scan->result.recordings, pread_result->recordings);
    EXPECT_EQ(scan->result.camera_recordings, pread_result->camera_recordings);
    ExpectRecordings(scan->sink.closed, pread_closed);
  }

  // Cut behind the scan: the bytes already read stand, the new size is said all the same.
  for (const ReadMethod read : {ReadMethod::kPread, ReadMethod::kMap}) {
    test::WriteFile(path_, image_);
    const auto behind = ScanFile(
        path_,
        [&](uint64_t done) {
          if (done == 2 * kMiB) std::filesystem::resize_file(path_, cut);
        },
        /*threads=*/1, read);
    EXPECT_EQ(behind->result.status.code(), ErrorCode::kOk);
    EXPECT_EQ(behind->result.shrunk_to, std::optional<uint64_t>(cut));
    EXPECT_EQ(behind->result.unreadable_bytes, image_.size() - 2 * kMiB);
  }

  // Two threads, cut while chunks are searched in their maps: whatever each thread had read
  // before the cut stands, the rest is counted; never a crash.
  for (int round = 0; round < 20; ++round) {
    test::WriteFile(path_, image_);
    const auto racing = ScanFile(
        path_,
        [&](uint64_t done) {
          if (done == kMiB) std::filesystem::resize_file(path_, cut);
        },
        /*threads=*/2, ReadMethod::kMap);
    EXPECT_EQ(racing->result.status.code(), ErrorCode::kOk);
    EXPECT_LE(racing->result.unreadable_bytes, image_.size() - cut);
    if (racing->result.unreadable_bytes != 0) {
      EXPECT_EQ(racing->result.shrunk_to, std::optional<uint64_t>(cut));
    }
  }
}

TEST_F(FaultTest, ASourceDeletedDuringTheScanIsScannedToItsEnd) {
  for (const ReadMethod read : {ReadMethod::kPread, ReadMethod::kMap}) {
    test::WriteFile(path_, image_);
    const auto scan = ScanFile(
        path_,
        [&](uint64_t done) {
          if (done == kMiB) std::filesystem::remove(path_);
        },
        0, read);
    EXPECT_FALSE(std::filesystem::exists(path_));
    EXPECT_EQ(scan->result.status.code(), ErrorCode::kOk);
    EXPECT_EQ(scan->result.unreadable_bytes, 0u);
    ExpectRecordings(scan->sink.closed, test::ReferenceScan(image_, 0, image_.size()));
  }
}

// The scan's SIGBUS handler catches only faults on the mapped bytes being read, hands every other
// SIGBUS to the action that was there before, and puts that action back when the scans end.
std::atomic<int> g_foreign_sigbus{0};
void CountSigbus(int, siginfo_t*, void*) {
  ++g_foreign_sigbus;
}

TEST(MapFault, CatchesOnlyItsOwnFaultsAndRestoresThePreviousAction) {
  struct sigaction counting {
  }, before{};
  counting.sa_sigaction = CountSigbus;
  counting.sa_flags = SA_SIGINFO;
  sigemptyset(&counting.sa_mask);
  ASSERT_EQ(sigaction(SIGBUS, &counting, &before), 0);

  // A page past the end of a mapped memory file cannot be delivered.
  const long page = sysconf(_SC_PAGESIZE);
  const int fd = memfd_create("map-fault-test", MFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, page), 0);
  auto* map = static_cast<uint8_t*>(mmap(nullptr, 2 * page, PROT_READ, MAP_SHARED, fd, 0));
  close(fd);
  ASSERT_NE(map, MAP_FAILED);
  {
    MapFaultScope scope;
    ASSERT_TRUE(scope.ok());
    {
      MapFaultScope another;  // a second scan at the same time
      ASSERT_TRUE(another.ok());
    }
    uint8_t copy[16];
    EXPECT_TRUE(CopyMappedBytes(copy, map + page - 16, 16));
    EXPECT_FALSE(CopyMappedBytes(copy, map + page - 8, 16)) << "the second page faults";
    EXPECT_FALSE(CopyMappedBytes(copy, map + page, 1));
    EXPECT_TRUE(CopyMappedBytes(copy, map, 1)) << "and the handler still works after a jump";
    EXPECT_EQ(g_foreign_sigbus.load(), 0);
    // Not from a mapped read: the previous handler gets it.
    raise(SIGBUS);
    EXPECT_EQ(g_foreign_sigbus.load(), 1);
  }
  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGBUS, nullptr, &now), 0);
  EXPECT_EQ(now.sa_sigaction, &CountSigbus) << "the previous action is back";
  raise(SIGBUS);
  EXPECT_EQ(g_foreign_sigbus.load(), 2);
  munmap(map, 2 * page);
  sigaction(SIGBUS, &before, nullptr);
}

TEST(MapFaultDeathTest, ASigbusOutsideAMappedReadStillEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        signal(SIGBUS, SIG_DFL);
        MapFaultScope scope;
        raise(SIGBUS);
      },
      ::testing::KilledBySignal(SIGBUS), "");
  EXPECT_EXIT(
      {
        // A real fault outside any mapped read, with the default action before the scan.
        signal(SIGBUS, SIG_DFL);
        const int fd = memfd_create("map-fault-test", MFD_CLOEXEC);
        auto* map =
            static_cast<volatile uint8_t*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
        MapFaultScope scope;
        static_cast<void>(map[0]);
      },
      ::testing::KilledBySignal(SIGBUS), "");
}

}  // namespace
}  // namespace korvane
