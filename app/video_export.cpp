// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/video_export.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "scan/source_reader.h"
#include "video/export.h"
#include "video/frames.h"

namespace korvane::gui {

struct VideoExport::Sink final : video::ExportSink, FeedReporter {
  using FeedReporter::FeedReporter;

  void OnExportStart(uint64_t total, size_t files) override {
    Started(SaveStarted{total, static_cast<uint64_t>(files)});
  }
  void OnProgress(uint64_t done, uint64_t total) override { Progress(done, total); }
  void End(ExportFinished end) { Finished(std::move(end)); }
};

VideoExport::VideoExport(ScanFeed& feed, uint64_t job, std::string source, std::string folder,
                         std::vector<Recording> recordings, int64_t clock_offset)
    : sink_(std::make_unique<Sink>(feed, job)),
      source_(std::move(source)),
      folder_(std::move(folder)),
      recordings_(std::move(recordings)),
      clock_offset_(clock_offset) {
  end_.folder = folder_;
}

VideoExport::~VideoExport() = default;

void VideoExport::Run(const std::atomic<int>& stop) {
  video::QuietFfmpegLog();
  Result<std::unique_ptr<SourceReader>> reader = SourceReader::Open(source_);
  if (!reader.ok()) {
    end_.status = reader.status();
    return;
  }
  video::ExportJob job;
  job.source = source_;
  job.folder = folder_;
  job.container = video::Container::kMp4;
  // Recordings whose frames could not be found; listed with the export's files.
  std::vector<ExportedVideo> unfound;
  for (const Recording& r : recordings_) {
    Result<std::vector<video::ChannelFrames>> channels =
        video::FindChannelFrames(**reader, r.position, r.end_position, stop);
    if (!channels.ok()) {
      if (channels.status().code() == ErrorCode::kStopped) {
        end_.status = channels.status();
        end_.files = std::move(unfound);
        return;
      }
      ExportedVideo failed;
      failed.recording = r.Name();
      failed.channel = r.channel.value_or(0);
      failed.error = channels.status().message();
      unfound.push_back(std::move(failed));
      continue;
    }
    std::vector<video::ExportItem> items = video::RecordingItems(r, std::move(*channels), "mp4");
    for (video::ExportItem& item : items) item.clock_offset = clock_offset_;
    if (items.empty()) {
      ExportedVideo none;
      none.recording = r.Name();
      none.channel = r.channel.value_or(0);
      none.no_key_frame = true;
      none.error = "no video frames";
      unfound.push_back(std::move(none));
      continue;
    }
    std::move(items.begin(), items.end(), std::back_inserter(job.items));
  }
  end_.files = std::move(unfound);
  if (job.items.empty()) {
    end_.status = Status::Ok();
    return;
  }
  const video::ExportResult result = video::ExportRecordings(**reader, job, *sink_, stop);
  end_.status = result.status;
  end_.exported_bytes = result.exported_bytes;
  end_.manifest_error = result.manifest_error;
  for (size_t n = 0; n < result.files.size(); ++n) {
    const video::ExportedFile& f = result.files[n];
    ExportedVideo v;
    if (n < job.items.size()) {  // one file per item, in order, up to a stop
      v.position = job.items[n].position;
      v.end_position = job.items[n].end_position;
    }
    v.bytes = f.bytes;
    v.sha256 = f.sha256;
    v.in_manifest = f.in_manifest;
    v.recording = f.recording_name;
    v.channel = f.channel;
    v.file_name = f.file_name;
    v.exported = f.outcome == FileOutcome::kSaved;
    v.stopped = f.outcome == FileOutcome::kStopped;
    v.no_key_frame = f.no_picture;
    v.error = f.error;
    end_.files.push_back(std::move(v));
  }
}

void VideoExport::Finish() {
  sink_->End(std::move(end_));
}

}  // namespace korvane::gui
