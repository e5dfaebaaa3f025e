// SPDX-License-Identifier: GPL-3.0-or-later
// The rules of saving into a folder, the same on every platform, over the platform's primitives.
#include "scan/save_folder.h"

#include <cstdio>
#include <random>

namespace korvane {

Status PendingFile::WriteAt(uint64_t offset, const uint8_t* data, size_t len) {
  (void)offset, (void)data, (void)len;
  return Status::Error(ErrorCode::kInternal, "positioned writes are not available here");
}

Result<size_t> PendingFile::ReadAt(uint64_t offset, uint8_t* data, size_t len) {
  (void)offset, (void)data, (void)len;
  return Status::Error(ErrorCode::kInternal, "positioned reads are not available here");
}

std::string NumberedName(const std::string& name, unsigned n) {
  if (n == 0) return name;
  size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string::npos) dot = name.size();  // ".x" is a name, not an extension
  return name.substr(0, dot) + " (" + std::to_string(n) + ")" + name.substr(dot);
}

Result<std::string> CommitFile(PendingFile& file, const std::string& name, unsigned last) {
  if (Status flushed = file.Flush(); !flushed.ok()) return flushed;
  for (unsigned n = 0; n <= last; ++n) {
    const std::string candidate = NumberedName(name, n);
    const Result<bool> named = file.TryName(candidate);
    if (!named.ok()) {
      return Status::Error(named.status().code(),
                           "cannot name it '" + candidate + "': " + named.status().message());
    }
    if (*named) return candidate;
  }
  return Status::Error(ErrorCode::kWriteFailed, last == 0
                                                    ? "'" + name + "' exists"
                                                    : "no free name from '" + name + "' to '" +
                                                          NumberedName(name, last) + "'");
}

SaveFolder::SaveFolder(std::unique_ptr<FolderAccess> access) : access_(std::move(access)) {}

SaveFolder::~SaveFolder() = default;

Result<std::unique_ptr<PendingFile>> SaveFolder::CreateFile() {
  Result<std::unique_ptr<PendingFile>> unnamed = access_->CreateUnnamed();
  if (!unnamed.ok() || *unnamed) return unnamed;
  // A hidden name of its own: random, so that savers running at once rarely meet.
  std::random_device seed;
  std::mt19937_64 rng((static_cast<uint64_t>(seed()) << 32) ^ seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, ".korvane-%016llx.part",
                  static_cast<unsigned long long>(rng()));
    Result<std::unique_ptr<PendingFile>> file = access_->CreateHidden(name);
    if (!file.ok() || *file) return file;
  }
  return Status::Error(ErrorCode::kWriteFailed, "no free temporary name");
}

Result<std::unique_ptr<LogFile>> SaveFolder::OpenOrCreateLog(const std::string& name,
                                                             const std::string& header) {
  std::string why;
  for (int attempt = 0; attempt < 3; ++attempt) {
    Result<std::unique_ptr<LogFile>> log = access_->OpenLog(name);
    if (!log.ok() || *log) return log;
    // Missing: create it with its header in place, so no line can come before the header.
    // Whoever else creates it at the same moment wins; then append to theirs.
    Result<std::unique_ptr<PendingFile>> file = CreateFile();
    if (!file.ok()) return file.status();
    Status written = (*file)->Write(reinterpret_cast<const uint8_t*>(header.data()), header.size());
    if (!written.ok()) return written;
    const Result<std::string> created = CommitFile(**file, name, 0);
    if (!created.ok()) why = created.status().message();  // look again: it may be theirs
  }
  return Status::Error(ErrorCode::kWriteFailed, why.empty() ? "it keeps disappearing" : why);
}

Status SaveFolder::AppendToLog(const std::string& name, const std::string& header,
                               const std::string& text) {
  if (!log_ || name != log_name_) {
    log_.reset();
    log_name_.clear();
    Result<std::unique_ptr<LogFile>> log = OpenOrCreateLog(name, header);
    if (!log.ok()) return log.status();
    log_ = std::move(*log);
    log_name_ = name;
  }
  // A line left without its line break (by hand, or by a program that was interrupted) is ended
  // first, so the new line stays a line of its own.
  return log_->Append(log_->EndsLine() ? text : "\n" + text);
}

void SaveFolder::Sync() {
  access_->Sync();
}

Result<std::unique_ptr<SaveFolder>> OpenSaveFolder(const std::string& path) {
  if (path.empty()) return Status::Error(ErrorCode::kUsage, "no save folder given");
  Result<std::unique_ptr<FolderAccess>> access = OpenFolderAccess(path);
  if (!access.ok()) return access.status();
  return std::make_unique<SaveFolder>(std::move(*access));
}

Result<std::unique_ptr<SaveFolder>> OpenSaveFolderOff(const std::string& folder,
                                                      const std::string& source) {
  if (Status refused = FolderWritesToSource(folder, source); !refused.ok()) return refused;
  return OpenSaveFolder(folder);
}

Status FolderWritesToSource(const std::string& folder, const std::string& source) {
  if (folder.empty() || source.empty() || !FolderLiesOnSource(folder, source)) return Status::Ok();
  return Status::Error(ErrorCode::kRefused,
                       "the folder " + folder + " lies on " + source +
                           ", the source being read: saving there would write to it");
}

}  // namespace korvane
