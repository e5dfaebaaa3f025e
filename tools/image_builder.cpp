// SPDX-License-Identifier: GPL-3.0-or-later
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

uint32_t FrameLength(uint32_t payload) {
  return 24 + payload + 8;
}

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
  h[4] = f.type >= 0 ? static_cast<uint8_t>(f.type) : f.key ? 0xFD : 0xFC;
  h[5] = 0;  // subtype
  h[6] = f.channel;
  h[7] = 0;
  PutLe32(h + 8, f.frame_number >= 0 ? static_cast<uint32_t>(f.frame_number) : frame_number_);
  ++frame_number_;
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
          clip.codec_number,
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

namespace {

// Cuts an Annex B elementary stream into pictures. H.264 units have a 1-byte header (type in its
// low 5 bits), H.265 units a 2-byte one (type in bits 1-6 of the first byte).
bool CutPictures(const std::vector<uint8_t>& stream, bool hevc, VideoClip* clip) {
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
  std::vector<size_t> picture_starts;
  std::vector<bool> key;
  bool has_slice = false;
  const size_t header_size = hevc ? 2 : 1;
  for (size_t start : starts) {
    const size_t header = start + (stream[start + 2] == 1 ? 3 : 4);
    if (header + header_size > stream.size()) continue;
    bool slice, prefix, idr;
    if (hevc) {
      const int type = (stream[header] >> 1) & 0x3F;
      slice = type <= 31;
      // Delimiter, parameter sets, prefix SEI and the reserved types that may open a picture.
      prefix = (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
               (type >= 48 && type <= 55);
      idr = type >= 16 && type <= 23;  // random access points
    } else {
      const int type = stream[header] & 0x1F;
      slice = type == 1 || type == 5;
      prefix = type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
      idr = type == 5;
    }
    const bool first_slice =
        slice && header + header_size < stream.size() && (stream[header + header_size] & 0x80);
    if (picture_starts.empty() || (has_slice && (prefix || first_slice))) {
      picture_starts.push_back(start);
      key.push_back(false);
      has_slice = false;
    }
    if (slice) has_slice = true;
    if (idr) key.back() = true;
  }
  for (size_t i = 0; i < picture_starts.size(); ++i) {
    const size_t end = i + 1 < picture_starts.size() ? picture_starts[i + 1] : stream.size();
    clip->pictures.emplace_back(stream.begin() + static_cast<ptrdiff_t>(picture_starts[i]),
                                stream.begin() + static_cast<ptrdiff_t>(end));
  }
  clip->key = key;
  return !clip->pictures.empty() && clip->key.front();
}

}  // namespace

bool LoadVideoClip(const std::string& path, uint16_t width, uint16_t height, uint8_t fps,
                   VideoClip* clip, std::string* error) {
  return LoadVideoClip(path, VideoCodec::kH264, width, height, fps, clip, error);
}

bool LoadVideoClip(const std::string& path, VideoCodec codec, uint16_t width, uint16_t height,
                   uint8_t fps, VideoClip* clip, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> stream;
  if (in) stream.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in || stream.empty()) {
    if (error) *error = "cannot read '" + path + "'";
    return false;
  }
  const bool hevc = codec == VideoCodec::kH265;
  *clip = VideoClip{{}, {}, width, height, fps};
  clip->codec_number = hevc ? 0x0C : 2;
  if (!CutPictures(stream, hevc, clip)) {
    if (error) {
      *error = "'" + path + "' does not begin with an " +
               (hevc ? "H.265 random access" : "H.264 IDR") + " picture";
    }
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

namespace korvane::testimage {
namespace {

// An H.264 SEI unit (user data unregistered) carrying `data`, with emulation prevention.
std::vector<uint8_t> UserDataSei(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> rbsp = {5};  // payload type: user data unregistered
  size_t size = 16 + data.size();
  for (; size >= 255; size -= 255) rbsp.push_back(255);
  rbsp.push_back(static_cast<uint8_t>(size));
  const char uuid[] = "korvane testdata";  // 16 bytes
  rbsp.insert(rbsp.end(), uuid, uuid + 16);
  rbsp.insert(rbsp.end(), data.begin(), data.end());
  rbsp.push_back(0x80);  // stop bit
  std::vector<uint8_t> unit = {0, 0, 0, 1, 0x06};
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      unit.push_back(3);
      zeros = 0;
    }
    unit.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return unit;
}

// An H.264 picture with `sei` put before its first slice.
std::vector<uint8_t> WithSei(const std::vector<uint8_t>& picture, const std::vector<uint8_t>& sei) {
  for (size_t i = 0; i + 3 < picture.size(); ++i) {
    if (picture[i] == 0 && picture[i + 1] == 0 && picture[i + 2] == 1) {
      const int type = picture[i + 3] & 0x1F;
      if (type == 1 || type == 5) {
        const size_t at = i > 0 && picture[i - 1] == 0 ? i - 1 : i;
        std::vector<uint8_t> out(picture.begin(), picture.begin() + static_cast<ptrdiff_t>(at));
        out.insert(out.end(), sei.begin(), sei.end());
        out.insert(out.end(), picture.begin() + static_cast<ptrdiff_t>(at), picture.end());
        return out;
      }
      i += 2;
    }
  }
  return picture;
}

void AppendLe32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A frame header's bytes as the fields say (the length and date chosen so that no two zero
// bytes meet, which would change under emulation prevention).
std::vector<uint8_t> FakeHeader(uint8_t type, uint8_t channel, uint32_t length, uint32_t date,
                                const std::vector<uint8_t>& extension) {
  std::vector<uint8_t> b = {'D', 'H', 'A', 'V', type, 1, channel, 1};
  AppendLe32(b, 0x11223344);
  AppendLe32(b, length);
  AppendLe32(b, date);
  b.push_back(0x55);
  b.push_back(0x01);
  b.push_back(static_cast<uint8_t>(extension.size()));
  b.push_back(0x77);
  b.insert(b.end(), extension.begin(), extension.end());
  return b;
}

// Places the frames of the camera image and keeps the record of them.
class CameraImageWriter {
 public:
  CameraImageWriter(const std::vector<VideoClip>& clips, uint64_t size)
      : clips_(clips), image_(size, Fill::kNoise, 15) {}

  // Starts a run of `channel`'s frames; frames placed for the channel go to it.
  void StartRun(uint8_t channel) {
    CameraRun run;
    run.channel = channel;
    open_[channel] = static_cast<int>(runs_.size());
    runs_.push_back(run);
  }

  // A picture of the channel's clip (or `data` in its place) at `position`; returns the position
  // after it.
  uint64_t Video(uint64_t position, uint8_t channel, int picture, int64_t time, uint16_t ms,
                 const std::vector<uint8_t>* data = nullptr) {
    const VideoClip& clip = clips_[channel];
    FrameSpec f;
    f.position = position;
    f.packed_time = PackEpochSeconds(time);
    f.key = clip.key[static_cast<size_t>(picture)];
    f.data = data ? data : &clip.pictures[static_cast<size_t>(picture)];
    if (f.key) f.extension = VideoExtension(clip);
    f.milliseconds = ms;
    f.channel = channel;
    f.frame_number = frame_numbers_[channel]++;
    return Place(f, picture, time);
  }

  // An audio frame of the channel: 40 ms of 8 kHz A-law, one channel (0x83: 1, 0x0E, rate 0).
  uint64_t Audio(uint64_t position, uint8_t channel, int64_t time, uint16_t ms) {
    FrameSpec f;
    f.position = position;
    f.packed_time = PackEpochSeconds(time);
    f.type = 0xF0;
    f.payload = 320;
    f.extension = {0x83, 1, 0x0E, 0};
    f.milliseconds = ms;
    f.channel = channel;
    f.frame_number = frame_numbers_[channel]++;
    return Place(f, -1, time);
  }

  // An auxiliary frame of the channel (64 bytes of data beside the pictures).
  uint64_t Auxiliary(uint64_t position, uint8_t channel, int64_t time, uint16_t ms) {
    FrameSpec f;
    f.position = position;
    f.packed_time = PackEpochSeconds(time);
    f.type = 0xF1;
    f.payload = 64;
    f.milliseconds = ms;
    f.channel = channel;
    f.frame_number = frame_numbers_[channel]++;
    return Place(f, -1, time);
  }

  ImageBuilder& image() { return image_; }
  std::vector<CameraFrame>& frames() { return frames_; }

  CameraImage Finish() {
    CameraImage out;
    out.bytes = image_.bytes();
    std::vector<size_t> order(frames_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return frames_[a].position < frames_[b].position; });
    for (size_t i : order) {
      const CameraFrame& f = frames_[i];
      out.frames.push_back(f);
      CameraRun& run = runs_[static_cast<size_t>(run_of_[i])];
      if (run.video_frames + run.audio_frames + run.auxiliary_frames == 0) {
        run.position = f.position;
        run.start = f.time;
      }
      run.end = f.time;
      run.end_position = f.position + f.length;
      if (f.type == 0xFD || f.type == 0xFC) {
        ++run.video_frames;
        if (f.type == 0xFD) ++run.key_frames;
        if (f.complete) run.pictures.push_back(f.picture);
      } else if (f.type == 0xF0) {
        ++run.audio_frames;
      } else {
        ++run.auxiliary_frames;
      }
      if (f.complete) ++run.complete_frames;
    }
    out.runs = runs_;
    std::sort(out.runs.begin(), out.runs.end(),
              [](const CameraRun& a, const CameraRun& b) { return a.position < b.position; });
    // Every other magic: inside a complete frame it is that frame's data, elsewhere a stray.
    const std::vector<uint8_t>& b = out.bytes;
    size_t next = 0;  // the first frame (in position order) not wholly before p
    for (uint64_t p = 0; p + 4 <= b.size(); ++p) {
      if (std::memcmp(b.data() + p, kFrameMagic, 4) != 0) continue;
      while (next < out.frames.size() && out.frames[next].position + out.frames[next].length <= p) {
        ++next;
      }
      bool frame_start = false, inside = false;
      for (size_t i = next; i < out.frames.size() && out.frames[i].position <= p; ++i) {
        const CameraFrame& f = out.frames[i];
        frame_start = frame_start || f.position == p;
        inside = inside || (f.complete && p > f.position && p < f.position + f.length);
      }
      if (frame_start) continue;
      (inside ? out.chance_matches : out.stray_matches).push_back(p);
    }
    return out;
  }

 private:
  uint64_t Place(const FrameSpec& f, int picture, int64_t time) {
    image_.AddFrame(f);
    const uint32_t length = FrameLength(
        static_cast<uint32_t>(f.extension.size() + (f.data ? f.data->size() : f.payload)));
    frames_.push_back(CameraFrame{f.position, length, f.channel,
                                  static_cast<uint8_t>(f.type >= 0 ? f.type
                                                       : f.key     ? 0xFD
                                                                   : 0xFC),
                                  picture, time, true});
    run_of_.push_back(open_[f.channel]);
    return f.position + length;
  }

  const std::vector<VideoClip>& clips_;
  ImageBuilder image_;
  std::vector<CameraFrame> frames_;
  std::vector<int> run_of_;
  std::vector<CameraRun> runs_;
  int open_[256] = {};
  uint32_t frame_numbers_[256] = {};
};

}  // namespace

const std::vector<CameraClip>& CameraClips() {
  static const std::vector<CameraClip> clips = {
      {"testsrc-352x288-25fps.h264", VideoCodec::kH264, 352, 288, 25},
      {"smptebars-176x144-25fps.h264", VideoCodec::kH264, 176, 144, 25},
      {"rgbtestsrc-320x240-12fps.h264", VideoCodec::kH264, 320, 240, 12},
      {"pal75bars-192x128-15fps.h265", VideoCodec::kH265, 192, 128, 15},
  };
  return clips;
}

bool LoadCameraClips(const std::string& data_dir, std::vector<VideoClip>* clips,
                     std::string* error) {
  clips->clear();
  for (const CameraClip& c : CameraClips()) {
    VideoClip clip;
    if (!LoadVideoClip(data_dir + "/" + c.file, c.codec, c.width, c.height, c.fps, &clip, error)) {
      return false;
    }
    clips->push_back(std::move(clip));
  }
  return true;
}

CameraImage BuildCameraImage(const std::vector<VideoClip>& clips) {
  constexpr uint64_t kMiB = 1 << 20;
  CameraImageWriter w(clips, 3 * kMiB + 4321);
  const int64_t day = DaysFromCivil(2014, 3, 5) * kSecondsPerDay;

  // Two seconds of all four cameras from 02:10:00, interleaved in time order.
  const int64_t t0 = day + 2 * 3600 + 10 * 60;
  struct Event {
    uint32_t ms;
    uint8_t channel;
    int picture;
  };
  std::vector<Event> events;
  for (uint8_t c = 0; c < clips.size(); ++c) {
    w.StartRun(c);
    for (size_t i = 0; i < clips[c].pictures.size(); ++i) {
      events.push_back({static_cast<uint32_t>(i * 1000 / std::max<uint8_t>(clips[c].fps, 1)), c,
                        static_cast<int>(i)});
    }
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const Event& a, const Event& b) { return a.ms < b.ms; });
  // Camera 1's pictures that carry the magic in an SEI message: a header of camera 2 that passes
  // for a valid frame (its length points 10 MiB ahead, where no trailer is), a whole frame of
  // camera 1 with its trailer, and a magic followed by nothing a frame could be.
  std::vector<std::vector<uint8_t>> carried(clips.size() > 1 ? clips[1].pictures.size() : 0);
  auto carry = [&](size_t picture, const std::vector<uint8_t>& data) {
    if (picture < carried.size())
      carried[picture] = WithSei(clips[1].pictures[picture], UserDataSei(data));
  };
  {
    std::vector<uint8_t> header = FakeHeader(0xFC, 2, 0x00A1B2C3, PackEpochSeconds(t0), {});
    header.insert(header.end(), 16, 0x5A);
    carry(10, header);
    const uint32_t length = 0x130;
    std::vector<uint8_t> frame =
        FakeHeader(0xFC, 1, length, PackEpochSeconds(t0), {0x81, 1, 2, 25});
    frame.resize(length - 8, 0xA5);
    frame.insert(frame.end(), {'d', 'h', 'a', 'v'});
    AppendLe32(frame, length);
    carry(20, frame);
    const char stray[] = "DHAV is not a frame here";
    carry(35, std::vector<uint8_t>(stray, stray + sizeof stray - 1));
  }
  uint64_t at = kMiB - 40000;
  for (const Event& e : events) {
    const int64_t clock = e.channel == 2 ? -3 : 0;  // camera 2's clock is 3 seconds behind
    const int64_t time = t0 + e.ms / 1000 + clock;
    const uint16_t ms = static_cast<uint16_t>(e.ms);
    const std::vector<uint8_t>* data = nullptr;
    if (e.channel == 1 && !carried[static_cast<size_t>(e.picture)].empty()) {
      data = &carried[static_cast<size_t>(e.picture)];
    }
    at = w.Video(at, e.channel, e.picture, time, ms, data);
    if (e.channel == 0) at = w.Audio(at, 0, time, ms);
    if (e.channel == 1 && e.picture % 25 == 0) at = w.Auxiliary(at, 1, time, ms);
  }

  // Camera 1's recording from 23:59:59 the day before, overwritten from the middle of its 21st
  // frame on by camera 0's recording of 03:00:00.
  at = 2 * kMiB + 333;
  w.StartRun(1);
  for (int i = 0; i < 21; ++i) {
    const uint32_t ms = static_cast<uint32_t>(i) * 40;
    at = w.Video(at, 1, i, day - 1 + ms / 1000, static_cast<uint16_t>(ms));
  }
  CameraFrame& cut = w.frames().back();
  cut.complete = false;
  const uint32_t cut_payload = cut.length - 24 - 8;
  at = cut.position + 24 + cut_payload / 2;
  w.StartRun(0);
  const int64_t t3 = day + 3 * 3600;
  for (int i = 0; i < 25; ++i) {
    const uint16_t ms = static_cast<uint16_t>(i * 40);
    at = w.Video(at, 0, i, t3, ms);
    at = w.Audio(at, 0, t3, ms);
  }

  // A stray magic in the noise: no frame type follows it.
  const uint8_t stray[24] = {'D', 'H', 'A', 'V', 0x13, 0x37, 0x09, 0x42, 0x81, 0x82, 0x83, 0x84};
  std::copy(stray, stray + sizeof stray, w.image().bytes().begin() + 2 * kMiB + 600001);
  return w.Finish();
}

std::vector<uint8_t> RunStream(const CameraRun& run, const std::vector<VideoClip>& clips) {
  std::vector<uint8_t> stream;
  const VideoClip& clip = clips[run.channel];
  for (int picture : run.pictures) {
    const std::vector<uint8_t>& p = clip.pictures[static_cast<size_t>(picture)];
    stream.insert(stream.end(), p.begin(), p.end());
  }
  return stream;
}

}  // namespace korvane::testimage
