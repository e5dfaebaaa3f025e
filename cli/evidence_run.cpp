// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/evidence_run.h"

#include <cinttypes>

#include "cli/progress.h"
#include "datewindow/date_text.h"
#include "evidence/case_log_run.h"
#include "scan/save_folder.h"

namespace korvane::cli {
namespace {

std::string Stored(const evidence::SourceInfo& info, const std::string& algorithm) {
  for (const auto& [name, hex] : info.stored_hashes) {
    if (name == algorithm) return hex;
  }
  return std::string();
}

}  // namespace

EvidenceRun::EvidenceRun(const Options& options, const std::vector<std::string>& args,
                         const Streams& streams)
    : options_(options), streams_(streams) {
  std::vector<std::string> command_line = {"korvane-scan"};
  command_line.insert(command_line.end(), args.begin(), args.end());
  log_ = evidence::BeginCaseLog("korvane-scan", KORVANE_VERSION, std::move(command_line),
                                options.source);
  log_.examiner = options.examiner;
  log_.case_id = options.case_id;
  log_.offset = options.offset;
  log_.size = options.size;
  if (options.from && options.to) log_.date_window = std::make_pair(*options.from, *options.to);
  log_.clock_offset = options.clock_offset;
  log_.grouping = options.group == GroupOption::kCamera ? "camera" : "time";
  log_.verify_requested = options.verify;
}

bool EvidenceRun::CheckLog() {
  if (!options_.log_file) return true;
  evidence::RegisterEvidenceSources();
  // Every file of the source counts: the log must not be written into any of them.
  std::vector<std::string> files = {options_.source};
  if (auto opened = evidence::OpenEvidence(options_.source); opened.ok()) {
    files = opened->info.files;
  }
  const Status usable = evidence::CheckCaseLogPath(*options_.log_file, files);
  if (usable.ok()) return true;
  log_refused_ = true;
  std::fprintf(streams_.err, "korvane-scan: --log: %s\nTry 'korvane-scan --help' for more.\n",
               usable.message().c_str());
  return false;
}

bool EvidenceRun::Prepare(const evidence::SourceInfo& info, ScanJob& job) {
  log_.source = info;
  for (evidence::DigestKind kind : options_.hashes) {
    hashes_.push_back(std::make_unique<evidence::RangeHash>(kind));
    job.observers.push_back(hashes_.back().get());
  }
  if (!options_.verify) return true;
  if (info.kind != "e01") {
    const std::string message = "--verify compares an E01 image with the hashes stored in it; '" +
                                info.path + "' is not an E01 image";
    std::fprintf(streams_.err, "korvane-scan: %s\n", message.c_str());
    Note(message);
    return false;
  }
  whole_media_ = job.offset == 0 && (!job.size || *job.size >= info.size);
  if (!whole_media_) return true;
  for (evidence::DigestKind kind : {evidence::DigestKind::kMd5, evidence::DigestKind::kSha1}) {
    if (Stored(info, evidence::DigestName(kind)).empty()) continue;
    checks_.push_back(std::make_unique<evidence::RangeHash>(kind));
    job.observers.push_back(checks_.back().get());
  }
  return true;
}

void EvidenceRun::Scanned(const ScanResult& result, const ScanJob& job,
                          const std::vector<Recording>& found) {
  scan_completed_ = result.status.ok();
  evidence::LogScan(log_, result, job.offset, found);
}

void EvidenceRun::Wrote(evidence::LoggedFile file) {
  log_.files.push_back(std::move(file));
}

void EvidenceRun::Saved(const SaveResult& result) {
  evidence::LogSave(log_, result);
}

#ifdef KORVANE_HAVE_VIDEO
void EvidenceRun::Exported(const video::ExportJob& job, const video::ExportResult& result,
                           bool thumbnails) {
  bool listed = false;
  for (size_t n = 0; n < result.files.size() && n < job.items.size(); ++n) {
    const video::ExportedFile& f = result.files[n];
    if (f.outcome != FileOutcome::kSaved) continue;
    const video::ExportItem& item = job.items[n];
    evidence::LoggedFile& logged = evidence::LogWrittenFile(
        log_, thumbnails ? evidence::kPictureFile : evidence::kExportedFile, job.folder,
        f.file_name);
    logged.recording = f.recording_name;
    logged.channel = f.channel;
    logged.position = item.position;
    logged.end_position = item.end_position;
    logged.bytes = f.bytes;
    logged.sha256 = f.sha256;
    if (logged.sha256.empty()) {
      // Pictures are not hashed as they are written: hashed as they stand now.
      Result<std::pair<std::string, uint64_t>> hashed = evidence::HashFile(logged.path);
      if (hashed.ok()) {
        logged.sha256 = hashed->first;
        logged.bytes = hashed->second;
      } else {
        Note(hashed.status().message());
      }
    }
    listed = listed || f.in_manifest;
  }
  if (listed) evidence::LogListing(log_, job.folder, video::kExportsName);
  if (!result.manifest_error.empty()) Note(result.manifest_error);
}
#endif

int EvidenceRun::Verify(SourceReader& reader, const std::atomic<int>& stop, int code) {
  if (!options_.verify || !log_.source || log_.source->kind != "e01") return code;
  const evidence::SourceInfo& info = *log_.source;
  std::vector<std::unique_ptr<evidence::RangeHash>> fresh;
  const std::vector<std::unique_ptr<evidence::RangeHash>>* computed = &checks_;
  if (Stored(info, "md5").empty() && Stored(info, "sha1").empty()) {
    log_.verify_note = "the image stores no MD5 or SHA-1 to compare with";
  } else if (whole_media_ && !scan_completed_) {
    log_.verify_note = "the scan did not read the whole media";
  } else if (!whole_media_) {
    if (stop.load() != 0) {
      log_.verify_note = "stopped before the verification";
      return code;
    }
    // The scan read only part of the media: read all of it again for the hashes.
    for (evidence::DigestKind kind : {evidence::DigestKind::kMd5, evidence::DigestKind::kSha1}) {
      if (!Stored(info, evidence::DigestName(kind)).empty()) {
        fresh.push_back(std::make_unique<evidence::RangeHash>(kind));
      }
    }
    constexpr size_t kBlock = size_t{1} << 20;
    std::vector<uint8_t> buffer(kBlock);
    ProgressLine line(streams_.err, streams_.err_is_terminal && !options_.quiet,
                      streams_.err_columns);
    line.Start();
    uint64_t unreadable = 0;
    for (uint64_t pos = 0; pos < reader.Size(); pos += kBlock) {
      if (stop.load() != 0) {
        line.Clear();
        log_.verify_note = "stopped during the verification";
        std::fprintf(streams_.err, "korvane-scan: verification stopped\n");
        return kExitInterrupted;
      }
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, reader.Size() - pos));
      const SourceReader::Stats stats = reader.ReadAligned(buffer.data(), n, pos);
      unreadable += stats.unreadable + stats.missing;
      for (auto& h : fresh) h->OnBytes(buffer.data(), n);
      line.Draw(pos + n, reader.Size(), "verifying  ");
    }
    line.Clear();
    if (unreadable > 0) {
      std::fprintf(streams_.err,
                   "korvane-scan: warning: %" PRIu64
                   " bytes of the media could not be read during the verification and were "
                   "hashed as zeros\n",
                   unreadable);
      log_.verify_note = std::to_string(unreadable) + " unreadable bytes were hashed as zeros";
    }
    computed = &fresh;
  }
  for (const auto& h : *computed) {
    Result<std::string> hex = h->Hex();
    evidence::LoggedVerification v;
    v.algorithm = evidence::DigestName(h->kind());
    v.stored = Stored(info, v.algorithm);
    v.computed = hex.ok() ? *hex : std::string();
    v.match = hex.ok() && v.computed == v.stored;
    log_.verified_bytes = h->bytes();
    log_.verification.push_back(v);
    verified_ = true;
    verify_failed_ = verify_failed_ || !v.match;
    std::fprintf(streams_.err, "korvane-scan: verify: %s stored %s, computed %s: %s\n",
                 v.algorithm.c_str(), v.stored.c_str(),
                 hex.ok() ? v.computed.c_str() : hex.status().message().c_str(),
                 v.match ? "match" : "MISMATCH");
  }
  if (!verified_) {
    std::fprintf(streams_.err, "korvane-scan: verify: not done: %s\n", log_.verify_note.c_str());
    Note("verification not done: " + log_.verify_note);
    verify_failed_ = true;
  } else if (verify_failed_) {
    Note("verification failed: the media's hashes differ from those stored in the image");
  }
  return code;
}

void EvidenceRun::TakeHashes() {
  if (hashes_taken_) return;
  hashes_taken_ = true;
  for (const auto& h : hashes_) {
    Result<std::string> hex = h->Hex();  // finishes the hash: taken once
    log_.hashed_bytes = h->bytes();
    if (!hex.ok()) {
      Note(hex.status().message());
      hash_errors_.push_back(hex.status().message());
      continue;
    }
    log_.hashes.push_back({evidence::DigestName(h->kind()), *hex});
  }
}

evidence::CaseLog EvidenceRun::ReportLog() {
  TakeHashes();
  evidence::CaseLog log = log_;
  log.ended = evidence::NowUnixSeconds();
  return log;
}

int EvidenceRun::Finish(int code) {
  if (verify_failed_ && (code == kExitOk || code == kExitUnreadable || code == kExitSaveFailed)) {
    code = kExitVerifyFailed;
  }
  TakeHashes();
  for (const std::string& error : hash_errors_) {
    std::fprintf(streams_.err, "korvane-scan: %s\n", error.c_str());
  }
  for (const evidence::LoggedHash& h : log_.hashes) {
    std::fprintf(streams_.err,
                 "korvane-scan: %s %s  (bytes %" PRIu64 " to %" PRIu64 " of the source, %" PRIu64
                 " unreadable bytes hashed as zeros)\n",
                 h.algorithm.c_str(), h.hex.c_str(), options_.offset,
                 options_.offset + log_.hashed_bytes, log_.unreadable_bytes);
  }
  if (!options_.log_file || log_refused_) return code;
  evidence::EndCaseLog(log_, code);
  Result<std::string> written =
      evidence::WriteCaseLog(*options_.log_file, evidence::CaseLogJson(log_));
  if (!written.ok()) {
    std::fprintf(streams_.err, "korvane-scan: the case log could not be written to '%s': %s\n",
                 options_.log_file->c_str(), written.status().message().c_str());
    return code == kExitOk || code == kExitUnreadable ? kExitSaveFailed : code;
  }
  std::fprintf(streams_.err, "korvane-scan: case log written to '%s'\n", written->c_str());
  return code;
}

}  // namespace korvane::cli
