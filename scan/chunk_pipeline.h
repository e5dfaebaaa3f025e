// SPDX-License-Identifier: GPL-3.0-or-later
// The chunk pipeline: several threads read and search the chunks of a range at once, and their
// results are handed over in chunk order on the calling thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "scan/chunk.h"
#include "scan/frame.h"
#include "scan/map_fault.h"
#include "scan/result.h"
#include "scan/source_reader.h"

namespace korvane {

#ifdef KORVANE_FUZZ_CHUNK_SIZE
// Fuzz builds use small chunks so that small inputs reach chunk boundaries.
inline constexpr uint32_t kChunkSize = KORVANE_FUZZ_CHUNK_SIZE;
#else
inline constexpr uint32_t kChunkSize = 1u << 20;  // bytes whose positions one chunk tests
#endif
inline constexpr uint32_t kChunkOverlap = 512;  // read past the chunk so late headers are whole
// Chunks of a mapped source are searched where they lie in maps of this many chunks (16 MiB):
// few enough that the file pages mapped at once stay a few tens of MiB whatever the source's
// size, and many enough that making and dropping maps (each drop flushes the other threads'
// translations) costs little: on the 4 GiB bench image, 16 MiB maps scanned about 12% faster
// than 4 MiB ones with two threads, for 10 MiB more peak RSS; dropping each chunk's pages as it
// is handed over instead was 20% slower.
inline constexpr uint32_t kChunksPerMap = 16;

// A frame header found in a chunk, before it is handed over.
struct ChunkHit {
  uint32_t offset;  // in the chunk
  uint32_t packed_time;
  uint32_t length;  // the frame's length (see FrameLengthOf)
  // A valid frame whose trailer lies past the chunk's bytes: traits.complete is not known yet.
  bool trailer_ahead = false;
  FrameTraits traits{};
};

// What a reading thread made of one chunk.
struct ChunkOutcome {
  ChunkView chunk;             // where the chunk lies, and its bytes until the hand-over ends
  std::vector<ChunkHit> hits;  // in offset order
  uint64_t unreadable = 0;     // of the chunk's own bytes: sectors that could not be read
  uint64_t missing = 0;        // of its own bytes: gone because the source shrank
  std::optional<uint64_t> source_end;  // where the source was found to end, when it shrank
  std::string read_error;              // the system's reason for the first failed read
};

class ChunkPipeline {
 public:
  // Searches a chunk on a reading thread, appending what it finds. `thread` (0 to threads - 1)
  // tells which reading thread calls, so each can have scratch memory of its own.
  using Search =
      std::function<void(unsigned thread, const ChunkView& chunk, std::vector<ChunkHit>& hits)>;
  // Takes a chunk's outcome on the calling thread, in chunk order. A failure ends the run.
  using HandOver = std::function<Status(const ChunkOutcome& outcome)>;

  // The positions [begin, end) of a source, in chunks of kChunkSize from begin.
  ChunkPipeline(uint64_t begin, uint64_t end);
  ~ChunkPipeline();
  ChunkPipeline(const ChunkPipeline&) = delete;
  ChunkPipeline& operator=(const ChunkPipeline&) = delete;

  uint64_t chunks() const { return chunks_; }

  // Sets up to `threads` reading threads (at least one), the calling thread's on `reader`, the
  // others on readers that share its source (none when the source cannot take reads from several
  // threads at once). Returns how many it set up; kNoMemory when the buffers cannot be had.
  // `observers` are given each chunk's own bytes in chunk order, each on a thread of its own,
  // after the chunk's hand-over; a chunk's slot is reused only when every one of them is done
  // with it.
  //
  // With `map`, when the source can be mapped and there are no observers, a chunk is searched in
  // place in a map of the source instead of being copied into its slot (see Process); otherwise,
  // and for any chunk whose map cannot be had or read, its bytes are read into the slot.
  Result<unsigned> Prepare(SourceReader& reader, unsigned threads,
                           std::vector<RangeObserver*> observers = {}, bool map = false);

  // Whether chunks are searched in maps of the source (set by Prepare).
  bool mapped() const { return map_; }

  // Reads, searches and hands over every chunk. The calling thread reads chunks too, and between
  // them hands over every chunk that is ready, in order. `stop` is read after each hand-over but
  // the last; when it is set, the run ends there. The observers have been given every chunk
  // handed over when it returns. Returns ok when every chunk was handed over,
  // kStopped when a stop ended it, or the failure that ended it: the hand-over's, or an exception
  // on any thread (as StatusFromException makes it). Never throws.
  Status Run(const Search& search, const HandOver& hand_over, const std::atomic<int>& stop);

 private:
  struct Reader;
  struct Slot {
    ChunkOutcome outcome;  // owned by the thread that claimed the chunk until `filled`, then by
                           // the hand-over until it frees the slot
    bool filled = false;   // guarded by mutex_
    // The chunk's bytes, unless it was searched in a map of the source (outcome.chunk.mapped).
    std::unique_ptr<uint8_t[], void (*)(uint8_t*)> buffer{nullptr, nullptr};
  };

  Slot& SlotOf(uint64_t k) { return slots_[static_cast<size_t>(k % slots_.size())]; }
  bool SlotFree(uint64_t k) const { return Released() + slots_.size() > k; }
  // Chunks whose slots may be used again: handed over and given to every observer.
  uint64_t Released() const;
  uint64_t ChunkStart(uint64_t k) const { return begin_ + k * kChunkSize; }
  uint32_t ChunkLength(uint64_t k) const;

  // A map of the chunks [kChunksPerMap * w, kChunksPerMap * (w + 1)), with the overlap after
  // them as far as the source goes. Unmapped when all its chunks have been handed over.
  struct Map {
    std::unique_ptr<MappedBytes> bytes;  // null when the source would not be mapped there
    uint64_t offset = 0;                 // source position of bytes->data()[0]
    uint32_t waiting = 0;                // its chunks not handed over yet
  };

  Status Process(uint64_t k, unsigned thread);
  bool SearchMapped(uint64_t k, unsigned thread);
  MappedBytes* MapOf(uint64_t k, uint64_t& offset);
  void ReleaseMapOf(uint64_t k);
  bool HandOverReady(std::unique_lock<std::mutex>& lock);
  void Fail(Status status);  // with the lock held
  void ReaderLoop(unsigned thread);
  void ObserverLoop(size_t index);
  void StartReaders();
  void StopReaders();

  const uint64_t begin_;
  const uint64_t end_;
  const uint64_t chunks_;
  std::vector<Reader> readers_;
  std::vector<Slot> slots_;
  std::vector<std::thread> threads_;
  std::vector<RangeObserver*> observers_;
  bool map_ = false;
  std::optional<MapFaultScope> fault_scope_;
  std::mutex maps_mutex_;           // guards maps_
  std::map<uint64_t, Map> maps_;    // by map number: those in use
  std::vector<uint64_t> observed_;  // per observer: chunks it is done with; guarded by mutex_
  std::vector<std::thread> observer_threads_;
  std::condition_variable handed_;  // a chunk was handed over, or the hand-overs are over
  bool handing_over_done_ = false;

  const Search* search_ = nullptr;
  const HandOver* hand_over_ = nullptr;
  const std::atomic<int>* stop_ = nullptr;

  std::mutex mutex_;
  std::condition_variable filled_;  // a slot was filled, or the run is ending
  std::condition_variable free_;    // a slot was handed over, or the run is ending
  uint64_t next_ = 0;               // chunks claimed
  uint64_t handed_over_ = 0;        // chunks handed over
  bool stopping_ = false;
  Status outcome_;  // how the run ended: ok, kStopped, or the first failure
};

}  // namespace korvane
