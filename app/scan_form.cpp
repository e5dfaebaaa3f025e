// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/scan_form.h"

#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <climits>
#include <limits>

#include "datewindow/date_text.h"

namespace korvane::gui {

namespace {

// The form's warnings, translated in this context.
class ScanForm {
  Q_DECLARE_TR_FUNCTIONS(ScanForm)
};

}  // namespace

QString BadParametersText() {
  return ScanForm::tr("参数填写错误!");
}

QString BadDatesText() {
  return ScanForm::tr("结束日期需要大于开始日期!");
}

namespace {

// A byte count's text holds a number the job can carry: its leading digits (after blanks) come to
// at most 9223372036854775807. Larger ones would be cut down to that and scan nothing.
bool FitsByteCount(const QString& text) {
  const std::string s = text.toStdString();
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  uint64_t value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const auto digit = static_cast<uint64_t>(s[i] - '0');
    if (value > (static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - digit) / 10) {
      return false;
    }
    value = value * 10 + digit;
  }
  return true;
}

// The block size converts like atoi: as a 64-bit number, then held to the int range.
int32_t Atoi(const QString& text) {
  const int64_t value = Atoi64(text.toStdString());
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT_MIN, INT_MAX));
}

}  // namespace

std::string SourcePath(const QString& text) {
#ifdef _WIN32
  return text.toStdString();
#else
  return QFile::encodeName(text).toStdString();
#endif
}

QString PathText(const std::string& path) {
#ifdef _WIN32
  return QString::fromStdString(path);
#else
  return QFile::decodeName(QByteArray::fromStdString(path));
#endif
}

ScanJob ScanSettings::Job() const {
  ScanJob job;
  job.source = source;
  job.offset = static_cast<uint64_t>(std::max<int64_t>(0, offset));
  job.size = static_cast<uint64_t>(std::max<int64_t>(0, size));
  job.window = {window_start, window_end};
  return job;
}

std::variant<ScanSettings, QString> ReadScanForm(const ScanFormTexts& form) {
  ScanSettings s;
  s.offset = Atoi64(form.offset.toStdString());
  s.size = Atoi64(form.size.toStdString());
  s.block_size = Atoi(form.block_size);
  s.search_mode = form.block_search ? 1 : 0;
  s.source = SourcePath(form.disk_source ? form.drive : form.image_file);
  s.save_path = SourcePath(form.save_path);

  if (s.size == 0 || s.source.empty() || s.save_path.empty() ||
      (s.search_mode == 1 && s.block_size == 0) || !FitsByteCount(form.offset) ||
      !FitsByteCount(form.size)) {
    return BadParametersText();
  }
  if (form.filter) {
    const std::string start = form.start_date.toStdString();
    const std::string end = form.end_date.toStdString();
    DateWindow window;
    if (CompareDateText(start, end) <= 0 || ParseDateWindow(start, end, window) == 0) {
      return BadDatesText();
    }
    s.window_start = window.start;
    s.window_end = window.end;
  }
  return s;
}

}  // namespace korvane::gui
