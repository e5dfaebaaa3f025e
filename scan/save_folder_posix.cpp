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
#include <fstream>
#include <random>
#include <set>
#include <string>

#if defined(__linux__)
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/sysmacros.h>
#endif

#include "scan/save_folder.h"

namespace korvane {
namespace {

std::string Reason(int err) { return std::strerror(err); }

// How a named temporary file gets its final name; learnt once per folder, from the first
// file system answer that says a way is not supported.
enum class NamingWay { kLink, kRenameNoReplace, kReserveThenRename };

bool Unsupported(int err) {
  return err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EINVAL || err == EMLINK ||
         err == ENOTSUP;
}

int RenameNoReplace(int dirfd, const char* from, const char* to) {
#if defined(SYS_renameat2)
  return static_cast<int>(::syscall(SYS_renameat2, dirfd, from, dirfd, to, 1u /* RENAME_NOREPLACE */));
#else
  errno = ENOSYS;
  return -1;
#endif
}

bool WriteAll(int fd, const uint8_t* data, size_t len, size_t* written, int* err) {
  *written = 0;
  while (*written < len) {
    const ssize_t n = ::write(fd, data + *written, len - *written);
    if (n > 0) {
      *written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    *err = n == 0 ? ENOSPC : errno;
    return false;
  }
  return true;
}

struct FolderState {
  int dirfd = -1;
  bool tmpfile = true;  // O_TMPFILE still worth trying
  NamingWay naming = NamingWay::kLink;
};

class PosixPendingFile final : public PendingFile {
 public:
  PosixPendingFile(FolderState& folder, int fd, std::string temp_name)
      : folder_(folder), fd_(fd), temp_name_(std::move(temp_name)) {}

  ~PosixPendingFile() override {
    ::close(fd_);
    if (!committed_ && !temp_name_.empty()) ::unlinkat(folder_.dirfd, temp_name_.c_str(), 0);
  }
  PosixPendingFile(const PosixPendingFile&) = delete;
  PosixPendingFile& operator=(const PosixPendingFile&) = delete;

  bool Write(const uint8_t* data, size_t len, std::string* error) override {
    size_t written = 0;
    int err = 0;
    if (WriteAll(fd_, data, len, &written, &err)) return true;
    if (error) *error = Reason(err);
    return false;
  }

  bool Commit(const std::string& name, unsigned last, std::string* final_name,
              std::string* error) override {
    if (::fsync(fd_) != 0) {
      if (error) *error = Reason(errno);
      return false;
    }
    for (unsigned n = 0; n <= last;) {
      const std::string candidate = NumberedName(name, n);
      const int err = TryName(candidate);
      if (err == 0) {
        committed_ = true;
        if (final_name) *final_name = candidate;
        return true;
      }
      if (err == EAGAIN) continue;  // the way of naming changed; try the same name again
      if (err != EEXIST) {
        if (error) *error = "cannot name it '" + candidate + "': " + Reason(err);
        return false;
      }
      ++n;
    }
    if (error) {
      *error = last == 0 ? "'" + name + "' exists"
                         : "no free name from '" + name + "' to '" + NumberedName(name, last) + "'";
    }
    return false;
  }

 private:
  // 0 when the file now has the name; EEXIST when the name is taken; EAGAIN after switching to
  // another way of naming; otherwise the reason it failed.
  int TryName(const std::string& candidate) {
    const int dirfd = folder_.dirfd;
    if (temp_name_.empty()) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd_);
      if (::linkat(AT_FDCWD, self.c_str(), dirfd, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
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
        const int claim = ::openat(dirfd, candidate.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (claim < 0) return errno;
        ::close(claim);
        if (::renameat(dirfd, temp_name_.c_str(), dirfd, candidate.c_str()) == 0) return 0;
        const int err = errno;
        ::unlinkat(dirfd, candidate.c_str(), 0);
        return err;
      }
    }
    return EINVAL;
  }

  FolderState& folder_;
  int fd_;
  std::string temp_name_;  // empty for a file without a name
  bool committed_ = false;
};

class PosixSaveFolder final : public SaveFolder {
 public:
  explicit PosixSaveFolder(int dirfd) {
    state_.dirfd = dirfd;
    // A file without a name is given one through /proc; without /proc, use temporary names.
    state_.tmpfile = ::access("/proc/self/fd", X_OK) == 0;
  }
  ~PosixSaveFolder() override {
    if (log_fd_ >= 0) ::close(log_fd_);
    ::close(state_.dirfd);
  }
  PosixSaveFolder(const PosixSaveFolder&) = delete;
  PosixSaveFolder& operator=(const PosixSaveFolder&) = delete;

  std::unique_ptr<PendingFile> CreateFile(std::string* error) override {
#ifdef O_TMPFILE
    if (state_.tmpfile) {
      const int fd = ::openat(state_.dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) return std::make_unique<PosixPendingFile>(state_, fd, std::string());
      if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
        if (error) *error = Reason(errno);
        return nullptr;
      }
      state_.tmpfile = false;
    }
#endif
    std::random_device seed;
    std::mt19937_64 rng((static_cast<uint64_t>(seed()) << 32) ^ seed() ^ static_cast<uint64_t>(::getpid()));
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[40];
      std::snprintf(name, sizeof name, ".korvane-%016llx.part",
                    static_cast<unsigned long long>(rng()));
      const int fd = ::openat(state_.dirfd, name,
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd >= 0) return std::make_unique<PosixPendingFile>(state_, fd, name);
      if (errno != EEXIST) {
        if (error) *error = Reason(errno);
        return nullptr;
      }
    }
    if (error) *error = "no free temporary name";
    return nullptr;
  }

  bool AppendToLog(const std::string& name, const std::string& header, const std::string& text,
                   std::string* error) override {
    if (log_fd_ < 0 || name != log_name_) {
      if (log_fd_ >= 0) ::close(log_fd_);
      log_fd_ = OpenLog(name, header, error);
      if (log_fd_ < 0) return false;
      log_name_ = name;
    }
    struct stat st {};
    if (::fstat(log_fd_, &st) != 0) {
      if (error) *error = Reason(errno);
      return false;
    }
    std::string out;
    char last = '\n';
    if (st.st_size > 0 && ::pread(log_fd_, &last, 1, st.st_size - 1) == 1 && last != '\n') {
      out = "\n";
    }
    out += text;
    size_t written = 0;
    int err = 0;
    if (!WriteAll(log_fd_, reinterpret_cast<const uint8_t*>(out.data()), out.size(), &written, &err)) {
      // Take back a piece of a line, unless someone else has appended after it meanwhile.
      struct stat now {};
      if (written > 0 && ::fstat(log_fd_, &now) == 0 &&
          now.st_size == st.st_size + static_cast<off_t>(written)) {
        if (::ftruncate(log_fd_, st.st_size) != 0) { /* the piece stays; reported below */ }
      }
      if (error) *error = Reason(err);
      return false;
    }
    if (::fsync(log_fd_) != 0) {
      if (error) *error = Reason(errno);
      return false;
    }
    return true;
  }

  void Sync() override { ::fsync(state_.dirfd); }

 private:
  int OpenLog(const std::string& name, const std::string& header, std::string* error) {
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {
      // O_NONBLOCK keeps a FIFO planted under the name from blocking the open; refused below.
      // Read access serves to look at the last byte; a file that may only be written is fine.
      const int flags = O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
      int fd = ::openat(state_.dirfd, name.c_str(), O_RDWR | flags);
      if (fd < 0 && errno == EACCES) fd = ::openat(state_.dirfd, name.c_str(), O_WRONLY | flags);
      if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
          if (error) *error = "it is not a regular file";
          ::close(fd);
          return -1;
        }
        const int now = ::fcntl(fd, F_GETFL);
        if (now != -1) ::fcntl(fd, F_SETFL, now & ~O_NONBLOCK);
        return fd;
      }
      if (errno != ENOENT) {
        if (error) *error = errno == ELOOP ? "it is a symbolic link" : Reason(errno);
        return -1;
      }
      // Missing: create it with its header in place, so no line can come before the header.
      // Whoever else creates it at the same moment wins; then append to theirs.
      auto file = CreateFile(error);
      if (!file || !file->Write(reinterpret_cast<const uint8_t*>(header.data()), header.size(), error)) {
        return -1;
      }
      std::string created;
      file->Commit(name, 0, &created, &why);  // when it fails, look again: it may be theirs
    }
    if (error) *error = why.empty() ? "it keeps disappearing" : why;
    return -1;
  }

  FolderState state_;
  int log_fd_ = -1;
  std::string log_name_;
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
  if (DIR* slaves = ::opendir((dir + "/slaves").c_str())) {
    while (const dirent* entry = ::readdir(slaves)) {
      if (entry->d_name[0] == '.') continue;
      const std::string slave = ReadLine(dir + "/slaves/" + entry->d_name + "/dev");
      if (!slave.empty()) AddBeneath(slave, beneath, depth + 1);
    }
    ::closedir(slaves);
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

std::string FolderWritesToSource(const std::string& folder, const std::string& source) {
#if defined(__linux__)
  struct stat src;
  struct stat dir;
  if (::stat(source.c_str(), &src) != 0 || ::stat(folder.c_str(), &dir) != 0) return {};
  Beneath beneath;
  AddBeneath(DeviceName(dir.st_dev), beneath, 0);
  const bool writes =
      S_ISBLK(src.st_mode) ? beneath.devices.count(DeviceName(src.st_rdev)) != 0
      : S_ISREG(src.st_mode) ? beneath.files.count({src.st_dev, src.st_ino}) != 0
                             : false;
  if (!writes) return {};
  return "the folder " + folder + " lies on " + source +
         ", the source being read: saving there would write to it";
#else
  (void)folder;
  (void)source;
  return {};
#endif
}

std::unique_ptr<SaveFolder> OpenSaveFolder(const std::string& path, std::string* error) {
  if (path.empty()) {
    if (error) *error = "no save folder given";
    return nullptr;
  }
  const int dirfd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirfd < 0) {
    if (error) {
      *error = errno == ENOENT    ? "the folder '" + path + "' does not exist"
               : errno == ENOTDIR ? "'" + path + "' is not a folder"
                                  : "cannot open the folder '" + path + "': " + Reason(errno);
    }
    return nullptr;
  }
  if (::faccessat(dirfd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    if (error) *error = "cannot write to the folder '" + path + "': " + Reason(errno);
    ::close(dirfd);
    return nullptr;
  }
  return std::make_unique<PosixSaveFolder>(dirfd);
}

}  // namespace korvane
