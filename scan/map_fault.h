// SPDX-License-Identifier: GPL-3.0-or-later
// Reading mapped source bytes without dying of SIGBUS.
//
// A page of a mapped file that cannot be delivered (the disk fails to read it, or the file was
// cut shorter than the page while it is mapped) raises SIGBUS in the thread that touches it; the
// default action ends the process. The scan reads mapped chunks only inside ReadMappedBytes, which
// turns such a fault into a `false` return, after which the chunk is read again with pread (which
// salvages what it can sector by sector and counts the rest).
//
// How, and why it is sound:
// - MapFaultScope installs one SIGBUS handler for the whole process while any scan holds a scope
//   (a count under a mutex), and puts back the action it found when the last scope ends. A scope
//   is held for a whole scan, never per chunk: sigaction is a system call.
// - Each thread that reads mapped bytes has a thread-local record: the address range it is reading
//   and a sigjmp_buf. ReadMappedBytes fills it, calls the reader, and clears it. The record is
//   written before the handler can ever look at it from this thread (so there is no lazy
//   allocation of thread-local storage inside the handler) and `armed` is a volatile
//   sig_atomic_t written last, after a compiler barrier.
// - SIGBUS from a fault is delivered to the faulting thread, synchronously. The handler does only
//   async-signal-safe things: it reads this thread's record and, when the faulting address lies in
//   the range being read, disarms it and siglongjmps back into ReadMappedBytes. The reader that
//   was interrupted must own nothing that needs unwinding (no locks taken, no allocation in
//   progress, only trivially destructible frames between ReadMappedBytes and the fault); the
//   chunk search and a plain copy are such readers.
// - Any other SIGBUS (another thread's, an address outside the range, one sent with kill) goes to
//   the action that was there before: its handler is called, or, when that was the default or
//   ignore, the default is put back and the signal delivered again, so the process ends as it
//   would have without the scan. A fault on the same instruction simply recurs after return.
// - The handler runs with SA_NODEFER so that SIGBUS is not left blocked after the jump; the jump
//   does not restore the signal mask, and the path after it unblocks SIGBUS all the same.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// Catches SIGBUS for ReadMappedBytes while it exists (see above). Where the system has no SIGBUS
// (Windows) it does nothing: nothing is mapped there.
class MapFaultScope {
 public:
  MapFaultScope();
  ~MapFaultScope();
  MapFaultScope(const MapFaultScope&) = delete;
  MapFaultScope& operator=(const MapFaultScope&) = delete;
  // False when the handler could not be installed: do not read mapped bytes then.
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

// Calls read(context), which reads mapped bytes in [begin, begin + size). Returns true when it
// ran to its end, false when a page there could not be delivered: read was then cut short at that
// point and its work must be thrown away. Only inside a MapFaultScope. `read` must meet the
// conditions above.
bool ReadMappedBytes(const uint8_t* begin, size_t size, void (*read)(void* context), void* context);

// Copies n mapped bytes from src to dst; false when they could not be read (dst then holds an
// unspecified part of them).
bool CopyMappedBytes(uint8_t* dst, const uint8_t* src, size_t n);

}  // namespace korvane
