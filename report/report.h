// SPDX-License-Identifier: GPL-3.0-or-later
// The report of a run, for the case file: report.html, one page to read and print (the case
// details, a timeline per channel, the recordings with their pictures, the files written with
// their SHA-256), and report.xml, the same recordings in DFXML for other forensic tools.
//
// Both are built as libxml2 trees and serialised by libxml2, so they are well-formed whatever the
// texts hold (bytes that are not UTF-8, and characters XML cannot carry, become U+FFFD).
//
// report.html is XHTML served as HTML: no script, no network; CSS and the SVG timeline inline;
// pictures are PNG files beside it, named in each row. It prints on A4, each section on a page of
// its own.
//
// report.xml: a `dfxml` root (version 1.2.0) with `metadata`, `creator` (program, version,
// execution_environment, command_line), `source` (image_filename, image_size, the hashes of
// what was read) and one `fileobject` per recording: `filename`, `filesize`, `byte_runs` (one
// `byte_run` with `img_offset` and `len` per run of the recording's bytes in the source) and,
// when it was saved, the saved file's `hashdigest` type="sha256". Korvane's own fields (channel,
// times, frames, positions, the files written) are in the namespace kXmlNamespace, prefix
// "korvane".
//
// Writing never replaces a file: the two are named "report.html" and "report.xml", or, when
// either exists, "report (1).html" and "report (1).xml" (then 2, 3, ...), the same number for
// both. Each appears under its name only when complete and flushed; a failure leaves neither.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "evidence/case_log.h"
#include "scan/recording.h"
#include "scan/result.h"
#include "scan/save.h"

namespace korvane::report {

inline constexpr char kXmlNamespace[] = "urn:korvane:report:1";
inline constexpr char kHtmlName[] = "report.html";
inline constexpr char kXmlName[] = "report.xml";

struct ReportRecording {
  Recording recording;
  // Where its bytes lie in the source, in order: the bytes saving copies (SavedRuns). Unset: the
  // one run from its position to its end position.
  std::optional<std::vector<SourceRun>> runs;
  // Pictures of it, file names relative to the report's folder ("0.png", "0-ch1.png").
  std::vector<std::string> pictures;
};

struct ReportInput {
  // The case details: tool, version, command line, examiner, case, source, hashes, date window,
  // grouping, and the files written (saved recordings, exports, pictures) with their SHA-256.
  evidence::CaseLog log;
  std::vector<ReportRecording> recordings;  // the list, in its order
  // How far the recorder's clock was ahead of the true time, in seconds (negative: behind).
  // When set, times are shown corrected (recorder - offset) beside the recorder's own.
  std::optional<int64_t> clock_offset;
};

// The recording's runs: ReportRecording::runs, or its span when that is unset.
std::vector<SourceRun> RunsOf(const ReportRecording& r);

// The page and the DFXML document as text (UTF-8).
Result<std::string> ReportHtml(const ReportInput& input);
Result<std::string> ReportXml(const ReportInput& input);

struct WrittenReport {
  std::string html;  // the paths written
  std::string xml;
};

// Writes both into the existing folder `folder` (see the naming rules above). kUsage when the
// folder is missing or not writable, kWriteFailed when a file cannot be written.
Result<WrittenReport> WriteReport(const std::string& folder, const ReportInput& input);

}  // namespace korvane::report
