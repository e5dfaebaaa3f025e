// SPDX-License-Identifier: GPL-3.0-or-later
// The registry of source kinds that OpenSource asks before opening a path as a plain file or drive.
#include <mutex>
#include <utility>
#include <vector>

#include "scan/raw_device.h"

namespace korvane {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::pair<std::string, SourceOpener>> openers;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void RegisterSourceOpener(const std::string& name, SourceOpener opener) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  for (auto& [known, existing] : registry.openers) {
    if (known == name) {
      existing = std::move(opener);
      return;
    }
  }
  registry.openers.emplace_back(name, std::move(opener));
}

Result<std::unique_ptr<RawDevice>> OpenSource(const std::string& path) {
  std::vector<SourceOpener> openers;
  {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const auto& entry : registry.openers) openers.push_back(entry.second);
  }
  for (const SourceOpener& open : openers) {
    try {
      std::optional<Result<std::unique_ptr<RawDevice>>> opened = open(path);
      if (opened) return std::move(*opened);
    } catch (...) {
      return StatusFromException("cannot open '" + path + "'");
    }
  }
  return OpenRawDevice(path);
}

}  // namespace korvane
