// SPDX-License-Identifier: GPL-3.0-or-later
// E01 images through libewf.
#include <libewf.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include "evidence/sources.h"
#include "scan/sha256.h"

namespace korvane::evidence {
namespace {

namespace fs = std::filesystem;

// libewf's message for a failure, freeing it.
std::string TakeError(libewf_error_t*& error) {
  if (error == nullptr) return "libewf reports no reason";
  char text[2048] = {};
  libewf_error_sprint(error, text, sizeof text);
  libewf_error_free(&error);
  std::string message(text);
  // One line per function it passed through: the first says what failed.
  while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) {
    message.pop_back();
  }
  std::replace(message.begin(), message.end(), '\n', ' ');
  return message.empty() ? "libewf reports no reason" : message;
}

// One libewf handle on the image's segments; each is used by one thread at a time.
struct Handle {
  libewf_handle_t* handle = nullptr;
  uint32_t checksum_errors = 0;  // of them, how many were taken into the device's list

  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (handle == nullptr) return;
    libewf_handle_close(handle, nullptr);
    libewf_handle_free(&handle, nullptr);
  }
};

Result<std::unique_ptr<Handle>> OpenHandle(const std::vector<std::string>& files,
                                           const std::string& path) {
  auto fail = [&path](libewf_error_t*& error) {
    return Status::Error(ErrorCode::kOpenFailed,
                         "cannot open the E01 image '" + path + "': " + TakeError(error));
  };
  auto h = std::make_unique<Handle>();
  libewf_error_t* error = nullptr;
  if (libewf_handle_initialize(&h->handle, &error) != 1) return fail(error);
  std::vector<char*> names;
  for (const std::string& file : files) names.push_back(const_cast<char*>(file.c_str()));
  if (libewf_handle_open(h->handle, names.data(), static_cast<int>(names.size()), LIBEWF_OPEN_READ,
                         &error) != 1) {
    return fail(error);
  }
  // A chunk that fails its checksum reads as zeros (and is reported, below) rather than as
  // whatever bytes it holds.
  if (libewf_handle_set_read_zero_chunk_on_error(h->handle, 1, &error) != 1) return fail(error);
  return h;
}

// The segment number of an extension: E01..E99 are 1..99, then EAA, EAB, ... EZZ (the naming
// goes on with FAA, ..., but no set that large is looked for). The letters are in the case of the
// first segment's; 0 for anything else (disk.img beside disk.E01 is no segment of it).
uint64_t SegmentNumber(const std::string& ext, char first) {
  if (ext.size() != 3 || ext[0] != first) return 0;
  const bool lower = std::islower(static_cast<unsigned char>(first)) != 0;
  const char low = lower ? 'a' : 'A', high = lower ? 'z' : 'Z';
  const char b = ext[1], c = ext[2];
  if (std::isdigit(static_cast<unsigned char>(b)) && std::isdigit(static_cast<unsigned char>(c))) {
    return static_cast<uint64_t>((b - '0') * 10 + (c - '0'));
  }
  if (b < low || b > high || c < low || c > high) return 0;
  return 100 + static_cast<uint64_t>(b - low) * 26 + static_cast<uint64_t>(c - low);
}

std::string SegmentExtension(uint64_t n, char first) {
  const bool lower = std::islower(static_cast<unsigned char>(first)) != 0;
  std::string ext(3, '0');
  if (n < 100) {
    ext[0] = first;
    ext[1] = static_cast<char>('0' + n / 10);
    ext[2] = static_cast<char>('0' + n % 10);
    return ext;
  }
  n -= 100;
  ext[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(first)) + n / 676);
  ext[1] = static_cast<char>('A' + n / 26 % 26);
  ext[2] = static_cast<char>('A' + n % 26);
  if (lower) {
    for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  }
  return ext;
}

// Finds a segment missing before a later one that exists: the files found from the first
// segment stop at the first missing one, and what follows the gap would be left out unnoticed.
Status CheckNoGap(const std::vector<std::string>& files, const std::string& path) {
  const fs::path last = fs::path(files.back());
  std::string ext = last.extension().string();
  if (ext.size() != 4) return Status::Ok();
  ext = ext.substr(1);
  const char first = ext[0];
  const uint64_t count = files.size();
  const std::string stem = last.stem().string();
  const fs::path folder = last.parent_path().empty() ? fs::path(".") : last.parent_path();
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path name = it->path().filename();
    if (name.stem().string() != stem || name.extension().string().size() != 4) continue;
    if (SegmentNumber(name.extension().string().substr(1), first) > count) {
      const fs::path missing =
          last.parent_path() / (stem + "." + SegmentExtension(count + 1, first));
      return Status::Error(ErrorCode::kOpenFailed, "cannot open the E01 image '" + path +
                                                       "': its segment '" + missing.string() +
                                                       "' is missing (there is '" +
                                                       it->path().string() + "' after it)");
    }
  }
  return Status::Ok();
}

std::string Text(const uint8_t* bytes, size_t size) {
  std::string s(reinterpret_cast<const char*>(bytes), size);
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// What libewf reports of the acquisition and the media, and the hashes stored in the image.
void Describe(libewf_handle_t* h, SourceInfo& info) {
  libewf_error_t* error = nullptr;
  auto drop = [&error] {
    if (error) libewf_error_free(&error);
  };
  libewf_handle_set_header_values_date_format(h, LIBEWF_DATE_FORMAT_ISO8601, &error);
  drop();
  uint32_t values = 0;
  if (libewf_handle_get_number_of_header_values(h, &values, &error) == 1) {
    for (uint32_t i = 0; i < values; ++i) {
      size_t id_size = 0, value_size = 0;
      if (libewf_handle_get_header_value_identifier_size(h, i, &id_size, &error) != 1 ||
          id_size == 0) {
        drop();
        continue;
      }
      std::vector<uint8_t> id(id_size);
      if (libewf_handle_get_header_value_identifier(h, i, id.data(), id.size(), &error) != 1) {
        drop();
        continue;
      }
      const size_t id_length = Text(id.data(), id.size()).size();
      if (libewf_handle_get_utf8_header_value_size(h, id.data(), id_length, &value_size, &error) !=
              1 ||
          value_size == 0) {
        drop();
        continue;
      }
      std::vector<uint8_t> value(value_size);
      if (libewf_handle_get_utf8_header_value(h, id.data(), id_length, value.data(), value.size(),
                                              &error) == 1) {
        info.metadata.emplace_back(Text(id.data(), id.size()), Text(value.data(), value.size()));
      }
      drop();
    }
  }
  drop();

  auto number = [&info](const char* name, uint64_t value) {
    info.metadata.emplace_back(name, std::to_string(value));
  };
  uint32_t bytes_per_sector = 0;
  uint64_t sectors = 0;
  size32_t chunk_size = 0;
  uint8_t media_type = 0, format = 0, compression_flags = 0;
  int8_t compression_level = 0;
  if (libewf_handle_get_bytes_per_sector(h, &bytes_per_sector, &error) == 1) {
    number("bytes_per_sector", bytes_per_sector);
  }
  drop();
  if (libewf_handle_get_number_of_sectors(h, &sectors, &error) == 1) number("sectors", sectors);
  drop();
  if (libewf_handle_get_chunk_size(h, &chunk_size, &error) == 1) number("chunk_size", chunk_size);
  drop();
  if (libewf_handle_get_media_type(h, &media_type, &error) == 1) {
    const char* name = media_type == LIBEWF_MEDIA_TYPE_FIXED       ? "fixed"
                       : media_type == LIBEWF_MEDIA_TYPE_REMOVABLE ? "removable"
                       : media_type == LIBEWF_MEDIA_TYPE_OPTICAL   ? "optical"
                       : media_type == LIBEWF_MEDIA_TYPE_MEMORY    ? "memory"
                                                                   : "other";
    info.metadata.emplace_back("media_type", name);
  }
  drop();
  if (libewf_handle_get_compression_values(h, &compression_level, &compression_flags, &error) ==
      1) {
    const char* name = compression_level == LIBEWF_COMPRESSION_NONE   ? "none"
                       : compression_level == LIBEWF_COMPRESSION_FAST ? "fast"
                       : compression_level == LIBEWF_COMPRESSION_BEST ? "best"
                                                                      : "default";
    info.metadata.emplace_back("compression", name);
  }
  drop();
  if (libewf_handle_get_format(h, &format, &error) == 1) number("format", format);
  drop();
  number("segments", info.files.size());

  uint8_t md5[16], sha1[20];
  if (libewf_handle_get_md5_hash(h, md5, sizeof md5, &error) == 1) {
    info.stored_hashes.emplace_back("md5", HexText(md5, sizeof md5));
  }
  drop();
  if (libewf_handle_get_sha1_hash(h, sha1, sizeof sha1, &error) == 1) {
    info.stored_hashes.emplace_back("sha1", HexText(sha1, sizeof sha1));
  }
  drop();
  // Hashes stored as text (SHA-256, for one), besides those above.
  uint32_t hashes = 0;
  if (libewf_handle_get_number_of_hash_values(h, &hashes, &error) == 1) {
    for (uint32_t i = 0; i < hashes; ++i) {
      size_t id_size = 0, value_size = 0;
      if (libewf_handle_get_hash_value_identifier_size(h, i, &id_size, &error) != 1 ||
          id_size == 0) {
        drop();
        continue;
      }
      std::vector<uint8_t> id(id_size);
      if (libewf_handle_get_hash_value_identifier(h, i, id.data(), id.size(), &error) != 1) {
        drop();
        continue;
      }
      const std::string name = Lower(Text(id.data(), id.size()));
      const bool known = std::any_of(info.stored_hashes.begin(), info.stored_hashes.end(),
                                     [&](const auto& kv) { return kv.first == name; });
      if (known ||
          libewf_handle_get_utf8_hash_value_size(h, id.data(), name.size(), &value_size, &error) !=
              1 ||
          value_size == 0) {
        drop();
        continue;
      }
      std::vector<uint8_t> value(value_size);
      if (libewf_handle_get_utf8_hash_value(h, id.data(), name.size(), value.data(), value.size(),
                                            &error) == 1) {
        const std::string hex = Lower(Text(value.data(), value.size()));
        if (!hex.empty()) info.stored_hashes.emplace_back(name, hex);
      }
      drop();
    }
  }
  drop();
}

class EwfDevice final : public EvidenceDevice {
 public:
  EwfDevice(std::vector<std::string> files, std::unique_ptr<Handle> first, SourceInfo info)
      : files_(std::move(files)), info_(std::move(info)) {
    idle_.push_back(std::move(first));
  }

  uint64_t Size() const override { return info_.size; }
  // Each reading thread gets a handle of its own.
  bool ConcurrentReads() const override { return true; }
  const SourceInfo& Info() const override { return info_; }

  Result<size_t> ReadAt(void* dst, size_t len, uint64_t offset) override {
    if (offset >= info_.size || len == 0) return size_t{0};
    len = static_cast<size_t>(std::min<uint64_t>(len, info_.size - offset));
    Result<std::unique_ptr<Handle>> taken = Take();
    if (!taken.ok()) return Status::Error(ErrorCode::kReadFailed, taken.status().message());
    std::unique_ptr<Handle> h = std::move(*taken);
    libewf_error_t* error = nullptr;
    const ssize_t n =
        libewf_handle_read_random(h->handle, dst, len, static_cast<off64_t>(offset), &error);
    if (n < 0) {
      const std::string why = TakeError(error);
      // The handle may be left in any state: it is not used again.
      return Status::Error(ErrorCode::kReadFailed, "E01: " + why);
    }
    uint32_t count = 0;
    if (libewf_handle_get_number_of_checksum_errors(h->handle, &count, &error) != 1) {
      libewf_error_free(&error);
      count = h->checksum_errors;
    }
    std::vector<std::pair<uint64_t, uint64_t>> found;
    for (uint32_t i = h->checksum_errors; i < count; ++i) {
      uint64_t start = 0, sectors = 0;
      if (libewf_handle_get_checksum_error(h->handle, i, &start, &sectors, &error) == 1) {
        found.emplace_back(start * bytes_per_sector_, (start + sectors) * bytes_per_sector_);
      } else {
        libewf_error_free(&error);
      }
    }
    h->checksum_errors = count;
    const uint64_t end = offset + static_cast<uint64_t>(n);
    bool corrupt = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& [lo, hi] : found) corrupt_[lo] = std::max(corrupt_[lo], hi);
      for (const auto& [lo, hi] : corrupt_) {
        if (lo < end && hi > offset) corrupt = true;
      }
      idle_.push_back(std::move(h));
    }
    if (corrupt) {
      return Status::Error(ErrorCode::kReadFailed,
                           "E01: a chunk's data does not match its checksum");
    }
    return static_cast<size_t>(n);
  }

  void SetBytesPerSector(uint32_t bytes) { bytes_per_sector_ = bytes ? bytes : 512; }

 private:
  Result<std::unique_ptr<Handle>> Take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        std::unique_ptr<Handle> h = std::move(idle_.back());
        idle_.pop_back();
        return h;
      }
    }
    return OpenHandle(files_, info_.path);
  }

  const std::vector<std::string> files_;
  const SourceInfo info_;
  uint64_t bytes_per_sector_ = 512;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Handle>> idle_;
  std::map<uint64_t, uint64_t> corrupt_;  // media byte ranges of chunks that failed their checksum
};

}  // namespace

bool E01Available() {
  return true;
}

std::string EwfLibraryVersion() {
  return libewf_get_version();
}

Result<std::unique_ptr<RawDevice>> OpenEwfImage(const std::string& path) {
  libewf_error_t* error = nullptr;
  char** globbed = nullptr;
  int count = 0;
  std::vector<std::string> files;
  if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &globbed, &count, &error) ==
          1 &&
      count > 0) {
    files.assign(globbed, globbed + count);
    libewf_glob_free(globbed, count, nullptr);
    if (Status gap = CheckNoGap(files, path); !gap.ok()) return gap;
  } else {
    // Recognised by its content under a name that is not a segment's (.E01): it is the one
    // segment there is.
    if (error) libewf_error_free(&error);
    files = {path};
  }

  Result<std::unique_ptr<Handle>> first = OpenHandle(files, path);
  if (!first.ok()) return first.status();
  libewf_handle_t* h = (*first)->handle;
  if (libewf_handle_segment_files_corrupted(h, &error) == 1) {
    return Status::Error(ErrorCode::kOpenFailed,
                         "cannot open the E01 image '" + path + "': its segment files (" +
                             std::to_string(files.size()) +
                             " found) do not make a whole image; is the last segment missing?");
  }
  if (error) libewf_error_free(&error);
  SourceInfo info;
  info.path = path;
  info.kind = "e01";
  info.files = files;
  size64_t media_size = 0;
  if (libewf_handle_get_media_size(h, &media_size, &error) != 1) {
    return Status::Error(ErrorCode::kOpenFailed, "cannot read the media size of the E01 image '" +
                                                     path + "': " + TakeError(error));
  }
  info.size = media_size;
  Describe(h, info);
  uint32_t bytes_per_sector = 512;
  if (libewf_handle_get_bytes_per_sector(h, &bytes_per_sector, &error) != 1) {
    libewf_error_free(&error);
    bytes_per_sector = 512;
  }
  auto device = std::make_unique<EwfDevice>(files, std::move(*first), std::move(info));
  device->SetBytesPerSector(bytes_per_sector);
  return std::unique_ptr<RawDevice>(std::move(device));
}

}  // namespace korvane::evidence
