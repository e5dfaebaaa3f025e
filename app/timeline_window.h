// SPDX-License-Identifier: GPL-3.0-or-later
// The timeline window ("时间轴"): the list's recordings as bars on one time axis, one lane per
// channel, so that which cameras recorded when, and the gaps between, show at a glance.
//
// Lanes: in the camera grouping each row is one channel's run and lies in its channel's lane. In
// the time grouping a row holds the frames of every channel it lists (its channel contents) and
// lies, with the same start and end, in the lane of each of them; rows without known channels
// share a last lane "未知通道". The bars' times are those the list shows (RecordingModel's
// ShownStart and ShownEnd).
//
// The window follows the list: new rows, closed rows, a new scan and a switch of grouping redraw
// it, and its title names the scan's source. It does no work while hidden.
#pragma once

#include <QAbstractScrollArea>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "app/recording_model.h"
#include "app/timeline_layout.h"

class QLabel;
class QPushButton;
class QTableView;

namespace korvane::gui {

// The painted lanes and axis. Wheel: zoom around the cursor (with Shift, or sideways: pan); drag
// or the scroll bar: pan; lanes that do not fit beneath the axis scroll with the vertical bar; Home
// or F: fit all; + and -: zoom; left and right arrows: pan. A click on a bar chooses its row;
// hovering shows the row's name, times and frames.
class TimelineView final : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit TimelineView(const RecordingModel& model, QWidget* parent = nullptr);

  // Takes new bars; `fit` shows all of them, as does a view the user has not zoomed or panned
  // since it last showed all; otherwise the zoom and place stay.
  void SetIndex(TimelineIndex index, bool fit);
  const TimelineIndex& Index() const { return index_; }
  const TimeScale& Scale() const { return scale_; }

  // Shows every bar (the whole span of the recordings).
  void FitAll();
  // Zooms by `factor` (< 1 in) around the viewport's x.
  void ZoomAround(int x, double factor);
  // Outlines the bars of `row` (-1: none).
  void SetSelectedRow(int row);
  int SelectedRow() const { return selected_row_; }

  // Where things are, in the viewport's coordinates.
  double XOf(double t) const { return label_width_ + scale_.X(t); }
  QRect LaneRect(int lane) const;  // the lane's strip, beside its label
  int AxisHeight() const { return axis_height_; }
  int LabelWidth() const { return label_width_; }
  // The row of the bar at `pos`, or -1.
  int RowAt(const QPoint& pos) const;
  // The axis's ticks as shown now.
  std::vector<Tick> Ticks() const;
  // A lane's caption: "通道 3", or "未知通道".
  static QString LaneName(const TimelineIndex::Lane& lane);
  // The text shown when hovering over a bar of `row`.
  QString ToolTipText(int row) const;

 signals:
  // A bar of `row` was clicked.
  void RowClicked(int row);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool viewportEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  void LayOut();
  void SyncScrollBar();
  void Changed();  // the scale moved: the scroll bar and the picture follow
  void PanTo(double left);
  int LaneAt(int y) const;
  int LaneHeight() const;
  // The span the scroll bar covers, and the seconds one of its steps stands for.
  double PanFirst() const;
  double PanLast() const;
  double ScrollUnit() const;

  const RecordingModel& model_;
  TimelineIndex index_;
  TimeScale scale_;
  int label_width_ = 0;
  int axis_height_ = 0;
  int selected_row_ = -1;
  int lane_scroll_ = 0;   // pixels of lanes scrolled up under the axis
  bool fitted_ = true;    // showing all, as last fitted: new bars are fitted in too
  bool syncing_ = false;  // the scroll bar is being set from the scale
  // A press of the left button: where, and the scale's left then; moved: it became a drag.
  QPoint press_pos_;
  double press_left_ = 0;
  bool pressed_ = false, dragged_ = false;
};

// The window: a fit-all button over the view. It belongs to the main window, and shows the rows
// of `model`, choosing them in `list`.
class TimelineWindow final : public QWidget {
  Q_OBJECT

 public:
  TimelineWindow(const RecordingModel& model, QTableView* list, QWidget* parent = nullptr);

  TimelineView* View() const { return view_; }
  // Builds the bars from the list's rows now (it happens by itself after changes).
  void Rebuild();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // The list changed; `reset`: it holds other rows now (a new scan or grouping).
  void ListChanged(bool reset);
  // Selects `row` in the list, scrolls to it, and brings the main window forward.
  void ShowRow(int row);

  const RecordingModel& model_;
  QPointer<QTableView> list_;
  TimelineView* view_;
  QPushButton* fit_button_;
  QTimer rebuild_timer_;
  bool stale_ = true;  // the bars are not those of the list
  bool refit_ = true;  // the next build shows all bars
};

}  // namespace korvane::gui
