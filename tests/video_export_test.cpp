// SPDX-License-Identifier: GPL-3.0-or-later
// Video export and thumbnails: files checked with ffprobe and decoded with ffmpeg against the
// clips the test images were built from.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "scan/source_reader.h"
#include "scan/time_model.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"
#include "video/export.h"
#include "video/frames.h"
#include "video/thumbnail.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::Listing;
using test::Quote;
using test::Slurp;
using video::Container;
using video::ExportedFile;
using video::ExportItem;
using video::ExportJob;
using video::ExportResult;

using test::Shell;

bool HaveFfmpeg() {
  int status = 0;
  Shell("command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1", &status);
  return status == 0;
}

// The checksum of every decoded frame of a stream, in order (see test::FrameSums).
std::vector<std::string> PictureSums(const std::string& input_options, const std::string& file,
                                     const std::string& stream = "v") {
  int status = -1;
  std::vector<std::string> sums = test::FrameSums(input_options, file, stream, &status);
  EXPECT_EQ(status, 0) << file << ": " << (sums.empty() ? "" : sums.back());
  return sums;
}

// ffprobe's key=value lines for a stream (-count_packets: nb_read_packets) and the format.
std::map<std::string, std::string> Probe(const std::string& file, const std::string& stream) {
  int status = -1;
  const std::string out =
      Shell("ffprobe -v error -count_packets -select_streams " + stream +
                " -show_entries stream=codec_name,width,height,nb_read_packets,sample_rate,channels"
                " -show_entries "
                "format=duration,format_name:format_tags=creation_time,recorder_start,clock_offset"
                " -of default=noprint_wrappers=1 " +
                Quote(file) + " 2>&1",
            &status);
  std::map<std::string, std::string> values;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    if (key.rfind("TAG:", 0) == 0) key = key.substr(4);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    values[key] = line.substr(eq + 1);
  }
  values["status"] = std::to_string(status);
  return values;
}

// The pictures of a clip by their numbers, as one elementary stream, decoded.
std::vector<std::string> ClipSums(const testimage::VideoClip& clip,
                                  const std::vector<int>& pictures, const test::TempDir& dir) {
  std::vector<uint8_t> stream;
  for (int p : pictures) {
    const std::vector<uint8_t>& b = clip.pictures[static_cast<size_t>(p)];
    stream.insert(stream.end(), b.begin(), b.end());
  }
  const std::string file = dir.File("clip-stream");
  test::WriteFile(file, stream);
  return PictureSums(clip.codec_number == 0x0C ? "-f hevc" : "-f h264", file);
}

class Sink final : public video::ExportSink {
 public:
  void OnProgress(uint64_t at, uint64_t total) override {
    ++progress_calls;
    last_done = at;
    last_total = total;
    if (on_progress) on_progress(at);
  }
  void OnFileDone(const ExportedFile& f) override { done.push_back(f); }
  std::function<void(uint64_t)> on_progress;
  uint64_t progress_calls = 0, last_done = 0, last_total = 0;
  std::vector<ExportedFile> done;
};

// Places picture `picture` of `clip` as a frame of `channel` at `position`, `ms` milliseconds after
// t0 (the packed time and the counter both say so); returns the position after it.
uint64_t PlacePicture(testimage::ImageBuilder& image, uint64_t position,
                      const testimage::VideoClip& clip, int picture, int64_t t0, uint32_t ms,
                      uint8_t channel = 0) {
  testimage::FrameSpec f;
  f.position = position;
  f.packed_time = testimage::PackEpochSeconds(t0 + ms / 1000);
  f.milliseconds = static_cast<uint16_t>(ms);
  f.key = clip.key[static_cast<size_t>(picture)];
  f.data = &clip.pictures[static_cast<size_t>(picture)];
  if (f.key) f.extension = testimage::VideoExtension(clip);
  f.channel = channel;
  image.AddFrame(f);
  return position +
         testimage::FrameLength(static_cast<uint32_t>(f.extension.size() + f.data->size()));
}

class VideoExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    std::string error;
    ASSERT_TRUE(testimage::LoadCameraClips(KORVANE_TEST_DATA_DIR, &clips_, &error)) << error;
    out_ = dir_.path() / "out";
    fs::create_directory(out_);
  }

  // An item of one channel of [position, end_position) of `source`, its frames found by the walk.
  ExportItem Item(const std::string& source, uint8_t channel, uint64_t position,
                  uint64_t end_position, int64_t start, const std::string& file_name) {
    auto reader = SourceReader::Open(source);
    EXPECT_TRUE(reader.ok()) << reader.status().message();
    std::atomic<int> stop{0};
    auto channels = video::FindChannelFrames(**reader, position, end_position, stop);
    EXPECT_TRUE(channels.ok()) << channels.status().message();
    ExportItem item;
    item.recording_name = "0.dav";
    item.file_name = file_name;
    item.channel = channel;
    item.start = start;
    item.end = start;
    item.position = position;
    item.end_position = end_position;
    for (const video::ChannelFrames& c : *channels) {
      if (c.channel == channel) item.frames = c.frames;
    }
    return item;
  }

  ExportResult Export(const std::string& source, const fs::path& folder, Container container,
                      const std::vector<ExportItem>& items, Sink& sink,
                      const std::atomic<int>& stop) {
    auto reader = SourceReader::Open(source);
    EXPECT_TRUE(reader.ok()) << reader.status().message();
    ExportJob job;
    job.source = source;
    job.folder = folder.string();
    job.container = container;
    job.items = items;
    return video::ExportRecordings(**reader, job, sink, stop);
  }
  ExportResult Export(const std::string& source, Container container,
                      const std::vector<ExportItem>& items) {
    Sink sink;
    std::atomic<int> stop{0};
    return Export(source, out_, container, items, sink, stop);
  }

  // An image of one recording on channel 0: the pictures of clip `c` given, 1/fps apart.
  std::string PicturesImage(const std::string& name, int c, const std::vector<int>& pictures,
                            std::vector<uint64_t>* positions = nullptr) {
    const testimage::VideoClip& clip = clips_[static_cast<size_t>(c)];
    testimage::ImageBuilder image(1 << 20, testimage::Fill::kNoise, 7);
    uint64_t at = 4096;
    for (size_t i = 0; i < pictures.size(); ++i) {
      if (positions) positions->push_back(at);
      at = PlacePicture(image, at, clip, pictures[i], kT0,
                        static_cast<uint32_t>(i * 1000 / clip.fps));
    }
    end_ = at;
    const std::string file = dir_.File(name);
    std::string error;
    EXPECT_TRUE(image.WriteTo(file, &error)) << error;
    return file;
  }

  // An image of two recordings for korvane-scan: 25 pictures of clip 0 on channel 0, and an
  // hour later 25 of clip 0 on channel 0 beside 25 of clip 1 on channel 1.
  std::string TwoRecordingsImage(const std::string& name, uint32_t seed) {
    testimage::ImageBuilder image(2 << 20, testimage::Fill::kNoise, seed);
    uint64_t at = 4096;
    for (int i = 0; i < 25; ++i) at = PlacePicture(image, at, clips_[0], i, kT0, i * 40u);
    at = 1 << 20;
    for (int i = 0; i < 25; ++i) {
      at = PlacePicture(image, at, clips_[0], i, kT0 + 3600, i * 40u, 0);
      at = PlacePicture(image, at, clips_[1], i, kT0 + 3600, i * 40u, 1);
    }
    const std::string file = dir_.File(name);
    std::string error;
    EXPECT_TRUE(image.WriteTo(file, &error)) << error;
    return file;
  }

  static constexpr int64_t kT0 = 1394000000;  // 2014-03-05 06:13:20
  test::TempDir dir_;
  fs::path out_;
  std::vector<testimage::VideoClip> clips_;
  uint64_t end_ = 0;
};

// Every camera of the camera image, exported on its own, plays its own clip's pictures: the
// right codec, size, frame count, duration and creation time, and the decoder says nothing.
TEST_F(VideoExportTest, EachCameraExportsToItsOwnClipInMp4AndMkv) {
  const testimage::CameraImage image = testimage::BuildCameraImage(clips_);
  const std::string source = dir_.File("cameras.img");
  test::WriteFile(source, image.bytes);
  for (Container container : {Container::kMp4, Container::kMkv}) {
    const std::string ext = video::ContainerExtension(container);
    for (size_t r = 0; r < image.runs.size(); ++r) {
      const testimage::CameraRun& run = image.runs[r];
      const testimage::CameraClip& camera = testimage::CameraClips()[run.channel];
      const std::string name = "run" + std::to_string(r) + "." + ext;
      SCOPED_TRACE(name + " (" + camera.file + ")");
      const ExportResult result =
          Export(source, container,
                 {Item(source, run.channel, run.position, run.end_position, run.start, name)});
      ASSERT_TRUE(result.status.ok()) << result.status.message();
      ASSERT_EQ(result.files.size(), 1u);
      const ExportedFile& f = result.files[0];
      ASSERT_EQ(f.outcome, FileOutcome::kSaved) << f.error;
      EXPECT_EQ(f.file_name, name);
      EXPECT_EQ(f.frames_written, run.pictures.size());
      EXPECT_EQ(f.frames_skipped, run.video_frames - run.pictures.size()) << "the cut frame";
      const std::string file = (out_ / name).string();
      EXPECT_EQ(f.bytes, fs::file_size(file));

      auto v = Probe(file, "v:0");
      EXPECT_EQ(v["codec_name"], camera.codec == VideoCodec::kH265 ? "hevc" : "h264");
      EXPECT_EQ(v["width"], std::to_string(camera.width));
      EXPECT_EQ(v["height"], std::to_string(camera.height));
      EXPECT_EQ(v["nb_read_packets"], std::to_string(run.pictures.size()));
      const double duration = std::atof(v["duration"].c_str());
      const double expected = static_cast<double>(run.pictures.size()) / camera.fps;
      EXPECT_LE(std::fabs(duration - expected), 1.0 / camera.fps + 1e-6) << v["duration"];
      std::string creation = FormatUnixSeconds(run.start);
      creation[10] = 'T';
      EXPECT_EQ(v["creation_time"], creation + ".000000Z");
      EXPECT_EQ(v["recorder_start"], FormatUnixSeconds(run.start));

      test::TempDir scratch;
      const std::vector<std::string> want = ClipSums(clips_[run.channel], run.pictures, scratch);
      EXPECT_EQ(want.size(), run.pictures.size());
      EXPECT_EQ(PictureSums("", file), want);

      if (container == Container::kMkv && run.audio_frames > 0) {
        auto a = Probe(file, "a:0");
        EXPECT_EQ(a["codec_name"], "pcm_alaw");
        EXPECT_EQ(a["sample_rate"], "8000");
        EXPECT_EQ(a["nb_read_packets"], std::to_string(run.audio_frames));
        EXPECT_EQ(f.audio_written, run.audio_frames);
      } else if (run.audio_frames > 0) {
        EXPECT_EQ(Probe(file, "a").count("codec_name"), 0u) << "MP4 leaves the audio out";
        EXPECT_EQ(f.audio_left_out, run.audio_frames);
      }
    }
    // One line per file, with the columns of exports.csv.
    const std::string csv = Slurp((out_ / "exports.csv").string());
    EXPECT_EQ(csv.rfind(video::kExportsHeader, 0), 0u) << csv;
    EXPECT_EQ(static_cast<size_t>(std::count(csv.begin(), csv.end(), '\n')), 1 + image.runs.size());
    fs::remove_all(out_);
    fs::create_directory(out_);
  }
}

// With a clock offset the file's creation time is the corrected start, in both containers; the
// recorder's own start and the offset are kept beside it. kT0 + 1800 is 06:43:20 on the 5th of
// March 2014: an offset of a day and seven hours ahead takes it back across midnight.
TEST_F(VideoExportTest, ClockOffsetCorrectsTheCreationTimeAndKeepsTheRecorders) {
  const std::string source = PicturesImage("offset.img", 0, {0, 1, 2, 3, 4});
  for (Container container : {Container::kMp4, Container::kMkv}) {
    const std::string name = std::string("0.") + video::ContainerExtension(container);
    ExportItem item = Item(source, 0, 4096, end_, kT0, name);
    item.clock_offset = (24 + 7) * 3600;
    const ExportResult result = Export(source, container, {item});
    ASSERT_EQ(result.exported_files, 1u) << result.files[0].error;
    auto v = Probe((out_ / name).string(), "v:0");
    EXPECT_EQ(v["creation_time"], "2014-03-03T23:13:20.000000Z") << name;
    EXPECT_EQ(v["recorder_start"], "2014-03-05 06:13:20") << name;
    EXPECT_EQ(v["clock_offset"], "+1:07:00:00") << name;

    // Without an offset there is no offset tag, and creation time and recorder time agree.
    const std::string plain = "plain-" + name;
    ASSERT_EQ(Export(source, container, {Item(source, 0, 4096, end_, kT0, plain)}).exported_files,
              1u);
    v = Probe((out_ / plain).string(), "v:0");
    EXPECT_EQ(v["creation_time"], "2014-03-05T06:13:20.000000Z") << name;
    EXPECT_EQ(v["recorder_start"], "2014-03-05 06:13:20") << name;
    EXPECT_EQ(v.count("clock_offset"), 0u) << name;
  }
}

TEST_F(VideoExportTest, Mp4HasItsIndexInFront) {
  const std::string source = PicturesImage("one.img", 0, {0, 1, 2, 3, 4});
  const ExportResult result =
      Export(source, Container::kMp4, {Item(source, 0, 4096, end_, kT0, "0.mp4")});
  ASSERT_EQ(result.exported_files, 1u) << result.files[0].error;
  const std::string bytes = Slurp((out_ / "0.mp4").string());
  const size_t moov = bytes.find("moov"), mdat = bytes.find("mdat");
  ASSERT_NE(moov, std::string::npos);
  ASSERT_NE(mdat, std::string::npos);
  EXPECT_LT(moov, mdat);
  EXPECT_EQ(moov, 36u) << "right after the 32-byte ftyp box";
}

// A recording that starts inside a group of pictures starts its file at the next key frame.
TEST_F(VideoExportTest, ARecordingStartingOnAPFrameStartsAtItsFirstKeyFrame) {
  const testimage::VideoClip& clip = clips_[0];
  int second_key = -1;
  for (size_t i = 1; i < clip.key.size() && second_key < 0; ++i) {
    if (clip.key[i]) second_key = static_cast<int>(i);
  }
  ASSERT_GT(second_key, 1);
  std::vector<int> pictures;
  for (int i = 1; i < static_cast<int>(clip.pictures.size()); ++i) pictures.push_back(i);
  const std::string source = PicturesImage("p.img", 0, pictures);
  for (Container container : {Container::kMp4, Container::kMkv}) {
    const std::string name = std::string("0.") + video::ContainerExtension(container);
    const ExportResult result = Export(source, container, {Item(source, 0, 4096, end_, kT0, name)});
    ASSERT_EQ(result.exported_files, 1u) << result.files[0].error;
    const ExportedFile& f = result.files[0];
    EXPECT_EQ(f.skipped_before_key, static_cast<uint64_t>(second_key - 1));
    EXPECT_EQ(f.frames_skipped, f.skipped_before_key);
    std::vector<int> want;
    for (int i = second_key; i < static_cast<int>(clip.pictures.size()); ++i) want.push_back(i);
    EXPECT_EQ(f.frames_written, want.size());
    test::TempDir scratch;
    EXPECT_EQ(PictureSums("", (out_ / name).string()), ClipSums(clip, want, scratch));
    auto v = Probe((out_ / name).string(), "v:0");
    EXPECT_EQ(std::atof(v["duration"].c_str()), static_cast<double>(want.size()) / clip.fps)
        << "timestamps start at 0 at the key frame";
  }
}

// A frame whose trailer was overwritten is left out and counted; the rest is written.
TEST_F(VideoExportTest, AnIncompleteFrameInTheMiddleIsSkippedAndCounted) {
  const testimage::VideoClip& clip = clips_[1];
  std::vector<int> pictures;
  for (int i = 0; i < static_cast<int>(clip.pictures.size()); ++i) pictures.push_back(i);
  std::vector<uint64_t> positions;
  const std::string source = PicturesImage("cut.img", 1, pictures, &positions);
  const size_t cut = 30;
  ASSERT_LT(cut + 1, positions.size());
  test::WriteAt(source, positions[cut + 1] - 8, {'x', 'x', 'x', 'x'});
  const ExportResult result =
      Export(source, Container::kMp4, {Item(source, 0, 4096, end_, kT0, "0.mp4")});
  ASSERT_EQ(result.exported_files, 1u) << result.files[0].error;
  const ExportedFile& f = result.files[0];
  EXPECT_EQ(f.frames_skipped, 1u);
  EXPECT_EQ(f.skipped_before_key, 0u);
  EXPECT_EQ(f.frames_written, pictures.size() - 1);
  std::vector<int> want = pictures;
  want.erase(want.begin() + cut);
  test::TempDir scratch;
  EXPECT_EQ(PictureSums("", (out_ / "0.mp4").string()), ClipSums(clip, want, scratch));
  auto v = Probe((out_ / "0.mp4").string(), "v:0");
  EXPECT_EQ(v["nb_read_packets"], std::to_string(want.size()));
}

// Timestamps come from the frames' counters; a counter that stands still takes the frame rate's
// step, so a file of frames whose counters never move still plays at its frame rate.
TEST_F(VideoExportTest, AStillCounterTakesTheFrameRatesStep) {
  const testimage::VideoClip& clip = clips_[0];
  testimage::ImageBuilder image(1 << 20, testimage::Fill::kNoise, 9);
  uint64_t at = 4096;
  const uint32_t ms[] = {0, 40, 80, 80, 80, 200, 240};  // two still counters, then a jump
  for (int i = 0; i < 7; ++i) at = PlacePicture(image, at, clip, i, kT0, ms[i]);
  const std::string source = dir_.File("still.img");
  std::string error;
  ASSERT_TRUE(image.WriteTo(source, &error)) << error;
  const ExportResult result =
      Export(source, Container::kMkv, {Item(source, 0, 4096, at, kT0, "0.mkv")});
  ASSERT_EQ(result.exported_files, 1u) << result.files[0].error;
  int status = 0;
  const std::string pts = Shell(
      "ffprobe -v error -select_streams v:0 -show_entries packet=pts "
      "-of csv=p=0 " +
          Quote((out_ / "0.mkv").string()),
      &status);
  EXPECT_EQ(pts, "0\n40\n80\n120\n160\n280\n320\n");
}

// A file holds one picture size: a change is refused with a message saying where, and nothing
// is left behind.
TEST_F(VideoExportTest, APictureSizeChangeIsRefusedAndLeavesNothing) {
  testimage::ImageBuilder image(1 << 20, testimage::Fill::kNoise, 5);
  uint64_t at = 4096, second = 0;
  for (int i = 0; i < 25; ++i) at = PlacePicture(image, at, clips_[0], i, kT0, i * 40u);
  second = at;
  for (int i = 0; i < 25; ++i) at = PlacePicture(image, at, clips_[1], i, kT0, 1000 + i * 40u);
  const std::string source = dir_.File("sizes.img");
  std::string error;
  ASSERT_TRUE(image.WriteTo(source, &error)) << error;
  const ExportResult result =
      Export(source, Container::kMp4, {Item(source, 0, 4096, at, kT0, "0.mp4")});
  ASSERT_TRUE(result.status.ok());
  ASSERT_EQ(result.files.size(), 1u);
  EXPECT_EQ(result.files[0].outcome, FileOutcome::kFailed);
  EXPECT_EQ(result.failed_files, 1u);
  EXPECT_EQ(result.files[0].error,
            "the picture size changes from 352x288 to 176x144 at the key "
            "frame at " +
                std::to_string(second) + "; a file holds one picture size");
  EXPECT_TRUE(Listing(out_).empty());
}

TEST_F(VideoExportTest, ExistingFilesAreNeverReplaced) {
  const std::string source = PicturesImage("one.img", 3, {0, 1, 2, 3, 4, 5});
  std::ofstream(out_ / "0.mkv") << "mine";
  const ExportItem item = Item(source, 0, 4096, end_, kT0, "0.mkv");
  const ExportResult first = Export(source, Container::kMkv, {item, item});
  ASSERT_EQ(first.exported_files, 2u);
  EXPECT_EQ(first.files[0].file_name, "0 (1).mkv");
  EXPECT_EQ(first.files[1].file_name, "0 (2).mkv");
  EXPECT_EQ(Slurp((out_ / "0.mkv").string()), "mine");
  EXPECT_EQ(Probe((out_ / "0 (1).mkv").string(), "v:0")["codec_name"], "hevc");
  // The line of exports.csv: what was written from where, and the file's checksum.
  int status = 0;
  const std::string sum =
      Shell("sha256sum " + Quote((out_ / "0 (2).mkv").string()) + " | cut -c1-64", &status);
  const std::string csv = Slurp((out_ / "exports.csv").string());
  const std::string line = "0 (2).mkv,0.dav,0," + FormatUnixSeconds(kT0) + "," +
                           FormatUnixSeconds(kT0) + "," + fs::canonical(source).string() +
                           ",4096," + std::to_string(end_) + ",6,0," +
                           std::to_string(first.files[1].bytes) + "," + sum.substr(0, 64) + "\n";
  EXPECT_NE(csv.find(line), std::string::npos) << csv << "\nwanted: " << line;
}

TEST_F(VideoExportTest, StopRemovesTheFileBeingWritten) {
  const std::string source = PicturesImage("one.img", 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  const ExportItem item = Item(source, 0, 4096, end_, kT0, "0.mp4");
  Sink sink;
  std::atomic<int> stop{0};
  int files_started = 0;
  sink.on_progress = [&](uint64_t) {
    if (sink.done.size() == 1 && ++files_started == 3) stop = 1;
  };
  const ExportResult result = Export(source, out_, Container::kMp4, {item, item}, sink, stop);
  EXPECT_EQ(result.status.code(), ErrorCode::kStopped);
  ASSERT_EQ(result.files.size(), 2u);
  EXPECT_EQ(result.files[0].outcome, FileOutcome::kSaved);
  EXPECT_EQ(result.files[1].outcome, FileOutcome::kStopped);
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"0.mp4", "exports.csv"}));
}

TEST_F(VideoExportTest, ASourceThatShrinksFailsTheFileAndLeavesNothing) {
  // Frames 256 KiB apart, so that the source is read a few frames at a time.
  testimage::ImageBuilder image(14 << 20, testimage::Fill::kZeros);
  std::vector<uint64_t> positions;
  for (int i = 0; i < 50; ++i) {
    positions.push_back(4096 + (uint64_t{256} << 10) * i);
    end_ = PlacePicture(image, positions.back(), clips_[0], i, kT0, i * 40u);
  }
  const std::string source = dir_.File("shrinks.img");
  std::string error;
  ASSERT_TRUE(image.WriteTo(source, &error)) << error;
  const ExportItem item = Item(source, 0, 4096, end_, kT0, "0.mp4");
  ASSERT_EQ(item.frames, positions);
  Sink sink;
  std::atomic<int> stop{0};
  // It ends inside frame 20, after its header.
  const uint64_t shrunk = positions[20] + 100;
  sink.on_progress = [&](uint64_t done) {
    if (done > 0 && fs::file_size(source) > shrunk) fs::resize_file(source, shrunk);
  };
  const ExportResult result = Export(source, out_, Container::kMp4, {item}, sink, stop);
  ASSERT_TRUE(result.status.ok());
  ASSERT_EQ(result.files.size(), 1u);
  EXPECT_EQ(result.files[0].outcome, FileOutcome::kFailed);
  EXPECT_NE(result.files[0].error.find("the source shrank to " + std::to_string(shrunk)),
            std::string::npos)
      << result.files[0].error;
  EXPECT_TRUE(Listing(out_).empty());
}

// Runs body as an unprivileged user when the test runs as root (root may write anywhere), and
// returns what it returns.
std::string AsUnprivileged(const std::function<std::string()>& body) {
  if (geteuid() != 0) return body();
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string out = "cannot become nobody";
    if (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0) out = body();
    if (write(fds[1], out.data(), out.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return out;
}

TEST_F(VideoExportTest, AFolderWithoutWritePermissionGetsNothing) {
  const std::string source = PicturesImage("one.img", 0, {0, 1, 2});
  fs::permissions(dir_.path(), fs::perms(0755));
  fs::permissions(source, fs::perms(0644));
  const fs::path locked = dir_.path() / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms(0555));
  const ExportItem item = Item(source, 0, 4096, end_, kT0, "0.mp4");
  const std::string outcome = AsUnprivileged([&] {
    Sink sink;
    std::atomic<int> stop{0};
    const ExportResult r = Export(source, locked, Container::kMp4, {item}, sink, stop);
    return std::to_string(static_cast<int>(r.status.code())) + "|" + r.status.message();
  });
  EXPECT_EQ(outcome, std::to_string(static_cast<int>(ErrorCode::kUsage)) +
                         "|cannot write to the folder '" + locked.string() +
                         "': Permission denied");
  EXPECT_TRUE(Listing(locked).empty());
}

// A small file system mounted for one test; skipped where mounting is not possible.
class Mount {
 public:
  Mount(const fs::path& where, const std::string& command) : where_(where) {
    fs::create_directory(where);
    int status = 0;
    Shell(command + " >/dev/null 2>&1", &status);
    mounted_ = status == 0;
  }
  ~Mount() {
    int status = 0;
    if (mounted_) Shell("umount " + Quote(where_.string()) + " 2>/dev/null", &status);
    if (mounted_ && status != 0) umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path where_;
  bool mounted_ = false;
};

TEST_F(VideoExportTest, AFullFolderFailsTheFileAndLeavesNoPart) {
  std::vector<int> pictures;
  for (int i = 0; i < 50; ++i) pictures.push_back(i);
  const std::string source = PicturesImage("big.img", 0, pictures);
  const fs::path small = dir_.path() / "small";
  Mount mount(small, "mount -t tmpfs -o size=256k korvane-test " + Quote(small.string()));
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  // Room for a little less than the file.
  const ExportItem item = Item(source, 0, 4096, end_, kT0, "0.mp4");
  ASSERT_EQ(Export(source, Container::kMp4, {item}).exported_files, 1u);
  const uintmax_t size = fs::file_size(out_ / "0.mp4");
  ASSERT_LT(size, 200u * 1024);
  {
    std::ofstream filler(small / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    for (uintmax_t n = 0; n < 256 * 1024 - size / 2; n += block.size()) filler << block;
  }
  std::error_code ec;
  Sink sink;
  std::atomic<int> stop{0};
  const ExportResult result = Export(source, small, Container::kMp4, {item}, sink, stop);
  ASSERT_TRUE(result.status.ok()) << result.status.message();
  ASSERT_EQ(result.files.size(), 1u);
  EXPECT_EQ(result.files[0].outcome, FileOutcome::kFailed);
  EXPECT_NE(result.files[0].error.find("No space left on device"), std::string::npos)
      << result.files[0].error;
  EXPECT_EQ(Listing(small), (std::vector<std::string>{"filler"}));
}

TEST_F(VideoExportTest, ThumbnailIsTheFirstKeyFrameThatDecodes) {
  // The first key frame's trailer is broken: the picture comes from the second one.
  const testimage::VideoClip& clip = clips_[0];
  std::vector<int> pictures;
  for (int i = 0; i < static_cast<int>(clip.pictures.size()); ++i) pictures.push_back(i);
  std::vector<uint64_t> positions;
  const std::string source = PicturesImage("thumb.img", 0, pictures, &positions);
  test::WriteAt(source, positions[1] - 8, {'x'});
  int second_key = -1;
  for (size_t i = 1; i < clip.key.size() && second_key < 0; ++i) {
    if (clip.key[i]) second_key = static_cast<int>(i);
  }
  ExportItem item = Item(source, 0, 4096, end_, kT0, "0.png");
  auto reader = SourceReader::Open(source);
  ASSERT_TRUE(reader.ok());
  std::atomic<int> stop{0};
  ExportJob job;
  job.source = source;
  job.folder = out_.string();
  job.items = {item};
  Sink sink;
  const ExportResult result = video::WriteThumbnails(**reader, job, sink, stop);
  ASSERT_EQ(result.exported_files, 1u) << result.files[0].error;
  EXPECT_EQ(result.files[0].file_name, "0.png");
  // The PNG holds the decoder's picture of the second key frame, in RGB.
  test::TempDir scratch;
  const std::string key_stream = scratch.File("key.h264");
  test::WriteFile(key_stream, clip.pictures[static_cast<size_t>(second_key)]);
  int status = 0;
  const std::string want = Shell("ffmpeg -v error -f h264 -i " + Quote(key_stream) +
                                     " -frames:v 1 -pix_fmt rgb24 -sws_flags "
                                     "bicubic+accurate_rnd+full_chroma_int -f rawvideo - | md5sum",
                                 &status);
  const std::string got = Shell("ffmpeg -v error -i " + Quote((out_ / "0.png").string()) +
                                    " -pix_fmt rgb24 -f rawvideo - | md5sum",
                                &status);
  EXPECT_EQ(got, want);
  auto v = Probe((out_ / "0.png").string(), "v:0");
  EXPECT_EQ(v["codec_name"], "png");
  EXPECT_EQ(v["width"], "352");
}

TEST_F(VideoExportTest, AChannelWithoutAKeyFrameHasNoPictureAndIsNoFailure) {
  const std::string source = PicturesImage("nokey.img", 0, {1, 2, 3});
  const ExportItem item = Item(source, 0, 4096, end_, kT0, "0.mp4");
  const ExportResult result = Export(source, Container::kMp4, {item});
  EXPECT_EQ(result.failed_files, 0u);
  EXPECT_EQ(result.no_picture_files, 1u);
  EXPECT_TRUE(result.files[0].no_picture);
  EXPECT_EQ(result.files[0].frames_skipped, 3u);
  EXPECT_TRUE(Listing(out_).empty());
}

// korvane-scan --export and --thumbnails over the recordings of a scan: the names, exports.csv,
// the exit status.
TEST_F(VideoExportTest, CommandLineExportsEachVideoChannel) {
  const std::string source = TwoRecordingsImage("cli.img", 11);
  std::string error;
  const std::string run = std::string(KORVANE_SCAN_BINARY) + " --quiet " + Quote(source);
  int status = -1;
  Shell(run + " --export mp4 " + Quote(out_.string()) + " >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);
  Shell(run + " --export mp4 " + Quote(out_.string()) + " --select 0 >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Listing(out_), (std::vector<std::string>{"0 (1).mp4", "0.mp4", "1-ch0.mp4", "1-ch1.mp4",
                                                     "exports.csv"}));
  const std::string csv = Slurp((out_ / "exports.csv").string());
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 5);
  EXPECT_NE(csv.find("\n1-ch1.mp4,1.dav,1,"), std::string::npos) << csv;
  // With --group camera each recording is one channel's: one file each, named N.mp4.
  const fs::path by_camera = dir_.path() / "by_camera";
  fs::create_directory(by_camera);
  Shell(run + " --group camera --export mp4 " + Quote(by_camera.string()) + " >/dev/null 2>&1",
        &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Listing(by_camera),
            (std::vector<std::string>{"0.mp4", "1.mp4", "2.mp4", "exports.csv"}));
  const std::string by_camera_csv = Slurp((by_camera / "exports.csv").string());
  EXPECT_NE(by_camera_csv.find("\n2.mp4,2.dav,1,"), std::string::npos) << by_camera_csv;
  const fs::path pictures = dir_.path() / "pictures";
  fs::create_directory(pictures);
  Shell(run + " --thumbnails " + Quote(pictures.string()) + " --select 1 >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Listing(pictures), (std::vector<std::string>{"1-ch0.png", "1-ch1.png"}));
  // Usage errors: a format that is not one, a missing folder.
  Shell(run + " --export avi " + Quote(out_.string()) + " >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 2);
  Shell(run + " --export mkv " + Quote((dir_.path() / "missing").string()) + " >/dev/null 2>&1",
        &status);
  EXPECT_EQ(status, 2);
  // A file that cannot be written is status 4: here a recording of two picture sizes.
  testimage::ImageBuilder sizes(1 << 20, testimage::Fill::kNoise, 12);
  uint64_t at = 4096;
  for (int i = 0; i < 25; ++i) at = PlacePicture(sizes, at, clips_[0], i, kT0, i * 40u);
  for (int i = 0; i < 25; ++i) at = PlacePicture(sizes, at, clips_[1], i, kT0, 1000 + i * 40u);
  const std::string two = dir_.File("sizes.img");
  ASSERT_TRUE(sizes.WriteTo(two, &error)) << error;
  const fs::path failed = dir_.path() / "failed";
  fs::create_directory(failed);
  const std::string err = Shell(std::string(KORVANE_SCAN_BINARY) + " --quiet " + Quote(two) +
                                    " --export mp4 " + Quote(failed.string()) + " 2>&1 >/dev/null",
                                &status);
  EXPECT_EQ(status, 4) << err;
  EXPECT_NE(err.find("0.dav channel 0 not exported: the picture size changes from 352x288 to "
                     "176x144"),
            std::string::npos)
      << err;
  EXPECT_TRUE(Listing(failed).empty());
}

// korvane-scan loads FFmpeg's part of Korvane only to export: without it beside the program a
// scan still lists, and an export fails with the reason and status 4, writing nothing.
TEST_F(VideoExportTest, CommandLineWithoutItsVideoModuleScansAndRefusesToExport) {
  std::vector<int> pictures(25);
  std::iota(pictures.begin(), pictures.end(), 0);
  const std::string source = PicturesImage("alone.img", 0, pictures);
  const fs::path bin = dir_.path() / "bin";
  fs::create_directory(bin);
  fs::copy_file(KORVANE_SCAN_BINARY, bin / "korvane-scan");
  const std::string run = Quote((bin / "korvane-scan").string()) + " --quiet " + Quote(source);
  int status = -1;
  const std::string listed = Shell(run + " --format csv 2>/dev/null", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(listed.find("0.dav,"), std::string::npos) << listed;
  for (const char* option : {" --export mp4 ", " --thumbnails "}) {
    const std::string err =
        Shell(run + option + Quote(out_.string()) + " 2>&1 >/dev/null", &status);
    EXPECT_EQ(status, 4) << option << err;
    EXPECT_NE(err.find("nothing written: video is unavailable"), std::string::npos) << err;
    EXPECT_NE(err.find("korvane-video.so"), std::string::npos) << err;
    EXPECT_TRUE(Listing(out_).empty()) << option;
  }
}

// korvane-scan's case log names every file the run wrote: saved recordings, exported videos,
// pictures and the listings, each with its SHA-256 as it stands on the disk; also when a file
// fails part way through the run.
TEST_F(VideoExportTest, CaseLogNamesEveryFileTheCommandLineWrote) {
  int status = -1;
  Shell("command -v jq >/dev/null 2>&1", &status);
  ASSERT_EQ(status, 0) << "the video stage installs jq";
  const std::string source = TwoRecordingsImage("logged.img", 13);
  const fs::path saved = dir_.path() / "logged-saved", videos = dir_.path() / "logged-videos",
                 pictures = dir_.path() / "logged-pictures";
  for (const fs::path& folder : {saved, videos, pictures}) fs::create_directory(folder);
  const std::string log = dir_.File("logged.json");
  const std::string err = Shell(
      std::string(KORVANE_SCAN_BINARY) + " --quiet " + Quote(source) + " --save " +
          Quote(saved.string()) + " --export mp4 " + Quote(videos.string()) + " --thumbnails " +
          Quote(pictures.string()) + " --log " + Quote(log) + " 2>&1 >/dev/null",
      &status);
  ASSERT_EQ(status, 0) << err;
  // The log's value at a jq path, $p standing for `path`.
  auto jq = [&](const std::string& filter, const std::string& file, const std::string& path = "") {
    int jq_status = -1;
    std::string out =
        Shell("jq -r --arg p " + Quote(path) + " " + Quote(filter) + " " + Quote(file) + " 2>&1",
              &jq_status);
    EXPECT_EQ(jq_status, 0) << out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  };
  // Each file in the folders, by kind, with its size and hash.
  auto expect_logged = [&](const fs::path& folder, const std::string& file_log) {
    size_t files = 0;
    for (const std::string& name : Listing(folder)) {
      ++files;
      const std::string path = (folder / name).string();
      const std::string ext = fs::path(name).extension().string();
      const std::string kind = ext == ".dav"   ? "saved"
                               : ext == ".mp4" ? "export"
                               : ext == ".png" ? "thumbnail"
                                               : "listing";
      const std::string entry = ".files[] | select(.path == $p) | ";
      SCOPED_TRACE(name);
      EXPECT_EQ(jq("[.files[] | select(.path == $p)] | length", file_log, path), "1");
      int sum_status = -1;
      const std::string sum =
          Shell("sha256sum " + Quote(path) + " | cut -d' ' -f1", &sum_status).substr(0, 64);
      EXPECT_EQ(jq(entry + ".sha256", file_log, path), sum);
      EXPECT_EQ(jq(entry + ".bytes", file_log, path), std::to_string(fs::file_size(path)));
      EXPECT_EQ(jq(entry + ".kind", file_log, path), kind);
      if (kind == "listing") {
        EXPECT_EQ(jq(entry + ".position", file_log, path), "null");
        EXPECT_EQ(jq(entry + ".recording", file_log, path), "null");
      } else {
        EXPECT_EQ(jq(entry + ".recording", file_log, path), name.substr(0, 1) + ".dav");
        EXPECT_NE(jq(entry + ".end_position", file_log, path), "null");
      }
    }
    return files;
  };
  const size_t written =
      expect_logged(saved, log) + expect_logged(videos, log) + expect_logged(pictures, log);
  EXPECT_EQ(written, 2u + 1 + 3 + 1 + 3) << "0.dav 1.dav recordings.csv, three videos and "
                                            "exports.csv, three pictures";
  EXPECT_EQ(jq(".files | length", log), std::to_string(written));
  EXPECT_EQ(jq(".counts.files_written", log), std::to_string(written));
  EXPECT_EQ(jq("[.files[] | select(.kind == \"export\") | .channel] | sort | join(\",\")", log),
            "0,0,1");

  // A run that fails part way: 0.dav exports, 1.dav changes its picture size and fails. What
  // was written before and after the failure is in the log, and the log says how it ended.
  testimage::ImageBuilder sizes(2 << 20, testimage::Fill::kNoise, 14);
  uint64_t at = 4096;
  for (int i = 0; i < 25; ++i) at = PlacePicture(sizes, at, clips_[0], i, kT0, i * 40u);
  at = 1 << 20;
  for (int i = 0; i < 25; ++i) at = PlacePicture(sizes, at, clips_[0], i, kT0 + 3600, i * 40u);
  for (int i = 0; i < 25; ++i) {
    at = PlacePicture(sizes, at, clips_[1], i, kT0 + 3600, 1000 + i * 40u);
  }
  const std::string two = dir_.File("logged-sizes.img");
  std::string error;
  ASSERT_TRUE(sizes.WriteTo(two, &error)) << error;
  const fs::path part_saved = dir_.path() / "part-saved", part_videos = dir_.path() / "part-videos";
  for (const fs::path& folder : {part_saved, part_videos}) fs::create_directory(folder);
  const std::string part_log = dir_.File("part.json");
  Shell(std::string(KORVANE_SCAN_BINARY) + " --quiet " + Quote(two) + " --save " +
            Quote(part_saved.string()) + " --export mp4 " + Quote(part_videos.string()) +
            " --log " + Quote(part_log) + " >/dev/null 2>&1",
        &status);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(Listing(part_videos), (std::vector<std::string>{"0.mp4", "exports.csv"}));
  const size_t part_written =
      expect_logged(part_saved, part_log) + expect_logged(part_videos, part_log);
  EXPECT_EQ(jq(".files | length", part_log), std::to_string(part_written));
  EXPECT_EQ(jq(".exit_status", part_log), "4");
}

}  // namespace
}  // namespace korvane
