// SPDX-License-Identifier: GPL-3.0-or-later
// Save folders on POSIX systems. A new file is written without a name (O_TMPFILE) where the
// file system allows it, otherwise under a hidden temporary name, and is linked to its final name
// only when complete: link() and renameat2(RENAME_NOREPLACE) both refuse an existing name, so
// nothing is ever replaced, whoever creates the same name at the same moment.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#if defined(__linux__)
#include <dirent.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <vector>
#endif

#include "scan/save_folder.h"

namespace korvane {
namespace {

std::string Reason(int err) {
  return std::strerror(err);
}

Status SystemError(ErrorCode code, int err) {
  return Status::Error(code, Reason(err));
}

// Owns a file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// How a named temporary file gets its final name; learnt once per folder, from the first
// file system answer that says a way is not supported.
enum class NamingWay { kLink, kRenameNoReplace, kReserveThenRename };

bool Unsupported(int err) {
  return err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL || err == EMLINK ||
         err == ENOTSUP;
}

int RenameNoReplace(int dirfd, const char* from, const char* to) {
#if defined(SYS_renameat2)
  return static_cast<int>(
      ::syscall(SYS_renameat2, dirfd, from, dirfd, to, 1u /* RENAME_NOREPLACE */));
#else
  (void)dirfd, (void)from, (void)to;
  errno = ENOSYS;
  return -1;
#endif
}

// Writes all of data; *written says how much went out, also on failure.
Status WriteAll(int fd, const uint8_t* data, size_t len, size_t* written) {
  *written = 0;
  while (*written < len) {
    const ssize_t n = ::write(fd, data + *written, len - *written);
    if (n > 0) {
      *written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return SystemError(ErrorCode::kWriteFailed, n == 0 ? ENOSPC : errno);
  }
  return Status::Ok();
}

struct FolderState {
  UniqueFd dir;
  bool tmpfile = true;  // O_TMPFILE still worth trying
  NamingWay naming = NamingWay::kLink;
};

class PosixPendingFile final : public PendingFile {
 public:
  PosixPendingFile(FolderState& folder, UniqueFd fd, std::string temp_name)
      : folder_(folder), fd_(std::move(fd)), temp_name_(std::move(temp_name)) {}

  ~PosixPendingFile() override {
    if (!named_ && !temp_name_.empty()) ::unlinkat(folder_.dir.get(), temp_name_.c_str(), 0);
  }
  PosixPendingFile(const PosixPendingFile&) = delete;
  PosixPendingFile& operator=(const PosixPendingFile&) = delete;

  Status Write(const uint8_t* data, size_t len) override {
    size_t written = 0;
    return WriteAll(fd_.get(), data, len, &written);
  }

  Status WriteAt(uint64_t offset, const uint8_t* data, size_t len) override {
    size_t written = 0;
    while (written < len) {
      const ssize_t n =
          ::pwrite(fd_.get(), data + written, len - written, static_cast<off_t>(offset + written));
      if (n > 0) {
        written += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return SystemError(ErrorCode::kWriteFailed, n == 0 ? ENOSPC : errno);
    }
    return Status::Ok();
  }

  Result<size_t> ReadAt(uint64_t offset, uint8_t* data, size_t len) override {
    for (;;) {
      const ssize_t n = ::pread(fd_.get(), data, len, static_cast<off_t>(offset));
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) return SystemError(ErrorCode::kReadFailed, errno);
    }
  }

  Status Flush() override {
    if (::fsync(fd_.get()) != 0) return SystemError(ErrorCode::kWriteFailed, errno);
    return Status::Ok();
  }

  Result<bool> TryName(const std::string& name) override {
    for (;;) {
      const int err = Link(name);
      if (err == 0) {
        named_ = true;
        return true;
      }
      if (err == EEXIST) return false;
      if (err != EAGAIN) return SystemError(ErrorCode::kWriteFailed, err);
      // The way of naming changed; try the same name again.
    }
  }

 private:
  // 0 when the file now has the name; EEXIST when the name is taken; EAGAIN after switching to
  // another way of naming; otherwise the reason it failed.
  int Link(const std::string& candidate) {
    const int dirfd = folder_.dir.get();
    if (temp_name_.empty()) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
      if (::linkat(AT_FDCWD, self.c_str(), dirfd, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return 0;
      }
      return errno;
    }
    switch (folder_.naming) {
      case NamingWay::kLink:
        if (::linkat(dirfd, temp_name_.c_str(), dirfd, candidate.c_str(), 0) == 0) {
          ::unlinkat(dirfd, temp_name_.c_str(), 0);
          return 0;
        }
        if (!Unsupported(errno)) return errno;
        folder_.naming = NamingWay::kRenameNoReplace;
        return EAGAIN;
      case NamingWay::kRenameNoReplace:
        if (RenameNoReplace(dirfd, temp_name_.c_str(), candidate.c_str()) == 0) return 0;
        if (!Unsupported(errno)) return errno;
        folder_.naming = NamingWay::kReserveThenRename;
        return EAGAIN;
      case NamingWay::kReserveThenRename: {
        // Last resort: claim the name with an exclusive create, then move the file onto the
        // claim, which only this process has touched.
        UniqueFd claim(::openat(dirfd, candidate.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!claim.valid()) return errno;
        claim.reset();
        if (::renameat(dirfd, temp_name_.c_str(), dirfd, candidate.c_str()) == 0) return 0;
        const int err = errno;
        ::unlinkat(dirfd, candidate.c_str(), 0);
        return err;
      }
    }
    return EINVAL;
  }

  FolderState& folder_;
  UniqueFd fd_;
  std::string temp_name_;  // empty for a file without a name
  bool named_ = false;
};

class PosixLogFile final : public LogFile {
 public:
  explicit PosixLogFile(UniqueFd fd) : fd_(std::move(fd)) {}

  bool EndsLine() override {
    struct stat st {};
    char last = '\n';
    return ::fstat(fd_.get(), &st) != 0 || st.st_size == 0 ||
           ::pread(fd_.get(), &last, 1, st.st_size - 1) != 1 || last == '\n';
  }

  Status Append(const std::string& text) override {
    struct stat before {};
    if (::fstat(fd_.get(), &before) != 0) return SystemError(ErrorCode::kWriteFailed, errno);
    size_t written = 0;
    Status status =
        WriteAll(fd_.get(), reinterpret_cast<const uint8_t*>(text.data()), text.size(), &written);
    if (!status.ok()) {
      // Take back a piece of a line, unless someone else has appended after it meanwhile.
      struct stat now {};
      if (written > 0 && ::fstat(fd_.get(), &now) == 0 &&
          now.st_size == before.st_size + static_cast<off_t>(written)) {
        if (::ftruncate(fd_.get(), before.st_size) != 0) { /* the piece stays; reported below */
        }
      }
      return status;
    }
    if (::fsync(fd_.get()) != 0) return SystemError(ErrorCode::kWriteFailed, errno);
    return Status::Ok();
  }

 private:
  UniqueFd fd_;
};

class PosixFolderAccess final : public FolderAccess {
 public:
  explicit PosixFolderAccess(UniqueFd dir) {
    state_.dir = std::move(dir);
    // A file without a name is given one through /proc; without /proc, use temporary names.
    state_.tmpfile = ::access("/proc/self/fd", X_OK) == 0;
  }

  Result<std::unique_ptr<PendingFile>> CreateUnnamed() override {
#ifdef O_TMPFILE
    if (state_.tmpfile) {
      UniqueFd fd(::openat(state_.dir.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644));
      if (fd.valid()) {
        return std::unique_ptr<PendingFile>(
            std::make_unique<PosixPendingFile>(state_, std::move(fd), std::string()));
      }
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
        return SystemError(ErrorCode::kWriteFailed, errno);
      }
      state_.tmpfile = false;
    }
#endif
    return std::unique_ptr<PendingFile>();
  }

  Result<std::unique_ptr<PendingFile>> CreateHidden(const std::string& name) override {
    UniqueFd fd(::openat(state_.dir.get(), name.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.valid()) {
      return std::unique_ptr<PendingFile>(
          std::make_unique<PosixPendingFile>(state_, std::move(fd), name));
    }
    if (errno == EEXIST) return std::unique_ptr<PendingFile>();
    return SystemError(ErrorCode::kWriteFailed, errno);
  }

  Result<std::unique_ptr<LogFile>> OpenLog(const std::string& name) override {
    // O_NONBLOCK keeps a FIFO planted under the name from blocking the open; refused below.
    // Read access serves to look at the last byte; a file that may only be written is fine.
    const int flags = O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    UniqueFd fd(::openat(state_.dir.get(), name.c_str(), O_RDWR | flags));
    if (!fd.valid() && errno == EACCES) {
      fd = UniqueFd(::openat(state_.dir.get(), name.c_str(), O_WRONLY | flags));
    }
    if (!fd.valid()) {
      if (errno == ENOENT) return std::unique_ptr<LogFile>();
      if (errno == ELOOP) return Status::Error(ErrorCode::kOpenFailed, "it is a symbolic link");
      return SystemError(ErrorCode::kOpenFailed, errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      return Status::Error(ErrorCode::kOpenFailed, "it is not a regular file");
    }
    const int now = ::fcntl(fd.get(), F_GETFL);
    if (now != -1) ::fcntl(fd.get(), F_SETFL, now & ~O_NONBLOCK);
    return std::unique_ptr<LogFile>(std::make_unique<PosixLogFile>(std::move(fd)));
  }

  void Sync() override {
    ::fsync(state_.dir.get());
  }

 private:
  FolderState state_;
};

#if defined(__linux__)
// ---- Which devices and files a write to a folder's file system reaches ----
//
// A block device or file holds bytes; what is built on it reads or writes a range of them. From
// the folder's device the walk goes down every way a write travels: a partition to its disk, a
// device-mapper or RAID device to each device beneath it, a loop device to its backing block
// device or file (and the file on to the device of its file system), an overlay file system to
// the file systems of its upper and work directories. From the source it goes down the ways
// whose ranges are known (partitions and loop devices), and not from a file to its file system:
// writing next to an image through the file system does not change the image. The folder writes
// to the source when both walks reach one device or file in overlapping ranges.

constexpr uint64_t kEnd = UINT64_MAX;

struct Range {
  uint64_t begin = 0;
  uint64_t end = kEnd;  // exclusive
};

uint64_t AddClamped(uint64_t a, uint64_t b) {
  return a > kEnd - b ? kEnd : a + b;
}

// Block devices as "major:minor", the way /sys/dev/block names them.
std::string DeviceName(dev_t dev) {
  return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool ReadNumber(const std::string& path, uint64_t* value) {
  const std::string line = ReadLine(path);
  if (line.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(line.c_str(), &end, 10);
  if (errno != 0 || end == line.c_str()) return false;
  *value = v;
  return true;
}

bool ParseDevice(const std::string& text, dev_t* dev) {
  unsigned maj = 0, min = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &maj, &min, &tail) != 2) return false;
  *dev = makedev(maj, min);
  return true;
}

// The device numbers the kernel hands out in loop_info64 (new_encode_dev).
dev_t DecodeDevice(uint64_t encoded) {
  const unsigned maj = static_cast<unsigned>((encoded & 0xfff00) >> 8);
  const unsigned min = static_cast<unsigned>((encoded & 0xff) | ((encoded >> 12) & 0xfff00));
  return makedev(maj, min);
}

// Undoes the octal escapes (\040 for a blank, \054 for a comma) of /proc/self/mountinfo.
std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
        text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
      out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                               (text[i + 3] - '0'));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The directories an overlay file system with the device `dev` writes into (its upper and work
// directories), from the mount table; empty for anything else.
std::vector<std::string> OverlayWriteDirs(dev_t dev) {
  std::vector<std::string> dirs;
  std::ifstream in("/proc/self/mountinfo");
  const std::string want = DeviceName(dev);
  std::string line;
  while (std::getline(in, line)) {
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [FIELDS...] - TYPE SOURCE SUPER-OPTIONS
    std::vector<std::string> fields;
    size_t at = 0;
    while (at < line.size()) {
      const size_t blank = line.find(' ', at);
      fields.push_back(line.substr(at, blank == std::string::npos ? blank : blank - at));
      if (blank == std::string::npos) break;
      at = blank + 1;
    }
    if (fields.size() < 3 || fields[2] != want) continue;
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (dash == fields.end() || fields.end() - dash < 4 || dash[1] != "overlay") continue;
    const std::string& options = dash[3];
    size_t from = 0;
    while (from <= options.size()) {
      const size_t comma = std::min(options.find(',', from), options.size());
      const std::string option = options.substr(from, comma - from);
      for (const char* key : {"upperdir=", "workdir="}) {
        if (option.rfind(key, 0) == 0) dirs.push_back(Unescape(option.substr(std::strlen(key))));
      }
      from = comma + 1;
    }
    break;
  }
  return dirs;
}

// What a loop device is backed by, from the device itself where it can be opened, otherwise from
// sysfs.
struct LoopBacking {
  bool known = false;
  bool block = false;  // backed by a block device `rdev`; otherwise by the file (dev, ino)
  dev_t rdev = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  uint64_t offset = 0;
  uint64_t limit = 0;  // 0: up to the backing's end
};

LoopBacking BackingOfLoop(dev_t loop, const std::string& sys) {
  LoopBacking b;
  const std::string node = "/dev/" + std::filesystem::path(sys).filename().string();
  struct stat st {};
  UniqueFd fd(::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  loop_info64 info{};
  if (fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == loop &&
      ::ioctl(fd.get(), LOOP_GET_STATUS64, &info) == 0) {
    b.known = true;
    b.block = info.lo_rdevice != 0;
    b.rdev = DecodeDevice(info.lo_rdevice);
    b.dev = DecodeDevice(info.lo_device);
    b.ino = static_cast<ino_t>(info.lo_inode);
    b.offset = info.lo_offset;
    b.limit = info.lo_sizelimit;
    return b;
  }
  // Without the right to open the device: the backing file's path, as sysfs gives it.
  const std::string backing = ReadLine(sys + "/loop/backing_file");
  if (backing.empty() || ::stat(backing.c_str(), &st) != 0) return b;
  b.known = true;
  b.block = S_ISBLK(st.st_mode);
  b.rdev = st.st_rdev;
  b.dev = st.st_dev;
  b.ino = st.st_ino;
  ReadNumber(sys + "/loop/offset", &b.offset);
  ReadNumber(sys + "/loop/sizelimit", &b.limit);
  return b;
}

// The devices and files a walk reached, each with the ranges of it.
class Reach {
 public:
  // false when the range was reached before (so the walk need not go on from it).
  bool Add(const std::string& key, Range range) {
    if (range.begin >= range.end) return false;
    if (++steps_ > 100000) return false;  // a bound for the impossible case of a cycle
    std::vector<Range>& ranges = reached_[key];
    for (const Range& r : ranges) {
      if (r.begin <= range.begin && range.end <= r.end) return false;
    }
    ranges.push_back(range);
    return true;
  }

  bool Meets(const Reach& other) const {
    for (const auto& [key, ranges] : reached_) {
      const auto there = other.reached_.find(key);
      if (there == other.reached_.end()) continue;
      for (const Range& a : ranges) {
        for (const Range& b : there->second) {
          if (a.begin < b.end && b.begin < a.end) return true;
        }
      }
    }
    return false;
  }

 private:
  std::map<std::string, std::vector<Range>> reached_;
  unsigned steps_ = 0;
};

enum class Walk { kWrites, kReads };

void AddDevice(dev_t dev, Range range, Walk walk, Reach& reach);

void AddFile(dev_t dev, ino_t ino, Range range, Walk walk, Reach& reach) {
  if (!reach.Add("file " + DeviceName(dev) + " " + std::to_string(ino), range)) return;
  // Writing to a file writes to its file system's device; reading a file is not changed by
  // writes to other files there.
  if (walk == Walk::kWrites) AddDevice(dev, Range{}, walk, reach);
}

// Adds the range of block device `dev` and what lies beneath it.
void AddDevice(dev_t dev, Range range, Walk walk, Reach& reach) {
  if (!reach.Add("device " + DeviceName(dev), range)) return;
  char real[PATH_MAX];
  if (!::realpath(("/sys/dev/block/" + DeviceName(dev)).c_str(), real)) {
    // No block device: a file system without one of its own. An overlay writes into the file
    // systems of its upper and work directories.
    if (walk != Walk::kWrites) return;
    for (const std::string& dir : OverlayWriteDirs(dev)) {
      struct stat st {};
      if (::stat(dir.c_str(), &st) == 0) AddDevice(st.st_dev, Range{}, walk, reach);
    }
    return;
  }
  const std::string sys = real;
  uint64_t start = 0, size = 0;
  dev_t below = 0;
  if (::access((sys + "/partition").c_str(), F_OK) == 0 && ReadNumber(sys + "/start", &start) &&
      ReadNumber(sys + "/size", &size) && ParseDevice(ReadLine(sys + "/../dev"), &below)) {
    // A partition: the disk's sectors from `start` on.
    const uint64_t first = start * 512, bytes = size * 512;
    AddDevice(below,
              Range{AddClamped(first, std::min(range.begin, bytes)),
                    AddClamped(first, std::min(range.end, bytes))},
              walk, reach);
  }
  if (walk == Walk::kWrites) {
    // Device mapper and RAID: where each piece lies beneath is not known here; all of it.
    const std::unique_ptr<DIR, int (*)(DIR*)> slaves(::opendir((sys + "/slaves").c_str()),
                                                     ::closedir);
    while (slaves) {
      const dirent* entry = ::readdir(slaves.get());
      if (!entry) break;
      if (entry->d_name[0] == '.') continue;
      if (ParseDevice(ReadLine(sys + "/slaves/" + entry->d_name + "/dev"), &below)) {
        AddDevice(below, Range{}, walk, reach);
      }
    }
  }
  if (::access((sys + "/loop").c_str(), F_OK) == 0) {
    const LoopBacking b = BackingOfLoop(dev, sys);
    if (!b.known) return;
    uint64_t end = range.end;
    if (b.limit != 0) end = std::min(end, b.limit);
    const Range there{AddClamped(b.offset, range.begin), AddClamped(b.offset, end)};
    if (b.block) {
      AddDevice(b.rdev, there, walk, reach);
    } else {
      AddFile(b.dev, b.ino, there, walk, reach);
    }
  }
}
#endif

}  // namespace

bool FolderLiesOnSource(const std::string& folder, const std::string& source) {
#if defined(__linux__)
  struct stat src {};
  struct stat dir {};
  if (::stat(source.c_str(), &src) != 0 || ::stat(folder.c_str(), &dir) != 0) return false;
  Reach reads;
  if (S_ISBLK(src.st_mode)) {
    AddDevice(src.st_rdev, Range{}, Walk::kReads, reads);
  } else if (S_ISREG(src.st_mode)) {
    AddFile(src.st_dev, src.st_ino, Range{}, Walk::kReads, reads);
  } else {
    return false;
  }
  Reach writes;
  AddDevice(dir.st_dev, Range{}, Walk::kWrites, writes);
  return writes.Meets(reads);
#else
  (void)folder;
  (void)source;
  return false;
#endif
}

std::string CanonicalSourcePath(const std::string& source) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(source, ec);
  if (ec) return source;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, ec);
  return ec ? absolute.lexically_normal().string() : canonical.string();
}

Result<std::unique_ptr<FolderAccess>> OpenFolderAccess(const std::string& path) {
  UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) {
    return Status::Error(ErrorCode::kUsage,
                         errno == ENOENT ? "the folder '" + path + "' does not exist"
                         : errno == ENOTDIR
                             ? "'" + path + "' is not a folder"
                             : "cannot open the folder '" + path + "': " + Reason(errno));
  }
  if (::faccessat(dir.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    return Status::Error(ErrorCode::kUsage,
                         "cannot write to the folder '" + path + "': " + Reason(errno));
  }
  return std::unique_ptr<FolderAccess>(std::make_unique<PosixFolderAccess>(std::move(dir)));
}

}  // namespace korvane
