// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/scanner.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <deque>
#include <memory>
#include <queue>
#include <span>
#include <thread>
#include <vector>

#include "scan/frame_search.h"
#include "scan/map_fault.h"

static_assert(std::endian::native == std::endian::little,
              "the frame search loads little-endian words");

namespace korvane {

std::string Recording::Name() const {
  return std::to_string(index) + ".dav";
}

const ChannelContent* Recording::Channel(uint8_t number) const {
  for (const ChannelContent& c : channels) {
    if (c.channel == number) return &c;
  }
  return nullptr;
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
        hits.push_back(Hit(chunk, offset, packed));
      }
    }
  }

 private:
  // Reads the whole header at `offset` (the overlap holds its extension blocks) and, when the
  // frame ends inside the chunk's bytes, its trailer.
  static ChunkHit Hit(const ChunkView& chunk, uint32_t offset, uint32_t packed) {
    const uint8_t* header = chunk.data + offset;
    ChunkHit hit{offset, packed, FrameLengthOf(header)};
    const FrameHeader h = ParseFrameHeader(
        std::span<const uint8_t>(header, std::min(chunk.size() - offset, kFrameHeaderMaxBytes)));
    hit.traits = TraitsOf(h);
    FrameTraits& t = hit.traits;
    if (!h.valid) return hit;
    if (uint64_t{offset} + h.length <= chunk.size()) {
      t.complete = IsCompleteFrame(
          h, std::span<const uint8_t>(header + h.TrailerOffset(), kFrameTrailerSize));
    } else {
      hit.trailer_ahead = true;
    }
    return hit;
  }

  static constexpr uint32_t kSearchPiece = std::min<uint32_t>(kChunkSize, 256 * 1024);
  const DateWindow window_;
  const FindMagicFn find_;
  std::vector<std::unique_ptr<uint32_t[]>> positions_;
};

// Frames waiting, in position order, until the trailers of those that end in later chunks have
// been read; then they go on to the segmenters. A trailer is read from the chunk that holds it
// when that chunk is handed over, so no byte is read twice.
class FrameQueue {
 public:
  explicit FrameQueue(std::span<Segmenter* const> segmenters) : segmenters_(segmenters) {}

  // A frame of the chunk being handed over; a valid frame whose trailer lies ahead waits for it.
  Status Add(const Frame& frame, bool trailer_ahead) {
    if (!trailer_ahead && waiting_.empty()) return Pass(frame);
    const uint64_t seq = first_seq_ + waiting_.size();
    waiting_.push_back({frame, trailer_ahead});
    if (trailer_ahead) {
      trailers_.push({frame.end_position - kFrameTrailerSize, seq});
    }
    return Status::Ok();
  }

  // Reads the trailers that lie in `chunk`'s own positions, then passes on what is ready. A
  // mapped chunk's trailer that can no longer be read there (the source lost it since the chunk
  // was searched) is read from `reader`, as it is now.
  Status ResolveIn(const ChunkView& chunk, SourceReader& reader) {
    while (!trailers_.empty() && trailers_.top().position < chunk.OwnEnd()) {
      const uint64_t position = trailers_.top().position;
      const uint8_t* at = chunk.data + (position - chunk.source_offset);
      if (!chunk.mapped) {
        Resolve(std::span<const uint8_t>(at, kFrameTrailerSize));
        continue;
      }
      uint8_t trailer[kFrameTrailerSize];
      if (!CopyMappedBytes(trailer, at, kFrameTrailerSize)) {
        reader.ReadAligned(trailer, kFrameTrailerSize, position, 0);
      }
      Resolve(std::span<const uint8_t>(trailer, kFrameTrailerSize));
    }
    return PassReady();
  }

  // The trailers left lie past what was handed over: read each from `reader` (past the source's
  // end there is none; without a reader none is read), then pass everything on.
  Status ResolveRest(SourceReader* reader) {
    while (!trailers_.empty()) {
      const uint64_t position = trailers_.top().position;
      uint8_t trailer[kFrameTrailerSize] = {};
      size_t have = 0;
      if (reader && position < reader->Size()) {
        have =
            static_cast<size_t>(std::min<uint64_t>(kFrameTrailerSize, reader->Size() - position));
        reader->ReadAligned(trailer, have, position, 0);
      }
      Resolve(std::span<const uint8_t>(trailer, have));
    }
    return PassReady();
  }

  uint64_t matches() const { return matches_; }
  uint64_t invalid() const { return invalid_; }

 private:
  struct Waiting {
    Frame frame;
    bool trailer_ahead;
  };
  struct Trailer {
    uint64_t position;
    uint64_t seq;
    bool operator>(const Trailer& o) const { return position > o.position; }
  };

  // The trailer of the frame on top of trailers_ holds `bytes`.
  void Resolve(std::span<const uint8_t> bytes) {
    const Trailer t = trailers_.top();
    trailers_.pop();
    Waiting& w = waiting_[static_cast<size_t>(t.seq - first_seq_)];
    // As IsCompleteFrame judges: such a frame is longer than a chunk's overlap, so it has room
    // for its header, blocks and trailer.
    const uint32_t length = static_cast<uint32_t>(w.frame.end_position - w.frame.position);
    w.frame.traits.complete = bytes.size() == kFrameTrailerSize &&
                              std::equal(bytes.begin(), bytes.begin() + 4, kFrameTrailerMagic) &&
                              LoadLe32(bytes.data() + 4) == length;
    w.trailer_ahead = false;
  }

  Status PassReady() {
    while (!waiting_.empty() && !waiting_.front().trailer_ahead) {
      const Frame frame = waiting_.front().frame;
      waiting_.pop_front();
      ++first_seq_;
      if (Status s = Pass(frame); !s.ok()) return s;
    }
    return Status::Ok();
  }

  Status Pass(const Frame& frame) {
    ++matches_;
    if (!frame.traits.valid) ++invalid_;
    for (Segmenter* s : segmenters_) {
      if (Status added = s->AddFrame(frame); !added.ok()) return added;
    }
    return Status::Ok();
  }

  std::span<Segmenter* const> segmenters_;
  std::deque<Waiting> waiting_;
  uint64_t first_seq_ = 0;  // the sequence number of waiting_.front()
  std::priority_queue<Trailer, std::vector<Trailer>, std::greater<Trailer>> trailers_;
  uint64_t matches_ = 0;
  uint64_t invalid_ = 0;
};

unsigned ThreadCount(const ScanJob& job, uint64_t chunks) {
  const unsigned threads =
      std::min(job.threads ? job.threads : DefaultScanThreads(), kMaxScanThreads);
  return static_cast<unsigned>(std::clamp<uint64_t>(chunks, 1, threads));
}

}  // namespace

std::optional<ReadMethod> ParseReadMethod(std::string_view name) {
  if (name == "auto") return ReadMethod::kAuto;
  if (name == "mmap") return ReadMethod::kMap;
  if (name == "pread") return ReadMethod::kPread;
  return std::nullopt;
}

ReadMethod EffectiveReadMethod(ReadMethod method) {
  if (method != ReadMethod::kAuto) return method;
  static const ReadMethod from_environment = [] {
    const char* wanted = std::getenv("KORVANE_READ");
    return wanted && std::string_view(wanted) == "pread" ? ReadMethod::kPread : ReadMethod::kMap;
  }();
  return from_environment;
}

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
  TimeSegmenter time(sink);
  CameraSegmenter camera(sink);
  Segmenter* const segmenters[] = {&time, &camera};
  ScanResult result = ScanFrames(reader, job, segmenters, sink, stop);
  result.camera_recordings = camera.count();
  result.data_matches = camera.data_matches();
  return result;
}

ScanResult ScanSource(SourceReader& reader, const ScanJob& job, Segmenter& segmenter,
                      ScanSink& sink, const std::atomic<int>& stop) {
  Segmenter* const segmenters[] = {&segmenter};
  return ScanFrames(reader, job, segmenters, sink, stop);
}

ScanResult ScanFrames(SourceReader& reader, const ScanJob& job,
                      std::span<Segmenter* const> segmenters, ScanSink& sink,
                      const std::atomic<int>& stop) {
  ScanResult result;
  FrameQueue queue(segmenters);
  // Set while the sink or a segmenter has the call: what fails there ends their part too.
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
        pipeline.Prepare(reader, ThreadCount(job, pipeline.chunks()), job.observers,
                         EffectiveReadMethod(job.read) == ReadMethod::kMap);
    if (!threads.ok()) {
      result.status = threads.status();
      return result;
    }
    const FrameFinder finder(job.window, *threads);
    result.mapped = pipeline.mapped();

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
      if (Status resolved = queue.ResolveIn(outcome.chunk, reader); !resolved.ok()) return resolved;
      for (const ChunkHit& hit : outcome.hits) {
        const uint64_t position = outcome.chunk.Position(hit.offset);
        Status added = queue.Add(
            Frame{position, position + hit.length, hit.packed_time, hit.traits}, hit.trailer_ahead);
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
      if (pipeline.chunks() == 0) {
        in_sink = true;
        result.status = sink.OnProgress(0, 0);
        if (result.status.ok()) in_sink = false;
      }
    }
    if (!in_sink) {
      // Found recordings are reported also when the scan stopped or failed part way. Trailers
      // past the range are read now when the range was done; after a stop or a failure nothing
      // more is read, and the frames still waiting for theirs count as not complete.
      in_sink = true;
      Status finished = queue.ResolveRest(result.status.ok() ? &reader : nullptr);
      for (Segmenter* segmenter : segmenters) {
        if (!finished.ok()) break;
        finished = segmenter->Finish();
      }
      in_sink = false;
      if (!finished.ok() && result.Ran()) result.status = std::move(finished);
    }
  } catch (...) {
    Status failed = StatusFromException("scan");
    if (result.status.ok() || result.Stopped()) result.status = std::move(failed);
  }
  result.recordings = segmenters.empty() ? 0 : segmenters[0]->count();
  result.matches = queue.matches();
  result.invalid_matches = queue.invalid();
  return result;
}

}  // namespace korvane
