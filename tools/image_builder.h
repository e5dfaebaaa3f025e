// Writes raw disk images holding frames at chosen positions with chosen times, for tests, the
// demo and benchmarks.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

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
};

// Header + payload + "dhav" trailer with the length again.
uint32_t FrameLength(uint32_t payload);

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

// The demo image written by ./run: several recordings, a midnight crossing, a month end, a gap,
// a frame across a 1 MiB boundary and a stray magic in noise.
std::vector<uint8_t> BuildDemoImage();

}  // namespace korvane::testimage
