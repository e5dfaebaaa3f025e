// SPDX-License-Identifier: GPL-3.0-or-later
// The results list's rows: one per recording a scan found, each with a check box and with the
// recording's data kept behind its texts (start and end times, first and end positions, frames).
//
// A scan reports two groupings of its frames (recording.h): the time grouping, the list as it
// always was, and the camera grouping, one recording per channel's run. The model keeps both
// lists, each with its own check marks, and shows one of them: switching is instant and needs no
// second scan. The camera grouping's rows have a fifth column, their channel.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scan/scanner.h"

namespace korvane::gui {

class RecordingModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  // kChannel is a column of the camera grouping only.
  enum Column { kName, kStart, kEnd, kPosition, kChannel };

  struct Row {
    Recording recording;
    bool closed = false;  // the recording has ended: its end time is final and shown
    bool checked = false;
  };

  using QAbstractTableModel::QAbstractTableModel;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // The source the rows were scanned from, as the scan opened it; what a save reads them from.
  void SetSource(std::string source) { source_ = std::move(source); }
  const std::string& Source() const { return source_; }
  // The date window of the scan that found the rows; a save of camera recordings keeps to it.
  void SetWindow(DateWindow window) { window_ = window; }
  const DateWindow& Window() const { return window_; }

  // The recorder's clock offset (korvane --clock-offset): the start and end columns show the
  // corrected times. Kept by Clear(); unset: the recorder's own times.
  void SetClockOffset(std::optional<int64_t> offset);
  const std::optional<int64_t>& ClockOffset() const { return clock_offset_; }

  // Which grouping the list shows (the time grouping at first). Switching keeps both lists and
  // their check marks, and resets the view's rows and columns.
  void SetView(Grouping grouping);
  Grouping View() const { return view_; }

  // Adds rows at the end of a grouping's list, in one insertion.
  void Append(std::vector<Row> rows, Grouping grouping = Grouping::kTime);
  // The recording numbered r.index of r.grouping has ended: its row takes r's final data.
  void Close(const Recording& r);
  // Removes every row of both lists and forgets the source and the date window; the view stays.
  void Clear();
  // Sets or clears the check box of every row shown.
  void SetAllChecked(bool checked);

  // The times the list shows for a recording, in seconds since the epoch: what its start and end
  // columns say. Whatever shows times beside the list (the timeline) takes them from here.
  // With a clock offset these are the corrected times.
  int64_t ShownStart(const Recording& r) const {
    return CorrectedTime(r.start, clock_offset_.value_or(0));
  }
  int64_t ShownEnd(const Recording& r) const {
    return CorrectedTime(r.end, clock_offset_.value_or(0));
  }

  // The rows shown, and the rows of either grouping.
  const std::vector<Row>& Rows() const { return Rows(view_); }
  const std::vector<Row>& Rows(Grouping grouping) const {
    return grouping == Grouping::kCamera ? camera_rows_ : time_rows_;
  }

 private:
  std::vector<Row>& Shown() { return view_ == Grouping::kCamera ? camera_rows_ : time_rows_; }
  std::vector<Row>& List(Grouping grouping) {
    return grouping == Grouping::kCamera ? camera_rows_ : time_rows_;
  }

  std::vector<Row> time_rows_;
  std::vector<Row> camera_rows_;
  Grouping view_ = Grouping::kTime;
  std::string source_;
  DateWindow window_;
  std::optional<int64_t> clock_offset_;
};

}  // namespace korvane::gui
