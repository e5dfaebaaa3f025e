// SPDX-License-Identifier: GPL-3.0-or-later
// korvane-mkimage: sizes it refuses, and the camera image.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "scan/frame_header.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kMiB = 1 << 20;

struct ToolRun {
  int status;
  std::string out, err;
};

// Runs korvane-mkimage with files it writes limited to 4 MiB: a tool that would fill the disk is
// killed by the limit instead (and its run fails).
ToolRun MkImage(const test::TempDir& dir, const std::vector<std::string>& args) {
  const std::string out = dir.File("out.txt"), err = dir.File("err.txt");
  int status;
  {
    test::ChildProcess child(KORVANE_MKIMAGE_BINARY, args, out, err, false, [] {
      const rlimit limit{4 * kMiB, 4 * kMiB};
      setrlimit(RLIMIT_FSIZE, &limit);
    });
    status = child.Wait();
  }
  return {status, test::Slurp(out), test::Slurp(err)};
}

TEST(MkImageBench, RefusesSizesThatAreNotAPositiveNumberOfMiB) {
  test::TempDir dir;
  const std::string image = dir.File("bench.img");
  for (const char* size :
       {"-1", "0", "-0", "", "abc", "12abc", "4G", "1e3", " 5", "+5", "18446744073709551615",
        "18446744073709551616", "17592186044416", "1048577"}) {
    const ToolRun run = MkImage(dir, {"bench", image, size});
    EXPECT_EQ(run.status, 2) << "'" << size << "'";
    EXPECT_NE(run.err.find("MIB must be a whole number of MiB from 1 to 1048576, not '" +
                           std::string(size) + "'"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(image)) << "'" << size << "'";
  }
  // A size the tool takes.
  const ToolRun run = MkImage(dir, {"bench", image, "1"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(fs::file_size(image), kMiB);
}

TEST(MkImageBench, RefusesAnImageLargerThanTheFreeSpace) {
  test::TempDir dir;
  const uint64_t free_mib = fs::space(dir.path()).available / kMiB;
  if (free_mib + 1 > (uint64_t{1} << 20)) GTEST_SKIP() << "more than 1 TiB free here";
  const std::string image = dir.File("bench.img");
  const ToolRun run = MkImage(dir, {"bench", image, std::to_string(free_mib + 64)});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(" MiB do not fit: "), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(image));
}

// The camera image: every frame as the parser reads it back, the chance matches and the runs.
class CameraImageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    clips_ = new std::vector<testimage::VideoClip>;
    ASSERT_TRUE(testimage::LoadCameraClips(KORVANE_TEST_DATA_DIR, clips_, &error)) << error;
    image_ = new testimage::CameraImage(testimage::BuildCameraImage(*clips_));
  }
  static void TearDownTestSuite() {
    delete image_;
    delete clips_;
  }
  static FrameHeader HeaderAt(uint64_t p) {
    const std::vector<uint8_t>& b = image_->bytes;
    return ParseFrameHeader(std::span(b.data() + p, std::min<size_t>(b.size() - p, 279)));
  }
  static std::span<const uint8_t> TrailerOf(uint64_t p, const FrameHeader& h) {
    const std::vector<uint8_t>& b = image_->bytes;
    const uint64_t at = p + h.TrailerOffset();
    if (at >= b.size()) return {};
    return std::span(b.data() + at, std::min<size_t>(b.size() - at, 8));
  }
  static std::vector<testimage::VideoClip>* clips_;
  static testimage::CameraImage* image_;
};
std::vector<testimage::VideoClip>* CameraImageTest::clips_ = nullptr;
testimage::CameraImage* CameraImageTest::image_ = nullptr;

TEST_F(CameraImageTest, ClipsAreCutIntoTwoSecondsOfPictures) {
  ASSERT_EQ(clips_->size(), 4u);
  for (size_t c = 0; c < clips_->size(); ++c) {
    const testimage::VideoClip& clip = (*clips_)[c];
    EXPECT_EQ(clip.pictures.size(), 2u * clip.fps) << c;
    for (size_t i = 0; i < clip.key.size(); ++i) EXPECT_EQ(clip.key[i], i % clip.fps == 0) << c;
  }
  EXPECT_EQ((*clips_)[3].codec_number, 0x0C);
}

TEST_F(CameraImageTest, EveryFrameReadsBackThroughTheParser) {
  const std::vector<testimage::CameraFrame>& frames = image_->frames;
  ASSERT_EQ(frames.size(), 50u + 50 + 50 + 2 + 24 + 30 + 21 + 25 + 25);
  int incomplete = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const testimage::CameraFrame& f = frames[i];
    if (i > 0) {
      EXPECT_GT(f.position, frames[i - 1].position);
    }
    const FrameHeader h = HeaderAt(f.position);
    ASSERT_TRUE(h.valid) << f.position;
    EXPECT_EQ(h.channel, f.channel);
    EXPECT_EQ(h.type, f.type);
    EXPECT_EQ(h.length, f.length);
    EXPECT_EQ(h.packed_time, testimage::PackEpochSeconds(f.time));
    EXPECT_EQ(IsCompleteFrame(h, TrailerOf(f.position, h)), f.complete) << f.position;
    incomplete += !f.complete;
    const testimage::CameraClip& clip = testimage::CameraClips()[f.channel];
    if (h.IsKeyFrame()) {
      EXPECT_EQ(h.extensions.codec(), clip.codec);
      EXPECT_EQ(h.extensions.width, clip.width);
      EXPECT_EQ(h.extensions.height, clip.height);
      EXPECT_EQ(h.extensions.fps, clip.fps);
    } else if (h.IsAudio()) {
      EXPECT_EQ(h.extensions.audio_codec, 0x0E);
      EXPECT_EQ(h.extensions.audio_channels, 1);
    } else {
      EXPECT_EQ(h.extension_length, 0);
    }
    // The frames do not overlap, except the one cut short by what was written over it.
    if (i + 1 < frames.size() && f.complete) {
      EXPECT_LE(f.position + f.length, frames[i + 1].position);
    }
  }
  EXPECT_EQ(incomplete, 1);
}

TEST_F(CameraImageTest, ChanceMatchesInsideVideoData) {
  ASSERT_EQ(image_->chance_matches.size(), 3u);
  std::vector<std::pair<bool, bool>> kinds;  // valid, complete
  for (uint64_t p : image_->chance_matches) {
    // Each lies in the data of a picture of camera 1.
    auto f = std::find_if(image_->frames.begin(), image_->frames.end(),
                          [&](const testimage::CameraFrame& x) {
                            return x.position < p && p < x.position + x.length;
                          });
    ASSERT_NE(f, image_->frames.end());
    EXPECT_EQ(f->channel, 1);
    EXPECT_TRUE(f->complete);
    const FrameHeader h = HeaderAt(p);
    kinds.push_back({h.valid, IsCompleteFrame(h, TrailerOf(p, h))});
    if (h.valid) {
      EXPECT_EQ(h.channel, IsCompleteFrame(h, TrailerOf(p, h)) ? 1 : 2);
    }
  }
  std::sort(kinds.begin(), kinds.end());
  EXPECT_EQ(kinds,
            (std::vector<std::pair<bool, bool>>{{false, false}, {true, false}, {true, true}}));
  ASSERT_EQ(image_->stray_matches.size(), 1u);
  EXPECT_FALSE(HeaderAt(image_->stray_matches[0]).valid);
}

TEST_F(CameraImageTest, RunsPerCamera) {
  const std::vector<testimage::CameraRun>& runs = image_->runs;
  ASSERT_EQ(runs.size(), 6u);
  const std::vector<int> channels = {runs[0].channel, runs[1].channel, runs[2].channel,
                                     runs[3].channel, runs[4].channel, runs[5].channel};
  EXPECT_EQ(channels, (std::vector<int>{0, 1, 2, 3, 1, 0}));
  // The four cameras' frames interleave, camera 2's clock 3 seconds behind.
  for (int c = 0; c < 4; ++c) {
    EXPECT_LT(runs[c].position, runs[0].end_position);
    EXPECT_EQ(runs[c].pictures.size(), (*clips_)[c].pictures.size()) << c;
    EXPECT_EQ(runs[c].end - runs[c].start, 1) << c;
    EXPECT_EQ(runs[c].start, runs[0].start - (c == 2 ? 3 : 0)) << c;
  }
  EXPECT_EQ(runs[0].audio_frames, 50u);
  EXPECT_EQ(runs[1].auxiliary_frames, 2u);
  // Camera 1's older run lost the end of its last frame to camera 0's run, which begins inside
  // that frame.
  EXPECT_EQ(runs[4].video_frames, 21u);
  EXPECT_EQ(runs[4].complete_frames, 20u);
  EXPECT_EQ(runs[4].pictures.size(), 20u);
  EXPECT_GT(runs[4].end_position, runs[5].position);
  EXPECT_EQ(runs[5].video_frames, 25u);
  EXPECT_EQ(runs[5].audio_frames, 25u);
}

TEST_F(CameraImageTest, MkImageWritesTheSameImage) {
  test::TempDir dir;
  const std::string image = dir.File("cameras.img");
  const ToolRun run = MkImage(dir, {"cameras", KORVANE_TEST_DATA_DIR, image});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(test::Slurp(image), std::string(image_->bytes.begin(), image_->bytes.end()));
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1 + 6 + 1) << run.out;
}

}  // namespace
}  // namespace korvane
