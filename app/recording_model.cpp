#include "app/recording_model.h"

namespace korvane::gui {

int RecordingModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int RecordingModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant RecordingModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Row& row = rows_[static_cast<size_t>(index.row())];
  if (role == Qt::CheckStateRole && index.column() == kName) {
    return row.checked ? Qt::Checked : Qt::Unchecked;
  }
  if (role != Qt::DisplayRole) return {};
  const Recording& r = row.recording;
  switch (index.column()) {
    case kName:
      return QString::fromStdString(r.Name());
    case kStart:
      return QString::fromStdString(r.StartText());
    case kEnd:
      return row.closed ? QString::fromStdString(r.EndText()) : QString();
    case kPosition:
      return QString::number(r.position);
    default:
      return {};
  }
}

bool RecordingModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.column() != kName || role != Qt::CheckStateRole) return false;
  rows_[static_cast<size_t>(index.row())].checked = value.value<Qt::CheckState>() == Qt::Checked;
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
    default:
      return {};
  }
}

void RecordingModel::Append(std::vector<Row> rows) {
  if (rows.empty()) return;
  const int first = rowCount();
  beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
  rows_.insert(rows_.end(), std::make_move_iterator(rows.begin()),
               std::make_move_iterator(rows.end()));
  endInsertRows();
}

void RecordingModel::Close(const Recording& r) {
  if (r.index >= rows_.size()) return;
  Row& row = rows_[r.index];
  row.recording = r;
  row.closed = true;
  const int i = static_cast<int>(r.index);
  emit dataChanged(index(i, kName), index(i, kPosition), {Qt::DisplayRole});
}

void RecordingModel::Clear() {
  source_.clear();
  if (rows_.empty()) return;
  beginResetModel();
  rows_.clear();
  endResetModel();
}

void RecordingModel::SetAllChecked(bool checked) {
  if (rows_.empty()) return;
  for (Row& row : rows_) row.checked = checked;
  emit dataChanged(index(0, kName), index(rowCount() - 1, kName), {Qt::CheckStateRole});
}

}  // namespace korvane::gui
