// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the window's tests: a shown main window, and answering the message boxes, menus and
// file dialogs it opens, waiting on what appears on screen rather than on timers.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <QTableView>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/korvane_dlg.h"
#include "app/recording_model.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

class QFileDialog;
class QMenu;

namespace korvane::test {

inline constexpr int kWaitMs = 20000;

// What a message box showed when it was answered.
struct BoxSeen {
  bool shown = false;
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList buttons;  // their texts
  QWidget* parent = nullptr;
  int width = 0;  // pixels
};

// The message box on screen, if any: the one waiting for its answer first.
QMessageBox* VisibleBox();

// Waits until a message box is on screen, notes what it shows and presses its only button.
BoxSeen AnswerBox(int timeout_ms = kWaitMs);

// Runs `action`, which opens a modal box and waits in it, and answers that box.
BoxSeen AnswerBoxOpenedBy(const std::function<void()>& action);

// Runs `action`, which opens a modal file dialog, and lets `answer` fill it in and close it.
void AnswerFileDialog(const std::function<void()>& action,
                      const std::function<void(QFileDialog&)>& answer);

// Runs `action`, which may open a pop-up menu; returns the menu's item texts (empty when no menu
// opened) and where it opened, then closes it, after triggering the item `choose` if given.
struct MenuSeen {
  QStringList items;
  QPoint position;
};
MenuSeen AnswerMenu(const std::function<void()>& action, const QString& choose = {});

// The window's controls, found by their object names as a person finds them by their labels.
struct Controls {
  explicit Controls(CKorvaneDlg& dlg);
  QLineEdit *scanOffsetEdit, *scanSizeEdit, *blockSizeEdit, *savePathEdit, *imageFileEdit;
  QLabel *scanOffsetLabel, *scanSizeLabel, *blockSizeLabel, *savePathLabel, *sourceFileLabel,
      *sourceDeviceLabel, *startTimeLabel, *endTimeLabel, *banner;
  QRadioButton *byteModeRadio, *blockModeRadio, *imageSourceRadio, *diskSourceRadio;
  QPushButton *startButton, *stopButton, *browseFolderButton, *browseImageButton;
  QComboBox* deviceCombo;
  QGroupBox *scanParamsGroup, *scanPathGroup, *timeGroup;
  QProgressBar* progressBar;
  QTableView* resultsList;
  QDateEdit *startDateEdit, *endDateEdit;
  QCheckBox* filterCheck;
  // The results list's context menu commands.
  QAction *saveAction, *selectAllAction, *deselectAllAction;
};

// The controls tests use most, and the list's rows.
QProgressBar* Bar(CKorvaneDlg& dlg);
QTableView* List(CKorvaneDlg& dlg);
gui::RecordingModel& Rows(CKorvaneDlg& dlg);
QDateEdit* StartDate(CKorvaneDlg& dlg);
QDateEdit* EndDate(CKorvaneDlg& dlg);
QComboBox* Drives(CKorvaneDlg& dlg);

// The commands, given as a person gives them: a click on the button, or the menu entry.
void Start(CKorvaneDlg& dlg);
void Stop(CKorvaneDlg& dlg);
void BrowseImage(CKorvaneDlg& dlg);
void BrowseFolder(CKorvaneDlg& dlg);
void Save(CKorvaneDlg& dlg);
void SelectAll(CKorvaneDlg& dlg);
void DeselectAll(CKorvaneDlg& dlg);

// Checks that `box` was the window's warning: caption "警告", no icon, one OK button, owned by
// `owner`, showing `text`.
void ExpectWarning(const BoxSeen& box, const QString& text, CKorvaneDlg& owner);

// Waits until the running job (a scan or a save) has moved the bar.
bool WaitForProgress(CKorvaneDlg& dlg);

// A main window, shown off screen, with its form filled by the helpers below.
class Window {
 public:
  Window();
  ~Window();
  CKorvaneDlg& dlg() { return *dlg_; }
  Controls& ui() { return *controls_; }

  // Fills the form for a scan of an image file into `save` (size as given, or auto-filled).
  void FillForImage(const std::string& image, const std::string& save, const QString& size = {});
  // Starts a scan that must be accepted, and waits for its end; returns the end box.
  BoxSeen ScanToEnd();
  // Saves the checked rows (a save that must be accepted), waits for its end; returns the end
  // box.
  BoxSeen SaveToEnd();
  // The rows shown, as "name|start|end|position".
  std::vector<std::string> ShownRows();

 private:
  std::unique_ptr<CKorvaneDlg> dlg_;
  std::unique_ptr<Controls> controls_;
};

// The files of a save folder by name, sorted, without the window's case logs.
std::vector<std::string> SavedFiles(const std::string& folder);
// The window's case logs in a folder ("korvane-log-*.json"), by name, sorted.
std::vector<std::string> CaseLogNames(const std::string& folder);
// A case log read as JSON; a null object (and a test failure) when it is not JSON.
QJsonObject ReadCaseLog(const std::string& path);
// The lower-case hex SHA-256 of a file's bytes.
std::string Sha256Of(const std::string& path);

// "name|start|end|position" of recordings as the core sees them.
std::vector<std::string> RowTexts(const std::vector<Recording>& recordings);

// A sparse file of `size` bytes with a few recordings in its first MiB, whose scan lasts long
// enough to be stopped or closed on. Where the file system will not grow a file beyond its free
// space, even a sparse one (wine does so), the file is halved until it fits, down to 4 GiB.
// Returns the size made.
uint64_t WriteLongImage(const std::string& path, uint64_t size);

// The four cameras' image (testimage::BuildCameraImage of the clips in tests/data) written to a
// temporary folder as "cameras.img", beside an empty folder "out" to save into.
struct CamerasOnDisk {
  testimage::CameraImage image;
  TempDir dir;
  std::string source;  // the image's path
  std::string out;     // the empty folder's
};
// Null, with the reason in *error, when the clips cannot be read.
std::unique_ptr<CamerasOnDisk> WriteCamerasImage(std::string* error);

}  // namespace korvane::test
