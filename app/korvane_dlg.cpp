// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/korvane_dlg.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDate>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSpacerItem>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <variant>

#include "about/about_entry.h"
#include "about/dialog_units.h"
#include "app/build_features.h"
#include "app/details_box.h"
#include "app/drive_list.h"
#include "app/end_text.h"
#include "app/korvane_app.h"
#include "app/language.h"
#include "app/progress_text.h"
#include "app/report_job.h"
#include "app/scan_form.h"
#include "app/timeline_window.h"
#include "app/video_export.h"
#include "evidence/sources.h"
#include "scan/raw_device.h"
#include "ui_korvane_dlg.h"

using korvane::gui::RecordingModel;
using korvane::gui::ScanEvent;

std::atomic<int> g_bScanning{0};

namespace {

// The bar counts in steps of a ten-thousandth of the range, whatever its size.
constexpr int kBarSteps = 10000;

// The window's own texts, shown in the window's language (CKorvaneDlg::tr) where they are used.
const char kWarningCaption[] = QT_TRANSLATE_NOOP("CKorvaneDlg", "警告");
const char kBusyText[] = QT_TRANSLATE_NOOP("CKorvaneDlg", "请等待当前线程执行完毕!");
const char kNothingCheckedText[] = QT_TRANSLATE_NOOP("CKorvaneDlg", "请先勾选要保存的录像!");
const char kNoFolderText[] = QT_TRANSLATE_NOOP("CKorvaneDlg", "请先选择保存路径!");
const char kBadFolderText[] = QT_TRANSLATE_NOOP("CKorvaneDlg", "无法保存到此路径:\n%1");
const char kCannotStartText[] = QT_TRANSLATE_NOOP("CKorvaneDlg", "无法启动保存!");
const char kReportDoneText[] = QT_TRANSLATE_NOOP("CKorvaneDlg", "报告已生成:\n%1\n%2");
const char kReportFailedText[] = QT_TRANSLATE_NOOP("CKorvaneDlg", "无法生成报告:\n%1");

// A message box sizes itself to its text and buttons only; the system then shortens a caption
// longer than the title bar leaves room for. Makes the box wide enough for its whole caption
// beside the title bar's icon and buttons (the title font may be larger than the box's own).
void FitCaption(QMessageBox& box) {
  const QFontMetrics metrics(QApplication::font("QMdiSubWindowTitleBar"));
  const int width = metrics.horizontalAdvance(box.windowTitle()) * 5 / 4 + 8 * metrics.height();
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
}

// An end box's text, and below it what the user must also know (when there is anything).
QString WithNote(const QString& text, const QString& note) {
  return note.isEmpty() ? text : text + QStringLiteral("\n\n") + note;
}

// The image chooser. A typed name without a suffix gets the chosen filter's, unless a file of
// that very name exists: then it is taken as typed.
class ImageFileDialog : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

  void accept() override {
    if (auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
      const QFileInfo typed(directory(), edit->text());
      if (!edit->text().isEmpty() && typed.isFile()) setDefaultSuffix(QString());
    }
    QFileDialog::accept();
  }
};

}  // namespace

CKorvaneDlg::CKorvaneDlg(QWidget* parent)
    : QDialog(parent),
      m_progress(nullptr),
      m_comboDevice(nullptr),
      m_list(nullptr),
      m_dtStart(nullptr),
      m_dtEnd(nullptr),
      ui_(std::make_unique<Ui::CKorvaneDlg>()),
      feed_([this](bool ended) { emit NewsWaiting(ended, QPrivateSignal()); }) {
  // The worker's news reaches this thread through a queued connection made once, here: its call
  // object lives as long as the window, instead of one per post made and freed on the worker.
  // A job's end is shown at once; news on the way is taken at a steady pace.
  connect(
      this, &CKorvaneDlg::NewsWaiting, this,
      [this](bool ended) { ended ? DrainScanFeed() : ScheduleDrain(); }, Qt::QueuedConnection);
  CKorvaneApp::InitResources();
  // E01 and split raw images read like any image, in scans and saves alike.
  korvane::evidence::RegisterEvidenceSources();
  ui_->setupUi(this);
  m_progress = ui_->progressBar;
  m_comboDevice = ui_->deviceCombo;
  m_list = ui_->resultsList;
  m_dtStart = ui_->startDateEdit;
  m_dtEnd = ui_->endDateEdit;
  drain_timer_.setSingleShot(true);
  connect(&drain_timer_, &QTimer::timeout, this, &CKorvaneDlg::DrainScanFeed);

  save_action_ = new QAction(tr("保存"), this);
  save_action_->setObjectName(QStringLiteral("saveAction"));
  select_all_action_ = new QAction(tr("选择全部"), this);
  select_all_action_->setObjectName(QStringLiteral("selectAllAction"));
  deselect_all_action_ = new QAction(tr("取消选择"), this);
  deselect_all_action_->setObjectName(QStringLiteral("deselectAllAction"));
  connect(save_action_, &QAction::triggered, this, &CKorvaneDlg::OnSave);
  export_video_action_ = new QAction(tr("导出视频"), this);
  export_video_action_->setObjectName(QStringLiteral("exportVideoAction"));
  connect(export_video_action_, &QAction::triggered, this, &CKorvaneDlg::OnExportVideo);
  korvane::gui::OfferIfBuilt(export_video_action_, korvane::gui::Feature::kVideo);
  report_action_ = new QAction(tr("生成报告"), this);
  report_action_->setObjectName(QStringLiteral("reportAction"));
  connect(report_action_, &QAction::triggered, this, &CKorvaneDlg::OnMakeReport);
  korvane::gui::OfferIfBuilt(report_action_, korvane::gui::Feature::kReport);
  connect(select_all_action_, &QAction::triggered, this, &CKorvaneDlg::OnSelectAll);
  connect(deselect_all_action_, &QAction::triggered, this, &CKorvaneDlg::OnDeselectAll);
  camera_view_action_ = new QAction(tr("按通道显示"), this);
  camera_view_action_->setObjectName(QStringLiteral("cameraViewAction"));
  camera_view_action_->setCheckable(true);
  details_action_ = new QAction(tr("详细信息"), this);
  details_action_->setObjectName(QStringLiteral("detailsAction"));
  timeline_action_ = new QAction(tr("时间轴"), this);
  timeline_action_->setObjectName(QStringLiteral("timelineAction"));
  connect(timeline_action_, &QAction::triggered, this, &CKorvaneDlg::ShowTimeline);
  connect(camera_view_action_, &QAction::toggled, this, &CKorvaneDlg::OnCameraView);
  connect(details_action_, &QAction::triggered, this,
          [this] { ShowDetails(menu_row_ >= 0 ? menu_row_ : m_list->currentIndex().row()); });

  connect(ui_->byteModeRadio, &QRadioButton::clicked, this, &CKorvaneDlg::OnByteMode);
  connect(ui_->blockModeRadio, &QRadioButton::clicked, this, &CKorvaneDlg::OnBlockMode);
  connect(ui_->imageSourceRadio, &QRadioButton::clicked, this, &CKorvaneDlg::OnImageSource);
  connect(ui_->diskSourceRadio, &QRadioButton::clicked, this, &CKorvaneDlg::OnDiskSource);
  connect(ui_->browseImageButton, &QPushButton::clicked, this, &CKorvaneDlg::OnBrowseImage);
  connect(ui_->browseFolderButton, &QPushButton::clicked, this, &CKorvaneDlg::OnBrowseFolder);
  connect(ui_->startButton, &QPushButton::clicked, this, &CKorvaneDlg::OnStartScan);
  connect(ui_->stopButton, &QPushButton::clicked, this, &CKorvaneDlg::OnStopScan);
  connect(m_list, &QTableView::customContextMenuRequested, this, &CKorvaneDlg::OnListRightClick);
  connect(m_list, &QTableView::doubleClicked, this,
          [this](const QModelIndex& index) { ShowDetails(index.row()); });
  connect(ui_->filterCheck, &QCheckBox::clicked, this, &CKorvaneDlg::OnFilterToggle);
  connect(m_comboDevice, &QComboBox::activated, this,
          [this] { FillScanSize(m_comboDevice->currentText()); });
  connect(ui_->scanSizeEdit, &QLineEdit::textEdited, this, [this] { size_typed_ = true; });

  OnInitDialog();
}

CKorvaneDlg::~CKorvaneDlg() {
  // The worker reports to feed_ and posts to this object: it must be gone before they are. It
  // never waits for this thread, so waiting here without serving events cannot hang.
  closing_ = true;
  m_worker.RequestStop();
  m_worker.Join();
}

bool CKorvaneDlg::OnInitDialog() {
  // The window: a fixed size from the template in the dialog font, minimise but no maximise,
  // its own taskbar entry.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setLocale(korvane::gui::WindowLocale());
  QFont dialog_font = font();
  dialog_font.setPointSize(property("dlgFontPointSize").toInt());
  setFont(dialog_font);
  korvane::ApplyDialogUnitGeometry(this);
  // The combo box's rectangle gives the height of its dropped list; the box itself keeps the
  // height its style asks for.
  const int dropped = m_comboDevice->height();
  const int closed = m_comboDevice->sizeHint().height();
  m_comboDevice->setMaxVisibleItems(std::max(1, (dropped - closed) / (fontMetrics().height() + 4)));
  m_comboDevice->resize(m_comboDevice->width(), closed);
  for (QGroupBox* group : findChildren<QGroupBox*>()) {
    // A group box only frames the controls over it: it lies beneath them and takes no clicks.
    group->lower();
    group->setAttribute(Qt::WA_TransparentForMouseEvents);
  }
  for (QLineEdit* edit : findChildren<QLineEdit*>()) {
    if (edit->property("digitsOnly").toBool()) {
      edit->setValidator(
          new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
    }
  }

  korvane::InstallAboutEntry(this, ui_->banner);
  setWindowIcon(CKorvaneApp::Icon());

  ui_->blockSizeEdit->setText(QStringLiteral("512"));
  ui_->scanOffsetEdit->setText(QStringLiteral("0"));
  ui_->byteModeRadio->setChecked(true);
  ui_->imageSourceRadio->setChecked(true);
  m_comboDevice->setEnabled(false);
  ui_->imageFileEdit->setEnabled(true);
  ui_->browseImageButton->setEnabled(true);
  ui_->blockSizeEdit->setEnabled(false);

  for (const std::string& drive : korvane::gui::PhysicalDriveList()) {
    m_comboDevice->addItem(QString::fromStdString(drive));
  }
  m_comboDevice->setCurrentIndex(m_comboDevice->count() > 0 ? 0 : -1);

  // The results list: four columns, a third of the client width each, the position hidden.
  m_list->setModel(&model_);
  m_list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  m_list->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  QHeaderView* header = m_list->horizontalHeader();
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header->setMinimumSectionSize(0);
  m_list->ensurePolished();
  LayOutColumns();

  ui_->filterCheck->setChecked(false);
  m_dtStart->setEnabled(false);
  m_dtEnd->setEnabled(false);
  m_dtStart->setDate(QDate::currentDate());
  m_dtEnd->setDate(QDate::currentDate());

  m_progress->setRange(0, kBarSteps);
  m_progress->setValue(0);
  m_progress->setFormat(QStringLiteral("%p%"));

  ui_->scanOffsetEdit->setFocus();
  return true;
}

// --- The scan form ---------------------------------------------------------------------------

void CKorvaneDlg::OnByteMode() {
  ui_->blockSizeEdit->setEnabled(false);
}

void CKorvaneDlg::OnBlockMode() {
  ui_->blockSizeEdit->setEnabled(true);
}

void CKorvaneDlg::OnImageSource() {
  m_comboDevice->setEnabled(false);
  ui_->imageFileEdit->setEnabled(true);
  ui_->browseImageButton->setEnabled(true);
  FillScanSize(ui_->imageFileEdit->text());
}

void CKorvaneDlg::OnDiskSource() {
  m_comboDevice->setEnabled(true);
  ui_->imageFileEdit->setEnabled(false);
  ui_->browseImageButton->setEnabled(false);
  FillScanSize(m_comboDevice->currentText());
}

void CKorvaneDlg::OnBrowseImage() {
  ImageFileDialog dialog(this);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  const QStringList filters = {QStringLiteral("Image Files (*.vmdk *.img *.dsk)"),
                               QStringLiteral("Vmdk Files (*.vmdk)"),
                               QStringLiteral("IMG Files (*.img)"),
                               QStringLiteral("DSK Files (*.dsk)"),
                               QStringLiteral("E01 Files (*.E01 *.e01)"),
                               QStringLiteral("Split Raw Files (*.001)"),
                               QStringLiteral("All Files (*)")};
  const QStringList suffixes = {QStringLiteral("vmdk"),
                                QStringLiteral("vmdk"),
                                QStringLiteral("img"),
                                QStringLiteral("dsk"),
                                QStringLiteral("E01"),
                                QStringLiteral("001"),
                                QString()};
  dialog.setNameFilters(filters);
  dialog.setDefaultSuffix(suffixes[0]);
  // A typed name that names no file gets the chosen filter's suffix; under "All Files" it stays
  // as typed.
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& filter) {
    dialog.setDefaultSuffix(suffixes.value(static_cast<int>(filters.indexOf(filter))));
  });
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  SetImageFile(dialog.selectedFiles().constFirst());
}

void CKorvaneDlg::SetImageFile(const QString& path) {
  ui_->imageFileEdit->setText(QDir::toNativeSeparators(path));
  FillScanSize(ui_->imageFileEdit->text());
}

void CKorvaneDlg::FillScanSize(const QString& source) {
  // The box follows the chosen source, unless the user has put a size of their own in it since
  // it was last filled.
  const QString shown = ui_->scanSizeEdit->text();
  if (source.isEmpty() || (!shown.isEmpty() && (size_typed_ || shown != filled_size_))) return;
  QString size;  // a source that cannot be opened has no size to show
  if (auto device = korvane::OpenSource(korvane::gui::SourcePath(source)); device.ok()) {
    size = QString::number((*device)->Size());
  }
  ui_->scanSizeEdit->setText(size);
  filled_size_ = size;
  size_typed_ = false;
}

void CKorvaneDlg::OnBrowseFolder() {
  QFileDialog dialog(this, QStringLiteral("please select path"));
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  QString path;
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
    path = QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
  }
  // One trailing separator goes ("C:\" becomes "C:"), but a root that is nothing else stays.
  if (path.size() > 1 && (path.endsWith(QLatin1Char('\\')) || path.endsWith(QLatin1Char('/')))) {
    path.chop(1);
  }
  ui_->savePathEdit->setText(path);
}

void CKorvaneDlg::ShowWarning(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, tr(kWarningCaption), text, QMessageBox::Ok, this);
  FitCaption(box);
  box.exec();
}

void CKorvaneDlg::OnStartScan() {
  if (closing_) return;
  if (g_bScanning.load() != 0) {
    ShowWarning(tr(kBusyText));
    return;
  }
  m_bStop.store(0);

  korvane::gui::ScanFormTexts form;
  form.offset = ui_->scanOffsetEdit->text();
  form.size = ui_->scanSizeEdit->text();
  form.block_size = ui_->blockSizeEdit->text();
  form.block_search = !ui_->byteModeRadio->isChecked();
  form.disk_source = !ui_->imageSourceRadio->isChecked();
  form.image_file = ui_->imageFileEdit->text();
  form.drive = m_comboDevice->currentText();
  form.save_path = ui_->savePathEdit->text();
  form.filter = ui_->filterCheck->isChecked();
  if (form.filter) {
    form.start_date = m_dtStart->text();
    form.end_date = m_dtEnd->text();
  }
  auto read = korvane::gui::ReadScanForm(form);
  // A refused start leaves the list as it is: it may hold the results of hours of scanning.
  if (const QString* refusal = std::get_if<QString>(&read)) {
    ShowWarning(*refusal);
    return;
  }
  const korvane::gui::ScanSettings& settings = std::get<korvane::gui::ScanSettings>(read);
  m_strSource = settings.source;
  m_strSavePath = settings.save_path;
  m_nScanOffset = settings.offset;
  m_nScanSize = settings.size;
  m_nBlockSize = settings.block_size;
  m_nSearchMode = settings.search_mode;
  m_nWindowStart = settings.window_start;
  m_nWindowEnd = settings.window_end;

  // From here on the list belongs to the new scan: news of the last job still on its way carries
  // the old number and is not shown in it.
  ++job_number_;
  model_.Clear();
  m_progress->setValue(0);
  m_progress->setFormat(QStringLiteral("%p%"));
  model_.SetSource(m_strSource);
  korvane::ScanJob job = settings.Job();
  job.window.clock_offset = clock_offset_.value_or(0);  // the filter's days are corrected days
  model_.SetWindow(job.window);
  // The sink lives as long as the job: `finished` holds it until the worker thread ends.
  auto sink = std::make_shared<korvane::gui::FeedSink>(feed_, job_number_);
  logs_.ScanStarted(korvane::gui::RequestOf(settings, form), settings.save_path, model_.View());
  // A thread that cannot be created leaves the flag down and the list empty: nothing runs.
  if (!m_worker
           .StartScan(job, *sink,
                      [sink](const korvane::ScanResult& result) { sink->Finish(result); })
           .ok()) {
    logs_.Abandon();
  }
}

void CKorvaneDlg::OnStopScan() {
  m_bStop.store(1);
}

// --- The worker's reports --------------------------------------------------------------------

void CKorvaneDlg::ScheduleDrain() {
  // The worker asks as soon as it has news; the window takes it at most every kDrainInterval.
  // Each take redraws the bar and the list (text layout, on a thread pool of its own), and a
  // scan that finds recordings fast would otherwise have the window redrawing all the time, on
  // the processors the scan's workers need.
  if (drain_timer_.isActive()) return;
  const qint64 since = last_drain_.isValid() ? last_drain_.elapsed() : kDrainInterval;
  if (since >= kDrainInterval) {
    DrainScanFeed();
  } else {
    drain_timer_.start(static_cast<int>(kDrainInterval - since));
  }
}

void CKorvaneDlg::DrainScanFeed() {
  drain_timer_.stop();
  last_drain_.start();
  OnScanEvents(feed_.Take());
}

void CKorvaneDlg::OnScanEvents(std::vector<ScanEvent> events) {
  using namespace korvane::gui;
  // Rows that opened in this batch are added in one insertion per grouping.
  constexpr korvane::Grouping kGroupings[] = {korvane::Grouping::kTime, korvane::Grouping::kCamera};
  std::vector<RecordingModel::Row> opened[2];
  auto batch = [&](korvane::Grouping g) -> std::vector<RecordingModel::Row>& {
    return opened[g == korvane::Grouping::kCamera ? 1 : 0];
  };
  auto flush = [&] {
    for (korvane::Grouping g : kGroupings) {
      model_.Append(std::move(batch(g)), g);
      batch(g).clear();
    }
  };
  for (ScanEvent& event : events) {
    const bool current = event.job == job_number_ && !closing_;
    if (event.Ends()) flush();
    std::visit(
        [&](auto& news) {
          using News = std::decay_t<decltype(news)>;
          if constexpr (std::is_same_v<News, ScanStarted>) {
            if (current) ShowProgress(0, news.total, 0, false);
          } else if constexpr (std::is_same_v<News, SaveStarted>) {
            if (current) ShowProgress(0, news.total, 0, false);
          } else if constexpr (std::is_same_v<News, JobProgress>) {
            if (current) ShowProgress(news.done, news.total, event.elapsed, false);
          } else if constexpr (std::is_same_v<News, RecordingOpened>) {
            if (current) batch(news.recording.grouping).push_back({news.recording, false, false});
          } else if constexpr (std::is_same_v<News, RecordingClosed>) {
            if (!current) return;
            std::vector<RecordingModel::Row>& waiting = batch(news.recording.grouping);
            const uint64_t listed = model_.Rows(news.recording.grouping).size();
            const uint64_t index = news.recording.index;
            if (index >= listed && index - listed < waiting.size()) {
              RecordingModel::Row& row = waiting[index - listed];
              row.recording = news.recording;
              row.closed = true;
            } else {
              model_.Close(news.recording);
            }
          } else if constexpr (std::is_same_v<News, ScanFinished>) {
            std::vector<korvane::Recording> found;
            for (const RecordingModel::Row& row : model_.Rows()) found.push_back(row.recording);
            const QString unlogged = logs_.ScanEnded(news.result, found);
            if (closing_) return;  // the window is closing: nobody is left to read a box
            if (current && news.result.Ran()) {
              ShowProgress(news.result.scanned_bytes, news.result.range_bytes, event.elapsed, true);
            }
            const EndMessage end = ScanEndMessage(news.result);
            ShowEndBox(end.icon, WithNote(end.text, unlogged));
            emit ScanEnded();
          } else if constexpr (std::is_same_v<News, SaveFinished>) {
            const QString unlogged = logs_.SaveEnded(news.result);
            if (closing_) return;
            if (current && news.result.Ran()) {
              ShowProgress(shown_done_, shown_total_, event.elapsed, true);
            }
            const EndMessage end = SaveEndMessage(news.result, save_files_);
            ShowEndBox(end.icon, WithNote(end.text, unlogged));
            emit SaveEnded();
          } else if constexpr (std::is_same_v<News, ExportFinished>) {
            const QString unlogged = logs_.ExportEnded(news);
            if (closing_) return;
            if (current && news.Ran()) ShowProgress(shown_done_, shown_total_, event.elapsed, true);
            const EndMessage end = ExportEndMessage(news);
            ShowEndBox(end.icon, WithNote(end.text, unlogged));
            emit ExportEnded();
          }
        },
        event.news);
  }
  flush();
}

void CKorvaneDlg::ShowProgress(uint64_t done, uint64_t total, double elapsed, bool ended) {
  shown_done_ = done;
  shown_total_ = total;
  const double part = total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
  m_progress->setValue(static_cast<int>(std::clamp(part, 0.0, 1.0) * kBarSteps));
  m_progress->setFormat(korvane::gui::ProgressFormat(done, total, elapsed, ended));
}

void CKorvaneDlg::ShowEndBox(QMessageBox::Icon icon, const QString& text) {
  // Left open without waiting and without blocking the window: the user may read it while
  // starting the next job, and the window goes on serving the worker's reports meanwhile.
  auto* box =
      new QMessageBox(icon, QCoreApplication::applicationName(), text, QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  FitCaption(*box);
  box->show();
}

void CKorvaneDlg::done(int result) {
  if (closing_) return;  // already waiting for the worker
  if (m_worker.Running()) {
    // Stop the scan and wait for it, serving events meanwhile: the window repaints, and the
    // worker's last reports arrive. The form takes no input while it waits.
    closing_ = true;
    setEnabled(false);
    m_progress->setFormat(tr("正在停止..."));
    m_worker.RequestStop();
    while (m_worker.Running()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    m_worker.Join();
    OnScanEvents(feed_.Take());  // no boxes now, but the job's case log is written
    closing_ = false;
    setEnabled(true);
  }
  QDialog::done(result);
}

// --- The results list ------------------------------------------------------------------------

void CKorvaneDlg::OnListRightClick(const QPoint& pos) {
  const QModelIndex index = m_list->indexAt(pos);
  const bool camera_view = model_.View() == korvane::Grouping::kCamera;
  if (!index.isValid() && !camera_view) return;  // the click hit no row
  QMenu menu(this);
  if (index.isValid()) {
    menu.addAction(save_action_);
    menu.addAction(export_video_action_);
    menu.addAction(report_action_);
    menu.addAction(select_all_action_);
    menu.addAction(deselect_all_action_);
    menu.addSeparator();
    menu.addAction(details_action_);
    menu.addAction(camera_view_action_);
    menu.addAction(timeline_action_);
  } else {
    // The camera grouping may have fewer rows than the time one, or none: the way back must not
    // need a row.
    menu.addAction(camera_view_action_);
  }
  korvane::gui::OfferIfBuilt(export_video_action_, korvane::gui::Feature::kVideo);
  korvane::gui::OfferIfBuilt(report_action_, korvane::gui::Feature::kReport);
  menu_row_ = index.isValid() ? index.row() : -1;
  menu.exec(m_list->viewport()->mapToGlobal(pos));
  menu_row_ = -1;
}

void CKorvaneDlg::OnCameraView(bool checked) {
  const korvane::Grouping view = checked ? korvane::Grouping::kCamera : korvane::Grouping::kTime;
  if (view == model_.View()) return;
  model_.SetView(view);
  LayOutColumns();
}

void CKorvaneDlg::LayOutColumns() {
  // Name, start and end share the list's width; the position is kept in a hidden column. The
  // camera grouping's channel comes right after the name, as wide as its caption.
  QHeaderView* header = m_list->horizontalHeader();
  int width = m_list->contentsRect().width();
  if (model_.View() == korvane::Grouping::kCamera) {
    const int channel = header->sectionSizeHint(RecordingModel::kChannel);
    header->resizeSection(RecordingModel::kChannel, channel);
    header->moveSection(header->visualIndex(RecordingModel::kChannel), 1);
    width -= channel;
  }
  const int third = width / 3;
  for (int column = RecordingModel::kName; column <= RecordingModel::kEnd; ++column) {
    header->resizeSection(column, third);
  }
  header->resizeSection(RecordingModel::kPosition, 0);
}

void CKorvaneDlg::ShowTimeline() {
  if (timeline_ == nullptr) timeline_ = new korvane::gui::TimelineWindow(model_, m_list, this);
  timeline_->show();
  timeline_->raise();
  timeline_->activateWindow();
}

void CKorvaneDlg::SetClockOffset(int64_t offset) {
  clock_offset_ = offset;
  model_.SetClockOffset(offset);
  logs_.SetClockOffset(offset);
  setWindowTitle(tr("Korvane - 时钟偏差 %1, 时间已校正")
                     .arg(QString::fromStdString(korvane::FormatClockOffset(offset))));
}

void CKorvaneDlg::ShowDetails(int row) {
  if (row < 0 || row >= model_.rowCount()) return;
  const RecordingModel::Row& shown = model_.Rows()[static_cast<size_t>(row)];
  // Not modal: several may stay open side by side, and the window goes on meanwhile. It holds a
  // copy of the recording, so a new scan does not change what it says.
  auto* box = new korvane::gui::DetailsBox(shown.recording, shown.closed, this, model_.Source(),
                                           clock_offset_);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box->show();
}

std::optional<std::string> CKorvaneDlg::UsableSaveFolder() {
  const std::string folder = korvane::gui::SourcePath(ui_->savePathEdit->text());
  if (folder.empty()) {
    ShowWarning(tr(kNoFolderText));
    return std::nullopt;
  }
  const korvane::Status usable = korvane::CheckSaveFolder(folder, model_.Source());
  if (!usable.ok()) {
    ShowWarning(tr(kBadFolderText).arg(korvane::gui::PathText(usable.message())));
    return std::nullopt;
  }
  m_strSavePath = folder;
  return folder;
}

bool CKorvaneDlg::ReadyForJob() {
  if (closing_) return false;
  if (g_bScanning.load() != 0) {
    ShowWarning(tr(kBusyText));
    return false;
  }
  // A scan that has just ended may still have its last rows on their way: the worker hands
  // them over before it lowers the busy flag, so taking the feed now gets them all.
  DrainScanFeed();
  return true;
}

std::vector<korvane::Recording> CKorvaneDlg::CheckedRows() {
  std::vector<korvane::Recording> checked;
  for (const RecordingModel::Row& row : model_.Rows()) {
    if (row.checked) checked.push_back(row.recording);
  }
  if (checked.empty()) ShowWarning(tr(kNothingCheckedText));
  return checked;
}

std::optional<CKorvaneDlg::RowsToWrite> CKorvaneDlg::RowsToWriteNow() {
  if (!ReadyForJob()) return std::nullopt;
  std::vector<korvane::Recording> checked = CheckedRows();
  if (checked.empty()) return std::nullopt;
  std::optional<std::string> folder = UsableSaveFolder();
  if (!folder) return std::nullopt;
  return RowsToWrite{std::move(checked), std::move(*folder)};
}

void CKorvaneDlg::BeginJob() {
  ++job_number_;
  m_progress->setValue(0);
  m_progress->setFormat(QStringLiteral("%p%"));
}

void CKorvaneDlg::WarnNotStarted(const korvane::Status& started) {
  ShowWarning(tr(started.code() == korvane::ErrorCode::kRefused ? kBusyText : kCannotStartText));
}

void CKorvaneDlg::OnSave() {
  std::optional<RowsToWrite> to_write = RowsToWriteNow();
  if (!to_write) return;

  korvane::SaveJob job;
  job.source = model_.Source();  // what the rows were scanned from, whatever the form says now
  job.folder = to_write->folder;
  job.recordings = std::move(to_write->rows);
  job.window = model_.Window();
  save_files_ = job.recordings.size();

  BeginJob();
  auto sink = std::make_shared<korvane::gui::SaveFeedSink>(feed_, job_number_);
  logs_.JobStarted("save", job.source, job.folder, model_.View(), job.recordings);
  const korvane::Status started = m_worker.StartSave(
      std::move(job), *sink, [sink](const korvane::SaveResult& result) { sink->Finish(result); });
  if (!started.ok()) {
    logs_.Abandon();
    WarnNotStarted(started);
  }
}

void CKorvaneDlg::OnExportVideo() {
#ifdef KORVANE_HAVE_VIDEO
  std::optional<RowsToWrite> to_write = RowsToWriteNow();
  if (!to_write) return;

  BeginJob();
  // The job lives as long as the worker's thread needs it: both functions hold it.
  logs_.JobStarted("export", model_.Source(), to_write->folder, model_.View(), to_write->rows);
  auto job = std::make_shared<korvane::gui::VideoExport>(
      feed_, job_number_, model_.Source(), to_write->folder, std::move(to_write->rows),
      clock_offset_.value_or(0));
  const korvane::Status started = m_worker.Start(
      [job](const std::atomic<int>& stop) { job->Run(stop); }, [job] { job->Finish(); });
  if (!started.ok()) {
    logs_.Abandon();
    WarnNotStarted(started);
  }
#endif
}

void CKorvaneDlg::OnMakeReport() {
#ifdef KORVANE_HAVE_REPORT
  if (!ReadyForJob()) return;
  const std::optional<std::string> usable_folder = UsableSaveFolder();
  if (!usable_folder) return;
  const std::string& folder = *usable_folder;
  korvane::gui::ReportRequest request;
  request.source = model_.Source();
  request.folder = folder;
  request.grouping = model_.View();
  request.window = model_.Window();
  request.clock_offset = clock_offset_;
  request.log = logs_.ForReport(model_.View());
  for (const RecordingModel::Row& row : model_.Rows()) request.recordings.push_back(row.recording);
  // The end is shown on this thread; a window closed meanwhile takes the call with it.
  auto outcome = std::make_shared<korvane::gui::ReportOutcome>();
  const korvane::Status started = m_worker.Start(
      [request = std::move(request), outcome](const std::atomic<int>& stop) {
        *outcome = korvane::gui::WriteListReport(request, stop);
      },
      [this, outcome] {
        QMetaObject::invokeMethod(
            this,
            [this, outcome] {
              if (closing_) return;
              if (outcome->status.ok()) {
                QString text = tr(kReportDoneText)
                                   .arg(korvane::gui::PathText(outcome->html),
                                        korvane::gui::PathText(outcome->xml));
                if (!outcome->note.empty()) {
                  text += QStringLiteral("\n") + korvane::gui::PathText(outcome->note);
                }
                ShowEndBox(QMessageBox::Information, text);
              } else {
                ShowEndBox(
                    QMessageBox::Warning,
                    tr(kReportFailedText).arg(korvane::gui::PathText(outcome->status.message())));
              }
              emit ReportEnded();
            },
            Qt::QueuedConnection);
      });
  if (!started.ok()) {
    WarnNotStarted(started);
  }
#endif
}

void CKorvaneDlg::OnSelectAll() {
  model_.SetAllChecked(true);
}

void CKorvaneDlg::OnDeselectAll() {
  model_.SetAllChecked(false);
}

void CKorvaneDlg::OnFilterToggle() {
  const bool checked = ui_->filterCheck->isChecked();
  ui_->filterCheck->setChecked(checked);
  m_dtStart->setEnabled(checked);
  m_dtEnd->setEnabled(checked);
}
