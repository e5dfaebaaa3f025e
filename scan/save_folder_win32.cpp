// SPDX-License-Identifier: GPL-3.0-or-later
// Save folders on Windows. A new file is written under a hidden temporary name and renamed to its
// final name through its own handle only when complete; the rename never replaces an existing
// name, so nothing is ever overwritten, whoever creates the same name at the same moment.
#include <windows.h>
#undef CreateFile  // the folder's method, not the system's macro

#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "scan/save_folder.h"
#include "scan/win32_text.h"

namespace korvane {
namespace {

std::wstring Wide(const std::string& text) {
  std::wstring wide;
  win32::WideFromUtf8(text, &wide);
  return wide;
}

Status SystemError(ErrorCode code, DWORD error) {
  return Status::Error(code, win32::SystemMessage(error));
}

// Owns a handle.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
    }
    return *this;
  }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  void reset() {
    if (valid()) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

Status WriteAll(HANDLE file, const uint8_t* data, size_t len) {
  while (len > 0) {
    const DWORD want = static_cast<DWORD>(len < (1u << 30) ? len : (1u << 30));
    DWORD wrote = 0;
    if (!::WriteFile(file, data, want, &wrote, nullptr) || wrote == 0) {
      const DWORD code = ::GetLastError();
      return SystemError(ErrorCode::kWriteFailed, wrote == 0 && code == 0 ? ERROR_DISK_FULL : code);
    }
    data += wrote;
    len -= wrote;
  }
  return Status::Ok();
}

class Win32PendingFile final : public PendingFile {
 public:
  Win32PendingFile(std::wstring folder, UniqueHandle file)
      : folder_(std::move(folder)), file_(std::move(file)) {}

  ~Win32PendingFile() override {
    if (!named_) {  // removed with its temporary name once the handle is closed
      FILE_DISPOSITION_INFO remove{TRUE};
      ::SetFileInformationByHandle(file_.get(), FileDispositionInfo, &remove, sizeof remove);
    }
  }
  Win32PendingFile(const Win32PendingFile&) = delete;
  Win32PendingFile& operator=(const Win32PendingFile&) = delete;

  Status Write(const uint8_t* data, size_t len) override {
    return WriteAll(file_.get(), data, len);
  }

  Status Flush() override {
    if (!::FlushFileBuffers(file_.get())) {
      return SystemError(ErrorCode::kWriteFailed, ::GetLastError());
    }
    if (!shown_) {
      FILE_BASIC_INFO basic{};
      basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // no longer hidden once named
      ::SetFileInformationByHandle(file_.get(), FileBasicInfo, &basic, sizeof basic);
      shown_ = true;
    }
    return Status::Ok();
  }

  Result<bool> TryName(const std::string& name) override {
    const DWORD code = Rename(folder_ + L"\\" + Wide(name));
    if (code == ERROR_SUCCESS) {
      named_ = true;
      return true;
    }
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) return false;
    return SystemError(ErrorCode::kWriteFailed, code);
  }

 private:
  // Renames the open file, refusing an existing name. ERROR_SUCCESS or the reason.
  DWORD Rename(const std::wstring& path) {
    const size_t bytes = sizeof(FILE_RENAME_INFO) + path.size() * sizeof(wchar_t);
    std::vector<uint8_t> buffer(bytes, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(path.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, path.c_str(), path.size() * sizeof(wchar_t));
    if (::SetFileInformationByHandle(file_.get(), FileRenameInfo, info,
                                     static_cast<DWORD>(bytes))) {
      return ERROR_SUCCESS;
    }
    return ::GetLastError();
  }

  std::wstring folder_;
  UniqueHandle file_;
  bool named_ = false;
  bool shown_ = false;
};

class Win32LogFile final : public LogFile {
 public:
  explicit Win32LogFile(UniqueHandle log) : log_(std::move(log)) {}

  bool EndsLine() override {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(log_.get(), &size) || size.QuadPart == 0) return true;
    const uint64_t end = static_cast<uint64_t>(size.QuadPart) - 1;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(end);
    at.OffsetHigh = static_cast<DWORD>(end >> 32);
    char last = '\n';
    DWORD got = 0;
    return !::ReadFile(log_.get(), &last, 1, &got, &at) || got != 1 || last == '\n';
  }

  Status Append(const std::string& text) override {
    // Opened for appending only: every write goes to the end, whoever else appends.
    Status written =
        WriteAll(log_.get(), reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (!written.ok()) return written;
    if (!::FlushFileBuffers(log_.get())) {
      return SystemError(ErrorCode::kWriteFailed, ::GetLastError());
    }
    return Status::Ok();
  }

 private:
  UniqueHandle log_;
};

class Win32FolderAccess final : public FolderAccess {
 public:
  explicit Win32FolderAccess(std::wstring folder) : folder_(std::move(folder)) {}

  // Every new file starts under a hidden name of its own.
  Result<std::unique_ptr<PendingFile>> CreateUnnamed() override {
    return std::unique_ptr<PendingFile>();
  }

  Result<std::unique_ptr<PendingFile>> CreateHidden(const std::string& name) override {
    UniqueHandle file(::CreateFileW((folder_ + L"\\" + Wide(name)).c_str(), GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN,
                                    nullptr));
    if (file.valid()) {
      return std::unique_ptr<PendingFile>(
          std::make_unique<Win32PendingFile>(folder_, std::move(file)));
    }
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) {
      return std::unique_ptr<PendingFile>();
    }
    return SystemError(ErrorCode::kWriteFailed, code);
  }

  Result<std::unique_ptr<LogFile>> OpenLog(const std::string& name) override {
    const std::wstring path = folder_ + L"\\" + Wide(name);
    // Read access serves to look at the last byte; a file that may only be appended to is fine.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT;
    UniqueHandle log(::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                   share, nullptr, OPEN_EXISTING, flags, nullptr));
    if (!log.valid() && ::GetLastError() == ERROR_ACCESS_DENIED) {
      log = UniqueHandle(::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, share, nullptr,
                                       OPEN_EXISTING, flags, nullptr));
    }
    if (!log.valid()) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_FILE_NOT_FOUND) return std::unique_ptr<LogFile>();
      return SystemError(ErrorCode::kOpenFailed, code);
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool known =
        ::GetFileInformationByHandleEx(log.get(), FileAttributeTagInfo, &tag, sizeof tag) != 0;
    if (::GetFileType(log.get()) != FILE_TYPE_DISK || !known ||
        (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
      return Status::Error(ErrorCode::kOpenFailed,
                           known && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                               ? "it is a symbolic link"
                               : "it is not a regular file");
    }
    return std::unique_ptr<LogFile>(std::make_unique<Win32LogFile>(std::move(log)));
  }

  // The file system keeps directory entries in its journal; nothing to flush by hand.
  void Sync() override {}

 private:
  std::wstring folder_;
};

// Where a source that is a drive or a volume lies: a physical drive's number, or a volume's
// device path ("\\.\C:") for a volume.
struct SourceDisk {
  bool whole = false;   // a physical drive
  DWORD number = 0;     // its number, when whole
  std::wstring volume;  // the volume's path, when not whole
};

bool StartsWithDevicePrefix(const std::wstring& path) {
  return path.size() > 4 &&
         (path.compare(0, 4, L"\\\\.\\") == 0 || path.compare(0, 4, L"//./") == 0);
}

UniqueHandle OpenForQuery(const std::wstring& device) {
  return UniqueHandle(::CreateFileW(device.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
}

// Drives and volumes only: a source that is a file never counts.
std::optional<SourceDisk> DiskOfSource(const std::wstring& source) {
  if (!StartsWithDevicePrefix(source)) return std::nullopt;
  const UniqueHandle h = OpenForQuery(source);
  if (!h.valid()) return std::nullopt;
  std::optional<SourceDisk> disk;
  STORAGE_DEVICE_NUMBER number{};
  DWORD got = 0;
  // A volume answers this too (with its partition number); a drive letter tells them apart.
  const bool is_volume = source.size() == 6 && source[5] == L':';
  if (is_volume) {
    disk = SourceDisk{false, 0, source};
  } else if (::DeviceIoControl(h.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                               sizeof number, &got, nullptr)) {
    disk = SourceDisk{true, number.DeviceNumber, {}};
  }
  return disk;
}

// The device path of the volume a folder lies on ("\\?\Volume{...}", no trailing backslash),
// or empty when it cannot be told.
std::wstring VolumeOfFolder(const std::wstring& folder) {
  wchar_t mount_point[MAX_PATH + 1];
  wchar_t volume[MAX_PATH + 1];
  if (!::GetVolumePathNameW(folder.c_str(), mount_point, MAX_PATH)) return {};
  if (!::GetVolumeNameForVolumeMountPointW(mount_point, volume, MAX_PATH)) return {};
  std::wstring name = volume;
  if (!name.empty() && name.back() == L'\\') name.pop_back();
  return name;
}

// The numbers of the drives a volume's extents lie on; empty when it cannot be told.
std::set<DWORD> VolumeDisks(const std::wstring& volume) {
  std::set<DWORD> disks;
  const UniqueHandle h = OpenForQuery(volume);
  if (!h.valid()) return disks;
  std::vector<uint8_t> buffer(sizeof(VOLUME_DISK_EXTENTS) + 31 * sizeof(DISK_EXTENT));
  DWORD got = 0;
  if (::DeviceIoControl(h.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(),
                        static_cast<DWORD>(buffer.size()), &got, nullptr)) {
    const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.data());
    for (DWORD i = 0; i < extents->NumberOfDiskExtents && i < 32; ++i) {
      disks.insert(extents->Extents[i].DiskNumber);
    }
  }
  return disks;
}

// Whether two volume paths ("\\.\C:", "\\?\Volume{...}") name the same volume.
bool SameVolume(const std::wstring& a, const std::wstring& b) {
  auto guid = [](const std::wstring& path) {
    std::wstring with_slash = path;
    if (with_slash.size() == 6 && with_slash[5] == L':')
      with_slash = with_slash.substr(4) + L"\\";
    else if (with_slash.back() != L'\\')
      with_slash += L'\\';
    wchar_t name[MAX_PATH + 1];
    if (!::GetVolumeNameForVolumeMountPointW(with_slash.c_str(), name, MAX_PATH))
      return std::wstring();
    return std::wstring(name);
  };
  const std::wstring ga = guid(a), gb = guid(b);
  return !ga.empty() && ga == gb;
}

}  // namespace

bool FolderLiesOnSource(const std::string& folder, const std::string& source) {
  std::wstring wide_folder, wide_source;
  if (!win32::WideFromUtf8(folder, &wide_folder) || !win32::WideFromUtf8(source, &wide_source)) {
    return false;
  }
  const std::optional<SourceDisk> disk = DiskOfSource(wide_source);
  if (!disk) return false;
  const std::wstring volume = VolumeOfFolder(wide_folder);
  if (volume.empty()) return false;
  // A drive: any volume with an extent on it. A volume: that volume itself (another volume of the
  // same drive does not change it).
  return disk->whole ? VolumeDisks(volume).count(disk->number) != 0
                     : SameVolume(volume, disk->volume);
}

std::string CanonicalSourcePath(const std::string& source) {
  std::wstring wide;
  if (!win32::WideFromUtf8(source, &wide) || StartsWithDevicePrefix(wide)) return source;
  // Absolute, with "." and ".." resolved.
  const DWORD need = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (need == 0) return source;
  std::wstring full(need, L'\0');
  const DWORD got = ::GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
  if (got == 0 || got >= need) return source;
  full.resize(got);
  return win32::Utf8FromWide(full);
}

Result<std::unique_ptr<FolderAccess>> OpenFolderAccess(const std::string& path) {
  std::wstring folder;
  if (!win32::WideFromUtf8(path, &folder)) {
    return Status::Error(ErrorCode::kUsage,
                         "the folder name '" + path + "' is not valid UTF-8 text");
  }
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    return Status::Error(
        ErrorCode::kUsage,
        code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
            ? "the folder '" + path + "' does not exist"
            : "cannot open the folder '" + path + "': " + win32::SystemMessage(code));
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return Status::Error(ErrorCode::kUsage, "'" + path + "' is not a folder");
  }
  // Ask for the right to add files to it, without adding one.
  const UniqueHandle probe(::CreateFileW(
      folder.c_str(), FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!probe.valid()) {
    return Status::Error(ErrorCode::kUsage, "cannot write to the folder '" + path +
                                                "': " + win32::SystemMessage(::GetLastError()));
  }
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  return std::unique_ptr<FolderAccess>(std::make_unique<Win32FolderAccess>(folder));
}

}  // namespace korvane
