// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/save.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <new>

#include "scan/frame.h"
#include "scan/frame_search.h"
#include "scan/save_folder.h"
#include "scan/segmenter.h"
#include "scan/sha256.h"

namespace korvane {
namespace {

constexpr uint64_t kCopyChunk = 1u << 20;
// Read past each piece of a camera recording's span, so a header found near its end is whole.
constexpr size_t kHeaderSlack = 512;
static_assert(kHeaderSlack >= kFrameHeaderMaxBytes);

std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string ManifestLine(const SavedFile& f, const std::string& source) {
  const Recording& r = f.recording;
  return CsvField(f.file_name) + ',' + r.StartText() + ',' + r.EndText() + ',' + CsvField(source) +
         ',' + std::to_string(r.position) + ',' + std::to_string(f.end_position) + ',' +
         std::to_string(f.bytes) + ',' + f.sha256 + ',' + std::to_string(f.unreadable_bytes) + '\n';
}

// Bytes a recording's file will hold: up to its end position, or to the source's end.
uint64_t PlannedBytes(const Recording& r, uint64_t source_size) {
  if (r.end_position <= r.position || r.position >= source_size) return 0;
  return std::min(r.end_position, source_size) - r.position;
}

// A whole frame of a camera recording, where it lies in the source.
struct Piece {
  uint64_t position;
  uint32_t length;
};

struct FoundPieces {
  std::vector<Piece> pieces;  // its complete frames, in position order
  std::string read_error;     // the first read error salvaged on the way
  std::string shrank;         // why the search failed: the source shrank
  bool stopped = false;
};

// The first r.frames frames of a camera recording's channel that the camera grouping takes from
// r.position on (CameraFrameRule, inside the date window), found again by reading its span up to
// `end_position`; of them, the complete ones. `buffer` holds kCopyChunk + kHeaderSlack bytes.
// `progress` hears how many bytes of the span are through after each chunk; `stop` is read then.
FoundPieces FindCameraPieces(SourceReader& reader, uint8_t* buffer, const Recording& r,
                             uint64_t end_position, const DateWindow& window,
                             const std::atomic<int>& stop,
                             const std::function<void(uint64_t)>& progress) {
  FoundPieces found;
  uint8_t trailer[kFrameTrailerSize] = {};
  // The 8 bytes at a valid frame's trailer: from the piece in the buffer when they lie there,
  // otherwise read from the source (none past its end).
  auto trailer_of = [&](const Frame& frame, uint64_t base, size_t own,
                        const FrameHeader& h) -> std::span<const uint8_t> {
    const uint64_t at = frame.position + h.TrailerOffset();
    if (at + kFrameTrailerSize <= base + own + kHeaderSlack) {
      return std::span<const uint8_t>(buffer + (at - base), kFrameTrailerSize);
    }
    if (at >= reader.Size()) return {};
    const size_t have =
        static_cast<size_t>(std::min<uint64_t>(kFrameTrailerSize, reader.Size() - at));
    reader.ReadAligned(trailer, have, at, 0);
    return std::span<const uint8_t>(trailer, have);
  };
  std::vector<uint32_t> positions(kCopyChunk / 4 + 1);
  const FindMagicFn find = SelectedFindMagic();
  CameraFrameRule rule;
  uint64_t taken = 0;
  int64_t last_time = 0;
  bool ended = false;
  for (uint64_t base = r.position; base < end_position && !ended; base += kCopyChunk) {
    const size_t own = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, end_position - base));
    const SourceReader::Stats stats = reader.ReadAligned(buffer, own + kHeaderSlack, base, own);
    if (stats.missing > 0) {
      found.shrank = "the source shrank while it was read; it no longer holds byte " +
                     std::to_string(base + own - stats.missing);
      return found;
    }
    if (stats.unreadable > 0 && found.read_error.empty()) found.read_error = stats.error;
    const size_t count = find(buffer, own, positions.data());
    for (size_t i = 0; i < count && !ended; ++i) {
      const uint8_t* header = buffer + positions[i];
      const uint32_t packed = PackedTimeOf(header);
      if (!IsInDateWindow(packed, window)) continue;
      const FrameHeader h = ParseFrameHeader(std::span<const uint8_t>(
          header, std::min(own + kHeaderSlack - positions[i], kFrameHeaderMaxBytes)));
      Frame frame{base + positions[i], base + positions[i] + FrameLengthOf(header), packed,
                  TraitsOf(h)};
      if (h.valid) frame.traits.complete = IsCompleteFrame(h, trailer_of(frame, base, own, h));
      if (!rule.Accept(frame) || h.channel != *r.channel) continue;
      const int64_t t = PackedTimeToUnixSeconds(packed);
      if (taken > 0 && t - last_time != 0 && t - last_time != 1) {
        ended = true;  // the channel's next recording
        break;
      }
      last_time = t;
      if (frame.traits.complete) found.pieces.push_back({frame.position, h.length});
      ended = ++taken == r.frames;
    }
    progress(base + own - r.position);
    if (stop.load(std::memory_order_relaxed) != 0) {
      found.stopped = true;
      return found;
    }
  }
  return found;
}

// One save run: the open source and folder, the copy buffer and the running totals.
class Saver {
 public:
  Saver(SourceReader& reader, SaveFolder& folder, const SaveJob& job, SaveSink& sink,
        const std::atomic<int>& stop, uint8_t* buffer, uint64_t total)
      : reader_(reader),
        folder_(folder),
        job_(job),
        sink_(sink),
        stop_(stop),
        buffer_(buffer),
        total_(total),
        source_path_(CanonicalSourcePath(job.source)) {}

  SavedFile SaveOne(const Recording& r) {
    if (r.grouping == Grouping::kCamera && r.channel) return SaveCameraOne(r);
    SavedFile f;
    f.recording = r;
    const uint64_t size = reader_.Size();
    if (r.end_position <= r.position) {
      return Fail(f, "its end position " + std::to_string(r.end_position) +
                         " is not after its position " + std::to_string(r.position));
    }
    if (!gone_.empty()) return Fail(f, "the source is gone: " + gone_);
    if (r.position >= size) {
      return Fail(f, "the source ends at byte " + std::to_string(size) + ", before this recording");
    }
    f.end_position = std::min(r.end_position, size);
    std::string note;
    if (f.end_position < r.end_position) {
      note = "its last frame is cut off where the source ends (byte " + std::to_string(size) +
             "); saved up to there";
    }

    Result<std::unique_ptr<PendingFile>> out = folder_.CreateFile();
    if (!out.ok()) return Fail(f, "cannot create it in the folder: " + out.status().message());
    Sha256 hash;
    std::string read_error;
    for (uint64_t pos = r.position; pos < f.end_position;) {
      // Chunks after the first start on MiB boundaries, so whole sectors go straight through.
      const uint64_t len = std::min(f.end_position, (pos / kCopyChunk + 1) * kCopyChunk) - pos;
      const SourceReader::Stats stats = reader_.ReadAligned(buffer_, static_cast<size_t>(len), pos);
      if (stats.missing > 0) {
        return Fail(f, "the source shrank while it was read; it no longer holds byte " +
                           std::to_string(pos + len - stats.missing));
      }
      if (stats.unreadable > 0) {
        // Bad sectors are saved as zeros; a source that went away fails the file.
        const auto again = OpenSource(job_.source);
        if (!again.ok()) {
          gone_ = again.status().message();
          return Fail(f, "the source vanished while it was read: " + gone_);
        }
        if ((*again)->Size() < f.end_position) {
          return Fail(f, "the source shrank while it was read; it now ends at byte " +
                             std::to_string((*again)->Size()));
        }
        f.unreadable_bytes += stats.unreadable;
        if (read_error.empty()) read_error = stats.error;
      }
      hash.Update(buffer_, static_cast<size_t>(len));
      if (Status written = (*out)->Write(buffer_, static_cast<size_t>(len)); !written.ok()) {
        return Fail(f, "cannot write it: " + written.message());
      }
      pos += len;
      sink_.OnProgress(done_ + (pos - r.position), total_);
      if (pos < f.end_position && stop_.load(std::memory_order_relaxed) != 0) {
        f.outcome = FileOutcome::kStopped;
        f.error = "stopped";
        return f;
      }
    }
    f.bytes = f.end_position - r.position;
    return Commit(f, **out, hash, read_error, std::move(note));
  }

  void FileDone(const Recording& r) {
    done_ += PlannedBytes(r, reader_.Size());
    sink_.OnProgress(done_, total_);
  }

  const std::string& manifest_error() const { return manifest_error_; }

 private:
  // A recording of the camera grouping: the first r.frames frames of its channel that the camera
  // grouping takes from r.position on (CameraFrameRule, inside the date window), found again by
  // reading its span; the file holds those that are complete, each whole, in position order. A
  // frame that is not complete is left out: its stated length runs over bytes that are not its
  // own (often another camera's frames written over its end), and a player reading the file
  // would lose its place in the stream there.
  SavedFile SaveCameraOne(const Recording& r) {
    SavedFile f;
    f.recording = r;
    const uint64_t size = reader_.Size();
    if (r.end_position <= r.position) {
      return Fail(f, "its end position " + std::to_string(r.end_position) +
                         " is not after its position " + std::to_string(r.position));
    }
    if (!gone_.empty()) return Fail(f, "the source is gone: " + gone_);
    if (r.position >= size) {
      return Fail(f, "the source ends at byte " + std::to_string(size) + ", before this recording");
    }
    f.end_position = std::min(r.end_position, size);

    // Find the frames.
    FoundPieces found =
        FindCameraPieces(reader_, buffer_, r, f.end_position, job_.window, stop_,
                         [this](uint64_t through) { sink_.OnProgress(done_ + through, total_); });
    if (!found.shrank.empty()) return Fail(f, found.shrank);
    if (found.stopped) {
      f.outcome = FileOutcome::kStopped;
      f.error = "stopped";
      return f;
    }
    std::string read_error = std::move(found.read_error);
    const std::vector<Piece>& pieces = found.pieces;
    if (pieces.empty()) return Fail(f, "none of its frames is whole in the source");

    // Write them.
    Result<std::unique_ptr<PendingFile>> out = folder_.CreateFile();
    if (!out.ok()) return Fail(f, "cannot create it in the folder: " + out.status().message());
    Sha256 hash;
    for (const Piece& piece : pieces) {
      for (uint64_t pos = piece.position, end = piece.position + piece.length; pos < end;) {
        const size_t len = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, end - pos));
        const SourceReader::Stats stats = reader_.ReadAligned(buffer_, len, pos);
        if (stats.missing > 0) {
          return Fail(f, "the source shrank while it was read; it no longer holds byte " +
                             std::to_string(pos + len - stats.missing));
        }
        if (stats.unreadable > 0) {
          f.unreadable_bytes += stats.unreadable;
          if (read_error.empty()) read_error = stats.error;
        }
        hash.Update(buffer_, len);
        if (Status written = (*out)->Write(buffer_, len); !written.ok()) {
          return Fail(f, "cannot write it: " + written.message());
        }
        f.bytes += len;
        pos += len;
      }
    }
    return Commit(f, **out, hash, read_error, std::string());
  }

  // Names a written file, and adds its line to recordings.csv.
  SavedFile Commit(SavedFile& f, PendingFile& out, Sha256& hash, const std::string& read_error,
                   std::string note) {
    const Recording& r = f.recording;
    Result<std::string> digest = hash.Hex();
    if (!digest.ok()) {
      return Fail(
          f, "the SHA-256 of its contents could not be computed: " + digest.status().message());
    }
    f.sha256 = std::move(*digest);
    Result<std::string> name = CommitFile(out, r.Name(), kMaxNameNumber);
    if (!name.ok()) return Fail(f, "cannot save it: " + name.status().message());
    f.file_name = std::move(*name);
    f.outcome = FileOutcome::kSaved;
    if (f.unreadable_bytes > 0) {
      note = (note.empty() ? "" : note + "; ") + std::to_string(f.unreadable_bytes) +
             " bytes could not be read (" + read_error + ") and are zeros in the file";
    }
    const Status logged =
        folder_.AppendToLog(kManifestName, kManifestHeader, ManifestLine(f, source_path_));
    if (logged.ok()) {
      f.in_manifest = true;
    } else {
      const std::string why =
          std::string("cannot add its line to ") + kManifestName + ": " + logged.message();
      note = note.empty() ? why : note + "; " + why;
      if (manifest_error_.empty()) manifest_error_ = why;
    }
    f.error = note;
    return f;
  }

  static SavedFile Fail(SavedFile& f, std::string why) {
    f.outcome = FileOutcome::kFailed;
    f.error = std::move(why);
    f.file_name.clear();
    f.sha256.clear();
    f.bytes = 0;
    f.unreadable_bytes = 0;
    return f;
  }

  SourceReader& reader_;
  SaveFolder& folder_;
  const SaveJob& job_;
  SaveSink& sink_;
  const std::atomic<int>& stop_;
  uint8_t* buffer_;  // kCopyChunk bytes and kHeaderSlack more
  uint64_t total_;
  std::string source_path_;  // as recordings.csv names the source
  uint64_t done_ = 0;
  std::string gone_;  // why the source is known to be gone
  std::string manifest_error_;
};

}  // namespace

Status CheckSaveFolder(const std::string& folder, const std::string& source) {
  return OpenSaveFolderOff(folder, source).status();
}

SaveResult SaveRecordings(const SaveJob& job, SaveSink& sink, const std::atomic<int>& stop) {
  Result<std::unique_ptr<SourceReader>> reader = Status::Error(ErrorCode::kInternal, "");
  try {
    reader = SourceReader::Open(job.source);
  } catch (...) {
    reader = StatusFromException("cannot open " + job.source);
  }
  if (!reader.ok()) {
    SaveResult result;
    result.folder = job.folder;
    result.status = reader.status();
    return result;
  }
  return SaveRecordings(**reader, job, sink, stop);
}

SaveResult SaveRecordings(SourceReader& reader, const SaveJob& job, SaveSink& sink,
                          const std::atomic<int>& stop) {
  SaveResult result;
  result.folder = job.folder;
  try {
    Result<std::unique_ptr<SaveFolder>> folder = OpenSaveFolderOff(job.folder, job.source);
    if (!folder.ok()) {
      result.status = folder.status();
      return result;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kCopyChunk + kHeaderSlack]);
    if (!buffer) {
      result.status = Status::Error(ErrorCode::kNoMemory, "not enough memory for the copy buffer");
      return result;
    }

    uint64_t total = 0;
    for (const Recording& r : job.recordings) total += PlannedBytes(r, reader.Size());
    sink.OnSaveStart(total, job.recordings.size());
    Saver saver(reader, **folder, job, sink, stop, buffer.get(), total);
    for (size_t i = 0; i < job.recordings.size(); ++i) {
      const Recording& r = job.recordings[i];
      sink.OnFileStart(r, i);
      SavedFile file = saver.SaveOne(r);
      if (file.outcome == FileOutcome::kSaved) {
        ++result.saved_files;
        result.saved_bytes += file.bytes;
        result.unreadable_bytes += file.unreadable_bytes;
      } else {
        ++result.failed_files;
      }
      const bool stopped = file.outcome == FileOutcome::kStopped;
      if (!stopped) saver.FileDone(r);
      result.files.push_back(std::move(file));
      sink.OnFileDone(result.files.back());
      if (stopped || (i + 1 < job.recordings.size() && stop.load(std::memory_order_relaxed) != 0)) {
        result.status = Status::Error(ErrorCode::kStopped, "stopped");
        break;
      }
    }
    if (job.recordings.empty()) sink.OnProgress(0, 0);
    (*folder)->Sync();
    result.manifest_error = saver.manifest_error();
  } catch (...) {
    result.status = StatusFromException("saving into " + job.folder);
  }
  return result;
}

Result<std::vector<SourceRun>> SavedRuns(SourceReader& reader, const Recording& r,
                                         const DateWindow& window, const std::atomic<int>& stop) {
  try {
    std::vector<SourceRun> runs;
    const uint64_t size = reader.Size();
    if (r.end_position <= r.position || r.position >= size) return runs;
    const uint64_t end_position = std::min(r.end_position, size);
    if (r.grouping != Grouping::kCamera || !r.channel) {
      runs.push_back({r.position, end_position - r.position});
      return runs;
    }
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kCopyChunk + kHeaderSlack]);
    FoundPieces found =
        FindCameraPieces(reader, buffer.get(), r, end_position, window, stop, [](uint64_t) {});
    if (!found.shrank.empty()) return Status::Error(ErrorCode::kReadFailed, found.shrank);
    if (found.stopped) return Status::Error(ErrorCode::kStopped, "stopped");
    for (const Piece& piece : found.pieces) {
      if (!runs.empty() && runs.back().position + runs.back().length == piece.position) {
        runs.back().length += piece.length;  // adjacent frames: one run
      } else {
        runs.push_back({piece.position, piece.length});
      }
    }
    return runs;
  } catch (...) {
    return StatusFromException("finding the frames of " + r.Name());
  }
}

}  // namespace korvane
