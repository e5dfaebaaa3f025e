// Shared by the tests: an in-memory device with injectable faults, a plain reference scan, a sink
// that records everything, and temporary files.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "scan/raw_device.h"
#include "scan/scanner.h"

namespace korvane::test {

struct ReadCall {
  uint64_t offset;
  size_t len;
};

// A source held in memory. Reads that touch a bad sector deliver the bytes before it, or fail
// when it is the first; reads can be cut short and interrupted; every call is logged.
class MemoryDevice final : public RawDevice {
 public:
  explicit MemoryDevice(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  uint64_t Size() const override { return bytes_.size(); }
  int64_t ReadAt(void* dst, size_t len, uint64_t offset, std::string* error) override;
  bool ConcurrentReads() const override { return concurrent; }

  std::set<uint64_t> bad_sectors;  // sector numbers (offset / 512)
  size_t max_read = SIZE_MAX;      // deliver at most this many bytes a call
  std::vector<ReadCall> calls;
  // Called before each read (for example to shrink the source while it is read).
  std::function<void(MemoryDevice&)> before_read;
  std::vector<uint8_t>& bytes() { return bytes_; }
  // Lets several threads read at once (reads are then serialised inside, after before_read).
  bool concurrent = false;

 private:
  std::vector<uint8_t> bytes_;
  std::mutex mutex_;
};

// The plain reading of the rules: every position of [offset, offset + size) tested one by one on
// the whole image, bytes past the image reading as zeros.
std::vector<Recording> ReferenceScan(const std::vector<uint8_t>& image, uint64_t offset,
                                     uint64_t size, const DateWindow& window = {});

struct ProgressEvent {
  uint64_t done;
  uint64_t total;
};

class RecordingSink : public ScanSink {
 public:
  void OnScanStart(uint64_t total) override { starts.push_back(total); }
  void OnProgress(uint64_t done, uint64_t total) override {
    progress.push_back({done, total});
    if (on_progress) on_progress(done);
  }
  void OnRecordingOpened(const Recording& r) override { opened.push_back(r); }
  void OnRecordingClosed(const Recording& r) override { closed.push_back(r); }

  std::vector<uint64_t> starts;
  std::vector<ProgressEvent> progress;
  std::vector<Recording> opened;
  std::vector<Recording> closed;
  std::function<void(uint64_t)> on_progress;
};

bool SameRecording(const Recording& a, const Recording& b);
std::string Describe(const Recording& r);

// A fresh directory under the system's temporary directory, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// The whole contents of a file ("" when it cannot be read).
std::string Slurp(const std::string& path);

// s quoted for a POSIX shell.
std::string Quote(const std::string& s);

// The names in a folder, hidden ones included, sorted.
std::vector<std::string> Listing(const std::filesystem::path& dir);

}  // namespace korvane::test
