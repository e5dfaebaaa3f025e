// SPDX-License-Identifier: GPL-3.0-or-later
// The camera grouping and what recordings hold: completeness judged on the source's bytes across
// chunks and scan threads, matches inside complete frames taken as data, per-channel recordings.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "scan/scanner.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using test::MemoryDevice;
using test::RecordingSink;
using testimage::Fill;
using testimage::FrameSpec;
using testimage::ImageBuilder;
using testimage::PackEpochSeconds;

constexpr uint64_t kMiB = 1 << 20;
const int64_t kT0 = DaysFromCivil(2014, 3, 4) * kSecondsPerDay + 1;  // 2014-03-04 00:00:01

struct Scanned {
  ScanResult result;
  RecordingSink sink;
  std::vector<test::ReadCall> calls;

  // The camera recordings by index.
  std::vector<Recording> Camera() const {
    std::vector<Recording> rows = sink.camera_closed;
    std::sort(rows.begin(), rows.end(),
              [](const Recording& a, const Recording& b) { return a.index < b.index; });
    return rows;
  }
};

Scanned Scan(const std::vector<uint8_t>& image, unsigned threads, ScanJob job = {}) {
  Scanned s;
  auto device = std::make_unique<MemoryDevice>(image);
  device->concurrent = true;
  MemoryDevice* raw = device.get();
  SourceReader reader(std::move(device));
  job.threads = threads;
  std::atomic<int> stop{0};
  s.result = ScanSource(reader, job, s.sink, stop);
  s.calls = raw->calls;
  return s;
}

// Noise holding, on channel 0, a 10 MiB frame from just before the first MiB boundary with a
// whole frame of channel 1 inside its data, then a short frame, then another 10 MiB frame whose
// trailer was overwritten, holding a frame of channel 2 inside.
struct FarTrailers {
  std::vector<uint8_t> bytes;
  uint64_t big = kMiB - 100, inside, small, cut, inside_cut, end;
};

FarTrailers BuildFarTrailers() {
  FarTrailers f;
  ImageBuilder image(26 * kMiB, Fill::kNoise, 7);
  const uint32_t payload = 10 * kMiB;
  image.AddFrame({f.big, PackEpochSeconds(kT0), payload});
  f.inside = f.big + 5 * kMiB + 3;
  image.AddFrame({f.inside, PackEpochSeconds(kT0), 100, true, 1});
  f.small = f.big + testimage::FrameLength(payload);
  image.AddFrame({f.small, PackEpochSeconds(kT0 + 1), 64});
  f.cut = f.small + testimage::FrameLength(64);
  image.AddFrame({f.cut, PackEpochSeconds(kT0 + 1), payload});
  f.inside_cut = f.cut + 7 * kMiB + 1;
  image.AddFrame({f.inside_cut, PackEpochSeconds(kT0 + 1), 100, true, 2});
  f.end = f.cut + testimage::FrameLength(payload);
  image.bytes()[f.end - 8] = 'x';  // "dhav" no more
  f.bytes = image.bytes();
  return f;
}

TEST(CameraScan, TrailersMegabytesAheadAreReadOnceWhereverTheirChunkIsSearched) {
  const FarTrailers f = BuildFarTrailers();
  const std::vector<Recording> reference = test::ReferenceScan(f.bytes, 0, f.bytes.size());
  for (unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(threads);
    const Scanned s = Scan(f.bytes, threads);
    ASSERT_TRUE(s.result.status.ok()) << s.result.status.message();
    // Each chunk read once, none read again for a trailer.
    EXPECT_EQ(s.calls.size(), 26u);
    EXPECT_EQ(s.result.matches, 5u);
    EXPECT_EQ(s.result.invalid_matches, 0u);
    EXPECT_EQ(s.result.data_matches, 1u) << "channel 1's frame inside a complete frame";

    const std::vector<Recording> camera = s.Camera();
    ASSERT_EQ(camera.size(), 2u);
    EXPECT_EQ(camera[0].channel, 0);
    EXPECT_EQ(camera[0].position, f.big);
    EXPECT_EQ(camera[0].end_position, f.end);
    EXPECT_EQ(camera[0].frames, 3u);
    EXPECT_EQ(camera[0].valid_frames, 3u);
    EXPECT_EQ(camera[0].complete_frames, 2u);
    EXPECT_EQ(camera[1].channel, 2) << "a frame inside a frame that is not complete is a frame";
    EXPECT_EQ(camera[1].position, f.inside_cut);
    EXPECT_EQ(camera[1].complete_frames, 1u);
    EXPECT_EQ(s.sink.camera_opened.size(), 2u);

    // The time grouping: every match a frame, one time line, its rows as the plain scan's.
    ASSERT_EQ(s.sink.closed.size(), reference.size());
    for (size_t i = 0; i < reference.size(); ++i) {
      EXPECT_TRUE(test::SameRecording(s.sink.closed[i], reference[i]))
          << test::Describe(s.sink.closed[i]) << " against " << test::Describe(reference[i]);
    }
    ASSERT_EQ(reference.size(), 1u);
    const Recording& all = s.sink.closed[0];
    EXPECT_EQ(all.valid_frames, 5u);
    EXPECT_EQ(all.complete_frames, 4u);
    ASSERT_EQ(all.channels.size(), 3u);
    EXPECT_EQ(all.channels[0].channel, 0);
    EXPECT_EQ(all.channels[0].video_frames, 3u);
    EXPECT_EQ(all.channels[0].key_frames, 3u);
    EXPECT_EQ(all.channels[1].channel, 1);
    EXPECT_EQ(all.channels[2].channel, 2);
  }
}

TEST(CameraScan, ATrailerPastTheRangeIsReadAtTheEndAndOnePastTheSourceIsMissing) {
  ImageBuilder image(8 * kMiB, Fill::kNoise, 3);
  const uint64_t a = 3 * kMiB;
  image.AddFrame({a, PackEpochSeconds(kT0), 2 * kMiB});
  const uint64_t b = 8 * kMiB - 1000;  // runs past the source's end
  image.AddFrame({b, PackEpochSeconds(kT0 + 1), 4000});
  for (unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    ScanJob job;
    job.size = 4 * kMiB;  // a's trailer lies past the range, in the source
    Scanned s = Scan(image.bytes(), threads, job);
    ASSERT_TRUE(s.result.status.ok());
    ASSERT_EQ(s.sink.closed.size(), 1u);
    EXPECT_EQ(s.sink.closed[0].complete_frames, 1u) << "judged on the source's bytes";
    EXPECT_EQ(s.calls.size(), 5u) << "four chunks and the trailer";

    s = Scan(image.bytes(), threads);
    ASSERT_TRUE(s.result.status.ok());
    ASSERT_EQ(s.sink.closed.size(), 1u);
    EXPECT_EQ(s.sink.closed[0].valid_frames, 2u);
    EXPECT_EQ(s.sink.closed[0].complete_frames, 1u) << "b's trailer is cut by the source's end";
    EXPECT_EQ(s.calls.size(), 8u);
  }
}

// Several cameras: each channel's frames form recordings of their own by the time rule, rows in
// the order of their first frames; a clock seconds behind splinters the time grouping, not the
// camera one; audio and auxiliary frames belong to their channel; the date window applies.
TEST(CameraScan, EachChannelHasItsOwnRecordingsInTheOrderOfTheirFirstFrames) {
  ImageBuilder image(4 * kMiB, Fill::kNoise, 5);
  uint64_t pos = kMiB - 5000;
  const std::vector<uint8_t> audio_ext = {0x83, 1, 14, 2};
  for (int second = 0; second < 4; ++second) {
    for (int k = 0; k < 5; ++k) {
      image.AddFrame({pos, PackEpochSeconds(kT0 + second), 3000, k == 0, 0});
      pos += testimage::FrameLength(3000);
      FrameSpec audio{pos, PackEpochSeconds(kT0 + second), 200, false, 0};
      audio.type = 0xF0;
      audio.extension = audio_ext;
      image.AddFrame(audio);
      pos += testimage::FrameLength(200 + 4);
      // Channel 5's clock is 3 seconds behind.
      image.AddFrame({pos, PackEpochSeconds(kT0 + second - 3), 2000, k == 0, 5});
      pos += testimage::FrameLength(2000);
    }
    FrameSpec aux{pos, PackEpochSeconds(kT0 + second - 3), 50, false, 5};
    aux.type = 0xF1;
    image.AddFrame(aux);
    pos += testimage::FrameLength(50);
  }
  // Channel 0 again, an hour later.
  image.AddFrame({pos, PackEpochSeconds(kT0 + 3600), 3000, true, 0});
  // A match that is no valid frame: an unknown type.
  FrameSpec odd{pos + 2 * kMiB, PackEpochSeconds(kT0 + 3600), 100, true, 0};
  odd.type = 0x12;
  image.AddFrame(odd);

  for (unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    const Scanned s = Scan(image.bytes(), threads);
    ASSERT_TRUE(s.result.status.ok());
    EXPECT_EQ(s.result.invalid_matches, 1u);
    EXPECT_GT(s.result.recordings, 10u) << "two clocks on one time line splinter it";
    const std::vector<Recording> camera = s.Camera();
    ASSERT_EQ(camera.size(), 3u);
    EXPECT_EQ(s.result.camera_recordings, 3u);
    for (size_t i = 0; i < camera.size(); ++i) {
      EXPECT_EQ(camera[i].index, i);
      EXPECT_EQ(camera[i].Name(), std::to_string(i) + ".dav");
      EXPECT_EQ(camera[i].grouping, Grouping::kCamera);
    }
    EXPECT_EQ(camera[0].channel, 0);
    EXPECT_EQ(camera[0].start, kT0);
    EXPECT_EQ(camera[0].end, kT0 + 3);
    EXPECT_EQ(camera[0].frames, 40u);
    ASSERT_EQ(camera[0].channels.size(), 1u);
    EXPECT_EQ(camera[0].channels[0].video_frames, 20u);
    EXPECT_EQ(camera[0].channels[0].key_frames, 4u);
    EXPECT_EQ(camera[0].channels[0].audio_frames, 20u);
    EXPECT_EQ(camera[1].channel, 5);
    EXPECT_EQ(camera[1].start, kT0 - 3);
    EXPECT_EQ(camera[1].end, kT0);
    EXPECT_EQ(camera[1].frames, 24u);
    ASSERT_EQ(camera[1].channels.size(), 1u);
    EXPECT_EQ(camera[1].channels[0].auxiliary_frames, 4u);
    EXPECT_EQ(camera[1].channels[0].video_frames, 20u);
    EXPECT_EQ(camera[1].valid_frames, 24u);
    EXPECT_EQ(camera[1].complete_frames, 24u);
    EXPECT_EQ(camera[2].channel, 0);
    EXPECT_EQ(camera[2].start, kT0 + 3600);
    EXPECT_EQ(camera[2].frames, 1u);
    EXPECT_EQ(camera[2].ByteSpan(), testimage::FrameLength(3000));

    // Only frames inside the date window: channel 5's first two seconds are of the day before.
    ScanJob window;
    window.window = {DateValue(2014, 3, 3), DateValue(2014, 3, 4)};
    const Scanned w = Scan(image.bytes(), threads, window);
    EXPECT_EQ(w.result.camera_recordings, 1u) << "channel 5's frames of the day before";
  }
}

}  // namespace
}  // namespace korvane
