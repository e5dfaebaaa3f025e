// SPDX-License-Identifier: GPL-3.0-or-later
#include "evidence/sources.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace korvane::evidence {
namespace {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const fs::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

bool IsRegularFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(PathOf(path), ec);
}

// Split raw images: segments read one after the other.
class SplitRawDevice final : public EvidenceDevice {
 public:
  struct Segment {
    std::unique_ptr<RawDevice> device;
    uint64_t start;  // source position of its first byte
    uint64_t size;
  };

  SplitRawDevice(std::vector<Segment> segments, SourceInfo info)
      : segments_(std::move(segments)), info_(std::move(info)) {}

  uint64_t Size() const override { return info_.size; }
  bool ConcurrentReads() const override {
    return std::all_of(segments_.begin(), segments_.end(),
                       [](const Segment& s) { return s.device->ConcurrentReads(); });
  }
  const SourceInfo& Info() const override { return info_; }

  // Reads from the segment holding offset, up to its end; the reader asks again for the rest.
  Result<size_t> ReadAt(void* dst, size_t len, uint64_t offset) override {
    if (offset >= info_.size || len == 0) return size_t{0};
    auto it = std::upper_bound(segments_.begin(), segments_.end(), offset,
                               [](uint64_t pos, const Segment& s) { return pos < s.start; });
    const Segment& segment = *(it - 1);
    const uint64_t inside = offset - segment.start;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, segment.size - inside));
    Result<size_t> got = segment.device->ReadAt(dst, n, inside);
    if (!got.ok()) {
      const size_t index = static_cast<size_t>(&segment - segments_.data());
      return Status::Error(got.status().code(), info_.files[index] + ": " + got.status().message());
    }
    return got;
  }

 private:
  std::vector<Segment> segments_;
  SourceInfo info_;
};

// "NAME.001" -> the digits' position and width; nullopt for anything else.
std::optional<std::pair<size_t, size_t>> FirstSegmentDigits(const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos) return std::nullopt;
  const std::string ext = path.substr(dot + 1);
  if (ext.size() < 3 || ext.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  if (ext.find_first_not_of('0') != ext.size() - 1 || ext.back() != '1') return std::nullopt;
  const size_t separator = path.find_last_of("/\\");
  if (separator != std::string::npos && separator > dot) return std::nullopt;
  return std::make_pair(dot + 1, ext.size());
}

std::string SegmentName(const std::string& first, size_t digits_at, size_t width, uint64_t n) {
  std::string number = std::to_string(n);
  if (number.size() < width) number.insert(0, width - number.size(), '0');
  return first.substr(0, digits_at) + number;
}

}  // namespace

std::optional<Result<std::unique_ptr<RawDevice>>> OpenSplitRaw(const std::string& path) {
  const auto digits = FirstSegmentDigits(path);
  if (!digits || !IsRegularFile(path)) return std::nullopt;
  const auto [at, width] = *digits;
  std::vector<SplitRawDevice::Segment> segments;
  SourceInfo info;
  info.path = path;
  info.kind = "split raw";
  uint64_t n = 1;
  for (;; ++n) {
    const std::string name = SegmentName(path, at, width, n);
    if (std::to_string(n).size() > width || !IsRegularFile(name)) break;
    Result<std::unique_ptr<RawDevice>> device = OpenRawDevice(name);
    if (!device.ok()) return Result<std::unique_ptr<RawDevice>>(device.status());
    const uint64_t size = (*device)->Size();
    segments.push_back({std::move(*device), info.size, size});
    info.files.push_back(name);
    info.size += size;
  }
  // A later segment after a missing one: the image is not whole.
  const fs::path folder =
      PathOf(path).parent_path().empty() ? fs::path(".") : PathOf(path).parent_path();
  const std::string stem = Utf8Of(PathOf(path.substr(0, at)).filename());
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = Utf8Of(it->path().filename());
    if (name.size() != stem.size() + width || name.compare(0, stem.size(), stem) != 0) continue;
    const std::string tail = name.substr(stem.size());
    if (tail.size() > 18 || tail.find_first_not_of("0123456789") != std::string::npos) continue;
    if (std::stoull(tail) > n) {
      return Result<std::unique_ptr<RawDevice>>(Status::Error(
          ErrorCode::kOpenFailed, "cannot open the split image '" + path + "': its segment '" +
                                      SegmentName(path, at, width, n) + "' is missing (there is '" +
                                      Utf8Of(it->path()) + "' after it)"));
    }
  }
  return Result<std::unique_ptr<RawDevice>>(
      std::make_unique<SplitRawDevice>(std::move(segments), std::move(info)));
}

bool HasEwfSignature(const std::string& path) {
  if (!IsRegularFile(path)) return false;
  Result<std::unique_ptr<RawDevice>> device = OpenRawDevice(path);
  if (!device.ok()) return false;
  uint8_t head[8] = {};
  const Result<size_t> got = (*device)->ReadAt(head, sizeof head, 0);
  if (!got.ok() || *got < sizeof head) return false;
  static const uint8_t kEvf[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
  static const uint8_t kLvf[8] = {'L', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
  static const uint8_t kEvf2[8] = {'E', 'V', 'F', '2', 0x0d, 0x0a, 0x81, 0x00};
  static const uint8_t kLef2[8] = {'L', 'E', 'F', '2', 0x0d, 0x0a, 0x81, 0x00};
  for (const uint8_t* signature : {kEvf, kLvf, kEvf2, kLef2}) {
    if (std::memcmp(head, signature, sizeof head) == 0) return true;
  }
  return false;
}

void RegisterEvidenceSources() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterSourceOpener(
        "e01", [](const std::string& path) -> std::optional<Result<std::unique_ptr<RawDevice>>> {
          if (!HasEwfSignature(path)) return std::nullopt;
          return OpenEwfImage(path);
        });
    RegisterSourceOpener("split raw", &OpenSplitRaw);
  });
}

Result<OpenedSource> OpenEvidence(const std::string& path) {
  RegisterEvidenceSources();
  Result<std::unique_ptr<RawDevice>> device = OpenSource(path);
  if (!device.ok()) return device.status();
  OpenedSource opened;
  opened.device = std::move(*device);
  if (const auto* evidence = dynamic_cast<const EvidenceDevice*>(opened.device.get())) {
    opened.info = evidence->Info();
  } else {
    opened.info.path = path;
    opened.info.kind = IsRegularFile(path) ? "file" : "block device";
    opened.info.size = opened.device->Size();
    opened.info.files = {path};
  }
  return opened;
}

}  // namespace korvane::evidence
