// SPDX-License-Identifier: GPL-3.0-or-later
// korvane-mkimage: writes test images.
//   korvane-mkimage demo FILE          the demo image
//   korvane-mkimage video CLIP FILE    noise with recordings of real video from an H.264 clip
//                                      (352x288, 25 frames a second, e.g. tests/data's)
//   korvane-mkimage cameras DATA FILE  noise with frames of four cameras, from the clips in the
//                                      folder DATA (tests/data); prints each camera's runs
//   korvane-mkimage bench FILE [MIB]   a large image for timing scans (default 4096 MiB)
//   korvane-mkimage dense FILE [MIB]   the same size of frames back to back, four cameras
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "tools/image_builder.h"

using namespace korvane;
using namespace korvane::testimage;

namespace {

constexpr uint64_t kMiB = 1 << 20;
// The largest bench image: 1 TiB. Anything larger is a typing error.
constexpr uint64_t kMaxBenchMiB = uint64_t{1} << 20;

// A bench size: a plain decimal number of MiB from 1 to kMaxBenchMiB ("-1", "0", "4G" and "1e3"
// are refused).
std::optional<uint64_t> ParseBenchMiB(const std::string& text) {
  if (text.empty() || text.size() > 7) return std::nullopt;
  uint64_t mib = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    mib = mib * 10 + static_cast<uint64_t>(c - '0');
  }
  if (mib == 0 || mib > kMaxBenchMiB) return std::nullopt;
  return mib;
}

// Refuses an image file that would not fit in the free space of the file system it goes to (the
// space of a file it replaces counts as free), so that a bench image never fills a disk. Writing
// to something other than a file (a pipe, a device) is not checked.
bool CheckRoomFor(const std::string& path, uint64_t bytes) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path target(path);
  const fs::file_status status = fs::status(target, ec);
  if (fs::exists(status) && !fs::is_regular_file(status)) return true;
  fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  const fs::space_info space = fs::space(folder, ec);
  if (ec) {
    std::fprintf(stderr, "korvane-mkimage: cannot tell the free space of '%s': %s\n",
                 folder.string().c_str(), ec.message().c_str());
    return false;
  }
  uint64_t room = space.available;
  const uint64_t existing = fs::is_regular_file(target, ec) ? fs::file_size(target, ec) : 0;
  if (!ec) room += existing;
  if (bytes > room) {
    std::fprintf(stderr,
                 "korvane-mkimage: %" PRIu64 " MiB do not fit: '%s' has %" PRIu64 " MiB free\n",
                 bytes / kMiB, folder.string().c_str(), room / kMiB);
    return false;
  }
  return true;
}

// Noise holding recordings, written piece by piece so memory stays small whatever the size.
// Each 64 MiB piece holds two recordings of 25 frames a second with 20 KB frames, the second an
// hour after the first; prints how many frames and recordings the image holds.
int WriteBenchImage(const std::string& path, uint64_t mib) {
  constexpr uint64_t kPiece = 64 * kMiB;
  constexpr uint32_t kPayload = 20000;
  constexpr uint32_t kFrames = 1500;  // 60 seconds, about 30 MB
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "korvane-mkimage: cannot create '%s'\n", path.c_str());
    return 1;
  }
  int64_t t = DaysFromCivil(2014, 3, 4) * kSecondsPerDay;
  uint64_t frames = 0, recordings = 0;
  for (uint64_t done = 0; done < mib * kMiB; done += kPiece) {
    const uint64_t size = std::min(kPiece, mib * kMiB - done);
    ImageBuilder piece(size, Fill::kNoise, static_cast<uint32_t>(done / kPiece + 1));
    for (uint64_t at = 4096; at + kFrames * FrameLength(kPayload) < size; at += size / 2) {
      piece.AddRecording(at, t, kFrames, 25, kPayload);
      frames += kFrames;
      ++recordings;
      t += 3600;
    }
    if (std::fwrite(piece.bytes().data(), 1, piece.bytes().size(), out) != piece.bytes().size()) {
      std::fclose(out);
      std::fprintf(stderr, "korvane-mkimage: cannot write '%s'\n", path.c_str());
      return 1;
    }
  }
  if (std::fclose(out) != 0) {
    std::fprintf(stderr, "korvane-mkimage: cannot write '%s'\n", path.c_str());
    return 1;
  }
  std::printf("frames %" PRIu64 " recordings %" PRIu64 "\n", frames, recordings);
  return 0;
}

// Frames back to back from the first byte to the last: four cameras on one clock, 25 frames a
// second each, interleaved, with payloads of 2 to 30 KB (about 16 KB on average) and a key frame
// with codec and size blocks every second; written piece by piece. Prints how many frames the
// image holds (the time grouping makes one recording of them, the camera grouping four).
int WriteDenseImage(const std::string& path, uint64_t mib) {
  constexpr uint64_t kPiece = 64 * kMiB;
  const std::vector<uint8_t> key_blocks = {0x81, 0, 2, 25, 0x82, 0, 0, 0, 0x60, 0x01, 0x20, 0x01};
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "korvane-mkimage: cannot create '%s'\n", path.c_str());
    return 1;
  }
  const int64_t t0 = DaysFromCivil(2014, 3, 4) * kSecondsPerDay;
  const uint64_t total = mib * kMiB;
  uint64_t written = 0, frames = 0;
  while (written < total) {
    const uint64_t size = std::min(kPiece, total - written);
    ImageBuilder piece(size, Fill::kZeros, static_cast<uint32_t>(written / kPiece + 1));
    uint64_t at = 0;
    for (;;) {
      const uint64_t k = frames / 4;  // the camera's frame number
      FrameSpec f;
      f.position = at;
      f.packed_time = PackEpochSeconds(t0 + static_cast<int64_t>(k / 25));
      f.payload = static_cast<uint32_t>(2000 + frames * 7919 % 28000);
      f.channel = static_cast<uint8_t>(frames % 4);
      f.key = k % 25 == 0;
      if (f.key) f.extension = key_blocks;
      const uint32_t length = FrameLength(f.payload + static_cast<uint32_t>(f.extension.size()));
      if (at + length > size) break;
      piece.AddFrame(f);
      at += length;
      ++frames;
    }
    if (written + size == total) at = size;  // the image's last bytes stay zeros
    if (std::fwrite(piece.bytes().data(), 1, at, out) != at) {
      std::fclose(out);
      std::fprintf(stderr, "korvane-mkimage: cannot write '%s'\n", path.c_str());
      return 1;
    }
    written += at;
  }
  if (std::fclose(out) != 0) {
    std::fprintf(stderr, "korvane-mkimage: cannot write '%s'\n", path.c_str());
    return 1;
  }
  std::printf("frames %" PRIu64 " recordings 1\n", frames);
  return 0;
}

// One line per camera run, tab-separated under a header line; `pictures` are the clip pictures
// its complete video frames carry, as ranges.
void PrintCameraRuns(const CameraImage& image) {
  std::printf(
      "channel\tclip\tstart\tend\tposition\tend_position\tvideo_frames\tkey_frames\t"
      "audio_frames\tauxiliary_frames\tcomplete_frames\tpictures\n");
  for (const CameraRun& run : image.runs) {
    std::string pictures;
    for (size_t i = 0; i < run.pictures.size(); ++i) {
      size_t j = i;
      while (j + 1 < run.pictures.size() && run.pictures[j + 1] == run.pictures[j] + 1) ++j;
      if (!pictures.empty()) pictures += ',';
      pictures += std::to_string(run.pictures[i]);
      if (j > i) pictures += '-' + std::to_string(run.pictures[j]);
      i = j;
    }
    std::printf("%u\t%s\t%s\t%s\t%" PRIu64 "\t%" PRIu64 "\t%u\t%u\t%u\t%u\t%u\t%s\n", run.channel,
                CameraClips()[run.channel].file, FormatUnixSeconds(run.start).c_str(),
                FormatUnixSeconds(run.end).c_str(), run.position, run.end_position,
                run.video_frames, run.key_frames, run.audio_frames, run.auxiliary_frames,
                run.complete_frames, pictures.c_str());
  }
  std::printf("chance matches in frames: %zu, stray matches: %zu\n", image.chance_matches.size(),
              image.stray_matches.size());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc >= 3 ? argv[1] : "";
  if (mode == "demo") {
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
  if (argc == 4 && std::string(argv[1]) == "cameras") {
    std::vector<VideoClip> clips;
    std::string error;
    if (LoadCameraClips(argv[2], &clips, &error)) {
      const CameraImage cameras = BuildCameraImage(clips);
      ImageBuilder image(0, Fill::kZeros);
      image.bytes() = cameras.bytes;
      if (image.WriteTo(argv[3], &error)) {
        PrintCameraRuns(cameras);
        return 0;
      }
    }
    std::fprintf(stderr, "korvane-mkimage: %s\n", error.c_str());
    return 1;
  }
  if ((mode == "bench" || mode == "dense") && argc <= 4) {
    const std::optional<uint64_t> mib =
        argc == 4 ? ParseBenchMiB(argv[3]) : std::optional<uint64_t>(4096);
    if (!mib) {
      std::fprintf(stderr,
                   "korvane-mkimage: MIB must be a whole number of MiB from 1 to %" PRIu64
                   ", not '%s'\n",
                   kMaxBenchMiB, argv[3]);
      return 2;
    }
    if (!CheckRoomFor(argv[2], *mib * kMiB)) return 1;
    return mode == "bench" ? WriteBenchImage(argv[2], *mib) : WriteDenseImage(argv[2], *mib);
  }
  std::fprintf(stderr,
               "usage: korvane-mkimage demo FILE\n"
               "       korvane-mkimage video CLIP.h264 FILE\n"
               "       korvane-mkimage cameras DATA FILE\n"
               "       korvane-mkimage bench FILE [MIB]\n"
               "       korvane-mkimage dense FILE [MIB]\n"
               "Writes the demo image (noise with five recordings in it), or noise with three\n"
               "recordings of real video cut from an H.264 clip of 352x288 at 25 frames a second,\n"
               "or noise with frames of four cameras made from the clips in the folder DATA\n"
               "(tests/data), or MIB MiB (default 4096) of noise with two recordings every 64 MiB\n"
               "for timing scans, or as many MiB of frames of four cameras back to back (dense).\n"
               "cameras prints each camera's runs of frames; bench and dense print how many\n"
               "frames and recordings the image holds.\n");
  return 2;
}
