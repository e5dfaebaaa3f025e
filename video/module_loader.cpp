// SPDX-License-Identifier: GPL-3.0-or-later
// The video functions that need FFmpeg, as the programs see them: each loads korvane-video.so
// (see module.h) on first use and calls its own. When it cannot be loaded, each fails saying
// why, as a missing decoder would.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "video/module.h"

namespace korvane::video {
namespace {

struct Loaded {
  const ModuleEntries* entries = nullptr;
  std::string why;  // why not, when entries is null
};

// The module's path: KORVANE_VIDEO_MODULE (relative) from the folder of the running program,
// which is where the build and the installation put it (bin/ and lib/.../korvane/ side by side).
std::string ModulePath(std::string* why) {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    *why = std::string("cannot find the running program: ") + std::strerror(errno);
    return {};
  }
  std::string path(self, static_cast<size_t>(n));
  path.erase(path.find_last_of('/') + 1);
  return path + KORVANE_VIDEO_MODULE;
}

Loaded Load() {
  Loaded loaded;
  const std::string path = ModulePath(&loaded.why);
  if (path.empty()) return loaded;
  // Never closed: its functions may be running on other threads until the process ends.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = ::dlerror();
    loaded.why = error ? error : "cannot load " + path;
    return loaded;
  }
  using Entry = const ModuleEntries* (*)();
  const auto entry = reinterpret_cast<Entry>(::dlsym(handle, kModuleEntryName));
  const ModuleEntries* entries = entry ? entry() : nullptr;
  if (entries == nullptr) {
    loaded.why = path + " is not Korvane's video module";
  } else if (entries->abi != kModuleAbi || std::strcmp(entries->version, KORVANE_VERSION) != 0) {
    loaded.why = path + " belongs to another build of Korvane (version " + entries->version + ")";
  } else {
    loaded.entries = entries;
  }
  return loaded;
}

const Loaded& Module() {
  static const Loaded loaded = Load();
  return loaded;
}

Status Unavailable() {
  return Status::Error(
      ErrorCode::kInternal,
      "video is unavailable: FFmpeg's part of Korvane did not load: " + Module().why);
}

ExportResult UnavailableResult() {
  ExportResult result;
  result.status = Unavailable();
  return result;
}

}  // namespace

void QuietFfmpegLog() {
  if (Module().entries) Module().entries->quiet_log();
}

ExportResult ExportRecordings(SourceReader& reader, const ExportJob& job, ExportSink& sink,
                              const std::atomic<int>& stop) {
  if (!Module().entries) return UnavailableResult();
  return Module().entries->export_recordings(reader, job, sink, stop);
}

ExportResult WriteThumbnails(SourceReader& reader, const ExportJob& job, ExportSink& sink,
                             const std::atomic<int>& stop) {
  if (!Module().entries) return UnavailableResult();
  return Module().entries->write_thumbnails(reader, job, sink, stop);
}

Result<RgbImage> DecodeFirstKeyFrame(SourceReader& reader, uint8_t channel,
                                     const std::vector<uint64_t>& frames,
                                     const std::atomic<int>& stop) {
  if (!Module().entries) return Unavailable();
  return Module().entries->decode_first_key_frame(reader, channel, frames, stop);
}

Result<std::vector<uint8_t>> EncodePng(const RgbImage& image) {
  if (!Module().entries) return Unavailable();
  return Module().entries->encode_png(image);
}

}  // namespace korvane::video
