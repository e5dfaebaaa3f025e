// korvane-mkimage: writes test images.
//   korvane-mkimage demo FILE          the demo image
//   korvane-mkimage video CLIP FILE    noise with recordings of real video from an H.264 clip
//                                      (352x288, 25 frames a second, e.g. tests/data's)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/image_builder.h"

using namespace korvane;
using namespace korvane::testimage;

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "demo") {
    ImageBuilder image(0, Fill::kZeros);
    image.bytes() = BuildDemoImage();
    std::string error;
    if (!image.WriteTo(argv[2], &error)) {
      std::fprintf(stderr, "korvane-mkimage: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  if (argc >= 4 && std::string(argv[1]) == "video") {
    VideoClip clip;
    std::string error;
    ImageBuilder image(0, Fill::kZeros);
    if (LoadVideoClip(argv[2], 352, 288, 25, &clip, &error)) {
      image.bytes() = BuildVideoImage(clip);
      if (image.WriteTo(argv[3], &error)) return 0;
    }
    std::fprintf(stderr, "korvane-mkimage: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr,
               "usage: korvane-mkimage demo FILE\n"
               "       korvane-mkimage video CLIP.h264 FILE\n"
               "Writes the demo image (noise with five recordings in it), or noise with three\n"
               "recordings of real video cut from an H.264 clip of 352x288 at 25 frames a second.\n");
  return 2;
}
