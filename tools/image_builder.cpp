#include "tools/image_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "scan/frame_search.h"

namespace korvane::testimage {
namespace {

void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void FillNoise(std::mt19937_64& rng, uint8_t* p, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t v = rng();
    std::memcpy(p + i, &v, 8);
  }
  for (; i < n; ++i) p[i] = static_cast<uint8_t>(rng());
}

}  // namespace

uint32_t FrameLength(uint32_t payload) { return 24 + payload + 8; }

void ScrubMagic(std::vector<uint8_t>& bytes) {
  for (size_t p = 0; p + 4 <= bytes.size(); ++p) {
    if (std::memcmp(bytes.data() + p, kFrameMagic, 4) == 0) bytes[p] = 'd';
  }
}

ImageBuilder::ImageBuilder(uint64_t size, Fill fill, uint32_t seed)
    : bytes_(static_cast<size_t>(size), 0), rng_(seed) {
  if (fill == Fill::kNoise) {
    FillNoise(rng_, bytes_.data(), bytes_.size());
    ScrubMagic(bytes_);
  }
}

void ImageBuilder::Put(uint64_t position, const uint8_t* data, size_t len) {
  if (position >= bytes_.size()) return;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(len, bytes_.size() - position));
  std::memcpy(bytes_.data() + position, data, n);
}

void ImageBuilder::AddFrame(const FrameSpec& f) {
  const uint32_t extension = static_cast<uint32_t>(f.extension.size());
  const uint32_t body = f.data ? static_cast<uint32_t>(f.data->size()) : f.payload;
  const uint32_t length = FrameLength(extension + body);
  std::vector<uint8_t> frame(length);
  uint8_t* h = frame.data();
  std::memcpy(h, kFrameMagic, 4);
  h[4] = f.key ? 0xFD : 0xFC;
  h[5] = 0;  // subtype
  h[6] = f.channel;
  h[7] = 0;
  PutLe32(h + 8, frame_number_++);
  PutLe32(h + 12, f.length_override >= 0 ? static_cast<uint32_t>(f.length_override) : length);
  PutLe32(h + 16, f.packed_time);
  h[20] = static_cast<uint8_t>(f.milliseconds);
  h[21] = static_cast<uint8_t>(f.milliseconds >> 8);
  h[22] = static_cast<uint8_t>(extension);
  uint8_t sum = 0;
  for (int i = 0; i < 23; ++i) sum = static_cast<uint8_t>(sum + h[i]);
  h[23] = sum;
  std::copy(f.extension.begin(), f.extension.end(), h + 24);
  uint8_t* payload = h + 24 + extension;
  if (f.data) {
    std::copy(f.data->begin(), f.data->end(), payload);
  } else {
    FillNoise(rng_, payload, body);
    std::vector<uint8_t> noise(payload, payload + body);
    ScrubMagic(noise);
    std::copy(noise.begin(), noise.end(), payload);
  }
  std::memcpy(payload + body, "dhav", 4);
  PutLe32(payload + body + 4, length);
  Put(f.position, frame.data(), frame.size());
}

void ImageBuilder::AddStrayMagic(uint64_t position, uint32_t packed_time) {
  uint8_t bytes[20] = {'D', 'H', 'A', 'V'};
  for (int i = 4; i < 16; ++i) bytes[i] = static_cast<uint8_t>(rng_() | 1);
  PutLe32(bytes + 16, packed_time);
  Put(position, bytes, sizeof bytes);
}

uint64_t ImageBuilder::AddRecording(uint64_t position, int64_t t0, uint32_t count,
                                    uint32_t per_second, uint32_t payload) {
  for (uint32_t i = 0; i < count; ++i) {
    FrameSpec f;
    f.position = position;
    f.packed_time = PackEpochSeconds(t0 + i / per_second);
    f.payload = payload;
    f.key = i % 25 == 0;
    AddFrame(f);
    position += FrameLength(payload);
  }
  return position;
}

uint64_t ImageBuilder::AddVideoRecording(uint64_t position, int64_t t0, const VideoClip& clip,
                                         uint32_t count) {
  const std::vector<uint8_t> extension = VideoExtension(clip);
  const uint32_t fps = std::max<uint32_t>(clip.fps, 1);
  for (uint32_t i = 0; i < count && !clip.pictures.empty(); ++i) {
    const size_t picture = i % clip.pictures.size();
    FrameSpec f;
    f.position = position;
    f.packed_time = PackEpochSeconds(t0 + i / fps);
    f.key = clip.key[picture];
    f.data = &clip.pictures[picture];
    if (f.key) f.extension = extension;
    f.milliseconds = static_cast<uint16_t>(uint64_t{i} * 1000 / fps);
    AddFrame(f);
    position += FrameLength(static_cast<uint32_t>(f.extension.size() + f.data->size()));
  }
  return position;
}

bool ImageBuilder::WriteTo(const std::string& path, std::string* error) const {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) {
    if (error) *error = "cannot create '" + path + "'";
    return false;
  }
  const bool ok = std::fwrite(bytes_.data(), 1, bytes_.size(), out) == bytes_.size();
  if (std::fclose(out) != 0 || !ok) {
    if (error) *error = "cannot write '" + path + "'";
    return false;
  }
  return true;
}

uint32_t PackEpochSeconds(int64_t t) {
  const std::string text = FormatUnixSeconds(t);  // "YYYY-MM-DD hh:mm:ss"
  int y, mo, d, h, mi, s;
  std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s);
  return PackDate(y, mo, d, h, mi, s);
}

uint32_t PackDate(int year, int month, int day, int hour, int minute, int second) {
  return PackFrameTime(FrameTimeFields{year, month, day, hour, minute, second});
}

std::vector<uint8_t> VideoExtension(const VideoClip& clip) {
  return {0x81,
          0,
          2,  // H.264
          clip.fps,
          0x82,
          0,
          0,
          0,
          static_cast<uint8_t>(clip.width),
          static_cast<uint8_t>(clip.width >> 8),
          static_cast<uint8_t>(clip.height),
          static_cast<uint8_t>(clip.height >> 8)};
}

bool LoadVideoClip(const std::string& path, uint16_t width, uint16_t height, uint8_t fps,
                   VideoClip* clip, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> stream;
  if (in) stream.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in || stream.empty()) {
    if (error) *error = "cannot read '" + path + "'";
    return false;
  }
  // Start codes 00 00 01, taking a zero byte before one along (the four-byte form).
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 < stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      starts.push_back(i > 0 && stream[i - 1] == 0 ? i - 1 : i);
      i += 2;
    }
  }
  // A picture begins with the first unit after a picture's slices that is a delimiter, parameter
  // set or SEI, or with a slice whose first macroblock is 0 (the first bit of its header is set).
  *clip = VideoClip{{}, {}, width, height, fps};
  std::vector<size_t> picture_starts;
  std::vector<bool> key;
  bool has_slice = false;
  for (size_t start : starts) {
    const size_t header = start + (stream[start + 2] == 1 ? 3 : 4);
    const int type = stream[header] & 0x1F;
    const bool slice = type == 1 || type == 5;
    const bool prefix = type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
    const bool first_slice = slice && header + 1 < stream.size() && (stream[header + 1] & 0x80);
    if (picture_starts.empty() || (has_slice && (prefix || first_slice))) {
      picture_starts.push_back(start);
      key.push_back(false);
      has_slice = false;
    }
    if (slice) has_slice = true;
    if (type == 5) key.back() = true;
  }
  for (size_t i = 0; i < picture_starts.size(); ++i) {
    const size_t end = i + 1 < picture_starts.size() ? picture_starts[i + 1] : stream.size();
    clip->pictures.emplace_back(stream.begin() + static_cast<ptrdiff_t>(picture_starts[i]),
                                stream.begin() + static_cast<ptrdiff_t>(end));
  }
  clip->key = key;
  if (clip->pictures.empty() || !clip->key.front()) {
    if (error) *error = "'" + path + "' does not begin with an H.264 IDR picture";
    return false;
  }
  return true;
}

std::vector<uint8_t> BuildVideoImage(const VideoClip& clip) {
  constexpr uint64_t kMiB = 1 << 20;
  ImageBuilder image(4 * kMiB, Fill::kNoise, 352);
  const int64_t midnight = DaysFromCivil(2014, 3, 5) * kSecondsPerDay;
  // 0: six seconds across midnight.
  image.AddVideoRecording(8192, midnight - 3, clip, 6 * clip.fps);
  // 1: the next morning, across the first 1 MiB boundary.
  image.AddVideoRecording(kMiB - 20000, midnight + 8 * 3600, clip, 3 * clip.fps);
  // A stray magic in the noise between them.
  image.AddStrayMagic(2 * kMiB + 99, PackDate(2031, 7, 19, 3, 14, 15));
  // 2: ten seconds at an odd position.
  image.AddVideoRecording(3 * kMiB + 777, midnight + 9 * 3600 + 30 * 60, clip, 10 * clip.fps);
  return image.bytes();
}

std::vector<uint8_t> BuildDemoImage() {
  constexpr uint64_t kMiB = 1 << 20;
  ImageBuilder image(5 * kMiB + 12345, Fill::kNoise, 2014);
  const int64_t midnight = DaysFromCivil(2014, 3, 5) * kSecondsPerDay;
  // 0: a camera recording across midnight, two frames a second.
  image.AddRecording(4096, midnight - 20, 80, 2, 6000);
  // 1: after a gap of an hour, the same camera again; its frames cross the first 1 MiB boundary.
  image.AddRecording(kMiB - 50000, midnight + 3600, 40, 1, 9000);
  // 2: a recording across the end of January.
  const int64_t feb1 = DaysFromCivil(2014, 2, 1) * kSecondsPerDay;
  image.AddRecording(2 * kMiB + 777, feb1 - 30, 60, 1, 5000);
  // 3: a stray magic in the noise, with whatever time its bytes spell.
  image.AddStrayMagic(3 * kMiB + 4321, PackDate(2031, 7, 19, 3, 14, 15));
  // 4: a long recording on another day, ending near the image's last bytes.
  const int64_t apr1 = DaysFromCivil(2014, 4, 1) * kSecondsPerDay + 9 * 3600;
  image.AddRecording(4 * kMiB, apr1, 100, 1, 10000);
  return image.bytes();
}

}  // namespace korvane::testimage
