// SPDX-License-Identifier: GPL-3.0-or-later
// The camera image's video is real: one camera's frames cut out of it make a file that a demuxer
// for the format reads and a decoder decodes to exactly the pictures of that camera's clip.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "scan/save.h"
#include "scan/scanner.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using test::Quote;

using test::Shell;

bool HaveFfmpeg() {
  int status = 0;
  Shell("command -v ffmpeg >/dev/null 2>&1", &status);
  return status == 0;
}

// The checksum of every decoded frame of a stream, in order (see test::FrameSums).
std::vector<std::string> PictureSums(const std::string& input_options, const std::string& file,
                                     const std::string& stream) {
  int status = -1;
  std::vector<std::string> sums = test::FrameSums(input_options, file, stream, &status);
  EXPECT_EQ(status, 0) << file << ": " << (sums.empty() ? "" : sums.back());
  return sums;
}

TEST(CameraVideo, EachCamerasFramesDecodeToItsOwnClip) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  std::vector<testimage::VideoClip> clips;
  std::string error;
  ASSERT_TRUE(testimage::LoadCameraClips(KORVANE_TEST_DATA_DIR, &clips, &error)) << error;
  const testimage::CameraImage image = testimage::BuildCameraImage(clips);
  test::TempDir dir;
  for (size_t r = 0; r < image.runs.size(); ++r) {
    const testimage::CameraRun& run = image.runs[r];
    // The run's complete frames, each whole, in position order.
    std::vector<uint8_t> dav;
    for (const testimage::CameraFrame& f : image.frames) {
      if (f.channel != run.channel || f.position < run.position || f.position >= run.end_position ||
          !f.complete) {
        continue;
      }
      dav.insert(dav.end(), image.bytes.begin() + static_cast<ptrdiff_t>(f.position),
                 image.bytes.begin() + static_cast<ptrdiff_t>(f.position + f.length));
    }
    const testimage::CameraClip& camera = testimage::CameraClips()[run.channel];
    const std::string name = "run" + std::to_string(r) + "-" + camera.file;
    const std::string dav_file = dir.File(name + ".dav"), stream_file = dir.File(name);
    test::WriteFile(dav_file, dav);
    test::WriteFile(stream_file, testimage::RunStream(run, clips));
    const std::string raw_format = camera.codec == VideoCodec::kH265 ? "-f hevc" : "-f h264";
    const std::vector<std::string> expected = PictureSums(raw_format, stream_file, "v");
    EXPECT_EQ(expected.size(), run.pictures.size()) << name;
    EXPECT_EQ(PictureSums("-f dhav", dav_file, "v"), expected) << name;
    if (run.audio_frames > 0) {
      EXPECT_EQ(PictureSums("-f dhav", dav_file, "a").size(), run.audio_frames) << name;
    }
  }
}

// The image scanned and its camera recordings saved: one row per camera run, with what the run
// holds, and each saved file exactly the run's complete frames, which decode to the camera's own
// pictures.
TEST(CameraVideo, TheCameraGroupingListsEachRunAndSavesItAsASingleCameraStream) {
  std::vector<testimage::VideoClip> clips;
  std::string error;
  ASSERT_TRUE(testimage::LoadCameraClips(KORVANE_TEST_DATA_DIR, &clips, &error)) << error;
  const testimage::CameraImage image = testimage::BuildCameraImage(clips);
  test::TempDir dir;
  const std::string source = dir.File("cameras.img");
  test::WriteFile(source, image.bytes);

  for (unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    ScanJob job;
    job.source = source;
    job.threads = threads;
    test::RecordingSink sink;
    std::atomic<int> stop{0};
    const ScanResult result = ScanSource(job, sink, stop);
    ASSERT_TRUE(result.status.ok()) << result.status.message();
    std::vector<Recording> rows = sink.camera_closed;
    std::sort(rows.begin(), rows.end(),
              [](const Recording& a, const Recording& b) { return a.index < b.index; });
    ASSERT_EQ(rows.size(), image.runs.size());
    EXPECT_EQ(result.camera_recordings, image.runs.size());
    EXPECT_EQ(result.matches,
              image.frames.size() + image.chance_matches.size() + image.stray_matches.size());
    // The whole frame of camera 1 inside another's data, and the header that passes for camera
    // 2's, are the data of the complete frames they lie in.
    EXPECT_EQ(result.data_matches + result.invalid_matches,
              image.chance_matches.size() + image.stray_matches.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      const testimage::CameraRun& run = image.runs[i];
      const Recording& r = rows[i];
      SCOPED_TRACE(test::Describe(r));
      EXPECT_EQ(r.index, i);
      EXPECT_EQ(r.channel, run.channel);
      EXPECT_EQ(r.start, run.start);
      EXPECT_EQ(r.end, run.end);
      EXPECT_EQ(r.position, run.position);
      EXPECT_EQ(r.end_position, run.end_position);
      EXPECT_EQ(r.frames, run.video_frames + run.audio_frames + run.auxiliary_frames);
      EXPECT_EQ(r.valid_frames, r.frames);
      EXPECT_EQ(r.complete_frames, run.complete_frames);
      ASSERT_EQ(r.channels.size(), 1u);
      const ChannelContent& c = r.channels[0];
      const testimage::CameraClip& camera = testimage::CameraClips()[run.channel];
      EXPECT_EQ(c.channel, run.channel);
      EXPECT_EQ(c.video_frames, run.video_frames);
      EXPECT_EQ(c.key_frames, run.key_frames);
      EXPECT_EQ(c.audio_frames, run.audio_frames);
      EXPECT_EQ(c.auxiliary_frames, run.auxiliary_frames);
      EXPECT_EQ(c.codec, camera.codec);
      EXPECT_EQ(c.width, camera.width);
      EXPECT_EQ(c.height, camera.height);
      EXPECT_EQ(c.fps, camera.fps);
    }
    if (threads > 1) continue;

    const std::string folder = dir.File("saved");
    std::filesystem::create_directory(folder);
    SaveJob save;
    save.source = source;
    save.folder = folder;
    save.recordings = rows;
    SaveSink quiet;
    const SaveResult saved = SaveRecordings(save, quiet, stop);
    ASSERT_TRUE(saved.AllSaved()) << saved.status.message();
    for (size_t i = 0; i < rows.size(); ++i) {
      const testimage::CameraRun& run = image.runs[i];
      std::string expected;
      for (const testimage::CameraFrame& f : image.frames) {
        if (f.channel == run.channel && f.position >= run.position &&
            f.position < run.end_position && f.complete) {
          expected.append(image.bytes.begin() + static_cast<ptrdiff_t>(f.position),
                          image.bytes.begin() + static_cast<ptrdiff_t>(f.position + f.length));
        }
      }
      const std::string file = folder + "/" + rows[i].Name();
      EXPECT_EQ(test::Slurp(file), expected) << rows[i].Name() << ": the run's whole frames";
      if (!HaveFfmpeg()) continue;
      const testimage::CameraClip& camera = testimage::CameraClips()[run.channel];
      const std::string stream_file = dir.File("run" + std::to_string(i) + ".es");
      test::WriteFile(stream_file, testimage::RunStream(run, clips));
      const std::string raw_format = camera.codec == VideoCodec::kH265 ? "-f hevc" : "-f h264";
      EXPECT_EQ(PictureSums("-f dhav", file, "v"), PictureSums(raw_format, stream_file, "v"))
          << rows[i].Name();
    }
  }
}

}  // namespace
}  // namespace korvane
