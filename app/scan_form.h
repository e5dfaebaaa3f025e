// SPDX-License-Identifier: GPL-3.0-or-later
// The scan form read and checked without its widgets: the texts and check states of its controls
// in, the scan job or the warning that refuses it out.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <variant>

#include "scan/scanner.h"

namespace korvane::gui {

// The warnings of a refused start, in the window's language.
QString BadParametersText();  // "参数填写错误!"
QString BadDatesText();       // "结束日期需要大于开始日期!"

// What the start command reads from the form.
struct ScanFormTexts {
  QString offset;  // the digit boxes, as shown
  QString size;
  QString block_size;
  bool block_search = false;  // the block search button is checked (else byte search)
  bool disk_source = false;   // the disk button is checked (else image file)
  QString image_file;
  QString drive;  // the drive list's selected entry
  QString save_path;
  bool filter = false;  // the filter box is checked
  QString start_date;   // the date pickers' display texts ("2014/3/4")
  QString end_date;
};

// An accepted form: the job's fields as the window keeps them.
struct ScanSettings {
  std::string source;  // as the scanner opens it
  std::string save_path;
  int64_t offset = 0;
  int64_t size = 0;
  int32_t block_size = 0;
  int32_t search_mode = 0;   // 0 byte search, 1 block search
  int64_t window_start = 0;  // both 0: no date window
  int64_t window_end = 0;

  ScanJob Job() const;
};

// Reads and checks the form: its settings, or the warning that refuses it. A scan size of 0, an
// offset or size above 9223372036854775807, no source, no save folder or, in block search, a
// block size of 0 give BadParametersText(); with the filter on, an end date not after the start
// date (or a date text that cannot be read) gives BadDatesText().
std::variant<ScanSettings, QString> ReadScanForm(const ScanFormTexts& form);

// A path from the form as the system opens it, and back.
std::string SourcePath(const QString& text);
QString PathText(const std::string& path);

}  // namespace korvane::gui
