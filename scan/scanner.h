// SPDX-License-Identifier: GPL-3.0-or-later
// The scan: read a byte range of a source in 1 MiB chunks, find every frame header, keep the
// frames inside the date window, and group them into recordings.
//
// The parts: the chunk pipeline (chunk_pipeline.h) reads and searches chunks on several threads
// and hands them over in order; each chunk's frame headers become Frames (frame.h); a Segmenter
// (segmenter.h) groups the frames into recordings and reports them to the ScanSink
// (recording.h). A new way of grouping is a new Segmenter, passed to ScanSource.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scan/chunk_pipeline.h"
#include "scan/frame.h"
#include "scan/recording.h"
#include "scan/result.h"
#include "scan/segmenter.h"
#include "scan/source_reader.h"
#include "scan/time_model.h"

namespace korvane {

inline constexpr unsigned kMaxScanThreads = 8;

// How a scan reads the source's bytes. The results are the same either way.
enum class ReadMethod {
  // Maps, unless the environment variable KORVANE_READ says "pread".
  kAuto,
  // Searches chunks where they lie in read-only maps of the source, without copying them: for
  // plain files, when there are no observers. Sources that cannot be mapped (drives, image
  // formats, split images), and chunks whose pages cannot be read, are read with pread.
  kMap,
  // Reads every chunk into a buffer of the scan's own (pread).
  kPread,
};

// "auto", "mmap" or "pread" as a ReadMethod; nullopt for anything else.
std::optional<ReadMethod> ParseReadMethod(std::string_view name);
// kAuto resolved: kMap or kPread.
ReadMethod EffectiveReadMethod(ReadMethod method);

// What to scan. `size` unset means the rest of the source after `offset`.
struct ScanJob {
  std::string source;
  uint64_t offset = 0;
  std::optional<uint64_t> size;
  DateWindow window;
  // Threads that read and search chunks at the same time: 0 means one per processor. At most
  // kMaxScanThreads; one when the source cannot be read by several threads at once. The results,
  // and the order of the sink's calls, are the same with any number.
  unsigned threads = 0;
  // Each is given the bytes read from the range, in order, on a thread of its own beside the
  // search: those the source holds, from `offset` up to where the scan ended (after a stop, the
  // chunks reported). They must outlive the scan.
  std::vector<RangeObserver*> observers;
  ReadMethod read = ReadMethod::kAuto;
};

// How a scan went. A scan that was stopped or failed part way has still found what it reports,
// so the counts stand beside the Status rather than in place of it.
struct ScanResult {
  // Ok: the whole range was scanned. kStopped: a stop request ended it at a chunk boundary.
  // Otherwise why it failed: kOpenFailed (the source could not be opened), kNoMemory, a sink's
  // own failure (such as kWriteFailed), or kInternal for an unexpected exception.
  Status status;
  std::string read_error;         // the system's reason for the first failed read, if any
  uint64_t source_size = 0;       // bytes the source held when it was opened
  uint64_t range_bytes = 0;       // size of the range asked for
  uint64_t scanned_bytes = 0;     // positions of the range dealt with (past the source's end too)
  uint64_t unreadable_bytes = 0;  // bytes of the source that could not be read (scanned as zeros),
                                  // including those lost because the source shrank
  std::optional<uint64_t> shrunk_to;  // the source's size when it was found to have shrunk
  uint64_t recordings = 0;            // in the time grouping
  uint64_t camera_recordings = 0;     // in the camera grouping
  uint64_t matches = 0;          // matches of the magic in the date window: the time grouping's
                                 // frames
  uint64_t invalid_matches = 0;  // of them, those whose header is not a valid frame's
  uint64_t data_matches = 0;     // of the valid ones, those inside the bytes of a complete
                                 // frame: data, not frames, in the camera grouping
  bool mapped = false;           // chunks were searched in maps of the source (see ReadMethod)

  // The scan ran to its end or to a stop request.
  bool Ran() const { return status.ok() || status.code() == ErrorCode::kStopped; }
  bool Stopped() const { return status.code() == ErrorCode::kStopped; }
  // The bytes of the range that the source held when it was opened: those that are read.
  uint64_t ReadableBytes(uint64_t offset) const {
    return offset < source_size ? std::min(range_bytes, source_size - offset) : 0;
  }
};

// The reading threads a job with threads == 0 gets on this machine (before the source has its
// say).
unsigned DefaultScanThreads();

// Opens job.source and scans it, grouping frames on one time line (TimeSegmenter) and per camera
// (CameraSegmenter) at once. `stop` is read
// afresh after each chunk; non-zero ends the scan. Several threads read and search whole chunks
// ahead of the one being reported, but the recordings, progress and counts are reported chunk by
// chunk in order, exactly as a scan of one chunk after the other would report them, and a stop
// still ends the scan right after the chunk reported. Never throws: every failure, an exception
// on any thread included, is in the result's status.
ScanResult ScanSource(const ScanJob& job, ScanSink& sink, const std::atomic<int>& stop);

// The same on a source that is already open (job.source is then only a label).
ScanResult ScanSource(SourceReader& reader, const ScanJob& job, ScanSink& sink,
                      const std::atomic<int>& stop);

// The same with the frames going to `segmenter`, which reports recordings wherever it reports
// them; the sink gets the start and the progress.
ScanResult ScanSource(SourceReader& reader, const ScanJob& job, Segmenter& segmenter,
                      ScanSink& sink, const std::atomic<int>& stop);

// The same with every frame going to each of `segmenters` in turn; result.recordings counts the
// first one's recordings.
//
// Each match's whole header is read where it is found; a valid frame is complete when its trailer
// holds "dhav" and its length. A trailer past the chunk being searched is read when the chunk
// that holds it is handed over (the frames after it wait for it, so the segmenters still get
// frames in position order, at most 16 MiB later), and one past the last chunk handed over is
// read from the source at the end.
ScanResult ScanFrames(SourceReader& reader, const ScanJob& job,
                      std::span<Segmenter* const> segmenters, ScanSink& sink,
                      const std::atomic<int>& stop);

}  // namespace korvane
