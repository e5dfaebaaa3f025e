#include "scan/scanner.h"

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "scan/frame_search.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

static_assert(std::endian::native == std::endian::little,
              "the frame search loads little-endian words");

namespace korvane {

std::string Recording::Name() const {
  return std::to_string(index) + ".dav";
}

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

// Asks for the address translation of every 4 KiB page of a buffer before the search walks it.
//
// A chunk has just been copied in by the kernel, and on return from a read the processor may
// have dropped the process's cached translations (kernel page-table isolation without
// process-context identifiers, common in virtual machines). The search then meets a translation
// miss at each new page, one after another, and the data prefetcher stops at each one: measured on
// such a machine, the search ran at half its in-cache speed. One prefetch per page, issued all at
// once, lets those page walks overlap; the search then runs at its in-cache speed (about 16
// instead of 11 GB/s for a read and search on one core). Where translations survive the read this
// costs a few hundred instructions a chunk.
inline void PrefetchPages(const uint8_t* p, size_t n) {
  constexpr size_t kPage = 4096;
  for (size_t i = 0; i < n; i += kPage) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p + i, 0, 3);
#else
    static_cast<void>(*static_cast<const volatile uint8_t*>(p + i));
#endif
  }
}

// Asks the system to back a chunk buffer with huge pages. A fault on fresh memory is costly (most
// of all in a virtual machine): without this the first read into a 1 MiB buffer takes 256 of
// them, a few milliseconds a worker, a noticeable part of a scan of a few GiB from the page cache.
// Only a request: memory stays ordinary pages where huge ones are not to be had.
inline void AskForHugePages([[maybe_unused]] void* p, [[maybe_unused]] size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (n >= (size_t{2} << 20)) madvise(p, n, MADV_HUGEPAGE);
#endif
}

// A frame header a worker found in its chunk: where, its time word and its frame length.
struct Hit {
  uint32_t offset;
  uint32_t packed;
  uint32_t length;
};

// Reads and searches the chunks of a range with several workers, and hands the results over to
// the segmenter and the sink in chunk order on the calling thread.
//
// Chunk k goes to ring slot k % slots. A worker claims the next chunk, waits until its slot has
// been handed over (so workers run at most `slots` chunks ahead of the hand-over), reads and
// searches the chunk with its own buffer, fills the slot with the chunk's hits and read results,
// and claims the next. The calling thread is a worker too; between its own chunks it hands over
// every slot that is ready, in order, and it alone calls the sink. Memory is a buffer per worker
// and a hit list per slot, whatever the range's size.
class ChunkPipeline {
 public:
  ChunkPipeline(const ScanJob& job, uint64_t total, uint64_t end, uint64_t chunks)
      : job_(job), total_(total), end_(end), chunks_(chunks), find_(SelectedFindMagic()) {}
  ~ChunkPipeline() { StopHelpers(); }
  ChunkPipeline(const ChunkPipeline&) = delete;
  ChunkPipeline& operator=(const ChunkPipeline&) = delete;

  // Sets up to `workers` workers, the calling thread's on `reader`, the others on readers that
  // share its source (none if the source cannot take reads from several threads). False when
  // the memory cannot be had.
  bool Prepare(SourceReader& reader, unsigned workers) {
    try {
      tools_.resize(workers);
      for (unsigned w = 0; w < workers; ++w) {
        Tools& t = tools_[w];
        if (w == 0) {
          t.reader = &reader;
        } else {
          t.own_reader = reader.Share();
          if (!t.own_reader) {
            tools_.resize(w);
            break;
          }
          t.reader = t.own_reader.get();
        }
        t.buffer.reset(static_cast<uint8_t*>(
            ::operator new[](kBufferBytes, std::align_val_t{kBufferAlignment})));
        AskForHugePages(t.buffer.get(), kBufferBytes);
        t.positions.reset(new uint32_t[kSearchPiece / 4 + 1]);
      }
      // One worker hands over each chunk before it reads the next, as a plain loop would. Several
      // may run some chunks ahead, so that one of them losing the processor for a while (to
      // another program) does not stop the others at once. A slot of nothing but matches holds
      // 3 MiB; twelve keep the scan's memory under 64 MiB even then (measured: 46 MiB with two
      // workers, 60 with eight).
      slots_.resize(tools_.size() == 1 ? 1 : std::min<size_t>(4 * tools_.size() + 4, 12));
      // Room for a chunk of nothing but matches; only what is written is ever touched.
      for (Slot& s : slots_) s.hits.reserve(kChunkSize / 4 + 1);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  // Scans every chunk, or up to the one after which `stop` was seen. True when stopped.
  bool Run(Segmenter& segmenter, ScanSink& sink, const std::atomic<int>& stop, ScanResult& result) {
    segmenter_ = &segmenter;
    sink_ = &sink;
    stop_ = &stop;
    result_ = &result;
    StartHelpers();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      HandOverReady(lock);
      if (stopping_ || next_ >= chunks_) break;
      const uint64_t k = next_++;
      while (!stopping_ && !SlotFree(k)) {
        if (!HandOverReady(lock)) filled_.wait(lock);
      }
      if (stopping_) break;
      lock.unlock();
      Process(k, tools_[0]);
      lock.lock();
      SlotOf(k).filled = true;
    }
    while (!stopping_ && handed_over_ < next_) {
      if (!HandOverReady(lock)) filled_.wait(lock);
    }
    const bool stopped = stopped_;
    lock.unlock();
    StopHelpers();
    if (failure_) std::rethrow_exception(failure_);
    return stopped;
  }

 private:
  // Reads into page-aligned memory copy fastest. A chunk buffer is also given a whole huge page
  // of its own where it is big enough to earn one (see AskForHugePages).
  static constexpr size_t kHugePage = size_t{2} << 20;
  static constexpr uint32_t kSearchPiece = std::min<uint32_t>(kChunkSize, 256 * 1024);
  static constexpr bool kHugeBuffer = kChunkSize >= kHugePage / 2;
  static constexpr size_t kBufferAlignment = kHugeBuffer ? kHugePage : 4096;
  static constexpr size_t kBufferBytes =
      kHugeBuffer ? (kChunkSize + kChunkOverlap + kHugePage - 1) / kHugePage * kHugePage
                  : kChunkSize + kChunkOverlap;
  struct AlignedDelete {
    void operator()(uint8_t* p) const {
      ::operator delete[](p, std::align_val_t{kBufferAlignment});
    }
  };
  struct Tools {
    SourceReader* reader = nullptr;
    std::unique_ptr<SourceReader> own_reader;
    std::unique_ptr<uint8_t[], AlignedDelete> buffer;
    std::unique_ptr<uint32_t[]> positions;
  };

  // One chunk's results. Owned by the worker that claimed the chunk until `filled`, then by the
  // hand-over until it frees the slot; `filled` itself is guarded by mutex_.
  struct Slot {
    std::vector<Hit> hits;  // frames in the date window, in position order
    uint64_t unreadable = 0;
    std::string error;
    bool filled = false;
  };

  Slot& SlotOf(uint64_t k) { return slots_[static_cast<size_t>(k % slots_.size())]; }
  bool SlotFree(uint64_t k) const { return handed_over_ + slots_.size() > k; }

  uint64_t ChunkStart(uint64_t k) const { return job_.offset + k * kChunkSize; }
  uint32_t ChunkLength(uint64_t k) const {
    return static_cast<uint32_t>(std::min<uint64_t>(kChunkSize, end_ - ChunkStart(k)));
  }

  // Reads chunk k (and the overlap after it) and finds its frames. Runs without the lock.
  void Process(uint64_t k, Tools& tools) {
    const uint64_t start = ChunkStart(k);
    const uint32_t len = ChunkLength(k);
    Slot& slot = SlotOf(k);
    uint8_t* buffer = tools.buffer.get();
    SourceReader::Stats stats = tools.reader->ReadAligned(buffer, len + kChunkOverlap, start, len);
    slot.unreadable = stats.unreadable;
    slot.error = std::move(stats.error);
    slot.hits.clear();
    PrefetchPages(buffer, len + kChunkOverlap);
    // The chunk is searched a piece at a time, so that the kernel's list of positions (room for
    // a match every 4 bytes) is a quarter of a chunk, not a whole one. A piece's last positions
    // read the 3 bytes after it, which the buffer holds.
    for (uint32_t piece = 0; piece < len; piece += kSearchPiece) {
      const size_t count =
          find_(buffer + piece, std::min(kSearchPiece, len - piece), tools.positions.get());
      for (size_t i = 0; i < count; ++i) {
        const uint32_t offset = piece + tools.positions[i];
        const uint8_t* header = buffer + offset;
        const uint32_t packed = LoadLe32(header + 16);
        if (!IsInDateWindow(packed, job_.window)) continue;
        uint32_t length = LoadLe32(header + 12);
        if (length < kMinFrameLength || length > kMaxFrameLength) length = kMinFrameLength;
        slot.hits.push_back({offset, packed, length});
      }
    }
  }

  // Hands over, in chunk order, every chunk whose results are ready: frames to the segmenter,
  // counts to the result, progress to the sink; then looks at the stop flag. Called with the
  // lock held; drops it while the sink works. Returns whether it handed over anything.
  bool HandOverReady(std::unique_lock<std::mutex>& lock) {
    bool any = false;
    while (!stopping_ && handed_over_ < next_ && SlotOf(handed_over_).filled) {
      const uint64_t k = handed_over_;
      Slot& slot = SlotOf(k);
      lock.unlock();
      const uint64_t start = ChunkStart(k);
      result_->unreadable_bytes += slot.unreadable;
      if (!slot.error.empty() && result_->error.empty()) result_->error = slot.error;
      for (const Hit& hit : slot.hits) {
        const uint64_t position = start + hit.offset;
        segmenter_->AddFrame(PackedTimeToDayCount(hit.packed), position, position + hit.length);
      }
      const uint64_t chunk_end = start + ChunkLength(k);
      result_->scanned_bytes = chunk_end - job_.offset;
      sink_->OnProgress(result_->scanned_bytes, total_);
      const bool stop = chunk_end < end_ && stop_->load(std::memory_order_relaxed) != 0;
      lock.lock();
      slot.filled = false;
      ++handed_over_;
      if (stop) stopping_ = stopped_ = true;
      free_.notify_all();
      any = true;
    }
    return any;
  }

  void HelperLoop(Tools& tools) {
    std::unique_lock<std::mutex> lock(mutex_);
    try {
      for (;;) {
        if (stopping_ || next_ >= chunks_) return;
        const uint64_t k = next_++;
        free_.wait(lock, [&] { return stopping_ || SlotFree(k); });
        if (stopping_) return;
        lock.unlock();
        Process(k, tools);
        lock.lock();
        SlotOf(k).filled = true;
        filled_.notify_one();
      }
    } catch (...) {
      // The claimed chunk will never be filled: end the scan and let the caller see why.
      if (!lock.owns_lock()) lock.lock();
      if (!failure_) failure_ = std::current_exception();
      stopping_ = true;
      filled_.notify_all();
      free_.notify_all();
    }
  }

  void StartHelpers() {
    for (size_t w = 1; w < tools_.size(); ++w) {
      try {
        helpers_.emplace_back([this, w] { HelperLoop(tools_[w]); });
      } catch (const std::system_error&) {
        break;  // fewer threads: the others take the chunks
      }
    }
  }

  void StopHelpers() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    free_.notify_all();
    for (std::thread& t : helpers_) t.join();
    helpers_.clear();
  }

  const ScanJob& job_;
  const uint64_t total_;
  const uint64_t end_;
  const uint64_t chunks_;
  const FindMagicFn find_;
  std::vector<Tools> tools_;
  std::vector<Slot> slots_;
  std::vector<std::thread> helpers_;

  Segmenter* segmenter_ = nullptr;
  ScanSink* sink_ = nullptr;
  const std::atomic<int>* stop_ = nullptr;
  ScanResult* result_ = nullptr;

  std::mutex mutex_;
  std::condition_variable filled_;  // a slot was filled, or a helper failed
  std::condition_variable free_;    // a slot was handed over, or the scan is ending
  uint64_t next_ = 0;               // chunks claimed
  uint64_t handed_over_ = 0;        // chunks handed over
  bool stopping_ = false;
  bool stopped_ = false;  // by a stop request
  std::exception_ptr failure_;
};

unsigned WorkerCount(const ScanJob& job, uint64_t chunks) {
  const unsigned workers =
      std::min(job.workers ? job.workers : DefaultScanWorkers(), kMaxScanWorkers);
  return static_cast<unsigned>(std::clamp<uint64_t>(chunks, 1, workers));
}

}  // namespace

unsigned DefaultScanWorkers() {
  return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxScanWorkers);
}

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
  const uint64_t chunks =
      (read_end - job.offset) / kChunkSize + ((read_end - job.offset) % kChunkSize != 0 ? 1 : 0);

  ChunkPipeline pipeline(job, total, end, chunks);
  if (!pipeline.Prepare(reader, WorkerCount(job, chunks))) {
    result.status = ScanStatus::kNoMemory;
    result.error = "not enough memory for the scan buffers";
    return result;
  }

  sink.OnScanStart(total);
  Segmenter segmenter(sink);
  const bool stopped = pipeline.Run(segmenter, sink, stop, result);
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
