// SPDX-License-Identifier: GPL-3.0-or-later
// Raw devices on Windows: image files, physical drives ("\\.\PhysicalDriveN") and volumes
// ("\\.\C:") through CreateFileW and ReadFile.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <climits>

#include "scan/raw_device.h"
#include "scan/win32_text.h"

namespace korvane {
namespace win32 {

bool WideFromUtf8(const std::string& text, std::wstring* out) {
  out->clear();
  if (text.empty()) return true;
  if (text.size() > static_cast<size_t>(INT_MAX)) return false;
  const int in_len = static_cast<int>(text.size());
  const int n =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), in_len, nullptr, 0);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), in_len, out->data(), n) !=
      n) {
    out->clear();
    return false;
  }
  return true;
}

std::string Utf8FromWide(const std::wstring& text) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
  const int in_len = static_cast<int>(text.size());
  const int n =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), in_len, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), in_len, out.data(), n, nullptr, nullptr);
  return out;
}

std::string SystemMessage(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (n > 0 && buffer) text.assign(buffer, n);
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  if (text.empty()) return "error " + std::to_string(code);
  return Utf8FromWide(text);
}

}  // namespace win32

namespace {

// Largest single ReadFile: a whole number of sectors that fits a DWORD.
constexpr DWORD kMaxRead = 1u << 30;

std::string CannotOpenText(const std::string& path, DWORD code) {
  std::string text = "cannot open '" + path + "': " + win32::SystemMessage(code);
  // Raw drives and volumes are only open to administrators.
  if (code == ERROR_ACCESS_DENIED &&
      (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0)) {
    text += " (reading a raw drive needs administrator rights)";
  }
  return text;
}

std::string Refusal(const std::string& path, const char* what) {
  return "cannot scan '" + path + "': it is " + what +
         "; choose an image file or a raw drive (\\\\.\\PhysicalDriveN)";
}

Status OpenFailed(std::string message) {
  return Status::Error(ErrorCode::kOpenFailed, std::move(message));
}

// Closes a handle unless it is released.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }

 private:
  HANDLE h_;
};

class Win32Device final : public RawDevice {
 public:
  Win32Device(HANDLE handle, uint64_t size, bool is_file)
      : handle_(handle), size_(size), is_file_(is_file) {}
  ~Win32Device() override { ::CloseHandle(handle_); }
  Win32Device(const Win32Device&) = delete;
  Win32Device& operator=(const Win32Device&) = delete;

  uint64_t Size() const override { return size_; }
  uint64_t CurrentSize() const override {
    LARGE_INTEGER file_size{};
    if (!is_file_ || !::GetFileSizeEx(handle_, &file_size)) return size_;
    return static_cast<uint64_t>(file_size.QuadPart);
  }

  Result<size_t> ReadAt(void* dst, size_t len, uint64_t offset) override {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return size_t{0};
    // A synchronous handle reads at the OVERLAPPED offset and waits; the call is positional,
    // so no shared file pointer is involved.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = static_cast<DWORD>(std::min<size_t>(len, kMaxRead));
    DWORD got = 0;
    if (::ReadFile(handle_, dst, want, &got, &at)) return static_cast<size_t>(got);
    const DWORD code = ::GetLastError();
    if (code == ERROR_HANDLE_EOF) return size_t{0};
    return Status::Error(ErrorCode::kReadFailed, win32::SystemMessage(code));
  }

 private:
  HANDLE handle_;
  uint64_t size_;
  bool is_file_;  // an image file, not a drive or a volume
};

}  // namespace

Result<std::unique_ptr<RawDevice>> OpenRawDevice(const std::string& path) {
  if (path.empty()) return OpenFailed("no source given");
  std::wstring wide;
  if (!win32::WideFromUtf8(path, &wide) || wide.find(L'\0') != std::wstring::npos) {
    return OpenFailed("cannot open '" + path + "': the name is not valid UTF-8 text");
  }
  Handle handle(::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr));
  if (handle.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    // Opening a directory this way is denied; name what it is rather than "access denied".
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    return OpenFailed(code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
                              (attributes & FILE_ATTRIBUTE_DIRECTORY)
                          ? Refusal(path, "a directory")
                          : CannotOpenText(path, code));
  }
  const DWORD type = ::GetFileType(handle.get());
  if (type != FILE_TYPE_DISK) {
    return OpenFailed(Refusal(path, type == FILE_TYPE_PIPE   ? "a pipe"
                                    : type == FILE_TYPE_CHAR ? "a character device"
                                                             : "not a file"));
  }
  uint64_t size = 0;
  bool is_file = false;
  // Drives and volumes answer the disk length request; files do not, and have a file size.
  GET_LENGTH_INFORMATION length{};
  DWORD returned = 0;
  if (::DeviceIoControl(handle.get(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                        sizeof length, &returned, nullptr) &&
      returned >= sizeof length) {
    size = static_cast<uint64_t>(length.Length.QuadPart);
  } else {
    FILE_STANDARD_INFO info{};
    LARGE_INTEGER file_size{};
    if (::GetFileInformationByHandleEx(handle.get(), FileStandardInfo, &info, sizeof info) &&
        info.Directory) {
      return OpenFailed(Refusal(path, "a directory"));
    }
    if (!::GetFileSizeEx(handle.get(), &file_size)) {
      return OpenFailed("cannot read the size of '" + path +
                        "': " + win32::SystemMessage(::GetLastError()));
    }
    size = static_cast<uint64_t>(file_size.QuadPart);
    is_file = true;
  }
  auto device = std::make_unique<Win32Device>(handle.get(), size, is_file);
  handle.release();
  return std::unique_ptr<RawDevice>(std::move(device));
}

}  // namespace korvane
