// SPDX-License-Identifier: GPL-3.0-or-later
// Raw devices on POSIX systems: regular files and block devices through pread(); regular files
// also through memory maps.
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "scan/raw_device.h"

namespace korvane {
namespace {

Status CannotOpen(const std::string& path, int err) {
  return Status::Error(ErrorCode::kOpenFailed, "cannot open '" + path + "': " + std::strerror(err));
}

// Closes a descriptor unless it is released.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A window of a file mapped read-only. The map starts at the page that holds the first byte.
class PosixMap final : public MappedBytes {
 public:
  PosixMap(void* base, size_t length, size_t skip) : base_(base), length_(length) {
    data_ = static_cast<const uint8_t*>(base) + skip;
    size_ = length - skip;
  }
  ~PosixMap() override { ::munmap(base_, length_); }
  PosixMap(const PosixMap&) = delete;
  PosixMap& operator=(const PosixMap&) = delete;

 private:
  void* base_;
  size_t length_;
};

class PosixDevice final : public RawDevice {
 public:
  PosixDevice(int fd, uint64_t size, bool regular) : fd_(fd), size_(size), regular_(regular) {}
  ~PosixDevice() override { ::close(fd_); }
  PosixDevice(const PosixDevice&) = delete;
  PosixDevice& operator=(const PosixDevice&) = delete;

  uint64_t Size() const override { return size_; }
  uint64_t CurrentSize() const override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return size_;
    return static_cast<uint64_t>(st.st_size);
  }
  bool ConcurrentReads() const override { return true; }  // pread keeps no file position

  Result<size_t> ReadAt(void* dst, size_t len, uint64_t offset) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return size_t{0};
    for (;;) {
      const ssize_t n = ::pread(fd_, dst, len, static_cast<off_t>(offset));
      if (n >= 0) return static_cast<size_t>(n);
      if (errno == EINTR) continue;
      return Status::Error(ErrorCode::kReadFailed, std::strerror(errno));
    }
  }

  bool Mappable() const override { return regular_; }

  std::unique_ptr<MappedBytes> Map(uint64_t offset, size_t len) override {
    if (!regular_ || len == 0 || offset > size_ || len > size_ - offset) return nullptr;
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const uint64_t start = offset & ~(page - 1);
    const size_t skip = static_cast<size_t>(offset - start);
    if (start > static_cast<uint64_t>(INT64_MAX) || len > SIZE_MAX - skip) return nullptr;
    void* base = ::mmap(nullptr, len + skip, PROT_READ, MAP_SHARED, fd_, static_cast<off_t>(start));
    if (base == MAP_FAILED) return nullptr;
    try {
      return std::make_unique<PosixMap>(base, len + skip, skip);
    } catch (...) {
      ::munmap(base, len + skip);
      return nullptr;
    }
  }

 private:
  int fd_;
  uint64_t size_;
  bool regular_;
};

}  // namespace

Result<std::unique_ptr<RawDevice>> OpenRawDevice(const std::string& path) {
  if (path.empty()) return Status::Error(ErrorCode::kOpenFailed, "no source given");
  // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below anyway.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return CannotOpen(path, errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return CannotOpen(path, errno);
  uint64_t size = 0;
  if (S_ISREG(st.st_mode)) {
    size = static_cast<uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
#ifdef BLKGETSIZE64
    if (::ioctl(fd.get(), BLKGETSIZE64, &size) != 0) {
      return Status::Error(ErrorCode::kOpenFailed,
                           "cannot read the size of '" + path + "': " + std::strerror(errno));
    }
#else
    const off_t end = ::lseek(fd.get(), 0, SEEK_END);
    size = end > 0 ? static_cast<uint64_t>(end) : 0;
#endif
  } else {
    const char* what = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a pipe"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "not a file";
    return Status::Error(ErrorCode::kOpenFailed,
                         "cannot scan '" + path + "': it is " + what +
                             "; choose an image file or a block device (a whole disk)");
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags != -1) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
#ifdef POSIX_FADV_SEQUENTIAL
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  auto device = std::make_unique<PosixDevice>(fd.get(), size, S_ISREG(st.st_mode));
  fd.release();
  return std::unique_ptr<RawDevice>(std::move(device));
}

}  // namespace korvane
