// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/timeline_window.h"

#include <QDir>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "scan/time_model.h"

namespace korvane::gui {

namespace {

constexpr int kMinLaneHeight = 16;
constexpr int kMaxLaneHeight = 44;
constexpr int kMinBarWidth = 2;  // a bar of a moment stays visible
constexpr int kHitSlop = 3;      // pixels either side of a bar that still hit it
constexpr int kDragDistance = 4;
constexpr double kWheelZoom = 0.8;  // per notch in

}  // namespace

// --- TimelineView ----------------------------------------------------------------------------

TimelineView::TimelineView(const RecordingModel& model, QWidget* parent)
    : QAbstractScrollArea(parent), model_(model) {
  setObjectName(QStringLiteral("timelineView"));
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setMouseTracking(true);
  viewport()->setAutoFillBackground(false);
  LayOut();
}

QString TimelineView::LaneName(const TimelineIndex::Lane& lane) {
  return lane.channel ? tr("通道 %1").arg(*lane.channel) : tr("未知通道");
}

void TimelineView::LayOut() {
  const QFontMetrics fm = fontMetrics();
  axis_height_ = fm.height() + 12;
  int widest = fm.horizontalAdvance(tr("未知通道"));
  for (const TimelineIndex::Lane& lane : index_.Lanes()) {
    widest = std::max(widest, fm.horizontalAdvance(LaneName(lane)));
  }
  label_width_ = widest + 16;
  scale_.SetWidth(std::max(1, viewport()->width() - label_width_));
}

void TimelineView::SetIndex(TimelineIndex index, bool fit) {
  index_ = std::move(index);
  LayOut();
  // While the user has not zoomed or panned since the last fit, the view keeps showing all.
  if (fit || fitted_) {
    FitAll();
  } else {
    Changed();
  }
}

void TimelineView::FitAll() {
  if (index_.Empty()) {
    scale_.Fit(0, 0, scale_.Width());
  } else {
    scale_.Fit(index_.First(), index_.Last(), scale_.Width());
  }
  fitted_ = true;
  Changed();
}

void TimelineView::ZoomAround(int x, double factor) {
  scale_.ZoomAround(x - label_width_, factor);
  fitted_ = false;
  Changed();
}

void TimelineView::SetSelectedRow(int row) {
  if (row == selected_row_) return;
  selected_row_ = row;
  viewport()->update();
}

int TimelineView::LaneHeight() const {
  const int lanes = std::max<int>(1, static_cast<int>(index_.Lanes().size()));
  return std::clamp((viewport()->height() - axis_height_ - 4) / lanes, kMinLaneHeight,
                    kMaxLaneHeight);
}

QRect TimelineView::LaneRect(int lane) const {
  const int h = LaneHeight();
  return {label_width_, axis_height_ + lane * h - lane_scroll_, viewport()->width() - label_width_,
          h};
}

int TimelineView::LaneAt(int y) const {
  if (y < axis_height_) return -1;
  const int lane = (y - axis_height_ + lane_scroll_) / LaneHeight();
  return lane < static_cast<int>(index_.Lanes().size()) ? lane : -1;
}

int TimelineView::RowAt(const QPoint& pos) const {
  const int lane = LaneAt(pos.y());
  if (lane < 0 || pos.x() < label_width_) return -1;
  const double t = scale_.T(pos.x() - label_width_);
  const TimelineIndex::Bar* bar = index_.Hit(lane, t, kHitSlop * scale_.SecondsPerPixel());
  return bar ? bar->row : -1;
}

std::vector<Tick> TimelineView::Ticks() const {
  const QFontMetrics fm = fontMetrics();
  return AxisTicks(scale_.Left(), scale_.Right(), scale_.SecondsPerPixel(),
                   [&fm](const QString& text) { return fm.horizontalAdvance(text); });
}

QString TimelineView::ToolTipText(int row) const {
  if (row < 0 || row >= static_cast<int>(model_.Rows().size())) return {};
  const RecordingModel::Row& shown = model_.Rows()[static_cast<size_t>(row)];
  const Recording& r = shown.recording;
  // An open recording has no end yet, as in the list.
  const QString end =
      shown.closed ? QString::fromStdString(FormatUnixSeconds(model_.ShownEnd(r))) : QString();
  return tr("%1\n开始时间: %2\n结束时间: %3\n帧数: %4")
      .arg(QString::fromStdString(r.Name()),
           QString::fromStdString(FormatUnixSeconds(model_.ShownStart(r))), end)
      .arg(r.frames);
}

double TimelineView::PanFirst() const {
  const double margin = std::max(60.0, static_cast<double>(index_.Last() - index_.First()) / 40);
  return static_cast<double>(index_.First()) - margin;
}

double TimelineView::PanLast() const {
  const double margin = std::max(60.0, static_cast<double>(index_.Last() - index_.First()) / 40);
  return static_cast<double>(index_.Last()) + margin;
}

double TimelineView::ScrollUnit() const {
  // A scroll bar counts in int: at a deep zoom over years a pixel's step would overflow it.
  return std::max(scale_.SecondsPerPixel(), (PanLast() - PanFirst()) / 1e9);
}

void TimelineView::SyncScrollBar() {
  QScrollBar* bar = horizontalScrollBar();
  syncing_ = true;
  const double shown = scale_.Right() - scale_.Left();
  const double all = PanLast() - PanFirst();
  if (index_.Empty() || shown >= all) {
    bar->setRange(0, 0);
  } else {
    const double unit = ScrollUnit();
    bar->setRange(0, static_cast<int>(std::ceil((all - shown) / unit)));
    bar->setPageStep(std::max(1, static_cast<int>(shown / unit)));
    bar->setSingleStep(std::max(1, static_cast<int>(20 * scale_.SecondsPerPixel() / unit)));
    bar->setValue(static_cast<int>(std::lround((scale_.Left() - PanFirst()) / unit)));
  }
  // Lanes that do not fit under the axis scroll up and down beneath it.
  QScrollBar* lanes = verticalScrollBar();
  const int room = std::max(0, viewport()->height() - axis_height_);
  const int tall = static_cast<int>(index_.Lanes().size()) * LaneHeight();
  lanes->setRange(0, std::max(0, tall - room));
  lanes->setPageStep(std::max(1, room));
  lanes->setSingleStep(LaneHeight());
  lane_scroll_ = lanes->value();
  syncing_ = false;
}

void TimelineView::scrollContentsBy(int dx, int dy) {
  if (syncing_) return;
  if (dy != 0) lane_scroll_ = verticalScrollBar()->value();
  if (dx != 0) {
    scale_.SetLeft(PanFirst() + horizontalScrollBar()->value() * ScrollUnit());
    fitted_ = false;
  }
  viewport()->update();
}

void TimelineView::PanTo(double left) {
  scale_.SetLeft(left);
  fitted_ = false;
  Changed();
}

void TimelineView::Changed() {
  SyncScrollBar();
  viewport()->update();
}

void TimelineView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  // A view showing all goes on showing all; otherwise the time at the left edge and the zoom
  // stay, unless it would show more than it may.
  scale_.SetWidth(std::max(1, viewport()->width() - label_width_));
  if (fitted_) {
    FitAll();
  } else {
    Changed();
  }
}

void TimelineView::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  const QPalette& pal = palette();
  const int w = viewport()->width();
  const int h = viewport()->height();
  p.fillRect(viewport()->rect(), pal.base());
  const QFontMetrics fm = fontMetrics();
  const int lanes = static_cast<int>(index_.Lanes().size());

  // Lane strips beneath the axis, alternately shaded, with their captions on the left.
  p.setClipRect(QRect(0, axis_height_, w, h - axis_height_));
  for (int i = 0; i < lanes; ++i) {
    const QRect strip = LaneRect(i);
    if (strip.bottom() < axis_height_) continue;
    if (strip.top() > h) break;
    if (i % 2 == 1) p.fillRect(QRect(0, strip.top(), w, strip.height()), pal.alternateBase());
    p.setPen(pal.color(QPalette::Text));
    p.drawText(QRect(6, strip.top(), label_width_ - 10, strip.height()),
               Qt::AlignLeft | Qt::AlignVCenter, LaneName(index_.Lanes()[static_cast<size_t>(i)]));
  }

  // Faint lines of the axis's ticks down through the lanes.
  p.setClipRect(QRect(label_width_, axis_height_, w - label_width_, h - axis_height_));
  const std::vector<Tick> ticks = Ticks();
  QColor grid = pal.color(QPalette::Mid);
  grid.setAlpha(90);
  p.setPen(grid);
  const int lanes_bottom = std::min(h, axis_height_ + lanes * LaneHeight() - lane_scroll_);
  for (const Tick& tick : ticks) {
    const int x = static_cast<int>(std::lround(XOf(static_cast<double>(tick.t))));
    p.drawLine(x, axis_height_, x, lanes_bottom);
  }

  // The bars of what is in view. At a wide zoom many fall on the same pixels: touching bars are
  // drawn as one rectangle, so that painting costs what is visible, not the rectangles' count.
  const QColor bar_color = pal.color(QPalette::Highlight);
  const double t0 = scale_.T(-kMinBarWidth);
  const double t1 = scale_.T(w - label_width_ + kMinBarWidth);
  for (int i = 0; i < lanes; ++i) {
    const QRect strip = LaneRect(i);
    if (strip.bottom() < axis_height_) continue;
    if (strip.top() > h) break;
    const int top = strip.top() + 3;
    const int height = std::max(2, strip.height() - 6);
    int run_left = 0, run_right = 0;
    bool run = false;
    auto flush = [&] {
      if (run) p.fillRect(QRect(run_left, top, run_right - run_left, height), bar_color);
    };
    index_.Visit(i, t0, t1, [&](const TimelineIndex::Bar& bar) {
      const double left = std::max(-10.0, XOf(static_cast<double>(bar.start)));
      const double right = std::min(w + 10.0, XOf(static_cast<double>(bar.end)));
      // Rounded, so that a gap of a pixel and a half between bars stays a pixel at least.
      const int x0 = static_cast<int>(std::lround(left));
      const int x1 = std::max(x0 + kMinBarWidth, static_cast<int>(std::lround(right)));
      if (run && x0 <= run_right) {
        run_right = std::max(run_right, x1);
      } else {
        flush();
        run = true;
        run_left = x0;
        run_right = x1;
      }
    });
    flush();
  }

  // The chosen row's bars, outlined.
  if (selected_row_ >= 0 && selected_row_ < static_cast<int>(model_.Rows().size())) {
    const Recording& r = model_.Rows()[static_cast<size_t>(selected_row_)].recording;
    const double start = static_cast<double>(model_.ShownStart(r));
    const double end = static_cast<double>(model_.ShownEnd(r));
    QPen pen(pal.color(QPalette::Text), 2);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < lanes; ++i) {
      bool here = false;
      index_.Visit(i, start, start,
                   [&](const TimelineIndex::Bar& bar) { here = here || bar.row == selected_row_; });
      if (!here) continue;
      const QRect strip = LaneRect(i);
      const int x0 = static_cast<int>(std::lround(XOf(start)));
      const int x1 = std::max(x0 + kMinBarWidth, static_cast<int>(std::lround(XOf(end))));
      p.drawRect(QRect(x0 - 1, strip.top() + 1, x1 - x0 + 2, strip.height() - 2));
    }
  }

  // The axis over it all: ticks and their labels.
  p.setClipRect(QRect(label_width_, 0, w - label_width_, axis_height_ + 1));
  for (const Tick& tick : ticks) {
    const int x = static_cast<int>(std::lround(XOf(static_cast<double>(tick.t))));
    p.setPen(pal.color(QPalette::Text));
    p.drawLine(x, axis_height_ - 6, x, axis_height_);
    p.drawText(x + 3, axis_height_ - 8 - fm.descent(), tick.label);
  }
  p.setPen(pal.color(QPalette::Mid));
  p.drawLine(label_width_, axis_height_, w, axis_height_);
}

bool TimelineView::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    const int row = RowAt(help->pos());
    if (row >= 0) {
      QToolTip::showText(help->globalPos(), ToolTipText(row), viewport());
    } else {
      QToolTip::hideText();
      event->ignore();
    }
    return true;
  }
  return QAbstractScrollArea::viewportEvent(event);
}

void TimelineView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  pressed_ = true;
  dragged_ = false;
  press_pos_ = event->position().toPoint();
  press_left_ = scale_.Left();
}

void TimelineView::mouseMoveEvent(QMouseEvent* event) {
  if (!pressed_) return QAbstractScrollArea::mouseMoveEvent(event);
  const int dx = event->position().toPoint().x() - press_pos_.x();
  if (!dragged_ && std::abs(dx) < kDragDistance) return;
  dragged_ = true;
  viewport()->setCursor(Qt::ClosedHandCursor);
  PanTo(press_left_ - dx * scale_.SecondsPerPixel());
}

void TimelineView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !pressed_) {
    return QAbstractScrollArea::mouseReleaseEvent(event);
  }
  pressed_ = false;
  viewport()->unsetCursor();
  if (dragged_) return;
  const int row = RowAt(event->position().toPoint());
  if (row < 0) return;
  SetSelectedRow(row);
  emit RowClicked(row);
}

void TimelineView::wheelEvent(QWheelEvent* event) {
  const QPoint delta = event->angleDelta();
  const bool pan = delta.x() != 0 || (event->modifiers() & Qt::ShiftModifier);
  const int amount = delta.x() != 0 ? delta.x() : delta.y();
  if (amount == 0) return;
  if (pan) {
    // A notch moves the view by a tenth of its width.
    PanTo(scale_.Left() - amount / 120.0 * scale_.Width() / 10 * scale_.SecondsPerPixel());
  } else {
    ZoomAround(static_cast<int>(event->position().x()), std::pow(kWheelZoom, amount / 120.0));
  }
  event->accept();
}

void TimelineView::keyPressEvent(QKeyEvent* event) {
  const double step = scale_.Width() / 8.0 * scale_.SecondsPerPixel();
  switch (event->key()) {
    case Qt::Key_Home:
    case Qt::Key_F:
      FitAll();
      return;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
      ZoomAround(label_width_ + scale_.Width() / 2, kWheelZoom);
      return;
    case Qt::Key_Minus:
      ZoomAround(label_width_ + scale_.Width() / 2, 1 / kWheelZoom);
      return;
    case Qt::Key_Left:
      PanTo(scale_.Left() - step);
      return;
    case Qt::Key_Right:
      PanTo(scale_.Left() + step);
      return;
    default:
      QAbstractScrollArea::keyPressEvent(event);
  }
}

// --- TimelineWindow --------------------------------------------------------------------------

TimelineWindow::TimelineWindow(const RecordingModel& model, QTableView* list, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(model), list_(list) {
  setObjectName(QStringLiteral("timelineWindow"));
  setAttribute(Qt::WA_DeleteOnClose, false);
  view_ = new TimelineView(model, this);
  fit_button_ = new QPushButton(tr("全部显示"), this);
  fit_button_->setObjectName(QStringLiteral("fitButton"));
  auto* hint = new QLabel(tr("滚轮缩放, 拖动平移, Home 键全部显示; 单击录像在列表中选中它"), this);
  hint->setObjectName(QStringLiteral("timelineHint"));
  auto* top = new QHBoxLayout;
  top->addWidget(fit_button_);
  top->addWidget(hint, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(view_, 1);
  resize(900, 420);

  connect(fit_button_, &QPushButton::clicked, view_, &TimelineView::FitAll);
  connect(view_, &TimelineView::RowClicked, this, &TimelineWindow::ShowRow);
  rebuild_timer_.setSingleShot(true);
  connect(&rebuild_timer_, &QTimer::timeout, this, &TimelineWindow::Rebuild);
  connect(&model_, &QAbstractItemModel::modelReset, this, [this] { ListChanged(true); });
  connect(&model_, &QAbstractItemModel::rowsInserted, this, [this] { ListChanged(false); });
  connect(&model_, &QAbstractItemModel::dataChanged, this,
          [this](const QModelIndex&, const QModelIndex&, const QList<int>& roles) {
            // A check mark changes no bar.
            if (roles.size() == 1 && roles.front() == Qt::CheckStateRole) return;
            ListChanged(false);
          });
  if (list_ && list_->selectionModel()) {
    connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, view_,
            [this](const QModelIndex& current) { view_->SetSelectedRow(current.row()); });
  }
  Rebuild();
}

void TimelineWindow::ListChanged(bool reset) {
  stale_ = true;
  if (reset) {
    refit_ = true;
    view_->SetSelectedRow(-1);
  }
  if (!isVisible()) return;  // built when shown
  // A reset shows at once; rows arriving during a scan are gathered for a moment, so that a list
  // of many rows is not indexed again at each of the window's takes of the scan's news.
  if (reset) {
    rebuild_timer_.start(0);
  } else if (!rebuild_timer_.isActive()) {
    rebuild_timer_.start(300);
  }
}

void TimelineWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (stale_) Rebuild();
}

void TimelineWindow::Rebuild() {
  rebuild_timer_.stop();
  const QString source = QString::fromStdString(model_.Source());
  setWindowTitle(source.isEmpty() ? tr("时间轴")
                                  : tr("时间轴 - %1").arg(QDir::toNativeSeparators(source)));
  TimelineIndex index;
  const bool camera = model_.View() == Grouping::kCamera;
  const std::vector<RecordingModel::Row>& rows = model_.Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    const Recording& r = rows[i].recording;
    const int64_t start = model_.ShownStart(r);
    const int64_t end = model_.ShownEnd(r);
    const int row = static_cast<int>(i);
    if (camera || r.channels.empty()) {
      index.Add(r.channel, start, end, row);  // a time row without channels: the unknown lane
    } else {
      for (const ChannelContent& c : r.channels) index.Add(c.channel, start, end, row);
    }
  }
  index.Finish();
  view_->SetIndex(std::move(index), refit_);
  stale_ = false;
  refit_ = false;
}

void TimelineWindow::ShowRow(int row) {
  if (!list_ || row < 0 || row >= list_->model()->rowCount()) return;
  const QModelIndex index = list_->model()->index(row, RecordingModel::kName);
  list_->selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  list_->scrollTo(index);
  QWidget* main = list_->window();
  main->raise();
  main->activateWindow();
}

}  // namespace korvane::gui
