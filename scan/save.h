// SPDX-License-Identifier: GPL-3.0-or-later
// Saving recordings: each recording's bytes, from its first frame's header up to the end of its
// last frame, copied out of the source into a file of its own, and a line for every saved file
// in the folder's recordings.csv.
//
// Rules:
// - The source is opened read-only and read through SourceReader, like a scan: sector-aligned,
//   with unreadable sectors salvaged as zeros and counted (the file is still saved).
// - A file is named after its recording ("0.dav"); when that name exists, "0 (1).dav",
//   "0 (2).dav", ... Nothing is ever replaced, even when another program creates the same name
//   at the same moment.
// - A file appears under its name only when it is complete and flushed to the disk. A file that
//   fails (disk full, no permission, the source shrank or vanished) or is stopped is removed;
//   the files before it stand, and the ones after it are still tried.
// - recordings.csv is appended to, or created with a header line. One line per saved file, written
//   once the file has its name:
//     file,start,end,source,position,end_position,bytes,sha256,unreadable_bytes
//   file is the saved file's name; start and end are the recording's times
//   ("YYYY-MM-DD hh:mm:ss"); source is SaveJob::source made absolute and canonical (".", ".."
//   and symbolic links resolved: CanonicalSourcePath) when the save starts; position and
//   end_position are the source positions the file's bytes came from; bytes the file's size; sha256
//   the file's SHA-256 in lower-case hex; unreadable_bytes how many of its bytes are zeros standing
//   in for unreadable sectors. Fields holding a comma, quote or line break are quoted as in RFC
//   4180.
//
// Running it from a window: start it on the worker, which refuses while a scan or a save runs,
//   worker.StartSave(job, sink, [](const SaveResult& r) { /* post r to the UI thread */ });
// The sink's calls and `finished` come from the worker thread; forward them to the UI thread
// without waiting there. worker.RequestStop() cancels: the file being written is removed, the
// saved ones stand. Speed and time left follow from OnProgress's byte counts and a clock started
// at OnSaveStart.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "scan/result.h"
#include "scan/scanner.h"
#include "scan/source_reader.h"

namespace korvane {

inline constexpr char kManifestName[] = "recordings.csv";
inline constexpr char kManifestHeader[] =
    "file,start,end,source,position,end_position,bytes,sha256,unreadable_bytes\n";

struct SaveJob {
  std::string source;                 // the source the recordings were found in (opened read-only)
  std::string folder;                 // an existing folder to save into
  std::vector<Recording> recordings;  // what to save, in this order (e.g. the checked rows)
  // The date window of the scan that found them: a recording of the camera grouping is saved as
  // its channel's frames inside this window (see SaveRecordings).
  DateWindow window;
};

enum class FileOutcome {
  kSaved,
  kFailed,   // not saved; `error` says why; nothing of it is left in the folder
  kStopped,  // a stop request came while it was written; removed
};

struct SavedFile {
  Recording recording;  // as given in the job
  FileOutcome outcome = FileOutcome::kFailed;
  std::string file_name;          // the name it was saved under ("0.dav", "0 (1).dav"), when saved
  uint64_t end_position = 0;      // where its bytes end in the source: recording.end_position, or
                                  // the source's end when its last frame is cut off there
  uint64_t bytes = 0;             // the file's size, when saved
  uint64_t unreadable_bytes = 0;  // of them, zeros standing in for unreadable sectors
  std::string sha256;             // lower-case hex of the file's contents, when saved
  std::string error;              // why it failed; for a saved file, a note (a read error that was
                                  // salvaged, the source ending early, no line in recordings.csv)
  bool in_manifest = false;       // its line was added to recordings.csv
};

struct SaveResult {
  // Ok: every recording was tried; see each file's outcome. kStopped: a stop request ended it; the
  // file being written was removed. Otherwise nothing was written, and it says why: kOpenFailed
  // the source could not be opened; kUsage the folder is missing, not a folder or not writable;
  // kRefused the folder lies on the source; kNoMemory the copy buffer could not be allocated.
  Status status;
  std::string folder;            // the folder saved into
  std::vector<SavedFile> files;  // one per recording tried, in the job's order
  uint64_t saved_files = 0;
  uint64_t failed_files = 0;      // kFailed and kStopped files
  uint64_t saved_bytes = 0;       // bytes in the saved files
  uint64_t unreadable_bytes = 0;  // of them, zeros standing in for unreadable sectors
  std::string manifest_error;     // the first reason a line could not be added to recordings.csv

  bool Stopped() const { return status.code() == ErrorCode::kStopped; }
  bool Ran() const { return status.ok() || Stopped(); }
  // Everything asked for was saved and noted in recordings.csv.
  bool AllSaved() const { return status.ok() && failed_files == 0 && manifest_error.empty(); }
};

// Where a save reports. Calls come from the saving thread, in order.
class SaveSink {
 public:
  virtual ~SaveSink() = default;
  // Saving begins: `files` files holding `total` bytes in all.
  virtual void OnSaveStart(uint64_t total, size_t files) { (void)total, (void)files; }
  // The file for job.recordings[number] is begun.
  virtual void OnFileStart(const Recording& r, size_t number) { (void)r, (void)number; }
  // `done` of `total` bytes are dealt with: written, or skipped because their file failed. Called
  // after every MiB written and after every file; done == total once every file is through.
  virtual void OnProgress(uint64_t done, uint64_t total) { (void)done, (void)total; }
  // A file is through: saved, failed or stopped.
  virtual void OnFileDone(const SavedFile& file) { (void)file; }
};

// Opens job.source and saves job.recordings into job.folder. `stop` is read after every MiB
// written; non-zero ends the save. Throws nothing: a failure that comes as an exception ends the
// save with its Status (files already saved stand).
SaveResult SaveRecordings(const SaveJob& job, SaveSink& sink, const std::atomic<int>& stop);

// The same from a source that is already open; job.source must still name it (it is written to
// recordings.csv, and opened again after a read error to tell a vanished source from bad sectors).
SaveResult SaveRecordings(SourceReader& reader, const SaveJob& job, SaveSink& sink,
                          const std::atomic<int>& stop);

// Bytes of the source, [position, position + length).
struct SourceRun {
  uint64_t position = 0;
  uint64_t length = 0;
  bool operator==(const SourceRun&) const = default;
};

// Where the bytes SaveRecordings writes for `r` lie in the source, in the file's order: for a
// recording of the camera grouping its channel's complete frames (adjacent ones joined into one
// run), found again by reading its span with the scan's date window `window`; for any other the
// one run from its position to its end position. Either stops at the source's end (empty when it
// starts past it). Fails (kReadFailed) when the source shrank, kStopped when `stop` is set (read
// after every MiB).
Result<std::vector<SourceRun>> SavedRuns(SourceReader& reader, const Recording& r,
                                         const DateWindow& window, const std::atomic<int>& stop);

// Checks that a folder exists and can be saved into (failures kUsage), and, given the source, that
// saving there would not write to it (FolderWritesToSource, kRefused). Creates nothing.
Status CheckSaveFolder(const std::string& folder, const std::string& source = std::string());

}  // namespace korvane
