// SPDX-License-Identifier: GPL-3.0-or-later
// Writes raw disk images holding frames at chosen positions with chosen times, for tests, the
// demo and benchmarks.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "scan/frame_header.h"
#include "scan/time_model.h"

namespace korvane::testimage {

enum class Fill { kZeros, kNoise };

struct FrameSpec {
  uint64_t position = 0;  // where the header starts
  uint32_t packed_time = 0;
  uint32_t payload = 64;  // payload bytes between header and trailer
  bool key = true;        // 0xFD key frame or 0xFC other frame
  uint8_t channel = 0;
  // When set, the header's length field holds this instead of the real frame length.
  int64_t length_override = -1;
  // When set, the payload is these bytes (a picture of real video) instead of `payload` bytes of
  // noise.
  const std::vector<uint8_t>* data = nullptr;
  // Extension blocks between the header and the payload; header byte 22 holds their length.
  std::vector<uint8_t> extension = {};
  uint16_t milliseconds = 0;  // header bytes 20-21
  // When set, header byte 4 holds this type (FrameType) instead of what `key` says.
  int type = -1;
  // When set, the header's frame number holds this instead of the builder's running count.
  int64_t frame_number = -1;
};

// Header + payload + "dhav" trailer with the length again (the payload including any extension
// blocks).
uint32_t FrameLength(uint32_t payload);

// A short H.264 clip cut into pictures (access units), to be carried as frame payloads.
struct VideoClip {
  std::vector<std::vector<uint8_t>> pictures;  // Annex B access units in decoding order
  std::vector<bool> key;                       // the picture is an IDR picture
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t fps = 25;
  uint8_t codec_number = 2;  // the 0x81 block's video codec: 2 H.264, 0x0C H.265
};

// Reads an H.264 Annex B elementary stream (without B-frames) and cuts it into pictures. Fails
// when the file cannot be read, holds no picture or does not begin with an IDR picture.
bool LoadVideoClip(const std::string& path, uint16_t width, uint16_t height, uint8_t fps,
                   VideoClip* clip, std::string* error);
// The same for an H.264 or H.265 stream (an H.265 one must begin with a random access picture).
bool LoadVideoClip(const std::string& path, VideoCodec codec, uint16_t width, uint16_t height,
                   uint8_t fps, VideoClip* clip, std::string* error);

// The extension blocks a key frame of the clip carries: 0x81 (tag, 0, the clip's codec number,
// frames per second) and 0x82 (tag, three zero bytes, width and height as 16-bit little-endian).
std::vector<uint8_t> VideoExtension(const VideoClip& clip);

class ImageBuilder {
 public:
  ImageBuilder(uint64_t size, Fill fill, uint32_t seed = 1);

  // Places a whole frame. Frames may cross the image's end; what does not fit is dropped.
  void AddFrame(const FrameSpec& frame);
  // Places just the four magic bytes (a stray match in other data) followed by a time word.
  void AddStrayMagic(uint64_t position, uint32_t packed_time);
  // Places `count` frames one after another from position, `per_second` frames per second,
  // starting at time t0 (seconds since the epoch). Returns the position after the last frame.
  uint64_t AddRecording(uint64_t position, int64_t t0, uint32_t count, uint32_t per_second = 1,
                        uint32_t payload = 4000);
  // Places `count` frames of real video one after another from position: the clip's pictures in
  // turn (starting over after the last), clip.fps a second from time t0, key frames (0xFD) with
  // the clip's extension blocks. Returns the position after the last frame.
  uint64_t AddVideoRecording(uint64_t position, int64_t t0, const VideoClip& clip, uint32_t count);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t>& bytes() { return bytes_; }
  bool WriteTo(const std::string& path, std::string* error) const;

 private:
  void Put(uint64_t position, const uint8_t* data, size_t len);
  std::vector<uint8_t> bytes_;
  std::mt19937_64 rng_;
  uint8_t frame_number_ = 0;
};

// The packed word of a time in seconds since the epoch (years 2000 to 2063).
uint32_t PackEpochSeconds(int64_t t);
uint32_t PackDate(int year, int month, int day, int hour, int minute, int second);

// Removes every accidental magic from random bytes by changing the match's first byte.
void ScrubMagic(std::vector<uint8_t>& bytes);

// Noise holding recordings of real video from the clip: one across midnight, one across a 1 MiB
// boundary, one at an odd position, and a stray magic. 4 MiB.
std::vector<uint8_t> BuildVideoImage(const VideoClip& clip);

// The cameras of a recorder, by channel: each one's own clip in tests/data and its format.
struct CameraClip {
  const char* file;
  VideoCodec codec;
  uint16_t width;
  uint16_t height;
  uint8_t fps;
};
const std::vector<CameraClip>& CameraClips();

// Loads CameraClips() from the folder `data_dir` (tests/data), in channel order.
bool LoadCameraClips(const std::string& data_dir, std::vector<VideoClip>* clips,
                     std::string* error);

// A frame the camera image holds.
struct CameraFrame {
  uint64_t position = 0;
  uint32_t length = 0;  // its header's frame length
  uint8_t channel = 0;
  uint8_t type = 0;      // FrameType
  int picture = -1;      // the clip picture a video frame carries
  int64_t time = 0;      // the time it carries (its camera's clock)
  bool complete = true;  // false: later data overwrote its end
};

// One camera's run of frames: what a per-camera listing shows as one recording.
struct CameraRun {
  uint8_t channel = 0;  // also the index of its clip in CameraClips()
  int64_t start = 0;    // first and last frame's time, by the camera's clock
  int64_t end = 0;
  uint64_t position = 0;      // first frame's header
  uint64_t end_position = 0;  // last frame's position + its header's length
  uint32_t video_frames = 0;
  uint32_t key_frames = 0;
  uint32_t audio_frames = 0;
  uint32_t auxiliary_frames = 0;
  uint32_t complete_frames = 0;  // every frame is valid; these are also complete
  // The clip pictures its complete video frames carry, in position order: what its video
  // decodes to.
  std::vector<int> pictures;
};

struct CameraImage {
  std::vector<uint8_t> bytes;
  std::vector<CameraFrame> frames;  // every frame placed, in position order
  std::vector<CameraRun> runs;      // in the order of their first frame's position
  // Magic bytes that are no frame: inside frames' video data, and in the noise between frames.
  std::vector<uint64_t> chance_matches;
  std::vector<uint64_t> stray_matches;
};

// Noise holding a recorder's frames of four cameras (CameraClips(), clips in channel order):
// - at 1 MiB - 40000, across the first 1 MiB boundary, two seconds of all four cameras, their
//   frames interleaved in time order, each at its own frame rate; camera 2's clock is 3 seconds
//   behind the others; camera 0 has an audio frame after each picture, camera 1 an auxiliary
//   frame each second; three of camera 1's pictures carry an SEI message whose bytes hold the
//   magic: a header that passes for a valid frame of camera 2 but has no trailer, a whole frame
//   of camera 1 with its trailer, and a magic followed by no frame at all;
// - at 2 MiB + 333, camera 1's recording from just before midnight of the day before, whose
//   21st frame was cut short when camera 0's recording of 03:00 overwrote the rest;
// - a stray magic in the noise.
CameraImage BuildCameraImage(const std::vector<VideoClip>& clips);

// The pictures a run's complete video frames carry, as one elementary stream of its clip: what a
// file of just that camera's frames decodes to.
std::vector<uint8_t> RunStream(const CameraRun& run, const std::vector<VideoClip>& clips);

// The demo image written by ./run: several recordings, a midnight crossing, a month end, a gap,
// a frame across a 1 MiB boundary and a stray magic in noise.
std::vector<uint8_t> BuildDemoImage();

}  // namespace korvane::testimage
