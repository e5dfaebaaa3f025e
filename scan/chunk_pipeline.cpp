// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/chunk_pipeline.h"

#include <algorithm>
#include <exception>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace korvane {
namespace {

// Reads into page-aligned memory copy fastest. A chunk buffer is also given a whole huge page
// of its own where it is big enough to earn one (see AskForHugePages).
constexpr size_t kHugePage = size_t{2} << 20;
constexpr bool kHugeBuffer = kChunkSize >= kHugePage / 2;
constexpr size_t kBufferAlignment = kHugeBuffer ? kHugePage : 4096;
constexpr size_t kBufferBytes =
    kHugeBuffer ? (kChunkSize + kChunkOverlap + kHugePage - 1) / kHugePage * kHugePage
                : kChunkSize + kChunkOverlap;

// Asks for the address translation of every 4 KiB page of a buffer before the search walks it.
//
// A chunk has just been copied in by the kernel, and on return from a read the processor may
// have dropped the process's cached translations (kernel page-table isolation without
// process-context identifiers, common in virtual machines). The search then meets a translation
// miss at each new page, one after another, and the data prefetcher stops at each one: the search
// runs at about half its in-cache speed. One prefetch per page, issued all at once, lets those
// page walks overlap. Where translations survive the read this costs a few hundred instructions a
// chunk.
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
// them. Only a request: memory stays ordinary pages where huge ones are not to be had.
inline void AskForHugePages([[maybe_unused]] void* p, [[maybe_unused]] size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (n >= (size_t{2} << 20)) madvise(p, n, MADV_HUGEPAGE);
#endif
}

void AlignedDelete(uint8_t* p) {
  ::operator delete[](p, std::align_val_t{kBufferAlignment});
}

}  // namespace

// A reading thread's reader of the source.
struct ChunkPipeline::Reader {
  SourceReader* reader = nullptr;
  std::unique_ptr<SourceReader> own_reader;
};

ChunkPipeline::ChunkPipeline(uint64_t begin, uint64_t end)
    : begin_(begin),
      end_(std::max(begin, end)),
      chunks_((end_ - begin_) / kChunkSize + ((end_ - begin_) % kChunkSize != 0 ? 1 : 0)) {}

ChunkPipeline::~ChunkPipeline() {
  StopReaders();
}

uint32_t ChunkPipeline::ChunkLength(uint64_t k) const {
  return static_cast<uint32_t>(std::min<uint64_t>(kChunkSize, end_ - ChunkStart(k)));
}

uint64_t ChunkPipeline::Released() const {
  uint64_t released = handed_over_;
  for (const uint64_t observed : observed_) released = std::min(released, observed);
  return released;
}

Result<unsigned> ChunkPipeline::Prepare(SourceReader& reader, unsigned threads,
                                        std::vector<RangeObserver*> observers, bool map) {
  try {
    threads = std::max(threads, 1u);
    observers_ = std::move(observers);
    // Observers read a chunk's bytes on threads of their own, after its hand-over, where a fault
    // on a map could not be caught and redone: with them every chunk is read into its slot.
    map_ = map && observers_.empty() && reader.Mappable();
    if (map_) {
      fault_scope_.emplace();
      if (!fault_scope_->ok()) {
        fault_scope_.reset();
        map_ = false;
      }
    }
    observed_.assign(observers_.size(), 0);
    readers_.resize(threads);
    for (unsigned t = 0; t < threads; ++t) {
      Reader& r = readers_[t];
      if (t == 0) {
        r.reader = &reader;
      } else {
        r.own_reader = reader.Share();
        if (!r.own_reader) {
          readers_.resize(t);
          break;
        }
        r.reader = r.own_reader.get();
      }
    }
    // One reading thread hands over each chunk before it reads the next, as a plain loop would.
    // Several may run some chunks ahead, so that one of them losing the processor for a while (to
    // another program) does not stop the others at once. Each slot holds its chunk's bytes (2 MiB)
    // until the hand-over: two slots a thread and two more keep that slack, and twelve at most
    // bound the scan's memory even for data of nothing but matches (see the README's performance
    // section).
    threads_.reserve(readers_.size());
    // Observers take a chunk's bytes after its hand-over, from its slot, while reading goes on
    // into the next slots: with them there are more slots.
    const size_t per_thread = observers_.empty() ? 2 : 4;
    slots_.resize(readers_.size() == 1
                      ? (observers_.empty() ? 1 : 4)
                      : std::min<size_t>(per_thread * readers_.size() + per_thread, 12));
    // Room for a chunk of nothing but matches; only what is written is ever touched. A chunk's
    // bytes stay in its slot until it is handed over (and the observers are done with it): the
    // hand-over reads there the trailers of frames that began in earlier chunks.
    for (Slot& s : slots_) {
      s.outcome.hits.reserve(kChunkSize / 4 + 1);
      s.buffer = {
          static_cast<uint8_t*>(::operator new[](kBufferBytes, std::align_val_t{kBufferAlignment})),
          AlignedDelete};
      AskForHugePages(s.buffer.get(), kBufferBytes);
    }
  } catch (const std::bad_alloc&) {
    readers_.clear();
    slots_.clear();
    observers_.clear();
    observed_.clear();
    map_ = false;
    fault_scope_.reset();
    return Status::Error(ErrorCode::kNoMemory, "not enough memory for the scan buffers");
  }
  return static_cast<unsigned>(readers_.size());
}

Status ChunkPipeline::Run(const Search& search, const HandOver& hand_over,
                          const std::atomic<int>& stop) {
  search_ = &search;
  hand_over_ = &hand_over;
  stop_ = &stop;
  if (readers_.empty()) return Status::Error(ErrorCode::kInternal, "the scan was not prepared");
  for (size_t i = 0; i < observers_.size(); ++i) {
    try {
      observer_threads_.emplace_back([this, i] { ObserverLoop(i); });
    } catch (...) {
      // Without its thread an observer would miss bytes: the run cannot go on.
      Status failed = StatusFromException("starting a thread beside the scan");
      {
        std::lock_guard<std::mutex> lock(mutex_);
        Fail(std::move(failed));
      }
      StopReaders();
      return outcome_;
    }
  }
  StartReaders();
  {
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
      Status processed = Process(k, 0);
      lock.lock();
      if (!processed.ok()) {
        Fail(std::move(processed));
        break;
      }
      SlotOf(k).filled = true;
    }
    while (!stopping_ && handed_over_ < next_) {
      if (!HandOverReady(lock)) filled_.wait(lock);
    }
  }
  StopReaders();
  return outcome_;
}

// Reads chunk k (and the overlap after it) and searches it. Runs without the lock.
//
// A mapped source's chunk is searched where it lies in the map, unless the map cannot be had
// there (near the source's end, where the overlap would reach past it) or a page of it cannot be
// read (an I/O error, or the source shrank): then, as for any other source, it is read into the
// chunk's slot, whose reader salvages what it can sector by sector and counts the rest. Either
// way the chunk's bytes stay where they are until its hand-over.
Status ChunkPipeline::Process(uint64_t k, unsigned thread) {
  const uint64_t start = ChunkStart(k);
  try {
    if (map_ && SearchMapped(k, thread)) return Status::Ok();
    Reader& r = readers_[thread];
    const uint32_t len = ChunkLength(k);
    Slot& slot = SlotOf(k);
    ChunkOutcome& outcome = slot.outcome;
    uint8_t* buffer = slot.buffer.get();
    SourceReader::Stats stats = r.reader->ReadAligned(buffer, len + kChunkOverlap, start, len);
    outcome.chunk = ChunkView{buffer, start, len, kChunkOverlap};
    outcome.unreadable = stats.unreadable;
    outcome.missing = stats.missing;
    outcome.source_end = stats.source_end;
    outcome.read_error = std::move(stats.error);
    outcome.hits.clear();
    PrefetchPages(buffer, len + kChunkOverlap);
    (*search_)(thread, ChunkView{buffer, start, len, kChunkOverlap}, outcome.hits);
    return Status::Ok();
  } catch (...) {
    return StatusFromException("scanning from byte " + std::to_string(start));
  }
}

namespace {
// The search of one mapped chunk, called through ReadMappedBytes, which may jump out of it at a
// fault: it takes no lock, and it allocates nothing, since the hits have room for a chunk of
// nothing but matches (see Prepare). An exception is kept and thrown again after it returns, so
// that nothing unwinds through it.
struct MappedSearch {
  const ChunkPipeline::Search* search;
  unsigned thread;
  ChunkView chunk;
  std::vector<ChunkHit>* hits;
  std::exception_ptr failure;

  static void Run(void* context) {
    MappedSearch& s = *static_cast<MappedSearch*>(context);
    try {
      PrefetchPages(s.chunk.data, s.chunk.size());
      (*s.search)(s.thread, s.chunk, *s.hits);
    } catch (...) {
      s.failure = std::current_exception();
    }
  }
};
}  // namespace

// Searches chunk k in its map. False when it must be read instead (nothing is kept then).
bool ChunkPipeline::SearchMapped(uint64_t k, unsigned thread) {
  uint64_t map_offset = 0;
  MappedBytes* map = MapOf(k, map_offset);
  if (map == nullptr) return false;
  const uint64_t start = ChunkStart(k);
  const uint32_t len = ChunkLength(k);
  const size_t at = static_cast<size_t>(start - map_offset);
  if (at + len + kChunkOverlap > map->size()) return false;
  ChunkOutcome& outcome = SlotOf(k).outcome;
  outcome.hits.clear();
  MappedSearch call{search_, thread, ChunkView{map->data() + at, start, len, kChunkOverlap, true},
                    &outcome.hits, nullptr};
  const bool read = ReadMappedBytes(call.chunk.data, call.chunk.size(), &MappedSearch::Run, &call);
  if (call.failure) std::rethrow_exception(call.failure);
  if (!read) return false;
  outcome.chunk = call.chunk;
  outcome.unreadable = 0;
  outcome.missing = 0;
  outcome.source_end.reset();
  outcome.read_error.clear();
  return true;
}

// The map that holds chunk k, mapped at its first chunk's first use; null when the source cannot
// be mapped there. `offset` is set to the source position of its first byte.
MappedBytes* ChunkPipeline::MapOf(uint64_t k, uint64_t& offset) {
  const uint64_t number = k / kChunksPerMap;
  std::lock_guard<std::mutex> lock(maps_mutex_);
  auto [it, added] = maps_.try_emplace(number);
  Map& map = it->second;
  if (added) {
    const uint64_t first = number * kChunksPerMap;
    const uint64_t last = std::min(first + kChunksPerMap, chunks_) - 1;
    map.offset = ChunkStart(first);
    map.waiting = static_cast<uint32_t>(last - first + 1);
    // The overlap of the last chunk, as far as the source holds bytes (beyond, a map would not
    // read as zeros: that chunk is read instead).
    const uint64_t want = ChunkStart(last) + ChunkLength(last) + kChunkOverlap;
    const uint64_t until = std::min<uint64_t>(want, readers_[0].reader->Size());
    if (until > map.offset) map.bytes = readers_[0].reader->Map(map.offset, until - map.offset);
  }
  offset = map.offset;
  return map.bytes.get();
}

// Chunk k has been handed over: its map goes when none of its chunks is waiting any more.
void ChunkPipeline::ReleaseMapOf(uint64_t k) {
  std::unique_ptr<MappedBytes> unmap;
  {
    std::lock_guard<std::mutex> lock(maps_mutex_);
    const auto it = maps_.find(k / kChunksPerMap);
    if (it == maps_.end() || --it->second.waiting != 0) return;
    unmap = std::move(it->second.bytes);
    maps_.erase(it);
  }
}

// Hands over, in chunk order, every chunk whose outcome is ready, then looks at the stop flag.
// Called with the lock held; drops it during the hand-over. Returns whether it handed over any.
bool ChunkPipeline::HandOverReady(std::unique_lock<std::mutex>& lock) {
  bool any = false;
  while (!stopping_ && handed_over_ < next_ && SlotOf(handed_over_).filled) {
    const uint64_t k = handed_over_;
    Slot& slot = SlotOf(k);
    lock.unlock();
    Status taken;
    try {
      taken = (*hand_over_)(slot.outcome);
    } catch (...) {
      taken = StatusFromException();
    }
    const bool stop = taken.ok() && k + 1 < chunks_ && stop_->load(std::memory_order_relaxed) != 0;
    if (map_) ReleaseMapOf(k);
    lock.lock();
    slot.filled = false;
    ++handed_over_;
    handed_.notify_all();
    if (!taken.ok()) {
      Fail(std::move(taken));
    } else if (stop) {
      Fail(Status::Error(ErrorCode::kStopped, "stopped"));
    }
    free_.notify_all();
    any = true;
  }
  return any;
}

void ChunkPipeline::Fail(Status status) {
  if (outcome_.ok()) outcome_ = std::move(status);
  stopping_ = true;
  filled_.notify_all();
  free_.notify_all();
}

void ChunkPipeline::ReaderLoop(unsigned thread) {
  try {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (stopping_ || next_ >= chunks_) return;
      const uint64_t k = next_++;
      free_.wait(lock, [&] { return stopping_ || SlotFree(k); });
      if (stopping_) return;
      lock.unlock();
      Status processed = Process(k, thread);
      lock.lock();
      if (!processed.ok()) {
        // The claimed chunk will never be filled: the run ends, with this reason.
        Fail(std::move(processed));
        return;
      }
      SlotOf(k).filled = true;
      filled_.notify_one();
    }
  } catch (...) {
    // Only the lock itself can throw here; end the run rather than the process.
    Status failed = StatusFromException("scan thread");
    std::lock_guard<std::mutex> lock(mutex_);
    Fail(std::move(failed));
  }
}

// Gives observer `index` the chunks in order as they are handed over, until the hand-overs are
// over and it has had every chunk handed over.
void ChunkPipeline::ObserverLoop(size_t index) {
  RangeObserver& observer = *observers_[index];
  std::unique_lock<std::mutex> lock(mutex_);
  for (uint64_t k = 0;; ++k) {
    handed_.wait(lock, [&] { return k < handed_over_ || handing_over_done_; });
    if (k >= handed_over_) break;
    const Slot& slot = SlotOf(k);
    lock.unlock();
    Status failed;
    try {
      observer.OnBytes(slot.buffer.get(), slot.outcome.chunk.own_bytes);
    } catch (...) {
      failed = StatusFromException("beside the scan");
    }
    lock.lock();
    if (!failed.ok()) {
      observed_[index] = UINT64_MAX;  // it holds no slot any more
      Fail(std::move(failed));
      return;
    }
    observed_[index] = k + 1;
    free_.notify_all();
    filled_.notify_all();
  }
}

void ChunkPipeline::StartReaders() {
  for (unsigned t = 1; t < readers_.size(); ++t) {
    try {
      threads_.emplace_back([this, t] { ReaderLoop(t); });
    } catch (...) {
      break;  // fewer threads: the others take the chunks
    }
  }
}

void ChunkPipeline::StopReaders() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  free_.notify_all();
  filled_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  // No chunk is handed over from here on: the observers take the rest and end.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handing_over_done_ = true;
  }
  handed_.notify_all();
  for (std::thread& t : observer_threads_) t.join();
  observer_threads_.clear();
  // Chunks that were never handed over (after a stop or a failure) leave their maps.
  std::lock_guard<std::mutex> lock(maps_mutex_);
  maps_.clear();
}

}  // namespace korvane
