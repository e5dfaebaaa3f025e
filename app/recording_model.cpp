// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/recording_model.h"

namespace korvane::gui {

int RecordingModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(Rows().size());
}

int RecordingModel::columnCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return view_ == Grouping::kCamera ? kChannel + 1 : kChannel;
}

QVariant RecordingModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Row& row = Rows()[static_cast<size_t>(index.row())];
  if (role == Qt::CheckStateRole && index.column() == kName) {
    return row.checked ? Qt::Checked : Qt::Unchecked;
  }
  if (role != Qt::DisplayRole) return {};
  const Recording& r = row.recording;
  switch (index.column()) {
    case kName:
      return QString::fromStdString(r.Name());
    case kStart:
      return QString::fromStdString(FormatUnixSeconds(ShownStart(r)));
    case kEnd:
      return row.closed ? QString::fromStdString(FormatUnixSeconds(ShownEnd(r))) : QString();
    case kPosition:
      return QString::number(r.position);
    case kChannel:
      return r.channel ? QString::number(*r.channel) : QString();
    default:
      return {};
  }
}

bool RecordingModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.column() != kName || role != Qt::CheckStateRole) return false;
  if (index.row() >= rowCount()) return false;
  Shown()[static_cast<size_t>(index.row())].checked = value.value<Qt::CheckState>() == Qt::Checked;
  emit dataChanged(index, index, {Qt::CheckStateRole});
  return true;
}

Qt::ItemFlags RecordingModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == kName) f |= Qt::ItemIsUserCheckable;
  return f;
}

QVariant RecordingModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case kName:
      return tr("文件名");
    case kStart:
      return tr("开始时间");
    case kEnd:
      return tr("结束时间");
    case kPosition:
      return tr("位置");
    case kChannel:
      return view_ == Grouping::kCamera ? QVariant(tr("通道")) : QVariant();
    default:
      return {};
  }
}

void RecordingModel::SetView(Grouping grouping) {
  if (grouping == view_) return;
  beginResetModel();
  view_ = grouping;
  endResetModel();
}

void RecordingModel::Append(std::vector<Row> rows, Grouping grouping) {
  if (rows.empty()) return;
  std::vector<Row>& list = List(grouping);
  const bool shown = grouping == view_;
  const int first = static_cast<int>(list.size());
  if (shown) beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
  list.insert(list.end(), std::make_move_iterator(rows.begin()),
              std::make_move_iterator(rows.end()));
  if (shown) endInsertRows();
}

void RecordingModel::Close(const Recording& r) {
  std::vector<Row>& list = List(r.grouping);
  if (r.index >= list.size()) return;
  Row& row = list[r.index];
  row.recording = r;
  row.closed = true;
  if (r.grouping != view_) return;
  const int i = static_cast<int>(r.index);
  emit dataChanged(index(i, kName), index(i, columnCount() - 1), {Qt::DisplayRole});
}

void RecordingModel::SetClockOffset(std::optional<int64_t> offset) {
  clock_offset_ = offset;
  if (rowCount() > 0) {
    emit dataChanged(index(0, kStart), index(rowCount() - 1, kEnd), {Qt::DisplayRole});
  }
}

void RecordingModel::Clear() {
  source_.clear();
  window_ = DateWindow{};
  if (time_rows_.empty() && camera_rows_.empty()) return;
  beginResetModel();
  time_rows_.clear();
  camera_rows_.clear();
  endResetModel();
}

void RecordingModel::SetAllChecked(bool checked) {
  std::vector<Row>& list = Shown();
  if (list.empty()) return;
  for (Row& row : list) row.checked = checked;
  emit dataChanged(index(0, kName), index(rowCount() - 1, kName), {Qt::CheckStateRole});
}

}  // namespace korvane::gui
