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
#include <string>
#include <utility>

#if defined(__linux__)
#include <dirent.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
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
      UniqueFd fd(::openat(state_.dir.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
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
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
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

// What a write to a file system's device changes: the devices beneath it and the files that
// loop devices among them are backed by.
struct Beneath {
  std::set<std::string> devices;
  std::set<std::pair<dev_t, ino_t>> files;
};

// Adds the block device `dev` and every device whose bytes a write to it changes: the whole disk
// of a partition, what a device-mapper or RAID device is built on, and the device holding a loop
// device's backing file (and that file); each of those in turn.
void AddBeneath(const std::string& dev, Beneath& beneath, int depth) {
  if (depth > 16 || !beneath.devices.insert(dev).second) return;
  char real[PATH_MAX];
  if (!::realpath(("/sys/dev/block/" + dev).c_str(), real)) return;
  const std::string dir = real;
  if (::access((dir + "/partition").c_str(), F_OK) == 0) {
    const std::string disk = ReadLine(dir + "/../dev");
    if (!disk.empty()) AddBeneath(disk, beneath, depth + 1);
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> slaves(::opendir((dir + "/slaves").c_str()),
                                                   ::closedir);
  while (slaves) {
    const dirent* entry = ::readdir(slaves.get());
    if (!entry) break;
    if (entry->d_name[0] == '.') continue;
    const std::string slave = ReadLine(dir + "/slaves/" + entry->d_name + "/dev");
    if (!slave.empty()) AddBeneath(slave, beneath, depth + 1);
  }
  const std::string backing = ReadLine(dir + "/loop/backing_file");
  struct stat st;
  if (!backing.empty() && ::stat(backing.c_str(), &st) == 0) {
    beneath.files.insert({st.st_dev, st.st_ino});
    AddBeneath(DeviceName(st.st_dev), beneath, depth + 1);
  }
}
#endif

}  // namespace

bool FolderLiesOnSource(const std::string& folder, const std::string& source) {
#if defined(__linux__)
  struct stat src;
  struct stat dir;
  if (::stat(source.c_str(), &src) != 0 || ::stat(folder.c_str(), &dir) != 0) return false;
  Beneath beneath;
  AddBeneath(DeviceName(dir.st_dev), beneath, 0);
  return S_ISBLK(src.st_mode)   ? beneath.devices.count(DeviceName(src.st_rdev)) != 0
         : S_ISREG(src.st_mode) ? beneath.files.count({src.st_dev, src.st_ino}) != 0
                                : false;
#else
  (void)folder;
  (void)source;
  return false;
#endif
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
