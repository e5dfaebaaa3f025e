// SPDX-License-Identifier: GPL-3.0-or-later
#include "video/frames.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "scan/frame_search.h"

namespace korvane::video {
namespace {

Status Shrunk(SourceReader& reader, const SourceReader::Stats& stats) {
  return Status::Error(ErrorCode::kReadFailed,
                       "the source shrank to " +
                           std::to_string(stats.source_end.value_or(reader.Size())) +
                           " bytes: the recording is no longer all there");
}

}  // namespace

Result<FrameCheck> ReadFrameAt(SourceReader& reader, uint64_t position, FrameBytes* frame) {
  // Most frames are short: one read of the header and a good part after it, a second one only
  // for the rest of a long frame.
  constexpr size_t kFirstRead = 64 * 1024;
  std::vector<uint8_t>& b = frame->bytes;
  if (position >= reader.Size()) {
    return Status::Error(ErrorCode::kReadFailed, "position " + std::to_string(position) +
                                                     " lies past the end of the source");
  }
  size_t have = static_cast<size_t>(std::min<uint64_t>(kFirstRead, reader.Size() - position));
  b.resize(have);
  SourceReader::Stats stats = reader.ReadAligned(b.data(), have, position);
  if (stats.missing > 0) return Shrunk(reader, stats);
  frame->header = ParseFrameHeader(std::span<const uint8_t>(b.data(), have));
  const FrameHeader& h = frame->header;
  if (!h.valid) return FrameCheck::kNotAFrame;
  const size_t length = h.length;
  if (length > reader.Size() - position) {
    // Cut off by the end of the source.
    return stats.unreadable > 0 ? FrameCheck::kUnreadable : FrameCheck::kIncomplete;
  }
  if (length > have) {
    b.resize(length);
    SourceReader::Stats rest = reader.ReadAligned(b.data() + have, length - have, position + have);
    if (rest.missing > 0) return Shrunk(reader, rest);
    stats.unreadable += rest.unreadable;
  } else {
    b.resize(length);
  }
  const std::span<const uint8_t> trailer(b.data() + h.TrailerOffset(), kFrameTrailerSize);
  if (!IsCompleteFrame(h, trailer)) {
    return stats.unreadable > 0 ? FrameCheck::kUnreadable : FrameCheck::kIncomplete;
  }
  if (stats.unreadable > 0) return FrameCheck::kUnreadable;
  frame->payload_offset = kFrameHeaderSize + h.extension_length;
  frame->payload_size = h.TrailerOffset() - frame->payload_offset;
  return FrameCheck::kComplete;
}

bool FrameReader::Cover(uint64_t position, size_t len) {
  if (clean_ && position >= start_ && position + len <= start_ + size_) return true;
  constexpr size_t kWindow = 1 << 20;
  // Whole sectors from a sector boundary go straight into the buffer.
  const uint64_t start = position / SourceReader::kSectorSize * SourceReader::kSectorSize;
  const size_t want = std::max<size_t>(kWindow, len + static_cast<size_t>(position - start));
  const size_t size = static_cast<size_t>(std::min<uint64_t>(want, reader_.Size() - start));
  window_.resize(std::max(window_.size(), want));
  const SourceReader::Stats stats = reader_.ReadAligned(window_.data(), size, start);
  start_ = start;
  size_ = size;
  clean_ = stats.unreadable == 0 && stats.missing == 0;
  return clean_ && position + len <= start_ + size_;
}

Result<FrameCheck> FrameReader::Read(uint64_t position, FrameBytes* frame) {
  if (position >= reader_.Size()) return ReadFrameAt(reader_, position, frame);
  const size_t head =
      static_cast<size_t>(std::min<uint64_t>(kFrameHeaderMaxBytes, reader_.Size() - position));
  if (!Cover(position, head)) return ReadFrameAt(reader_, position, frame);
  const FrameHeader h =
      ParseFrameHeader(std::span<const uint8_t>(window_.data() + (position - start_), head));
  if (!h.valid || h.length > reader_.Size() - position || !Cover(position, h.length)) {
    return ReadFrameAt(reader_, position, frame);
  }
  const uint8_t* b = window_.data() + (position - start_);
  frame->header = h;
  frame->bytes.assign(b, b + h.length);
  const std::span<const uint8_t> trailer(b + h.TrailerOffset(), kFrameTrailerSize);
  if (!IsCompleteFrame(h, trailer)) return FrameCheck::kIncomplete;
  frame->payload_offset = kFrameHeaderSize + h.extension_length;
  frame->payload_size = h.TrailerOffset() - frame->payload_offset;
  return FrameCheck::kComplete;
}

Result<std::vector<ChannelFrames>> FindChannelFrames(SourceReader& reader, uint64_t begin,
                                                     uint64_t end, const std::atomic<int>& stop) {
  constexpr size_t kChunk = 1 << 20;
  end = std::min(end, reader.Size());
  std::map<uint8_t, ChannelFrames> channels;
  std::vector<uint8_t> buf(kChunk + kFrameHeaderMaxBytes);
  uint8_t trailer[kFrameTrailerSize];
  uint64_t at = begin;  // the next position a header may start at
  while (at < end) {
    if (stop.load(std::memory_order_relaxed)) {
      return Status::Error(ErrorCode::kStopped, "stopped");
    }
    // This chunk's headers start in [at, at + kChunk); the extra bytes hold their blocks.
    const uint64_t starts = std::min<uint64_t>(kChunk, end - at);
    const size_t len =
        static_cast<size_t>(std::min<uint64_t>(starts + kFrameHeaderMaxBytes, reader.Size() - at));
    SourceReader::Stats stats = reader.ReadAligned(buf.data(), len, at);
    if (stats.missing > 0) return Shrunk(reader, stats);
    uint64_t next = at + starts;
    for (size_t i = 0; i < starts;) {
      const void* d = std::memchr(buf.data() + i, 'D', static_cast<size_t>(starts) - i);
      if (!d) break;
      i = static_cast<size_t>(static_cast<const uint8_t*>(d) - buf.data());
      if (i + 4 > len || std::memcmp(buf.data() + i, kFrameMagic, 4) != 0) {
        ++i;
        continue;
      }
      const FrameHeader h = ParseFrameHeader(std::span<const uint8_t>(buf.data() + i, len - i));
      if (!h.valid) {
        ++i;
        continue;
      }
      const uint64_t position = at + i;
      ChannelFrames& c = channels[h.channel];
      c.channel = h.channel;
      c.frames.push_back(position);
      if (h.IsVideo()) ++c.video_frames;
      if (h.IsKeyFrame()) ++c.key_frames;
      // A complete frame's bytes are its own: skip them.
      bool complete = false;
      const uint64_t trailer_at = position + h.TrailerOffset();
      if (h.TrailerOffset() >= kFrameHeaderSize &&
          trailer_at + kFrameTrailerSize <= reader.Size()) {
        if (trailer_at + kFrameTrailerSize <= at + len) {
          complete = IsCompleteFrame(
              h, std::span<const uint8_t>(buf.data() + (trailer_at - at), kFrameTrailerSize));
        } else {
          SourceReader::Stats t = reader.ReadAligned(trailer, sizeof trailer, trailer_at);
          if (t.missing > 0) return Shrunk(reader, t);
          complete = IsCompleteFrame(h, std::span<const uint8_t>(trailer, sizeof trailer));
        }
      }
      if (complete && position + h.length > at + starts) {
        next = position + h.length;  // the frame runs past this chunk: go on after it
        break;
      }
      i += complete ? h.length : 1;
    }
    at = next;
  }
  std::vector<ChannelFrames> out;
  for (auto& [number, c] : channels) out.push_back(std::move(c));
  return out;
}

}  // namespace korvane::video
