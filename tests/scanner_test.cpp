// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/scanner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <random>
#include <stdexcept>
#include <thread>

#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using test::MemoryDevice;
using test::RecordingSink;
using testimage::Fill;
using testimage::ImageBuilder;
using testimage::PackDate;

constexpr uint64_t kMiB = 1 << 20;

struct ScanRun {
  ScanResult result;
  RecordingSink sink;
  std::unique_ptr<SourceReader> reader;
  MemoryDevice* device = nullptr;
};

// How the scans of ScanBytes read the image, unless the job says: set by the Scanner tests'
// parameter.
ReadMethod g_read = ReadMethod::kPread;

std::unique_ptr<ScanRun> ScanBytes(const std::vector<uint8_t>& image, ScanJob job,
                                   std::function<void(MemoryDevice&)> setup = {},
                                   const std::atomic<int>* stop = nullptr) {
  auto run = std::make_unique<ScanRun>();
  auto device = std::make_unique<MemoryDevice>(image);
  run->device = device.get();
  if (job.read == ReadMethod::kAuto) job.read = g_read;
  device->mappable = job.read == ReadMethod::kMap;
  if (setup) setup(*device);
  run->reader = std::make_unique<SourceReader>(std::move(device));
  static const std::atomic<int> kNoStop{0};
  run->result = ScanSource(*run->reader, job, run->sink, stop ? *stop : kNoStop);
#ifdef __linux__
  EXPECT_EQ(run->result.mapped, job.read == ReadMethod::kMap) << "the path asked for is taken";
#endif
  return run;
}

// Each Scanner test runs on both ways of reading: chunks searched in maps of the source, and
// chunks copied with pread.
class Scanner : public ::testing::TestWithParam<ReadMethod> {
 protected:
  void SetUp() override { g_read = GetParam(); }
  void TearDown() override { g_read = ReadMethod::kPread; }
  bool Mapped() const {
#ifdef __linux__
    return GetParam() == ReadMethod::kMap;
#else
    return false;  // nothing is mapped there
#endif
  }
};

INSTANTIATE_TEST_SUITE_P(Reads, Scanner, ::testing::Values(ReadMethod::kMap, ReadMethod::kPread),
                         [](const ::testing::TestParamInfo<ReadMethod>& param) {
                           return std::string(param.param == ReadMethod::kMap ? "mmap" : "pread");
                         });

void ExpectSameRecordings(const std::vector<Recording>& got, const std::vector<Recording>& want,
                          const std::string& context) {
  ASSERT_EQ(got.size(), want.size()) << context;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(test::SameRecording(got[i], want[i]))
        << context << "\n got  " << test::Describe(got[i]) << "\n want " << test::Describe(want[i]);
  }
}

// Frames planted where chunk and range edges make mistakes likely: around every 256 KiB (chunk
// edges, and the edges of the pieces a chunk is searched in).
std::vector<uint8_t> EdgyImage(uint64_t size, uint32_t seed) {
  ImageBuilder image(size, seed % 2 ? Fill::kNoise : Fill::kZeros, seed);
  std::mt19937_64 rng(seed);
  const int64_t base = DaysFromCivil(2014, 3, 4) * kSecondsPerDay;
  int64_t t = base;
  for (uint64_t edge = kMiB / 4; edge < size + kMiB; edge += kMiB / 4) {
    for (int k = 0; k < 6; ++k) {
      const int64_t delta = static_cast<int64_t>(rng() % 48) - 24;
      const uint64_t pos = edge > static_cast<uint64_t>(-delta) ? edge + delta : 0;
      t += static_cast<int64_t>(rng() % 3);  // steps 0, 1 and 2 seconds
      if (rng() % 3 == 0) {
        image.AddStrayMagic(pos, testimage::PackEpochSeconds(t));
      } else {
        image.AddFrame({pos, testimage::PackEpochSeconds(t), static_cast<uint32_t>(rng() % 200)});
      }
    }
  }
  image.AddRecording(size / 3, base + 5000, 50, 3, 700);
  // Magics right at the image's end: cut off at 1, 2 and 3 bytes, and whole.
  image.AddStrayMagic(size - 4, PackDate(2014, 3, 4, 1, 2, 3));
  return image.bytes();
}

TEST_P(Scanner, MatchesThePlainPerPositionScanAtEveryEdge) {
  int cases = 0;
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    const uint64_t size = 3 * kMiB + (seed * 104729) % kMiB;
    const std::vector<uint8_t> image = EdgyImage(size, seed);
    std::mt19937_64 rng(seed * 77);
    std::vector<std::pair<uint64_t, uint64_t>> ranges = {
        {0, size}, {0, 3 * kMiB}, {512, size}, {0, kMiB - 2}, {1, 2 * kMiB + 1}, {0, 0}};
    for (int i = 0; i < 6; ++i) {
      const uint64_t offset = rng() % size;
      ranges.push_back({offset, rng() % (size - offset + 3 * kMiB)});  // may reach past the end
      ranges.push_back({offset, kMiB - (offset % 512) - rng() % 8});
    }
    for (const auto& [offset, length] : ranges) {
      ScanJob job;
      job.offset = offset;
      job.size = length;
      const auto run = ScanBytes(image, job);
      const std::string context = "seed " + std::to_string(seed) + " offset " +
                                  std::to_string(offset) + " size " + std::to_string(length);
      ExpectSameRecordings(run->sink.closed, test::ReferenceScan(image, offset, length), context);
      ASSERT_EQ(run->result.status.code(), ErrorCode::kOk) << context;
      EXPECT_EQ(run->result.scanned_bytes, length) << context;
      ++cases;
    }
  }
  EXPECT_EQ(cases, 6 * 18);
}

TEST_P(Scanner, TheRangesLastBytesAreSearchedWithRealBytes) {
  ImageBuilder image(3 * kMiB, Fill::kZeros);
  const uint64_t size = 2 * kMiB + 5000;
  // A magic starting in the range's last byte, its time word lying past the range.
  image.AddFrame({size - 1, PackDate(2014, 3, 4, 10, 20, 30), 100});
  // A header in the last 19 bytes of the first (whole) chunk.
  image.AddFrame({kMiB - 7, PackDate(2014, 3, 4, 8, 0, 0), 100});
  ScanJob job;
  job.size = size;
  const auto run = ScanBytes(image.bytes(), job);
  ASSERT_EQ(run->sink.closed.size(), 2u);
  EXPECT_EQ(run->sink.closed[0].position, kMiB - 7);
  EXPECT_EQ(run->sink.closed[0].StartText(), "2014-03-04 08:00:00");
  EXPECT_EQ(run->sink.closed[1].position, size - 1);
  EXPECT_EQ(run->sink.closed[1].StartText(), "2014-03-04 10:20:30");
  EXPECT_EQ(run->sink.closed[1].end_position, size - 1 + testimage::FrameLength(100));

  // One byte less and the last magic lies outside the range.
  job.size = size - 1;
  EXPECT_EQ(ScanBytes(image.bytes(), job)->sink.closed.size(), 1u);
}

TEST_P(Scanner, RecordingsSplitOnGapsAndBackwardSteps) {
  ImageBuilder image(kMiB, Fill::kNoise, 5);
  const int64_t t = DaysFromCivil(2014, 1, 31) * kSecondsPerDay + 86398;
  uint64_t pos = image.AddRecording(100, t, 6, 2, 300);  // 23:59:58 .. 00:00:00, 2 a second
  pos = image.AddRecording(pos, t + 4, 3, 1, 300);       // a step of 2 seconds
  pos = image.AddRecording(pos, t - 100, 1, 1, 300);     // backwards
  // A rejected frame between accepted ones does not split.
  image.AddFrame({pos, testimage::PackEpochSeconds(t + 1000), 50});
  image.AddFrame({pos + 200, PackDate(2020, 1, 1, 0, 0, 0), 50});
  image.AddFrame({pos + 400, testimage::PackEpochSeconds(t + 1001), 50});
  // Two magics back to back are two frames, each with the word 16 bytes after its own magic.
  const uint32_t later = testimage::PackEpochSeconds(t + 2000);
  uint8_t* twin = image.bytes().data() + pos + 1000;
  std::memcpy(twin, "DHAVDHAV", 8);
  std::memcpy(twin + 16, &later, 4);
  std::memcpy(twin + 20, &later, 4);

  ScanJob job;
  job.window = {DateValue(2014, 1, 1), DateValue(2014, 3, 1)};
  const auto run = ScanBytes(image.bytes(), job);
  const auto& rows = run->sink.closed;
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].StartText(), "2014-01-31 23:59:58");
  EXPECT_EQ(rows[0].EndText(), "2014-02-01 00:00:00");
  EXPECT_EQ(rows[0].frames, 6u);
  EXPECT_EQ(rows[0].position, 100u);
  EXPECT_EQ(rows[1].frames, 3u);
  EXPECT_EQ(rows[2].StartText(), rows[2].EndText());
  EXPECT_EQ(rows[3].frames, 2u) << "the frame of 2020 lies outside the window";
  EXPECT_EQ(rows[3].EndText(), "2014-02-01 00:16:39");
  EXPECT_EQ(rows[4].frames, 2u);
  EXPECT_EQ(rows[4].position, pos + 1000);
  EXPECT_EQ(rows[4].end_position, pos + 1004 + 24) << "a stray magic's length counts as 24";
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].Name(), std::to_string(i) + ".dav");
    EXPECT_TRUE(test::SameRecording(run->sink.opened[i],
                                    Recording{i, rows[i].start, rows[i].start, rows[i].position,
                                              run->sink.opened[i].end_position, 1}));
  }
}

TEST_P(Scanner, PositionsAreAbsolute) {
  ImageBuilder image(kMiB, Fill::kZeros);
  image.AddFrame({612, PackDate(2014, 3, 4, 0, 0, 0), 10});
  ScanJob job;
  job.offset = 512;
  job.size = 4096;
  const auto run = ScanBytes(image.bytes(), job);
  ASSERT_EQ(run->sink.closed.size(), 1u);
  EXPECT_EQ(run->sink.closed[0].position, 612u);
}

TEST_P(Scanner, ProgressCountsBytesAndEndsAtTheEnd) {
  const std::vector<uint8_t> image(3 * kMiB + 100, 0);
  ScanJob job;
  job.size = 2 * kMiB + 300;
  auto run = ScanBytes(image, job);
  ASSERT_EQ(run->sink.starts, std::vector<uint64_t>{2 * kMiB + 300});
  ASSERT_EQ(run->sink.progress.size(), 3u);
  EXPECT_EQ(run->sink.progress[0].done, kMiB);
  EXPECT_EQ(run->sink.progress[1].done, 2 * kMiB);
  EXPECT_EQ(run->sink.progress[2].done, 2 * kMiB + 300);
  EXPECT_EQ(run->sink.progress[2].total, 2 * kMiB + 300);

  // Size 0: nothing read, progress at its (empty) end.
  job.size = 0;
  run = ScanBytes(image, job);
  EXPECT_TRUE(run->device->calls.empty());
  ASSERT_EQ(run->sink.progress.size(), 1u);
  EXPECT_EQ(run->sink.progress[0].done, 0u);

  // A range reaching far past the source's end: no reads past it, and the bar counts only the
  // bytes that are read (not a total of petabytes that is never reached).
  job.offset = kMiB;
  job.size = 1ull << 50;
  run = ScanBytes(image, job);
  EXPECT_EQ(run->result.status.code(), ErrorCode::kOk);
  // Mapped, the last two chunks are read: their overlap reaches past the source's end.
  EXPECT_EQ(run->device->calls.size(), Mapped() ? 2u : 3u);
  const uint64_t readable = image.size() - kMiB;
  EXPECT_EQ(run->sink.starts, std::vector<uint64_t>{readable});
  EXPECT_EQ(run->sink.progress.back().done, readable);
  for (const auto& p : run->sink.progress) EXPECT_EQ(p.total, readable);
  EXPECT_EQ(run->result.scanned_bytes, 1ull << 50);
  EXPECT_EQ(run->result.source_size, image.size());
  EXPECT_EQ(run->result.ReadableBytes(job.offset), readable);

  // An offset past the end: nothing to read, and the bar ends at once.
  job.offset = 1ull << 62;
  job.size = std::nullopt;
  run = ScanBytes(image, job);
  EXPECT_EQ(run->result.range_bytes, 0u);
  EXPECT_TRUE(run->device->calls.empty());
  job.size = 4096;
  run = ScanBytes(image, job);
  EXPECT_EQ(run->result.status.code(), ErrorCode::kOk);
  EXPECT_TRUE(run->device->calls.empty());
  EXPECT_EQ(run->sink.starts, std::vector<uint64_t>{0});
  ASSERT_EQ(run->sink.progress.size(), 1u);
  EXPECT_EQ(run->sink.progress[0].total, 0u);
}

TEST_P(Scanner, StopEndsAtTheNextChunkBoundaryAndClosesTheOpenRecording) {
  ImageBuilder image(5 * kMiB, Fill::kNoise, 9);
  image.AddRecording(kMiB - 5000, DaysFromCivil(2014, 3, 4) * kSecondsPerDay, 400, 1, 9000);
  std::atomic<int> stop{0};
  ScanJob job;
  auto run = std::make_unique<ScanRun>();
  job.read = GetParam();
  auto device = std::make_unique<MemoryDevice>(image.bytes());
  device->mappable = Mapped();
  MemoryDevice* raw = device.get();
  SourceReader reader(std::move(device));
  run->sink.on_progress = [&](uint64_t done) {
    if (done == 2 * kMiB) stop = 1;
  };
  const ScanResult result = ScanSource(reader, job, run->sink, stop);
  EXPECT_EQ(result.status.code(), ErrorCode::kStopped);
  EXPECT_EQ(result.scanned_bytes, 2 * kMiB);
  EXPECT_EQ(raw->calls.size(), Mapped() ? 0u : 2u);
  ASSERT_EQ(run->sink.closed.size(), 1u);
  EXPECT_EQ(run->sink.closed[0].end_position,
            test::ReferenceScan(image.bytes(), 0, 2 * kMiB)[0].end_position);
  EXPECT_EQ(run->sink.progress.back().done, 2 * kMiB) << "a stopped bar stays where it stopped";

  // A stop request after the last chunk changes nothing.
  stop = 0;
  run->sink = RecordingSink{};
  run->sink.on_progress = [&](uint64_t done) {
    if (done == 5 * kMiB) stop = 1;
  };
  auto reader2 = SourceReader(std::make_unique<MemoryDevice>(image.bytes()));
  EXPECT_EQ(ScanSource(reader2, job, run->sink, stop).status.code(), ErrorCode::kOk);
}

TEST_P(Scanner, UnreadableSectorsAreCountedAndTheRestIsFound) {
  const std::vector<uint8_t> image = EdgyImage(4 * kMiB + 1000, 3);
  ScanJob job;
  const uint64_t bad_sector = (2 * kMiB + 4096) / 512;
  const auto run = ScanBytes(image, job, [&](MemoryDevice& d) {
    d.bad_sectors = {bad_sector, bad_sector + 1, (kMiB / 512) - 1 /* in an overlap too */};
  });
  EXPECT_EQ(run->result.status.code(), ErrorCode::kOk);
  EXPECT_EQ(run->result.unreadable_bytes, 3u * 512) << "overlap bytes are not counted twice";
  EXPECT_EQ(run->result.read_error, "Input/output error");
  std::vector<uint8_t> zeroed = image;
  for (uint64_t s : run->device->bad_sectors) {
    std::fill_n(zeroed.begin() + static_cast<ptrdiff_t>(s * 512), 512, 0);
  }
  ExpectSameRecordings(run->sink.closed, test::ReferenceScan(zeroed, 0, image.size()),
                       "bad sectors read as zeros");
}

TEST_P(Scanner, ShortReadsAndAShrinkingSourceLoseNothingThatExists) {
  const std::vector<uint8_t> image = EdgyImage(3 * kMiB + 77, 4);
  ScanJob job;
  job.offset = 1000;  // every read goes through the bounce buffer
  auto run = ScanBytes(image, job, [](MemoryDevice& d) { d.max_read = 4093; });
  ExpectSameRecordings(run->sink.closed, test::ReferenceScan(image, 1000, image.size()), "short");

  // The source loses its last MiB after the first read: those bytes read as zeros and nothing
  // crashes, but the scan says that the source shrank, and to what size, and counts the bytes
  // it could no longer read as unreadable.
  // Mapped, the first two chunks lie in the first map and the shrinking comes with the read of
  // the last (its overlap lies past the end), after they were searched whole.
  run = ScanBytes(image, job, [](MemoryDevice& d) {
    d.before_read = [](MemoryDevice& dev) {
      const bool read = !dev.calls.empty() || !dev.maps.empty();
      if (read && dev.bytes().size() > 2 * kMiB) dev.bytes().resize(2 * kMiB);
    };
  });
  const uint64_t kept = Mapped() ? 2 * kMiB + 1000 : 2 * kMiB;
  EXPECT_EQ(run->result.status.code(), ErrorCode::kOk);
  EXPECT_EQ(run->result.unreadable_bytes, image.size() - kept);
  EXPECT_EQ(run->result.shrunk_to, std::optional<uint64_t>(2 * kMiB));
  std::vector<uint8_t> shrunk(image.begin(), image.begin() + static_cast<ptrdiff_t>(kept));
  ExpectSameRecordings(run->sink.closed, test::ReferenceScan(shrunk, 1000, image.size()), "shrunk");
}

// Whatever fails inside a scan ends it as a failed scan with the reason, never the process: an
// exception on a reading thread (here an allocation that fails), on the calling thread, or in
// the sink; and a sink that cannot take what it is given stops the scan with its own reason.
TEST_P(Scanner, FailuresInsideTheScanEndItWithTheirReason) {
  const std::vector<uint8_t> image = EdgyImage(6 * kMiB, 7);
  ScanJob job;
  job.read = ReadMethod::kPread;  // the failures come from reads
  for (const unsigned threads : {1u, 2u, 4u}) {
    job.threads = threads;
    const std::thread::id caller = std::this_thread::get_id();
    auto other_read = std::make_shared<std::atomic<bool>>(false);
    const auto run = ScanBytes(image, job, [&](MemoryDevice& d) {
      d.concurrent = true;
      d.before_read = [caller, threads, other_read](MemoryDevice& dev) {
        // With several threads only the others fail (the caller waits for one of them to read);
        // with one, its third read does.
        if (threads == 1) {
          if (dev.calls.size() == 2) throw std::bad_alloc();
          return;
        }
        if (std::this_thread::get_id() != caller) {
          other_read->store(true);
          throw std::bad_alloc();
        }
        for (int i = 0; i < 1000 && !other_read->load(); ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      };
    });
    const std::string context = "threads " + std::to_string(threads);
    EXPECT_EQ(run->result.status.code(), ErrorCode::kNoMemory) << context;
    EXPECT_NE(run->result.status.message().find("not enough memory"), std::string::npos)
        << run->result.status.message();
    EXPECT_FALSE(run->result.Ran()) << context;
    EXPECT_LT(run->result.scanned_bytes, image.size()) << context;
  }

  // The sink refuses the second chunk's progress: nothing more is read or reported.
  class RefusingSink : public RecordingSink {
   public:
    Status OnProgress(uint64_t done, uint64_t total) override {
      RecordingSink::OnProgress(done, total).IgnoreError();
      if (done < 2 * kMiB) return Status::Ok();
      return Status::Error(ErrorCode::kWriteFailed, "cannot write the list: disk full");
    }
  };
  job.read = GetParam();
  for (const unsigned threads : {1u, 3u}) {
    job.threads = threads;
    auto device = std::make_unique<MemoryDevice>(image);
    device->concurrent = true;
    device->mappable = Mapped();
    MemoryDevice* raw = device.get();
    SourceReader reader(std::move(device));
    RefusingSink sink;
    std::atomic<int> stop{0};
    const ScanResult result = ScanSource(reader, job, sink, stop);
    const std::string context = "threads " + std::to_string(threads);
    EXPECT_EQ(result.status.code(), ErrorCode::kWriteFailed) << context;
    EXPECT_EQ(result.status.message(), "cannot write the list: disk full") << context;
    EXPECT_EQ(sink.progress.size(), 2u) << context;
    const size_t closed = sink.closed.size();
    EXPECT_LE(closed, test::ReferenceScan(image, 0, 2 * kMiB).size()) << context;
    if (threads == 1 && !Mapped()) {
      EXPECT_EQ(raw->calls.size(), 2u) << "nothing is read after the failure";
    }

    // A sink that throws is a failed scan too.
    class ThrowingSink : public RecordingSink {
     public:
      Status OnRecordingOpened(const Recording&) override { throw std::runtime_error("boom"); }
    };
    ThrowingSink throwing;
    SourceReader again(std::make_unique<MemoryDevice>(image));
    const ScanResult thrown = ScanSource(again, job, throwing, stop);
    EXPECT_EQ(thrown.status.code(), ErrorCode::kInternal) << context;
    EXPECT_NE(thrown.status.message().find("boom"), std::string::npos) << thrown.status.message();
    EXPECT_TRUE(throwing.closed.empty()) << "a failed sink is not called again";
  }
}

// The segmenter is a part of its own: a scan hands it every accepted frame, in position order,
// with its position, end and time, whatever the number of reading threads.
TEST_P(Scanner, APluggedSegmenterReceivesEveryFrameInOrder) {
  const std::vector<uint8_t> image = EdgyImage(5 * kMiB + 123, 8);
  class FrameList final : public Segmenter {
   public:
    Status AddFrame(const Frame& frame) override {
      frames.push_back(frame);
      return Status::Ok();
    }
    Status Finish() override {
      finished = true;
      return Status::Ok();
    }
    uint64_t count() const override { return 0; }
    std::vector<Frame> frames;
    bool finished = false;
  };
  // The frames by the plain per-position reading of the rules.
  std::vector<Frame> want;
  for (uint64_t p = 0; p + 4 <= image.size(); ++p) {
    if (LoadLe32(image.data() + p) != kFrameMagicWord) continue;
    uint8_t header[24] = {};
    std::copy_n(image.begin() + static_cast<ptrdiff_t>(p), std::min<uint64_t>(24, image.size() - p),
                header);
    want.push_back({p, p + FrameLengthOf(header), PackedTimeOf(header)});
  }
  ASSERT_GT(want.size(), 20u);
  for (const unsigned threads : {1u, 3u}) {
    ScanJob job;
    job.threads = threads;
    job.read = GetParam();
    auto device = std::make_unique<MemoryDevice>(image);
    device->concurrent = true;
    device->mappable = Mapped();
    SourceReader reader(std::move(device));
    FrameList frames;
    RecordingSink sink;
    std::atomic<int> stop{0};
    const ScanResult result = ScanSource(reader, job, frames, sink, stop);
    ASSERT_TRUE(result.status.ok()) << result.status.message();
    EXPECT_TRUE(frames.finished);
    EXPECT_TRUE(sink.closed.empty()) << "recordings are the segmenter's to report";
    ASSERT_EQ(frames.frames.size(), want.size()) << "threads " << threads;
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(frames.frames[i].position, want[i].position) << i;
      EXPECT_EQ(frames.frames[i].end_position, want[i].end_position) << i;
      EXPECT_EQ(frames.frames[i].packed_time, want[i].packed_time) << i;
    }
  }
}

TEST_P(Scanner, AnUnopenableSourceIsReported) {
  RecordingSink sink;
  std::atomic<int> stop{0};
  ScanJob job;
  job.source = "/nonexistent/dir/disk.img";
  const ScanResult result = ScanSource(job, sink, stop);
  EXPECT_EQ(result.status.code(), ErrorCode::kOpenFailed);
  EXPECT_FALSE(result.Ran());
  EXPECT_NE(result.status.message().find("/nonexistent/dir/disk.img"), std::string::npos);
  EXPECT_NE(result.status.message().find(test::NoSuchFolderText()), std::string::npos)
      << result.status.message();
  EXPECT_TRUE(sink.starts.empty());
  EXPECT_TRUE(sink.progress.empty());
}

TEST_P(Scanner, ScansFilesAndReadOnlyLoopDevicesAlike) {
  test::TempDir dir;
  const std::vector<uint8_t> image = EdgyImage(3 * kMiB, 5);  // a multiple of 512 for losetup
  const std::string file = dir.File("disk.img");
  test::WriteFile(file, image);
  std::atomic<int> stop{0};
  ScanJob job;
  job.source = file;
  job.read = GetParam();
  RecordingSink from_file;
  const ScanResult scanned = ScanSource(job, from_file, stop);
  ASSERT_EQ(scanned.status.code(), ErrorCode::kOk);
  EXPECT_EQ(scanned.mapped, Mapped());
  ExpectSameRecordings(from_file.closed, test::ReferenceScan(image, 0, image.size()), "file");

#ifdef _WIN32
  GTEST_SKIP() << "loop devices are a Linux facility";
#endif
  const std::string attach = "losetup -r -f --show " + file + " > " + dir.File("loop") + " 2>&1";
  if (std::system(attach.c_str()) != 0) GTEST_SKIP() << "losetup is not available here";
  std::ifstream in(dir.File("loop"));
  std::string loop;
  std::getline(in, loop);
  const auto before = std::filesystem::last_write_time(file);
  job.source = loop;
  RecordingSink from_device;
  const ScanResult result = ScanSource(job, from_device, stop);
  std::system(("losetup -d " + loop).c_str());
  ASSERT_EQ(result.status.code(), ErrorCode::kOk) << result.status.message();
  EXPECT_FALSE(result.mapped) << "a drive is read with pread";
  EXPECT_EQ(result.range_bytes, image.size());
  ExpectSameRecordings(from_device.closed, from_file.closed, "loop device " + loop);

  // The image behind the device is as it was.
  EXPECT_EQ(std::filesystem::last_write_time(file), before);
  std::ifstream back(file, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(back)), {});
  EXPECT_TRUE(bytes == image);
}

}  // namespace
}  // namespace korvane
