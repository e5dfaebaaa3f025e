// The results list's rows: one per recording a scan found, each with a check box and with the
// recording's data kept behind its texts (start and end times, first and end positions, frames).
#pragma once

#include <QAbstractTableModel>
#include <string>
#include <vector>

#include "scan/scanner.h"

namespace korvane::gui {

class RecordingModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kName, kStart, kEnd, kPosition, kColumnCount };

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

  // Adds rows at the end, in one insertion.
  void Append(std::vector<Row> rows);
  // The recording numbered r.index has ended: its row takes r's final data.
  void Close(const Recording& r);
  // Removes every row and forgets the source.
  void Clear();
  // Sets or clears every row's check box.
  void SetAllChecked(bool checked);

  const std::vector<Row>& Rows() const { return rows_; }

 private:
  std::vector<Row> rows_;
  std::string source_;
};

}  // namespace korvane::gui
