#include "scan/scanner.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <thread>
#include <vector>

#include "scan/frame_search.h"

static_assert(std::endian::native == std::endian::little,
              "the frame search loads little-endian words");

namespace korvane {

std::string Recording::Name() const {
  return std::to_string(index) + ".dav";
}

namespace {

// Finds the frame headers of a chunk that lie in the date window. A chunk is searched a piece at
// a time, so that the kernel's list of positions (room for a match every 4 bytes) is a quarter
// of a chunk, not a whole one; each reading thread has a list of its own.
class FrameFinder {
 public:
  FrameFinder(const DateWindow& window, unsigned threads)
      : window_(window), find_(SelectedFindMagic()), positions_(threads) {
    for (auto& p : positions_) p.reset(new uint32_t[kSearchPiece / 4 + 1]);
  }

  void Search(unsigned thread, const ChunkView& chunk, std::vector<ChunkHit>& hits) const {
    uint32_t* positions = positions_[thread].get();
    // A piece's last positions read the 3 bytes after it, and a header the 24 from its start:
    // the chunk's overlap holds them.
    for (uint32_t piece = 0; piece < chunk.own_bytes; piece += kSearchPiece) {
      const size_t count =
          find_(chunk.data + piece, std::min(kSearchPiece, chunk.own_bytes - piece), positions);
      for (size_t i = 0; i < count; ++i) {
        const uint32_t offset = piece + positions[i];
        const uint8_t* header = chunk.data + offset;
        const uint32_t packed = PackedTimeOf(header);
        if (!IsInDateWindow(packed, window_)) continue;
        hits.push_back({offset, packed, FrameLengthOf(header)});
      }
    }
  }

 private:
  static constexpr uint32_t kSearchPiece = std::min<uint32_t>(kChunkSize, 256 * 1024);
  const DateWindow window_;
  const FindMagicFn find_;
  std::vector<std::unique_ptr<uint32_t[]>> positions_;
};

unsigned ThreadCount(const ScanJob& job, uint64_t chunks) {
  const unsigned threads =
      std::min(job.threads ? job.threads : DefaultScanThreads(), kMaxScanThreads);
  return static_cast<unsigned>(std::clamp<uint64_t>(chunks, 1, threads));
}

}  // namespace

unsigned DefaultScanThreads() {
  return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxScanThreads);
}

ScanResult ScanSource(const ScanJob& job, ScanSink& sink, const std::atomic<int>& stop) {
  auto reader = SourceReader::Open(job.source);
  if (!reader.ok()) {
    ScanResult result;
    result.status = reader.status();
    return result;
  }
  return ScanSource(**reader, job, sink, stop);
}

ScanResult ScanSource(SourceReader& reader, const ScanJob& job, ScanSink& sink,
                      const std::atomic<int>& stop) {
  TimeSegmenter segmenter(sink);
  return ScanSource(reader, job, segmenter, sink, stop);
}

ScanResult ScanSource(SourceReader& reader, const ScanJob& job, Segmenter& segmenter,
                      ScanSink& sink, const std::atomic<int>& stop) {
  ScanResult result;
  // Set while the sink or the segmenter has the call: what fails there ends their part too.
  bool in_sink = false;
  try {
    result.source_size = reader.Size();
    const uint64_t total =
        job.size ? *job.size
                 : (job.offset < result.source_size ? result.source_size - job.offset : 0);
    result.range_bytes = total;
    // The range ends where the caller says, even past the source; bytes that do not exist read
    // as zeros, so they hold no frame and are not read at all (nor counted as read).
    const uint64_t end = job.offset + std::min(total, UINT64_MAX - job.offset);
    const uint64_t read_end = std::clamp(result.source_size, job.offset, end);
    const uint64_t readable = read_end - job.offset;

    ChunkPipeline pipeline(job.offset, read_end);
    const Result<unsigned> threads =
        pipeline.Prepare(reader, ThreadCount(job, pipeline.chunks()), job.observers);
    if (!threads.ok()) {
      result.status = threads.status();
      return result;
    }
    const FrameFinder finder(job.window, *threads);

    in_sink = true;
    if (Status started = sink.OnScanStart(readable); !started.ok()) {
      result.status = std::move(started);
      return result;
    }
    in_sink = false;

    const ChunkPipeline::Search search = [&finder](unsigned thread, const ChunkView& chunk,
                                                   std::vector<ChunkHit>& hits) {
      finder.Search(thread, chunk, hits);
    };
    const ChunkPipeline::HandOver hand_over = [&](const ChunkOutcome& outcome) -> Status {
      result.unreadable_bytes += outcome.unreadable + outcome.missing;
      if (!outcome.read_error.empty() && result.read_error.empty()) {
        result.read_error = outcome.read_error;
      }
      if (outcome.source_end) {
        result.shrunk_to = std::min(result.shrunk_to.value_or(UINT64_MAX), *outcome.source_end);
      }
      in_sink = true;
      for (const ChunkHit& hit : outcome.hits) {
        const uint64_t position = outcome.chunk.Position(hit.offset);
        Status added = segmenter.AddFrame(Frame{position, position + hit.length, hit.packed_time});
        if (!added.ok()) return added;
      }
      result.scanned_bytes = outcome.chunk.OwnEnd() - job.offset;
      Status shown = sink.OnProgress(result.scanned_bytes, readable);
      if (!shown.ok()) return shown;
      in_sink = false;
      return Status::Ok();
    };
    result.status = pipeline.Run(search, hand_over, stop);

    if (result.status.ok()) {
      // What lies past the source's end holds nothing: the range is done.
      result.scanned_bytes = total;
      in_sink = true;
      if (pipeline.chunks() == 0) {
        if (Status shown = sink.OnProgress(0, 0); !shown.ok()) result.status = std::move(shown);
      }
      in_sink = false;
    }
    if (!in_sink) {
      // Found recordings are reported also when the scan stopped or failed part way.
      in_sink = true;
      Status finished = segmenter.Finish();
      in_sink = false;
      if (!finished.ok() && result.Ran()) result.status = std::move(finished);
    }
  } catch (...) {
    Status failed = StatusFromException("scan");
    if (result.status.ok() || result.Stopped()) result.status = std::move(failed);
  }
  result.recordings = segmenter.count();
  return result;
}

}  // namespace korvane
