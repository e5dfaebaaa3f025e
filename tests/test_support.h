// SPDX-License-Identifier: GPL-3.0-or-later
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
  Result<size_t> ReadAt(void* dst, size_t len, uint64_t offset) override;
  bool ConcurrentReads() const override { return concurrent; }
  bool Mappable() const override;
  // With `mappable` (Linux only): a copy of the bytes in a memory file, mapped. The copy ends
  // where the bytes end now, and at the page of the first bad sector in the range, so that reading
  // there raises SIGBUS as a real file's unreadable page does.
  std::unique_ptr<MappedBytes> Map(uint64_t offset, size_t len) override;

  std::set<uint64_t> bad_sectors;  // sector numbers (offset / 512)
  bool mappable = false;
  std::vector<ReadCall> maps;  // every Map call
  size_t max_read = SIZE_MAX;  // deliver at most this many bytes a call
  std::vector<ReadCall> calls;
  // Called before each read and each map (for example to shrink the source while it is read).
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
  Status OnScanStart(uint64_t total) override {
    starts.push_back(total);
    return Status::Ok();
  }
  Status OnProgress(uint64_t done, uint64_t total) override {
    progress.push_back({done, total});
    if (on_progress) on_progress(done);
    return Status::Ok();
  }
  Status OnRecordingOpened(const Recording& r) override {
    opened.push_back(r);
    return Status::Ok();
  }
  Status OnRecordingClosed(const Recording& r) override {
    closed.push_back(r);
    return Status::Ok();
  }
  Status OnCameraRecordingOpened(const Recording& r) override {
    camera_opened.push_back(r);
    return Status::Ok();
  }
  Status OnCameraRecordingClosed(const Recording& r) override {
    camera_closed.push_back(r);
    return Status::Ok();
  }

  std::vector<uint64_t> starts;
  std::vector<ProgressEvent> progress;
  std::vector<Recording> opened;
  std::vector<Recording> closed;
  std::vector<Recording> camera_opened;
  std::vector<Recording> camera_closed;  // in the order they closed
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

// A path as UTF-8 text, the way the program takes paths whatever the system's code page.
std::string Utf8Path(const std::filesystem::path& path);
// A file of `size` zero bytes that takes no disk space (for sources of terabytes).
void MakeSparseFile(const std::string& path, uint64_t size);
// Overwrites bytes of an existing file at offset.
void WriteAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);

// The whole contents of a file ("" when it cannot be read).
std::string Slurp(const std::string& path);

// s quoted for a POSIX shell.
std::string Quote(const std::string& s);

// The names in a folder, hidden ones included, sorted.
std::vector<std::string> Listing(const std::filesystem::path& dir);

// The system's own wording (as the raw device reports it) for a missing file, and for a path
// whose folder is missing.
std::string NoSuchFileText();
std::string NoSuchFolderText();

// A program started with an empty stdin and its stdout and stderr going to files.
class ChildProcess {
 public:
  // An interruptible program gets a (hidden) console of its own on Windows, where Ctrl-C is an
  // event of the console rather than a signal.
  ChildProcess(const std::string& binary, const std::vector<std::string>& args,
               const std::string& out_path, const std::string& err_path, bool interruptible = false,
               const std::function<void()>& posix_in_child = {});
  ~ChildProcess();  // waits for the program if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Presses Ctrl-C for the program (an interruptible one, on Windows).
  void Interrupt();
  // The exit status; -1 when the program could not start, did not exit by itself, or was still
  // running after two minutes (it is then killed).
  int Wait();

 private:
#ifdef _WIN32
  void* process_ = nullptr;
  unsigned long id_ = 0;
#else
  int pid_ = -1;
#endif
  int status_ = -1;
  bool waited_ = false;
};

#ifndef _WIN32
// Runs a shell command; returns what it wrote to its standard output, and its exit status in
// *status (-1 when it did not exit by itself).
std::string Shell(const std::string& command, int* status = nullptr);

// The checksum of every decoded frame of a stream of `file` ("v" its video, "a" its audio), in
// order: the last field of ffmpeg's framemd5 lines (the times differ between containers). A
// message of ffmpeg's is a line of its own and makes the list differ; ffmpeg's exit status goes
// to *status.
std::vector<std::string> FrameSums(const std::string& input_options, const std::string& file,
                                   const std::string& stream, int* status);
#endif

// A character device present on every system of its kind.
#ifdef _WIN32
inline constexpr char kNullDevice[] = "NUL";
#else
inline constexpr char kNullDevice[] = "/dev/null";
#endif

}  // namespace korvane::test
