// SPDX-License-Identifier: GPL-3.0-or-later
// Writes an image holding one long recording of one camera (the 352x288, 25 frames a second clip
// of tests/data, over and over), for timing video export:
//   korvane-video-image DATA FILE SECONDS
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/image_builder.h"

using namespace korvane::testimage;

int main(int argc, char** argv) {
  if (argc != 4 || std::atoi(argv[3]) <= 0) {
    std::fprintf(stderr, "usage: korvane-video-image DATA FILE SECONDS\n");
    return 2;
  }
  const CameraClip& camera = CameraClips()[0];
  VideoClip clip;
  std::string error;
  if (!LoadVideoClip(std::string(argv[1]) + "/" + camera.file, camera.codec, camera.width,
                     camera.height, camera.fps, &clip, &error)) {
    std::fprintf(stderr, "korvane-video-image: %s\n", error.c_str());
    return 1;
  }
  const uint32_t frames = static_cast<uint32_t>(std::atoi(argv[3])) * clip.fps;
  const size_t extension = VideoExtension(clip).size();
  uint64_t bytes = 4096;
  for (uint32_t i = 0; i < frames; ++i) {
    const size_t p = i % clip.pictures.size();
    bytes +=
        FrameLength(static_cast<uint32_t>((clip.key[p] ? extension : 0) + clip.pictures[p].size()));
  }
  ImageBuilder image(bytes + 4096, Fill::kZeros);
  image.AddVideoRecording(4096, 1394000000, clip, frames);
  if (!image.WriteTo(argv[2], &error)) {
    std::fprintf(stderr, "korvane-video-image: %s\n", error.c_str());
    return 1;
  }
  std::printf("%u frames, %llu bytes\n", frames, static_cast<unsigned long long>(bytes));
  return 0;
}
