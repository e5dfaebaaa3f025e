// The camera image's video is real: one camera's frames cut out of it make a file that a demuxer
// for the format reads and a decoder decodes to exactly the pictures of that camera's clip.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using test::Quote;

std::string Shell(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

bool HaveFfmpeg() {
  int status = 0;
  Shell("command -v ffmpeg >/dev/null 2>&1", &status);
  return status == 0;
}

// The checksum of every decoded picture of a stream, in order (the last field of framemd5's
// lines; the times differ between containers).
std::vector<std::string> PictureSums(const std::string& input_options, const std::string& file,
                                     const std::string& stream) {
  int status = -1;
  const std::string out = Shell("ffmpeg -nostdin -v error " + input_options + " -i " + Quote(file) +
                                    " -map 0:" + stream + " -f framemd5 - 2>&1",
                                &status);
  EXPECT_EQ(status, 0) << out;
  std::vector<std::string> sums;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t comma = line.rfind(',');
    sums.push_back(line.substr(comma == std::string::npos ? 0 : comma + 1));
  }
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

}  // namespace
}  // namespace korvane
