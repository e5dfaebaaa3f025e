#include "scan/scanner.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <vector>

#include "scan/frame_search.h"

static_assert(std::endian::native == std::endian::little, "the frame search loads little-endian words");

namespace korvane {

std::string Recording::Name() const { return std::to_string(index) + ".dav"; }

namespace {

// Groups accepted frames into recordings and tells the sink as they open and close.
class Segmenter {
 public:
  explicit Segmenter(ScanSink& sink) : sink_(sink) {}

  void AddFrame(int64_t t, uint64_t position, uint64_t end_position) {
    if (open_) {
      const int64_t step = t - current_.end;
      if (step == 0 || step == 1) {
        current_.end = t;
        current_.end_position = end_position;
        ++current_.frames;
        return;
      }
      sink_.OnRecordingClosed(current_);
    }
    current_ = Recording{next_index_++, t, t, position, end_position, 1};
    open_ = true;
    sink_.OnRecordingOpened(current_);
  }

  void Finish() {
    if (open_) sink_.OnRecordingClosed(current_);
    open_ = false;
  }

  uint64_t count() const { return next_index_; }

 private:
  ScanSink& sink_;
  Recording current_;
  bool open_ = false;
  uint64_t next_index_ = 0;
};

}  // namespace

ScanResult ScanSource(const ScanJob& job, ScanSink& sink, const std::atomic<int>& stop) {
  std::string error;
  auto reader = SourceReader::Open(job.source, &error);
  if (!reader) {
    ScanResult result;
    result.status = ScanStatus::kOpenFailed;
    result.error = error;
    return result;
  }
  return ScanSource(*reader, job, sink, stop);
}

ScanResult ScanSource(SourceReader& reader, const ScanJob& job, ScanSink& sink,
                      const std::atomic<int>& stop) {
  ScanResult result;
  const uint64_t source_size = reader.Size();
  const uint64_t total =
      job.size ? *job.size : (job.offset < source_size ? source_size - job.offset : 0);
  result.range_bytes = total;
  // The range ends where the caller says, even past the source; bytes that do not exist read as
  // zeros, so they hold no frame and need not be read at all.
  const uint64_t end = job.offset + std::min(total, UINT64_MAX - job.offset);
  const uint64_t read_end = std::clamp(source_size, job.offset, end);

  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kChunkSize + kChunkOverlap]);
  std::unique_ptr<uint32_t[]> hits(new (std::nothrow) uint32_t[kChunkSize / 4 + 1]);
  if (!buffer || !hits) {
    result.status = ScanStatus::kNoMemory;
    result.error = "not enough memory for the scan buffer";
    return result;
  }

  sink.OnScanStart(total);
  const FindMagicFn find = SelectedFindMagic();
  Segmenter segmenter(sink);

  uint64_t chunk = job.offset;
  bool stopped = false;
  while (chunk < read_end) {
    const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(kChunkSize, end - chunk));
    const SourceReader::Stats stats =
        reader.ReadAligned(buffer.get(), len + kChunkOverlap, chunk, len);
    result.unreadable_bytes += stats.unreadable;
    if (!stats.error.empty() && result.error.empty()) result.error = stats.error;

    const size_t count = find(buffer.get(), len, hits.get());
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* header = buffer.get() + hits[i];
      const uint32_t packed = LoadLe32(header + 16);
      if (!IsInDateWindow(packed, job.window)) continue;
      uint32_t length = LoadLe32(header + 12);
      if (length < kMinFrameLength || length > kMaxFrameLength) length = kMinFrameLength;
      const uint64_t position = chunk + hits[i];
      segmenter.AddFrame(PackedTimeToDayCount(packed), position, position + length);
    }

    chunk += len;
    result.scanned_bytes = chunk - job.offset;
    sink.OnProgress(result.scanned_bytes, total);
    if (chunk < end && stop.load(std::memory_order_relaxed) != 0) {
      stopped = true;
      break;
    }
  }
  if (!stopped && result.scanned_bytes < total) {
    // What lies past the source's end holds nothing: the range is done.
    result.scanned_bytes = total;
    sink.OnProgress(total, total);
  }
  if (total == 0) sink.OnProgress(0, 0);

  segmenter.Finish();
  result.recordings = segmenter.count();
  result.status = stopped ? ScanStatus::kStopped : ScanStatus::kCompleted;
  return result;
}

}  // namespace korvane
