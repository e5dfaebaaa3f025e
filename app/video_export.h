// SPDX-License-Identifier: GPL-3.0-or-later
// The window's video export: the checked rows' channels as MP4 files in the save folder, on the
// worker thread, reported through the window's feed as a save is (its start and progress as a
// save's, its end as ExportFinished). Only in builds with video (KORVANE_HAVE_VIDEO).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/scan_feed.h"
#include "scan/recording.h"

namespace korvane::gui {

class VideoExport {
 public:
  // `recordings` are rows of the list, named and numbered as it shows them; each one's channels
  // with video become files "N.mp4" (one such channel; always so for a camera row) or
  // "N-chC.mp4", with the export's saving rules (never replacing, nothing half written).
  // `clock_offset`: the files' creation times are corrected by it (the recorder's start is kept).
  VideoExport(ScanFeed& feed, uint64_t job, std::string source, std::string folder,
              std::vector<Recording> recordings, int64_t clock_offset = 0);
  ~VideoExport();
  VideoExport(const VideoExport&) = delete;
  VideoExport& operator=(const VideoExport&) = delete;

  // On the worker thread: finds each recording's channel frames in the source and exports them.
  void Run(const std::atomic<int>& stop);
  // Once the worker's busy flag is down: pushes the end into the feed.
  void Finish();

 private:
  struct Sink;
  std::unique_ptr<Sink> sink_;
  std::string source_;
  std::string folder_;
  std::vector<Recording> recordings_;
  int64_t clock_offset_ = 0;
  ExportFinished end_;
};

}  // namespace korvane::gui
