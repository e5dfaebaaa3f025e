// SPDX-License-Identifier: GPL-3.0-or-later
#include "evidence/case_log_run.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "evidence/digest.h"
#include "evidence/sources.h"
#include "scan/save_folder.h"

namespace korvane::evidence {
namespace {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

int64_t NowUnixSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

CaseLog BeginCaseLog(const std::string& tool, const std::string& version,
                     std::vector<std::string> command_line, const std::string& source) {
  CaseLog log;
  log.tool = tool;
  log.version = version;
  log.command_line = std::move(command_line);
  log.host = HostName();
  log.started = NowUnixSeconds();
  log.source_path = source;
  log.source_canonical = CanonicalSourcePath(source);
  return log;
}

void DescribeSource(CaseLog& log) {
  RegisterEvidenceSources();
  if (Result<OpenedSource> opened = OpenEvidence(log.source_path); opened.ok()) {
    log.source = opened->info;
  }
}

void LogScan(CaseLog& log, const ScanResult& result, uint64_t offset,
             const std::vector<Recording>& found) {
  log.scanned = result.Ran();
  log.range_bytes = result.range_bytes;
  log.scanned_bytes = result.scanned_bytes;
  log.read_bytes = std::min(result.scanned_bytes, result.ReadableBytes(offset));
  log.recordings = found.size();
  log.frames = 0;
  for (const Recording& r : found) log.frames += r.frames;
  log.unreadable_bytes = result.unreadable_bytes;
}

std::string PathIn(const std::string& folder, const std::string& name) {
  const bool separated = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
#ifdef _WIN32
  const char* separator = "\\";
#else
  const char* separator = "/";
#endif
  return folder + (separated || folder.empty() ? "" : separator) + name;
}

void LogSave(CaseLog& log, const SaveResult& result) {
  bool listed = false;
  for (const SavedFile& f : result.files) {
    if (f.outcome != FileOutcome::kSaved) {
      if (!f.error.empty()) log.messages.push_back(f.recording.Name() + " not saved: " + f.error);
      continue;
    }
    LoggedFile& logged = LogWrittenFile(log, kSavedFile, result.folder, f.file_name);
    logged.recording = f.recording.Name();
    if (f.recording.channel) logged.channel = *f.recording.channel;
    logged.position = f.recording.position;
    logged.end_position = f.end_position;
    logged.bytes = f.bytes;
    logged.unreadable_bytes = f.unreadable_bytes;
    logged.sha256 = f.sha256;
    listed = listed || f.in_manifest;
  }
  if (listed) LogListing(log, result.folder, kManifestName);
  if (!result.manifest_error.empty()) log.messages.push_back(result.manifest_error);
  if (!result.Ran()) log.messages.push_back("nothing saved: " + result.status.message());
}

LoggedFile& LogWrittenFile(CaseLog& log, const std::string& kind, const std::string& folder,
                           const std::string& file_name) {
  LoggedFile file;
  file.kind = kind;
  file.path = PathIn(folder, file_name);
  log.files.push_back(std::move(file));
  return log.files.back();
}

void LogListing(CaseLog& log, const std::string& folder, const std::string& name) {
  const std::string path = PathIn(folder, name);
  for (const LoggedFile& f : log.files) {
    if (f.kind == kListingFile && f.path == path) return;
  }
  LoggedFile& listing = LogWrittenFile(log, kListingFile, folder, name);
  listing.has_range = false;
}

void EndCaseLog(CaseLog& log, int exit_status) {
  log.exit_status = exit_status;
  log.ended = NowUnixSeconds();
  for (LoggedFile& f : log.files) {
    if (f.kind != kListingFile) continue;
    Result<std::pair<std::string, uint64_t>> hashed = HashFile(f.path);
    if (!hashed.ok()) {
      log.messages.push_back(f.path + " could not be hashed: " + hashed.status().message());
      continue;
    }
    f.sha256 = hashed->first;
    f.bytes = hashed->second;
  }
}

int ScanStatus(const ScanResult& result, uint64_t offset) {
  if (!result.Ran()) return kRunSourceFailed;
  if (result.Stopped()) return kRunStopped;
  if (result.unreadable_bytes == 0) return kRunOk;
  // Nothing at all could be read: the source failed, not just some sectors of it.
  return result.unreadable_bytes >= result.ReadableBytes(offset) ? kRunSourceFailed
                                                                 : kRunUnreadable;
}

int SaveStatus(const SaveResult& result, int before) {
  if (!result.Ran()) {
    return result.saved_files == 0 && result.status.code() == ErrorCode::kNoMemory
               ? kRunSourceFailed
               : kRunWriteFailed;
  }
  if (result.Stopped()) return kRunStopped;
  if (result.failed_files > 0 || !result.manifest_error.empty()) return kRunWriteFailed;
  if (result.unreadable_bytes > 0 && before == kRunOk) return kRunUnreadable;
  return before;
}

Result<std::pair<std::string, uint64_t>> HashFile(const std::string& path) {
  std::ifstream in(PathOf(path), std::ios::binary);
  if (!in) return Status::Error(ErrorCode::kOpenFailed, "cannot open '" + path + "'");
  Digest digest(DigestKind::kSha256);
  std::vector<char> buffer(size_t{1} << 20);
  uint64_t bytes = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::streamsize n = in.gcount();
    if (n <= 0) break;
    digest.Update(reinterpret_cast<const uint8_t*>(buffer.data()), static_cast<size_t>(n));
    bytes += static_cast<uint64_t>(n);
  }
  if (in.bad()) return Status::Error(ErrorCode::kReadFailed, "cannot read '" + path + "'");
  Result<std::string> hex = digest.Hex();
  if (!hex.ok()) return hex.status();
  return std::make_pair(*hex, bytes);
}

}  // namespace korvane::evidence
