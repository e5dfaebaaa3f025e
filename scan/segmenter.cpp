#include "scan/segmenter.h"

#include "scan/time_model.h"

namespace korvane {

Status TimeSegmenter::AddFrame(const Frame& frame) {
  const int64_t t = PackedTimeToUnixSeconds(frame.packed_time);
  if (open_) {
    const int64_t step = t - current_.end;
    if (step == 0 || step == 1) {
      current_.end = t;
      current_.end_position = frame.end_position;
      ++current_.frames;
      return Status::Ok();
    }
    open_ = false;
    if (Status s = sink_.OnRecordingClosed(current_); !s.ok()) return s;
  }
  current_ = Recording{next_index_++, t, t, frame.position, frame.end_position, 1};
  open_ = true;
  return sink_.OnRecordingOpened(current_);
}

Status TimeSegmenter::Finish() {
  if (!open_) return Status::Ok();
  open_ = false;
  return sink_.OnRecordingClosed(current_);
}

}  // namespace korvane
