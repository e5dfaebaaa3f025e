// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/segmenter.h"

#include <algorithm>
#include <vector>

#include "scan/time_model.h"

namespace korvane {

void CountFrameContent(Recording& r, const Frame& frame) {
  const FrameTraits& t = frame.traits;
  if (!t.valid) return;
  ++r.valid_frames;
  if (t.complete) ++r.complete_frames;
  auto it = std::lower_bound(
      r.channels.begin(), r.channels.end(), t.channel,
      [](const ChannelContent& c, uint8_t channel) { return c.channel < channel; });
  if (it == r.channels.end() || it->channel != t.channel) {
    it = r.channels.insert(it, ChannelContent{});
    it->channel = t.channel;
  }
  ChannelContent& c = *it;
  switch (static_cast<FrameType>(t.type)) {
    case FrameType::kKeyVideo:
      ++c.key_frames;
      [[fallthrough]];
    case FrameType::kVideo:
      ++c.video_frames;
      break;
    case FrameType::kAudio:
      ++c.audio_frames;
      break;
    case FrameType::kAuxiliary:
      ++c.auxiliary_frames;
      break;
  }
  if (c.codec == VideoCodec::kUnknown) c.codec = t.codec;
  if (!c.width && t.width) {
    c.width = t.width;
    c.height = t.height;
  }
  if (!c.fps) c.fps = t.fps;
}

Status TimeSegmenter::AddFrame(const Frame& frame) {
  const int64_t t = PackedTimeToUnixSeconds(frame.packed_time);
  if (open_) {
    const int64_t step = t - current_.end;
    if (step == 0 || step == 1) {
      current_.end = t;
      current_.end_position = frame.end_position;
      ++current_.frames;
      CountFrameContent(current_, frame);
      return Status::Ok();
    }
    open_ = false;
    if (Status s = sink_.OnRecordingClosed(current_); !s.ok()) return s;
  }
  current_ = Recording{next_index_++, t, t, frame.position, frame.end_position, 1};
  CountFrameContent(current_, frame);
  open_ = true;
  return sink_.OnRecordingOpened(current_);
}

Status TimeSegmenter::Finish() {
  if (!open_) return Status::Ok();
  open_ = false;
  return sink_.OnRecordingClosed(current_);
}

Status CameraSegmenter::AddFrame(const Frame& frame) {
  const bool accepted = rule_.Accept(frame);
  if (!accepted) {
    if (CameraFrameRule::IsData(frame, accepted)) ++data_matches_;
    return Status::Ok();
  }
  const uint8_t channel = frame.traits.channel;
  Recording& current = current_[channel];
  const int64_t t = PackedTimeToUnixSeconds(frame.packed_time);
  if (open_[channel]) {
    const int64_t step = t - current.end;
    if (step == 0 || step == 1) {
      current.end = t;
      current.end_position = frame.end_position;
      ++current.frames;
      CountFrameContent(current, frame);
      return Status::Ok();
    }
    open_[channel] = false;
    if (Status s = sink_.OnCameraRecordingClosed(current); !s.ok()) return s;
  }
  current = Recording{next_index_++, t, t, frame.position, frame.end_position, 1};
  current.grouping = Grouping::kCamera;
  current.channel = channel;
  CountFrameContent(current, frame);
  open_[channel] = true;
  return sink_.OnCameraRecordingOpened(current);
}

Status CameraSegmenter::Finish() {
  std::vector<const Recording*> open;
  for (size_t c = 0; c < open_.size(); ++c) {
    if (open_[c]) open.push_back(&current_[c]);
  }
  std::sort(open.begin(), open.end(),
            [](const Recording* a, const Recording* b) { return a->index < b->index; });
  for (const Recording* r : open) {
    open_[*r->channel] = false;
    if (Status s = sink_.OnCameraRecordingClosed(*r); !s.ok()) return s;
  }
  return Status::Ok();
}

}  // namespace korvane
