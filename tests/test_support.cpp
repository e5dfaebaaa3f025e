#include "tests/test_support.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "scan/frame_search.h"

namespace korvane::test {

int64_t MemoryDevice::ReadAt(void* dst, size_t len, uint64_t offset, std::string* error) {
  if (before_read) before_read(*this);
  const std::lock_guard<std::mutex> lock(mutex_);
  calls.push_back({offset, len});
  if (offset >= bytes_.size()) return 0;
  size_t n = std::min<uint64_t>({len, bytes_.size() - offset, max_read});
  for (uint64_t s = offset / 512; s * 512 < offset + n; ++s) {
    if (bad_sectors.count(s)) {
      const uint64_t good = s * 512 > offset ? s * 512 - offset : 0;
      if (good == 0) {
        if (error) *error = "Input/output error";
        return -1;
      }
      n = static_cast<size_t>(good);
      break;
    }
  }
  std::memcpy(dst, bytes_.data() + offset, n);
  return static_cast<int64_t>(n);
}

std::vector<Recording> ReferenceScan(const std::vector<uint8_t>& image, uint64_t offset,
                                     uint64_t size, const DateWindow& window) {
  auto byte_at = [&](uint64_t p) -> uint8_t { return p < image.size() ? image[p] : 0; };
  auto word_at = [&](uint64_t p) -> uint32_t {
    return static_cast<uint32_t>(byte_at(p)) | static_cast<uint32_t>(byte_at(p + 1)) << 8 |
           static_cast<uint32_t>(byte_at(p + 2)) << 16 | static_cast<uint32_t>(byte_at(p + 3)) << 24;
  };
  std::vector<Recording> out;
  bool open = false;
  Recording current;
  const uint64_t end = std::min<uint64_t>(offset + size, image.size());
  for (uint64_t p = offset; p < end; ++p) {
    if (word_at(p) != kFrameMagicWord) continue;
    const uint32_t packed = word_at(p + 16);
    if (!IsInDateWindow(packed, window)) continue;
    const int64_t t = PackedTimeToDayCount(packed);
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
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
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
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace korvane::test
