#include "app/korvane_dlg.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDate>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QFileDialog>
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
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "about/about_entry.h"
#include "about/dialog_units.h"
#include "app/drive_list.h"
#include "app/korvane_app.h"
#include "app/progress_text.h"
#include "datewindow/date_text.h"
#include "evidence/sources.h"
#include "scan/raw_device.h"
#include "ui_korvane_dlg.h"

using korvane::window::RecordingModel;
using korvane::window::ScanEvent;

namespace {

// The bar counts in steps of a ten-thousandth of the range, whatever its size.
constexpr int kBarSteps = 10000;

const QString kWarningCaption = QStringLiteral("警告");
const QString kBusyText = QStringLiteral("请等待当前线程执行完毕!");
const QString kBadParametersText = QStringLiteral("参数填写错误!");
const QString kBadDatesText = QStringLiteral("结束日期需要大于开始日期!");
const QString kNothingCheckedText = QStringLiteral("请先勾选要保存的录像!");
const QString kNoFolderText = QStringLiteral("请先选择保存路径!");
const QString kBadFolderText = QStringLiteral("无法保存到此路径:\n%1");
const QString kCannotStartText = QStringLiteral("无法启动保存!");

// A save's end box lists at most this many failed files.
constexpr size_t kFailuresListed = 10;

// The form's texts as the scanner opens them, and back.
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

// The block size converts like atoi: as a 64-bit number, then held to the int range.
int32_t Atoi(const QString& text) {
  const int64_t value = korvane::Atoi64(text.toStdString());
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT_MIN, INT_MAX));
}

}  // namespace

CKorvaneDlg::CKorvaneDlg(QWidget* parent)
    : QDialog(parent),
      m_progress(nullptr),
      m_comboDevice(nullptr),
      m_list(nullptr),
      m_dtStart(nullptr),
      m_dtEnd(nullptr),
      ui_(std::make_unique<Ui::CKorvaneDlg>()),
      feed_([this](bool ended) {
        // A job's end is shown at once; news on the way is taken at a steady pace.
        QMetaObject::invokeMethod(this, ended ? "DrainScanFeed" : "ScheduleDrain",
                                  Qt::QueuedConnection);
      }) {
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

  connect(ui_->byteModeRadio, &QRadioButton::clicked, this, &CKorvaneDlg::OnByteMode);
  connect(ui_->blockModeRadio, &QRadioButton::clicked, this, &CKorvaneDlg::OnBlockMode);
  connect(ui_->imageSourceRadio, &QRadioButton::clicked, this, &CKorvaneDlg::OnImageSource);
  connect(ui_->diskSourceRadio, &QRadioButton::clicked, this, &CKorvaneDlg::OnDiskSource);
  connect(ui_->browseImageButton, &QPushButton::clicked, this, &CKorvaneDlg::OnBrowseImage);
  connect(ui_->browseFolderButton, &QPushButton::clicked, this, &CKorvaneDlg::OnBrowseFolder);
  connect(ui_->startButton, &QPushButton::clicked, this, &CKorvaneDlg::OnStartScan);
  connect(ui_->stopButton, &QPushButton::clicked, this, &CKorvaneDlg::OnStopScan);
  connect(m_list, &QTableView::customContextMenuRequested, this, &CKorvaneDlg::OnListRightClick);
  connect(ui_->filterCheck, &QCheckBox::clicked, this, &CKorvaneDlg::OnFilterToggle);
  connect(m_comboDevice, &QComboBox::activated, this,
          [this] { FillScanSize(m_comboDevice->currentText()); });

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
  setLocale(QLocale(QLocale::Chinese, QLocale::China));
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

  for (const std::string& drive : korvane::window::PhysicalDriveList()) {
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
  const int third = m_list->contentsRect().width() / 3;
  for (int column = RecordingModel::kName; column <= RecordingModel::kEnd; ++column) {
    header->resizeSection(column, third);
  }
  header->resizeSection(RecordingModel::kPosition, 0);

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
}

void CKorvaneDlg::OnDiskSource() {
  m_comboDevice->setEnabled(true);
  ui_->imageFileEdit->setEnabled(false);
  ui_->browseImageButton->setEnabled(false);
  FillScanSize(m_comboDevice->currentText());
}

void CKorvaneDlg::OnBrowseImage() {
  QFileDialog dialog(this);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  const QStringList filters = {
      QStringLiteral("Vmdk Files (*.vmdk)"),     QStringLiteral("IMG Files (*.img)"),
      QStringLiteral("DSK Files (*.dsk)"),       QStringLiteral("E01 Files (*.E01 *.e01)"),
      QStringLiteral("Split Raw Files (*.001)"), QStringLiteral("All Files (*)")};
  const QStringList suffixes = {QStringLiteral("vmdk"), QStringLiteral("img"),
                                QStringLiteral("dsk"),  QStringLiteral("E01"),
                                QStringLiteral("001"),  QString()};
  dialog.setNameFilters(filters);
  dialog.setDefaultSuffix(suffixes[0]);
  // A typed name without a suffix gets the chosen filter's; under "All Files" it stays as typed,
  // so that images named without a suffix can be chosen too.
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
  // Only an empty box is filled: a size the user typed stays.
  if (!ui_->scanSizeEdit->text().isEmpty() || source.isEmpty()) return;
  if (auto device = korvane::OpenSource(SourcePath(source)); device.ok()) {
    ui_->scanSizeEdit->setText(QString::number((*device)->Size()));
  }
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
  QMessageBox box(QMessageBox::NoIcon, kWarningCaption, text, QMessageBox::Ok, this);
  box.exec();
}

void CKorvaneDlg::OnStartScan() {
  if (closing_) return;
  if (korvane::g_bScanning.load() != 0) {
    ShowWarning(kBusyText);
    return;
  }
  model_.Clear();
  m_bStop.store(0);

  m_nScanOffset = korvane::Atoi64(ui_->scanOffsetEdit->text().toStdString());
  m_nScanSize = korvane::Atoi64(ui_->scanSizeEdit->text().toStdString());
  m_nBlockSize = Atoi(ui_->blockSizeEdit->text());
  m_nSearchMode = ui_->byteModeRadio->isChecked() ? 0 : 1;
  m_strSource = SourcePath(ui_->imageSourceRadio->isChecked() ? ui_->imageFileEdit->text()
                                                              : m_comboDevice->currentText());
  m_strSavePath = SourcePath(ui_->savePathEdit->text());

  if (m_nScanSize == 0 || m_strSource.empty() || m_strSavePath.empty() ||
      (m_nSearchMode == 1 && m_nBlockSize == 0)) {
    ShowWarning(kBadParametersText);
    return;
  }

  if (ui_->filterCheck->isChecked()) {
    const std::string start = m_dtStart->text().toStdString();
    const std::string end = m_dtEnd->text().toStdString();
    korvane::DateWindow window;
    if (korvane::CompareDateText(start, end) <= 0 ||
        korvane::ParseDateWindow(start, end, window) == 0) {
      ShowWarning(kBadDatesText);
      return;
    }
    m_nWindowStart = window.start;
    m_nWindowEnd = window.end;
  } else {
    m_nWindowStart = 0;
    m_nWindowEnd = 0;
  }

  korvane::ScanJob job;
  job.source = m_strSource;
  job.offset = static_cast<uint64_t>(std::max<int64_t>(0, m_nScanOffset));
  job.size = static_cast<uint64_t>(std::max<int64_t>(0, m_nScanSize));
  job.window = {m_nWindowStart, m_nWindowEnd};

  ++job_number_;
  m_progress->setValue(0);
  m_progress->setFormat(QStringLiteral("%p%"));
  model_.SetSource(m_strSource);
  // The sink lives as long as the job: `finished` holds it until the worker thread ends.
  auto sink = std::make_shared<korvane::window::FeedSink>(feed_, job_number_);
  m_worker.StartScan(std::move(job), *sink,
                     [sink](const korvane::ScanResult& result) { sink->Finish(result); });
  // A thread that cannot be created leaves the flag down and the list empty: nothing runs.
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
  // Rows that opened in this batch are added in one insertion.
  std::vector<RecordingModel::Row> opened;
  auto flush = [&] {
    model_.Append(std::move(opened));
    opened.clear();
  };
  for (ScanEvent& event : events) {
    const bool current = event.scan == job_number_ && !closing_;
    switch (event.kind) {
      case ScanEvent::Kind::kFinished:
        flush();
        OnScanFinished(event, current);
        break;
      case ScanEvent::Kind::kSaveFinished:
        flush();
        OnSaveFinished(event, current);
        break;
      case ScanEvent::Kind::kStarted:
      case ScanEvent::Kind::kSaveStarted:
        if (current) ShowProgress(0, event.total, 0, false);
        break;
      case ScanEvent::Kind::kProgress:
        if (current) ShowProgress(event.done, event.total, event.elapsed, false);
        break;
      case ScanEvent::Kind::kOpened:
        if (current) opened.push_back({event.recording, false, false});
        break;
      case ScanEvent::Kind::kClosed: {
        if (!current) break;
        const auto shown = static_cast<uint64_t>(model_.rowCount());
        if (event.recording.index >= shown && event.recording.index - shown < opened.size()) {
          RecordingModel::Row& row = opened[event.recording.index - shown];
          row.recording = event.recording;
          row.closed = true;
        } else {
          model_.Close(event.recording);
        }
        break;
      }
    }
  }
  flush();
}

void CKorvaneDlg::ShowProgress(uint64_t done, uint64_t total, double elapsed, bool ended) {
  shown_done_ = done;
  shown_total_ = total;
  const double part = total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
  m_progress->setValue(static_cast<int>(std::clamp(part, 0.0, 1.0) * kBarSteps));
  m_progress->setFormat(korvane::window::ProgressFormat(done, total, elapsed, ended));
}

void CKorvaneDlg::ShowEndBox(QMessageBox::Icon icon, const QString& text) {
  // Left open without waiting: the window goes on serving the worker's reports meanwhile.
  auto* box =
      new QMessageBox(icon, QCoreApplication::applicationName(), text, QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void CKorvaneDlg::OnScanFinished(const ScanEvent& event, bool current) {
  if (closing_) return;  // the window is closing: nobody is left to read a box
  const korvane::ScanResult& result = event.result;
  QMessageBox::Icon icon = QMessageBox::Information;
  QString text;
  if (result.Ran()) {
    if (current) ShowProgress(result.scanned_bytes, result.range_bytes, event.elapsed, true);
    text = QStringLiteral("scan end!");
    if (result.unreadable_bytes > 0) {
      icon = QMessageBox::Warning;
      text += QStringLiteral("\n%1 bytes could not be read (%2); they were scanned as zeros.")
                  .arg(result.unreadable_bytes)
                  .arg(QString::fromStdString(result.read_error));
    }
  } else {
    icon = QMessageBox::Critical;
    text = (result.status.code() == korvane::ErrorCode::kOpenFailed
                ? QStringLiteral("cannot open the source:\n")
                : QStringLiteral("scan failed:\n")) +
           QString::fromStdString(result.status.message());
  }
  ShowEndBox(icon, text);
  emit ScanEnded();
}

void CKorvaneDlg::done(int result) {
  if (closing_) return;  // already waiting for the worker
  if (m_worker.Running()) {
    // Stop the scan and wait for it, serving events meanwhile: the window repaints, and the
    // worker's last reports arrive. The form takes no input while it waits.
    closing_ = true;
    setEnabled(false);
    m_progress->setFormat(QStringLiteral("正在停止..."));
    m_worker.RequestStop();
    while (m_worker.Running()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    m_worker.Join();
    feed_.Take();
    closing_ = false;
    setEnabled(true);
  }
  QDialog::done(result);
}

// --- The results list ------------------------------------------------------------------------

void CKorvaneDlg::OnListRightClick(const QPoint& pos) {
  if (!m_list->indexAt(pos).isValid()) return;  // the click hit no row
  QMenu menu(this);
  menu.addAction(QStringLiteral("保存"), this, &CKorvaneDlg::OnSave);
  menu.addAction(QStringLiteral("选择全部"), this, &CKorvaneDlg::OnSelectAll);
  menu.addAction(QStringLiteral("取消选择"), this, &CKorvaneDlg::OnDeselectAll);
  menu.exec(m_list->viewport()->mapToGlobal(pos));
}

void CKorvaneDlg::OnSave() {
  if (closing_) return;
  if (korvane::g_bScanning.load() != 0) {
    ShowWarning(kBusyText);
    return;
  }
  // A scan that has just ended may still have its last rows on their way: the worker hands
  // them over before it lowers the busy flag, so taking the feed now gets them all.
  DrainScanFeed();

  std::vector<korvane::Recording> checked;
  for (const RecordingModel::Row& row : model_.Rows()) {
    if (row.checked) checked.push_back(row.recording);
  }
  if (checked.empty()) {
    ShowWarning(kNothingCheckedText);
    return;
  }
  const std::string folder = SourcePath(ui_->savePathEdit->text());
  if (folder.empty()) {
    ShowWarning(kNoFolderText);
    return;
  }
  const korvane::Status usable = korvane::CheckSaveFolder(folder, model_.Source());
  if (!usable.ok()) {
    ShowWarning(kBadFolderText.arg(PathText(usable.message())));
    return;
  }
  m_strSavePath = folder;

  korvane::SaveJob job;
  job.source = model_.Source();  // what the rows were scanned from, whatever the form says now
  job.folder = folder;
  job.recordings = std::move(checked);
  save_files_ = job.recordings.size();

  ++job_number_;
  m_progress->setValue(0);
  m_progress->setFormat(QStringLiteral("%p%"));
  auto sink = std::make_shared<korvane::window::SaveFeedSink>(feed_, job_number_);
  if (!m_worker.StartSave(std::move(job), *sink,
                          [sink](const korvane::SaveResult& result) { sink->Finish(result); })) {
    ShowWarning(korvane::g_bScanning.load() != 0 ? kBusyText : kCannotStartText);
  }
}

void CKorvaneDlg::OnSaveFinished(const ScanEvent& event, bool current) {
  if (closing_) return;  // the window is closing: nobody is left to read a box
  const korvane::SaveResult& result = event.saved;
  QMessageBox::Icon icon = QMessageBox::Information;
  QString text;
  if (result.Ran()) {
    if (current) ShowProgress(shown_done_, shown_total_, event.elapsed, true);
    if (!result.AllSaved()) icon = QMessageBox::Warning;
    text = result.Stopped() ? QStringLiteral("保存已停止!") : QStringLiteral("保存完成!");
    text += QStringLiteral("\n已保存 %1 个文件, 共 %2 字节, 保存到:\n%3")
                .arg(result.saved_files)
                .arg(result.saved_bytes)
                .arg(PathText(result.folder));
    if (result.unreadable_bytes > 0) {
      text += QStringLiteral("\n其中 %1 字节无法读取, 已用零代替 (见 recordings.csv)。")
                  .arg(result.unreadable_bytes);
    }
    if (result.failed_files > 0) {
      text += QStringLiteral("\n\n%1 个文件保存失败:").arg(result.failed_files);
      size_t listed = 0;
      for (const korvane::SavedFile& f : result.files) {
        if (f.outcome == korvane::FileOutcome::kSaved) continue;
        if (listed++ == kFailuresListed) {
          text += QStringLiteral("\n...");
          break;
        }
        text +=
            QStringLiteral("\n%1: %2")
                .arg(QString::fromStdString(f.recording.Name()),
                     f.outcome == korvane::FileOutcome::kStopped ? QStringLiteral("已停止, 未保存")
                                                                 : PathText(f.error));
      }
    }
    if (save_files_ > result.files.size()) {
      text += QStringLiteral("\n%1 个文件因停止而未保存。").arg(save_files_ - result.files.size());
    }
    if (!result.manifest_error.empty()) {
      text += QStringLiteral("\n\n") + PathText(result.manifest_error);
    }
  } else {
    icon = QMessageBox::Critical;
    text = (result.status.code() == korvane::ErrorCode::kOpenFailed
                ? QStringLiteral("无法打开源, 未保存任何文件:\n")
                : QStringLiteral("保存失败, 未保存任何文件:\n")) +
           PathText(result.status.message());
  }
  ShowEndBox(icon, text);
  emit SaveEnded();
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
