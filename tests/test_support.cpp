// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/test_support.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "scan/frame_search.h"

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>

#include "scan/win32_text.h"
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace korvane::test {

Result<size_t> MemoryDevice::ReadAt(void* dst, size_t len, uint64_t offset) {
  if (before_read) before_read(*this);
  const std::lock_guard<std::mutex> lock(mutex_);
  calls.push_back({offset, len});
  if (offset >= bytes_.size()) return size_t{0};
  size_t n = std::min<uint64_t>({len, bytes_.size() - offset, max_read});
  for (uint64_t s = offset / 512; s * 512 < offset + n; ++s) {
    if (bad_sectors.count(s)) {
      const uint64_t good = s * 512 > offset ? s * 512 - offset : 0;
      if (good == 0) return Status::Error(ErrorCode::kReadFailed, "Input/output error");
      n = static_cast<size_t>(good);
      break;
    }
  }
  std::memcpy(dst, bytes_.data() + offset, n);
  return n;
}

#ifdef __linux__
namespace {
class MemoryMap final : public MappedBytes {
 public:
  MemoryMap(void* base, size_t length, size_t skip) : base_(base), length_(length) {
    data_ = static_cast<const uint8_t*>(base) + skip;
    size_ = length - skip;
  }
  ~MemoryMap() override { ::munmap(base_, length_); }

 private:
  void* base_;
  size_t length_;
};
}  // namespace

bool MemoryDevice::Mappable() const {
  return mappable;
}

std::unique_ptr<MappedBytes> MemoryDevice::Map(uint64_t offset, size_t len) {
  if (before_read) before_read(*this);
  const std::lock_guard<std::mutex> lock(mutex_);
  maps.push_back({offset, len});
  if (!mappable) return nullptr;
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const uint64_t start = offset & ~(page - 1);
  const size_t skip = static_cast<size_t>(offset - start);
  // What the memory file holds: [start, held) of the bytes, cut at their end (when they shrank)
  // and at the first bad sector's page.
  uint64_t held = std::max(start, std::min<uint64_t>(offset + len, bytes_.size()));
  for (const uint64_t s : bad_sectors) {
    if (s * 512 + 512 > start && s * 512 < held) held = std::max(start, (s * 512) & ~(page - 1));
  }
  const int fd = ::memfd_create("memory-device", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  bool written = ::ftruncate(fd, static_cast<off_t>(held - start)) == 0;
  for (uint64_t done = 0; written && done < held - start;) {
    const ssize_t n =
        ::pwrite(fd, bytes_.data() + start + done, held - start - done, static_cast<off_t>(done));
    written = n > 0;
    if (n > 0) done += static_cast<uint64_t>(n);
  }
  void* base = written ? ::mmap(nullptr, len + skip, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
  ::close(fd);
  if (base == MAP_FAILED) return nullptr;
  return std::make_unique<MemoryMap>(base, len + skip, skip);
}
#else
bool MemoryDevice::Mappable() const {
  return false;
}

std::unique_ptr<MappedBytes> MemoryDevice::Map(uint64_t, size_t) {
  return nullptr;
}
#endif

std::vector<Recording> ReferenceScan(const std::vector<uint8_t>& image, uint64_t offset,
                                     uint64_t size, const DateWindow& window) {
  auto byte_at = [&](uint64_t p) -> uint8_t { return p < image.size() ? image[p] : 0; };
  auto word_at = [&](uint64_t p) -> uint32_t {
    return static_cast<uint32_t>(byte_at(p)) | static_cast<uint32_t>(byte_at(p + 1)) << 8 |
           static_cast<uint32_t>(byte_at(p + 2)) << 16 |
           static_cast<uint32_t>(byte_at(p + 3)) << 24;
  };
  std::vector<Recording> out;
  bool open = false;
  Recording current;
  const uint64_t end = std::min<uint64_t>(offset + size, image.size());
  for (uint64_t p = offset; p < end; ++p) {
    if (word_at(p) != kFrameMagicWord) continue;
    const uint32_t packed = word_at(p + 16);
    if (!IsInDateWindow(packed, window)) continue;
    const int64_t t = PackedTimeToUnixSeconds(packed);
    uint32_t length = word_at(p + 12);
    if (length < 24 || length > (16u << 20)) length = 24;
    if (open && (t - current.end == 0 || t - current.end == 1)) {
      current.end = t;
      current.end_position = p + length;
      ++current.frames;
      continue;
    }
    if (open) out.push_back(current);
    current = Recording{out.size(), t, t, p, p + length, 1};
    open = true;
  }
  if (open) out.push_back(current);
  return out;
}

bool SameRecording(const Recording& a, const Recording& b) {
  return a.index == b.index && a.start == b.start && a.end == b.end && a.position == b.position &&
         a.end_position == b.end_position && a.frames == b.frames;
}

std::string Describe(const Recording& r) {
  std::ostringstream s;
  s << r.Name() << " " << r.StartText() << " .. " << r.EndText() << " @" << r.position << ".."
    << r.end_position << " x" << r.frames;
  return s.str();
}

TempDir::TempDir() {
  std::random_device rd;
  for (int i = 0; i < 100; ++i) {
    auto candidate = std::filesystem::temp_directory_path() /
                     ("korvane-test-" + std::to_string(rd()) + std::to_string(rd()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::vector<std::string> Listing(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Utf8Path(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

void MakeSparseFile(const std::string& path, uint64_t size) {
#ifdef _WIN32
  const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + path);
  // NTFS allocates the whole length of a grown file unless it is marked sparse.
  DWORD returned = 0;
  ::DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  const bool grown = ::SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(h);
  ::CloseHandle(h);
  if (!grown) throw std::runtime_error("cannot grow " + path);
#else
  WriteFile(path, {});
  std::filesystem::resize_file(path, size);
#endif
}

void WriteAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

#ifdef _WIN32

namespace {

std::wstring Wide(const std::string& text) {
  std::wstring wide;
  if (!win32::WideFromUtf8(text, &wide)) throw std::runtime_error("not UTF-8: " + text);
  return wide;
}

// One argument as the C runtime's command-line parser reads it back.
std::wstring QuotedArgument(const std::wstring& arg) {
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

HANDLE InheritableFile(const std::wstring& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& binary, const std::vector<std::string>& args,
                           const std::string& out_path, const std::string& err_path,
                           bool interruptible, const std::function<void()>&) {
  std::wstring command = QuotedArgument(Wide(binary));
  for (const auto& arg : args) command += L" " + QuotedArgument(Wide(arg));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = InheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING);
  startup.hStdOutput = InheritableFile(Wide(out_path), GENERIC_WRITE, CREATE_ALWAYS);
  startup.hStdError = InheritableFile(Wide(err_path), GENERIC_WRITE, CREATE_ALWAYS);
  PROCESS_INFORMATION info{};
  if (::CreateProcessW(Wide(binary).c_str(), command.data(), nullptr, nullptr, TRUE,
                       interruptible ? CREATE_NEW_CONSOLE : 0, nullptr, nullptr, &startup, &info)) {
    ::CloseHandle(info.hThread);
    process_ = info.hProcess;
    id_ = info.dwProcessId;
  }
  for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
}

ChildProcess::~ChildProcess() {
  Wait();
  if (process_) ::CloseHandle(process_);
}

void ChildProcess::Interrupt() {
  if (!process_) return;
  // Ctrl-C goes to every process of a console: join the program's (once it has one), and ignore
  // the event here.
  ::FreeConsole();
  for (int i = 0; i < 3000 && !::AttachConsole(id_); ++i) {
    if (::WaitForSingleObject(process_, 10) == WAIT_OBJECT_0) return;
  }
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  ::FreeConsole();
}

int ChildProcess::Wait() {
  if (waited_ || !process_) return status_;
  waited_ = true;
  DWORD code = 0;
  if (::WaitForSingleObject(process_, 120000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, INFINITE);
  } else if (::GetExitCodeProcess(process_, &code)) {
    status_ = static_cast<int>(code);
  }
  return status_;
}

std::string NoSuchFileText() {
  return win32::SystemMessage(ERROR_FILE_NOT_FOUND);
}
std::string NoSuchFolderText() {
  return win32::SystemMessage(ERROR_PATH_NOT_FOUND);
}
#else

ChildProcess::ChildProcess(const std::string& binary, const std::vector<std::string>& args,
                           const std::string& out_path, const std::string& err_path, bool,
                           const std::function<void()>& in_child) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ != 0) return;
  const int in = ::open("/dev/null", O_RDONLY);
  const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0 || err < 0) ::_exit(127);
  ::dup2(in, 0);
  ::dup2(out, 1);
  ::dup2(err, 2);
  if (in_child) in_child();
  ::execv(binary.c_str(), argv.data());
  ::_exit(127);
}

ChildProcess::~ChildProcess() {
  Wait();
}

void ChildProcess::Interrupt() {
  if (pid_ > 0) ::kill(pid_, SIGINT);
}

int ChildProcess::Wait() {
  if (waited_ || pid_ <= 0) return status_;
  waited_ = true;
  int raw = 0;
  for (int i = 0; i < 12000; ++i) {
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      if (WIFEXITED(raw)) status_ = WEXITSTATUS(raw);
      return status_;
    }
    if (done < 0 && errno != EINTR) return status_;
    ::usleep(10000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &raw, 0);
  return status_;
}

std::string NoSuchFileText() {
  return std::strerror(ENOENT);
}
std::string NoSuchFolderText() {
  return std::strerror(ENOENT);
}
#endif

#ifndef _WIN32
std::string Shell(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int raw = pclose(pipe);
  if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

std::vector<std::string> FrameSums(const std::string& input_options, const std::string& file,
                                   const std::string& stream, int* status) {
  const std::string out = Shell("ffmpeg -nostdin -v error " + input_options + " -i " + Quote(file) +
                                    " -map 0:" + stream + " -f framemd5 - 2>&1",
                                status);
  std::vector<std::string> sums;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t comma = line.rfind(',');
    sums.push_back(line.substr(comma == std::string::npos ? 0 : comma + 1));
  }
  return sums;
}
#endif

}  // namespace korvane::test
