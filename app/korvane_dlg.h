// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: the scan form on the left, the results list on the right. It owns every
// control, holds the scan job, and runs scans and saves of the checked rows on the worker thread.
// What the form means and what the end boxes say is worked out in scan_form.h and end_text.h;
// this class connects them to the widgets.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/case_log_window.h"
#include "app/recording_model.h"
#include "app/scan_feed.h"
#include "scan/worker.h"

class QAction;
class QComboBox;
class QDateEdit;
class QPoint;
class QProgressBar;
class QTableView;
namespace Ui {
class CKorvaneDlg;
}

// 1 while the window's worker runs a scan or a save; a start or a save is refused meanwhile.
extern std::atomic<int> g_bScanning;

class CKorvaneDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CKorvaneDlg(QWidget* parent = nullptr);
  ~CKorvaneDlg() override;

  // Puts an image file into the form, as a confirmed file dialog does, and its size into the
  // size box.
  void SetImageFile(const QString& path);

  // The recorder's clock offset from the command line (korvane --clock-offset): the title names
  // it; the list, the details box, the date filter and exported files use corrected times.
  void SetClockOffset(int64_t offset);

  // Where the worker's reports of scans and saves arrive, to be taken on the window's thread.
  // Whatever stands in for a worker reports here too.
  korvane::gui::ScanFeed& Feed() { return feed_; }

 signals:
  // A scan's end has been shown (its "scan end!" or error box is open).
  void ScanEnded();
  // A save's end has been shown (its summary box is open).
  void SaveEnded();
  // A video export's end has been shown (its summary box is open).
  void ExportEnded();
  // A report's end has been shown (its box is open).
  void ReportEnded();
  // The worker has put news into the feed (ended: a job's end); emitted on the worker's thread.
  void NewsWaiting(bool ended, QPrivateSignal);

 protected:
  // Every way of closing ends here; a running scan or save is stopped and waited for first.
  void done(int result) override;

 private:
  korvane::ScanWorker m_worker{g_bScanning};  // runs the scans; holds the stop flag

  // The scan job, read from the form by OnStartScan.
  std::atomic<int>& m_bStop = m_worker.m_bStop;
  std::string m_strSource;
  std::string m_strSavePath;
  int64_t m_nScanOffset = 0;
  int64_t m_nScanSize = 0;
  int32_t m_nBlockSize = 0;
  int32_t m_nSearchMode = 0;
  int64_t m_nWindowStart = 0;
  int64_t m_nWindowEnd = 0;
  std::optional<int64_t> clock_offset_;  // unset: the recorder's own times

  // The controls the handlers use most.
  QProgressBar* m_progress;
  QComboBox* m_comboDevice;
  QTableView* m_list;
  QDateEdit* m_dtStart;
  QDateEdit* m_dtEnd;

  // The scan form's commands.
  void OnByteMode();
  void OnBlockMode();
  void OnImageSource();
  void OnDiskSource();
  void OnBrowseImage();
  void OnBrowseFolder();
  void OnStartScan();
  // Stops the running scan or save.
  void OnStopScan();
  // The results list and the filter box.
  void OnListRightClick(const QPoint& pos);
  // The save folder the form names, when it is usable for writing what the list's rows were
  // scanned from (it then becomes the folder remembered); otherwise the user is told why, and
  // nothing is returned.
  std::optional<std::string> UsableSaveFolder();
  // Whether a save, an export or a report may start now: not while the window closes, nor while
  // a scan or a save runs (the user is told). Takes in the last rows of a scan that has just ended.
  bool ReadyForJob();
  // The checked rows of the grouping shown; none, and the user is told, when none is checked.
  std::vector<korvane::Recording> CheckedRows();
  // What a save or an export starts with: the checked rows and a usable save folder, when the
  // job may start now (ReadyForJob, CheckedRows, UsableSaveFolder, in that order); otherwise
  // nothing, and the user has been told why.
  struct RowsToWrite {
    std::vector<korvane::Recording> rows;
    std::string folder;
  };
  std::optional<RowsToWrite> RowsToWriteNow();
  // A new job's number (news of earlier jobs is no longer shown) and an empty progress bar.
  void BeginJob();
  // Tells the user why a job's thread did not start.
  void WarnNotStarted(const korvane::Status& started);
  // Saves the checked rows of the grouping shown, read from the source they were scanned from,
  // into the save folder.
  void OnSave();
  // Exports the checked rows of the grouping shown as MP4 files into the save folder, as OnSave
  // saves them.
  void OnExportVideo();
  // Writes the report of the list as shown (every row) into the save folder, on the worker.
  void OnMakeReport();
  void OnSelectAll();
  void OnDeselectAll();
  // Switches the list between the time grouping and the camera grouping of the last scan.
  void OnCameraView(bool checked);
  // Opens the timeline window of the list's rows, or brings it forward.
  void ShowTimeline();
  // Opens the details box of a row of the list.
  void ShowDetails(int row);
  // Sizes the list's columns for the grouping shown.
  void LayOutColumns();
  void OnFilterToggle();

  bool OnInitDialog();
  void ScheduleDrain();
  void DrainScanFeed();
  void ShowWarning(const QString& text);
  void ShowEndBox(QMessageBox::Icon icon, const QString& text);
  void FillScanSize(const QString& source);
  void ShowProgress(uint64_t done, uint64_t total, double elapsed, bool ended);
  void OnScanEvents(std::vector<korvane::gui::ScanEvent> events);

  std::unique_ptr<Ui::CKorvaneDlg> ui_;
  korvane::gui::RecordingModel model_;
  korvane::gui::ScanFeed feed_;
  korvane::gui::CaseLogs logs_;  // each job's case log, written into the save folder at its end
  // The list's context menu commands.
  QAction* save_action_;
  QAction* export_video_action_;
  QAction* report_action_;
  QAction* select_all_action_;
  QAction* deselect_all_action_;
  QAction* camera_view_action_;
  QAction* details_action_;
  QAction* timeline_action_;
  QWidget* timeline_ = nullptr;  // the timeline window, once opened; it follows the list
  int menu_row_ = -1;            // the row the context menu was opened on, while it is open
  static constexpr qint64 kDrainInterval = 100;  // ms between takes of the feed
  QTimer drain_timer_;
  QElapsedTimer last_drain_;
  uint64_t job_number_ = 0;  // the scan whose rows, or the job whose progress, the window shows
  uint64_t shown_done_ = 0, shown_total_ = 0;  // what the bar shows
  size_t save_files_ = 0;                      // how many files the running save was asked for
  QString filled_size_;      // what the size box was last filled with from a source
  bool size_typed_ = false;  // the user has typed into the size box since
  bool closing_ = false;     // done() is waiting for the worker
};
