// SPDX-License-Identifier: GPL-3.0-or-later
#include "report/pictures.h"

#include <iterator>
#include <map>

#include "video/export.h"
#include "video/frames.h"
#include "video/thumbnail.h"

namespace korvane::report {

Status AddPictures(SourceReader& reader, const std::string& source, const std::string& folder,
                   std::vector<ReportRecording>& recordings,
                   std::vector<evidence::LoggedFile>& written, const std::atomic<int>& stop) {
  try {
    video::ExportJob job;
    job.source = source;
    job.folder = folder;
    std::map<std::string, ReportRecording*> by_name;
    for (ReportRecording& rr : recordings) {
      const Recording& r = rr.recording;
      Result<std::vector<video::ChannelFrames>> channels =
          video::FindChannelFrames(reader, r.position, r.end_position, stop);
      if (!channels.ok()) return channels.status();
      std::vector<video::ExportItem> items = video::RecordingItems(r, std::move(*channels), "png");
      std::move(items.begin(), items.end(), std::back_inserter(job.items));
      by_name[r.Name()] = &rr;
    }
    if (job.items.empty()) return Status::Ok();
    video::ExportSink quiet;
    const video::ExportResult result = video::WriteThumbnails(reader, job, quiet, stop);
    if (!result.Ran()) return result.status;
    std::string failure;
    for (const video::ExportedFile& f : result.files) {
      if (f.outcome != FileOutcome::kSaved) {
        if (!f.no_picture && failure.empty()) {
          failure = "the picture of " + f.recording_name + " could not be written: " + f.error;
        }
        continue;
      }
      evidence::LoggedFile logged;
      if (auto it = by_name.find(f.recording_name); it != by_name.end()) {
        it->second->pictures.push_back(f.file_name);
        logged.position = it->second->recording.position;
        logged.end_position = it->second->recording.end_position;
      }
      logged.kind = evidence::kPictureFile;
      logged.path = f.file_name;
      logged.recording = f.recording_name;
      logged.bytes = f.bytes;
      logged.sha256 = f.sha256;
      written.push_back(std::move(logged));
    }
    if (result.Stopped()) return result.status;
    if (!failure.empty()) return Status::Error(ErrorCode::kWriteFailed, failure);
    return Status::Ok();
  } catch (...) {
    return StatusFromException("the report's pictures");
  }
}

}  // namespace korvane::report
