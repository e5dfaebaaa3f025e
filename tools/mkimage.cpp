// korvane-mkimage: writes test images.
//   korvane-mkimage demo FILE          the demo image
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
  std::fprintf(stderr,
               "usage: korvane-mkimage demo FILE\n"
               "Writes the demo image: noise with five recordings in it.\n");
  return 2;
}
