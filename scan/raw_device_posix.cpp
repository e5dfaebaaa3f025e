// Raw devices on POSIX systems: regular files and block devices through pread().
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

#include <cstring>

#include "scan/raw_device.h"

namespace korvane {
namespace {

std::string Describe(const std::string& path, int err) {
  return "cannot open '" + path + "': " + std::strerror(err);
}

class PosixDevice final : public RawDevice {
 public:
  PosixDevice(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~PosixDevice() override { ::close(fd_); }
  PosixDevice(const PosixDevice&) = delete;
  PosixDevice& operator=(const PosixDevice&) = delete;

  uint64_t Size() const override { return size_; }
  bool ConcurrentReads() const override { return true; }  // pread keeps no file position

  int64_t ReadAt(void* dst, size_t len, uint64_t offset, std::string* error) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
    for (;;) {
      const ssize_t n = ::pread(fd_, dst, len, static_cast<off_t>(offset));
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      if (error) *error = std::strerror(errno);
      return -1;
    }
  }

 private:
  int fd_;
  uint64_t size_;
};

}  // namespace

std::unique_ptr<RawDevice> OpenRawDevice(const std::string& path, std::string* error) {
  if (path.empty()) {
    if (error) *error = "no source given";
    return nullptr;
  }
  // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below anyway.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (error) *error = Describe(path, errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    if (error) *error = Describe(path, err);
    return nullptr;
  }
  uint64_t size = 0;
  if (S_ISREG(st.st_mode)) {
    size = static_cast<uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
#ifdef BLKGETSIZE64
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0) {
      const int err = errno;
      ::close(fd);
      if (error) *error = "cannot read the size of '" + path + "': " + std::strerror(err);
      return nullptr;
    }
#else
    const off_t end = ::lseek(fd, 0, SEEK_END);
    size = end > 0 ? static_cast<uint64_t>(end) : 0;
#endif
  } else {
    ::close(fd);
    if (error) {
      const char* what = S_ISDIR(st.st_mode)    ? "a directory"
                         : S_ISFIFO(st.st_mode) ? "a pipe"
                         : S_ISCHR(st.st_mode)  ? "a character device"
                         : S_ISSOCK(st.st_mode) ? "a socket"
                                                : "not a file";
      *error = "cannot scan '" + path + "': it is " + what +
               "; choose an image file or a block device (a whole disk)";
    }
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
#ifdef POSIX_FADV_SEQUENTIAL
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  return std::make_unique<PosixDevice>(fd, size);
}

}  // namespace korvane
