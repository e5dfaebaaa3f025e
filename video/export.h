// SPDX-License-Identifier: GPL-3.0-or-later
// Playable video out of a recording: one channel's frames stream-copied into MP4 or Matroska
// through libavformat, and a picture of its first decodable key frame.
//
// Export rules:
// - The frames are read from the source through SourceReader and each one is parsed and checked
//   here (ParseFrameHeader, IsCompleteFrame): only complete video frames of the channel are
//   written, in the order given (position order), starting at the first key frame. Frames before
//   it and incomplete or unreadable frames are counted as skipped.
// - Stream copy: each frame's payload (Annex B access units of H.264 or H.265) goes into the file
//   as it is; the container's codec record (avcC / hvcC) is built by libavformat from the
//   parameter sets (SPS, PPS, VPS) of the first key frame. Nothing is decoded or re-encoded.
// - Timestamps in milliseconds from 0 at the first key frame: each frame advances by the step of
//   its millisecond counter (header bytes 20-21, which wraps at 65536); a counter that does not
//   move, or one that disagrees with the packed times by more than a second, gives the frame
//   rate's step (from the 0x81 block; 25 when no frame says).
// - Metadata: creation_time is the recording's start (the recorder's clock, taken as UTC, as
//   everywhere else; corrected by the item's clock offset when it has one); "recorder_start" keeps
//   the recorder's own text of it ("2014-03-05 02:10:00", no time zone), also with an offset,
//   which "clock_offset" then names ("+01:30:00"). exports.csv keeps the recorder's times.
// - MP4 is written faststart (the index before the data). MP4 leaves the audio out; Matroska
//   carries the channel's A-law and mu-law audio as it is (8-bit PCM in an A_MS/ACM track);
//   other audio codecs are left out and noted.
// - A key frame whose picture size or codec differs from the first one's ends the export of that
//   file with a failure that says so (nothing is written): one file holds one picture size.
// - Saving: the file is written unnamed (or under a hidden name) in the folder and appears under
//   its name only when complete and flushed; never replaces anything ("0 (1).mp4"); a failure or a
//   stop removes it. Every exported file gets a line in the folder's exports.csv.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "scan/result.h"
#include "scan/save.h"
#include "scan/source_reader.h"
#include "video/frames.h"

namespace korvane::video {

enum class Container { kMp4, kMkv };

// "mp4" or "mkv".
const char* ContainerExtension(Container container);

inline constexpr char kExportsName[] = "exports.csv";
inline constexpr char kExportsHeader[] =
    "file,recording,channel,start,end,source,position,end_position,frames_written,"
    "frames_skipped,bytes,sha256\n";

// What to export: one channel of one recording.
struct ExportItem {
  std::string recording_name;  // the recording's name in the list ("0.dav")
  std::string file_name;       // the name to try first ("0.mp4", "0-ch1.mp4")
  uint8_t channel = 0;
  int64_t start = 0;  // the recording's start and end time (Unix seconds of the recorder's clock)
  int64_t end = 0;
  int64_t clock_offset = 0;      // seconds the recorder's clock was ahead (CorrectedTime)
  uint64_t position = 0;         // the recording's byte span in the source
  uint64_t end_position = 0;     //
  std::vector<uint64_t> frames;  // where the channel's frames start, in position order
};

// The items of one recording, given the channels found in its span (FindChannelFrames): one per
// channel that has video, named "N.EXT" when there is one such channel and "N-chC.EXT" otherwise.
// A recording of the camera grouping is its own channel's: other channels' frames inside its span
// belong to other recordings and are left out. Empty when no channel has video.
std::vector<ExportItem> RecordingItems(const Recording& r, std::vector<ChannelFrames> channels,
                                       const std::string& extension);

struct ExportJob {
  std::string source;  // the source's path (exports.csv names it canonically)
  std::string folder;  // an existing folder
  Container container = Container::kMp4;
  std::vector<ExportItem> items;
};

struct ExportedFile {
  std::string recording_name;
  uint8_t channel = 0;
  FileOutcome outcome = FileOutcome::kFailed;
  std::string file_name;        // the name it got, when exported
  uint64_t frames_written = 0;  // video frames in the file
  uint64_t frames_skipped = 0;  // video frames left out: before the first key frame, incomplete,
                                // unreadable
  uint64_t skipped_before_key = 0;  // of them, before the first key frame
  uint64_t audio_written = 0;       // audio frames in the file (Matroska)
  uint64_t audio_left_out = 0;      // audio frames of the channel not in the file
  uint64_t bytes = 0;               // the file's size
  std::string sha256;               // lower-case hex of the file
  std::string codec;                // "h264" or "h265"
  uint16_t width = 0;
  uint16_t height = 0;
  std::string error;  // why it failed; for an exported file, a note
  bool in_manifest = false;
  // Not exported because the channel has no complete key frame (for a picture: none that
  // decodes): nothing to show, which is no failure of the export. Counted apart.
  bool no_picture = false;
};

struct ExportResult {
  // Ok: every item was tried (see each file). kStopped: a stop request ended it; the file being
  // written was removed. Otherwise nothing was written: kUsage the folder is missing or not
  // writable, kRefused it lies on the source.
  Status status;
  std::vector<ExportedFile> files;
  uint64_t exported_files = 0;
  uint64_t failed_files = 0;      // kFailed (other than no_picture) and kStopped files
  uint64_t no_picture_files = 0;  // items without a key frame to show
  uint64_t exported_bytes = 0;
  std::string manifest_error;  // the first reason a line could not be added to exports.csv

  bool Stopped() const { return status.code() == ErrorCode::kStopped; }
  bool Ran() const { return status.ok() || Stopped(); }
};

// Where an export reports; calls come from the exporting thread, in order.
class ExportSink {
 public:
  virtual ~ExportSink() = default;
  // `total` bytes of the source's recordings (the items' spans) are to be gone through.
  virtual void OnExportStart(uint64_t total, size_t files) { (void)total, (void)files; }
  virtual void OnFileStart(const ExportItem& item, size_t number) { (void)item, (void)number; }
  // `done` of `total` bytes gone through.
  virtual void OnProgress(uint64_t done, uint64_t total) { (void)done, (void)total; }
  virtual void OnFileDone(const ExportedFile& file) { (void)file; }
};

// Exports job.items from the open source `reader` (job.source names it) into job.folder, in
// order. `stop` is read before every frame. Throws nothing.
// Lowers FFmpeg's own messages to errors only (its notes would cut into the progress line).
void QuietFfmpegLog();

ExportResult ExportRecordings(SourceReader& reader, const ExportJob& job, ExportSink& sink,
                              const std::atomic<int>& stop);

}  // namespace korvane::video
