// Save folders on Windows. A new file is written under a hidden temporary name and renamed to its
// final name through its own handle only when complete; the rename never replaces an existing
// name, so nothing is ever overwritten, whoever creates the same name at the same moment.
#include <windows.h>
#undef CreateFile  // the folder's method, not the system's macro

#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
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

bool WriteAll(HANDLE file, const uint8_t* data, size_t len, std::string* error) {
  while (len > 0) {
    const DWORD want = static_cast<DWORD>(len < (1u << 30) ? len : (1u << 30));
    DWORD wrote = 0;
    if (!::WriteFile(file, data, want, &wrote, nullptr) || wrote == 0) {
      if (error) *error = win32::SystemMessage(wrote == 0 && ::GetLastError() == 0 ? ERROR_DISK_FULL
                                                                                 : ::GetLastError());
      return false;
    }
    data += wrote;
    len -= wrote;
  }
  return true;
}

class Win32PendingFile final : public PendingFile {
 public:
  Win32PendingFile(std::wstring folder, HANDLE file) : folder_(std::move(folder)), file_(file) {}

  ~Win32PendingFile() override {
    if (!committed_) {  // removed with its temporary name
      FILE_DISPOSITION_INFO remove{TRUE};
      ::SetFileInformationByHandle(file_, FileDispositionInfo, &remove, sizeof remove);
    }
    ::CloseHandle(file_);
  }
  Win32PendingFile(const Win32PendingFile&) = delete;
  Win32PendingFile& operator=(const Win32PendingFile&) = delete;

  bool Write(const uint8_t* data, size_t len, std::string* error) override {
    return WriteAll(file_, data, len, error);
  }

  bool Commit(const std::string& name, unsigned last, std::string* final_name,
              std::string* error) override {
    if (!::FlushFileBuffers(file_)) {
      if (error) *error = win32::SystemMessage(::GetLastError());
      return false;
    }
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // no longer hidden once named
    ::SetFileInformationByHandle(file_, FileBasicInfo, &basic, sizeof basic);
    for (unsigned n = 0; n <= last; ++n) {
      const std::string candidate = NumberedName(name, n);
      const DWORD code = Rename(folder_ + L"\\" + Wide(candidate));
      if (code == ERROR_SUCCESS) {
        committed_ = true;
        if (final_name) *final_name = candidate;
        return true;
      }
      if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) {
        if (error) *error = "cannot name it '" + candidate + "': " + win32::SystemMessage(code);
        return false;
      }
    }
    if (error) {
      *error = last == 0 ? "'" + name + "' exists"
                         : "no free name from '" + name + "' to '" + NumberedName(name, last) + "'";
    }
    return false;
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
    if (::SetFileInformationByHandle(file_, FileRenameInfo, info, static_cast<DWORD>(bytes))) {
      return ERROR_SUCCESS;
    }
    return ::GetLastError();
  }

  std::wstring folder_;
  HANDLE file_;
  bool committed_ = false;
};

class Win32SaveFolder final : public SaveFolder {
 public:
  explicit Win32SaveFolder(std::wstring folder) : folder_(std::move(folder)) {}
  ~Win32SaveFolder() override {
    if (log_ != INVALID_HANDLE_VALUE) ::CloseHandle(log_);
  }
  Win32SaveFolder(const Win32SaveFolder&) = delete;
  Win32SaveFolder& operator=(const Win32SaveFolder&) = delete;

  std::unique_ptr<PendingFile> CreateFile(std::string* error) override {
    std::random_device seed;
    std::mt19937_64 rng((static_cast<uint64_t>(seed()) << 32) ^ seed() ^ ::GetCurrentProcessId());
    for (int attempt = 0; attempt < 100; ++attempt) {
      wchar_t name[40];
      std::swprintf(name, 40, L".korvane-%016llx.part", static_cast<unsigned long long>(rng()));
      const HANDLE file = ::CreateFileW((folder_ + L"\\" + name).c_str(), GENERIC_WRITE | DELETE,
                                        FILE_SHARE_READ, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_HIDDEN, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        return std::make_unique<Win32PendingFile>(folder_, file);
      }
      const DWORD code = ::GetLastError();
      if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
        if (error) *error = win32::SystemMessage(code);
        return nullptr;
      }
    }
    if (error) *error = "no free temporary name";
    return nullptr;
  }

  bool AppendToLog(const std::string& name, const std::string& header, const std::string& text,
                   std::string* error) override {
    if (log_ == INVALID_HANDLE_VALUE || name != log_name_) {
      if (log_ != INVALID_HANDLE_VALUE) ::CloseHandle(log_);
      log_ = OpenLog(name, header, error);
      if (log_ == INVALID_HANDLE_VALUE) return false;
      log_name_ = name;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(log_, &size)) {
      if (error) *error = win32::SystemMessage(::GetLastError());
      return false;
    }
    std::string out;
    char last = '\n';
    DWORD got = 0;
    OVERLAPPED at{};
    if (size.QuadPart > 0) {
      const uint64_t end = static_cast<uint64_t>(size.QuadPart) - 1;
      at.Offset = static_cast<DWORD>(end);
      at.OffsetHigh = static_cast<DWORD>(end >> 32);
      if (::ReadFile(log_, &last, 1, &got, &at) && got == 1 && last != '\n') out += '\n';
    }
    out += text;
    // Opened for appending only: every write goes to the end, whoever else appends.
    if (!WriteAll(log_, reinterpret_cast<const uint8_t*>(out.data()), out.size(), error)) {
      return false;
    }
    if (!::FlushFileBuffers(log_)) {
      if (error) *error = win32::SystemMessage(::GetLastError());
      return false;
    }
    return true;
  }

  // The file system keeps directory entries in its journal; nothing to flush by hand.
  void Sync() override {}

 private:
  HANDLE OpenLog(const std::string& name, const std::string& header, std::string* error) {
    const std::wstring path = folder_ + L"\\" + Wide(name);
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {
      // Read access serves to look at the last byte; a file that may only be appended to is fine.
      const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
      const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT;
      HANDLE log = ::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                 share, nullptr, OPEN_EXISTING, flags, nullptr);
      if (log == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        log = ::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, share, nullptr,
                            OPEN_EXISTING, flags, nullptr);
      }
      if (log != INVALID_HANDLE_VALUE) {
        FILE_ATTRIBUTE_TAG_INFO tag{};
        const bool known =
            ::GetFileInformationByHandleEx(log, FileAttributeTagInfo, &tag, sizeof tag) != 0;
        if (::GetFileType(log) != FILE_TYPE_DISK || !known ||
            (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
          if (error) {
            *error = known && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                         ? "it is a symbolic link"
                         : "it is not a regular file";
          }
          ::CloseHandle(log);
          return INVALID_HANDLE_VALUE;
        }
        return log;
      }
      const DWORD code = ::GetLastError();
      if (code != ERROR_FILE_NOT_FOUND) {
        if (error) *error = win32::SystemMessage(code);
        return INVALID_HANDLE_VALUE;
      }
      // Missing: create it with its header in place, so no line can come before the header.
      // Whoever else creates it at the same moment wins; then append to theirs.
      auto file = CreateFile(error);
      if (!file || !file->Write(reinterpret_cast<const uint8_t*>(header.data()), header.size(), error)) {
        return INVALID_HANDLE_VALUE;
      }
      std::string created;
      file->Commit(name, 0, &created, &why);  // when it fails, look again: it may be theirs
    }
    if (error) *error = why.empty() ? "it keeps disappearing" : why;
    return INVALID_HANDLE_VALUE;
  }

  std::wstring folder_;
  HANDLE log_ = INVALID_HANDLE_VALUE;
  std::string log_name_;
};

// Where a source that is a drive or a volume lies: a physical drive's number, or a volume's
// device path ("\\.\C:") for a volume.
struct SourceDisk {
  bool whole = false;  // a physical drive
  DWORD number = 0;    // its number, when whole
  std::wstring volume; // the volume's path, when not whole
};

bool StartsWithDevicePrefix(const std::wstring& path) {
  return path.size() > 4 && (path.compare(0, 4, L"\\\\.\\") == 0 || path.compare(0, 4, L"//./") == 0);
}

HANDLE OpenForQuery(const std::wstring& device) {
  return ::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

// Drives and volumes only: a source that is a file never counts.
std::optional<SourceDisk> DiskOfSource(const std::wstring& source) {
  if (!StartsWithDevicePrefix(source)) return std::nullopt;
  HANDLE h = OpenForQuery(source);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<SourceDisk> disk;
  STORAGE_DEVICE_NUMBER number{};
  DWORD got = 0;
  // A volume answers this too (with its partition number); a drive letter tells them apart.
  const bool is_volume = source.size() == 6 && source[5] == L':';
  if (is_volume) {
    disk = SourceDisk{false, 0, source};
  } else if (::DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                               sizeof number, &got, nullptr)) {
    disk = SourceDisk{true, number.DeviceNumber, {}};
  }
  ::CloseHandle(h);
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
  HANDLE h = OpenForQuery(volume);
  if (h == INVALID_HANDLE_VALUE) return disks;
  std::vector<uint8_t> buffer(sizeof(VOLUME_DISK_EXTENTS) + 31 * sizeof(DISK_EXTENT));
  DWORD got = 0;
  if (::DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(),
                        static_cast<DWORD>(buffer.size()), &got, nullptr)) {
    const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.data());
    for (DWORD i = 0; i < extents->NumberOfDiskExtents && i < 32; ++i) {
      disks.insert(extents->Extents[i].DiskNumber);
    }
  }
  ::CloseHandle(h);
  return disks;
}

// Whether two volume paths ("\\.\C:", "\\?\Volume{...}") name the same volume.
bool SameVolume(const std::wstring& a, const std::wstring& b) {
  auto guid = [](const std::wstring& path) {
    std::wstring with_slash = path;
    if (with_slash.size() == 6 && with_slash[5] == L':') with_slash = with_slash.substr(4) + L"\\";
    else if (with_slash.back() != L'\\') with_slash += L'\\';
    wchar_t name[MAX_PATH + 1];
    if (!::GetVolumeNameForVolumeMountPointW(with_slash.c_str(), name, MAX_PATH)) return std::wstring();
    return std::wstring(name);
  };
  const std::wstring ga = guid(a), gb = guid(b);
  return !ga.empty() && ga == gb;
}

}  // namespace

std::string FolderWritesToSource(const std::string& folder, const std::string& source) {
  std::wstring wide_folder, wide_source;
  if (!win32::WideFromUtf8(folder, &wide_folder) || !win32::WideFromUtf8(source, &wide_source)) {
    return {};
  }
  const std::optional<SourceDisk> disk = DiskOfSource(wide_source);
  if (!disk) return {};
  const std::wstring volume = VolumeOfFolder(wide_folder);
  if (volume.empty()) return {};
  // A drive: any volume with an extent on it. A volume: that volume itself (another volume of the
  // same drive does not change it).
  const bool writes = disk->whole ? VolumeDisks(volume).count(disk->number) != 0
                                  : SameVolume(volume, disk->volume);
  if (!writes) return {};
  return "the folder " + folder + " lies on " + source +
         ", the source being read: saving there would write to it";
}

std::unique_ptr<SaveFolder> OpenSaveFolder(const std::string& path, std::string* error) {
  if (path.empty()) {
    if (error) *error = "no save folder given";
    return nullptr;
  }
  std::wstring folder;
  if (!win32::WideFromUtf8(path, &folder)) {
    if (error) *error = "the folder name '" + path + "' is not valid UTF-8 text";
    return nullptr;
  }
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    if (error) {
      *error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                   ? "the folder '" + path + "' does not exist"
                   : "cannot open the folder '" + path + "': " + win32::SystemMessage(code);
    }
    return nullptr;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (error) *error = "'" + path + "' is not a folder";
    return nullptr;
  }
  // Ask for the right to add files to it, without adding one.
  const HANDLE probe = ::CreateFileW(folder.c_str(), FILE_ADD_FILE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    if (error) {
      *error = "cannot write to the folder '" + path + "': " + win32::SystemMessage(::GetLastError());
    }
    return nullptr;
  }
  ::CloseHandle(probe);
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  return std::make_unique<Win32SaveFolder>(folder);
}

}  // namespace korvane
