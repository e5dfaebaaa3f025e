// The scan: read a byte range of a source in 1 MiB chunks, find every frame header, keep the
// frames inside the date window, and group them into recordings.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "scan/source_reader.h"
#include "scan/time_model.h"

namespace korvane {

#ifdef KORVANE_FUZZ_CHUNK_SIZE
// Fuzz builds use small chunks so that small inputs reach chunk boundaries.
inline constexpr uint32_t kChunkSize = KORVANE_FUZZ_CHUNK_SIZE;
#else
inline constexpr uint32_t kChunkSize = 1u << 20;  // bytes whose positions one chunk tests
#endif
inline constexpr uint32_t kChunkOverlap = 512;    // read past the chunk so late headers are whole
inline constexpr uint32_t kMinFrameLength = 24;
inline constexpr uint32_t kMaxFrameLength = 16u << 20;
inline constexpr unsigned kMaxScanWorkers = 8;

// What to scan. `size` unset means the rest of the source after `offset`.
struct ScanJob {
  std::string source;
  uint64_t offset = 0;
  std::optional<uint64_t> size;
  DateWindow window;
  // Threads that read and search chunks at the same time: 0 means one per processor. At most
  // kMaxScanWorkers; one when the source cannot be read by several threads at once. The results,
  // and the order of the sink's calls, are the same with any number.
  unsigned workers = 0;
};

// One recording: a run of accepted frames whose times step by 0 or 1 second.
struct Recording {
  uint64_t index = 0;         // row number in this scan; gives the name "<index>.dav"
  int64_t start = 0;          // time of the first frame (seconds since the epoch)
  int64_t end = 0;            // time of the last frame so far
  uint64_t position = 0;      // source position of the first frame's header
  uint64_t end_position = 0;  // source position just past the last frame
  uint64_t frames = 0;

  std::string Name() const;
  std::string StartText() const { return FormatDayCountTime(start); }
  std::string EndText() const { return FormatDayCountTime(end); }
};

// Where a scan reports. Calls come from the thread that called ScanSource, in order, one at a time.
class ScanSink {
 public:
  virtual ~ScanSink() = default;
  // The range is known: `total` bytes will be scanned.
  virtual void OnScanStart(uint64_t total) { (void)total; }
  // `done` of `total` bytes have been scanned (after each chunk; done == total at the end).
  virtual void OnProgress(uint64_t done, uint64_t total) { (void)done, (void)total; }
  // A recording's first frame was found: its name, start and position are final.
  virtual void OnRecordingOpened(const Recording& r) { (void)r; }
  // A recording ended: its end time, end position and frame count are final.
  virtual void OnRecordingClosed(const Recording& r) { (void)r; }
};

enum class ScanStatus {
  kCompleted,    // the whole range was scanned
  kStopped,      // a stop request ended it at a chunk boundary
  kOpenFailed,   // the source could not be opened
  kNoMemory,     // the chunk buffer could not be allocated
};

struct ScanResult {
  ScanStatus status = ScanStatus::kCompleted;
  std::string error;              // why it could not run; or the first read error's reason
  uint64_t range_bytes = 0;       // size of the range asked for
  uint64_t scanned_bytes = 0;     // positions of the range tested
  uint64_t unreadable_bytes = 0;  // bytes that could not be read (treated as zeros)
  uint64_t recordings = 0;

  bool Ran() const { return status == ScanStatus::kCompleted || status == ScanStatus::kStopped; }
};

// The workers a job with workers == 0 gets on this machine (before the source has its say).
unsigned DefaultScanWorkers();

// Opens job.source and scans it. `stop` is read afresh after each chunk; non-zero ends the scan.
// Workers read and search whole chunks ahead of the one being reported, but the recordings,
// progress and counts are reported chunk by chunk in order, exactly as a scan of one chunk after
// the other would report them, and a stop still ends the scan right after the chunk reported.
ScanResult ScanSource(const ScanJob& job, ScanSink& sink, const std::atomic<int>& stop);

// The same on a source that is already open (job.source is then only a label).
ScanResult ScanSource(SourceReader& reader, const ScanJob& job, ScanSink& sink,
                      const std::atomic<int>& stop);

}  // namespace korvane
