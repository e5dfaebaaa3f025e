// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/window_test_support.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDateEdit>
#include <QFileDialog>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <type_traits>

#include "scan/worker.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane::test {

QMessageBox* VisibleBox() {
  // A box that waits for its answer is the one on top; end boxes may stay open beneath it.
  if (auto* modal = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) return modal;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box && box->isVisible()) return box;
  }
  return nullptr;
}

BoxSeen AnswerBox(int timeout_ms) {
  BoxSeen seen;
  if (!QTest::qWaitFor([] { return VisibleBox() != nullptr; }, timeout_ms)) return seen;
  QMessageBox* box = VisibleBox();
  seen.shown = true;
  seen.title = box->windowTitle();
  seen.text = box->text();
  seen.icon = box->icon();
  seen.parent = box->parentWidget();
  seen.width = box->width();
  for (QAbstractButton* button : box->buttons()) seen.buttons << button->text();
  box->buttons().constFirst()->click();
  seen.shown = QTest::qWaitFor([box] { return VisibleBox() != box; }, timeout_ms);
  return seen;
}

BoxSeen AnswerBoxOpenedBy(const std::function<void()>& action) {
  BoxSeen seen;
  bool answered = false;
  QTimer::singleShot(0, [&] {
    seen = AnswerBox();
    answered = true;
  });
  action();
  if (!QTest::qWaitFor([&] { return answered; }, kWaitMs)) seen.shown = false;
  return seen;
}

void AnswerFileDialog(const std::function<void()>& action,
                      const std::function<void(QFileDialog&)>& answer) {
  bool answered = false;
  QTimer::singleShot(0, [&] {
    QFileDialog* dialog = nullptr;
    const bool opened = QTest::qWaitFor(
        [&] {
          dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
          return dialog && dialog->isVisible();
        },
        kWaitMs);
    if (opened) answer(*dialog);
    answered = true;
  });
  action();
  (void)QTest::qWaitFor([&] { return answered; }, kWaitMs);
}

MenuSeen AnswerMenu(const std::function<void()>& action, const QString& choose) {
  MenuSeen seen;
  bool returned = false, looked = false;
  QTimer::singleShot(0, [&] {
    // A menu runs its own event loop inside the action; without one the action just returns.
    QMenu* menu = nullptr;
    const bool opened = QTest::qWaitFor(
        [&] {
          menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
          return menu != nullptr || returned;
        },
        kWaitMs);
    if (opened && menu) {
      seen.position = menu->pos();
      QAction* chosen = nullptr;
      for (QAction* a : menu->actions()) {
        seen.items << a->text();
        if (!choose.isEmpty() && a->text() == choose) chosen = a;  // not a separator
      }
      if (chosen) {
        menu->setActiveAction(chosen);
        QTest::keyClick(menu, Qt::Key_Return);
      } else {
        menu->close();
      }
    }
    looked = true;
  });
  action();
  returned = true;
  (void)QTest::qWaitFor([&] { return looked; }, kWaitMs);
  return seen;
}

void ExpectWarning(const BoxSeen& box, const QString& text, CKorvaneDlg& owner) {
  EXPECT_TRUE(box.shown);
  EXPECT_EQ(box.text, text);
  EXPECT_EQ(box.title, "警告");
  EXPECT_EQ(box.icon, QMessageBox::NoIcon);
  EXPECT_EQ(box.buttons, QStringList{"确定"});  // Qt's own button, in Chinese
  EXPECT_EQ(box.parent, &owner);
}

namespace {

template <typename T>
T* Find(QObject& dlg, const char* name) {
  T* found = dlg.findChild<T*>(QString::fromLatin1(name));
  if (found == nullptr) {
    ADD_FAILURE() << "the window has no " << name;
    std::abort();  // nothing to drive
  }
  return found;
}

}  // namespace

#define KORVANE_FIND(member) member(Find<std::remove_pointer_t<decltype(member)>>(dlg, #member))

Controls::Controls(CKorvaneDlg& dlg)
    : KORVANE_FIND(scanOffsetEdit),
      KORVANE_FIND(scanSizeEdit),
      KORVANE_FIND(blockSizeEdit),
      KORVANE_FIND(savePathEdit),
      KORVANE_FIND(imageFileEdit),
      KORVANE_FIND(scanOffsetLabel),
      KORVANE_FIND(scanSizeLabel),
      KORVANE_FIND(blockSizeLabel),
      KORVANE_FIND(savePathLabel),
      KORVANE_FIND(sourceFileLabel),
      KORVANE_FIND(sourceDeviceLabel),
      KORVANE_FIND(startTimeLabel),
      KORVANE_FIND(endTimeLabel),
      KORVANE_FIND(banner),
      KORVANE_FIND(byteModeRadio),
      KORVANE_FIND(blockModeRadio),
      KORVANE_FIND(imageSourceRadio),
      KORVANE_FIND(diskSourceRadio),
      KORVANE_FIND(startButton),
      KORVANE_FIND(stopButton),
      KORVANE_FIND(browseFolderButton),
      KORVANE_FIND(browseImageButton),
      KORVANE_FIND(deviceCombo),
      KORVANE_FIND(scanParamsGroup),
      KORVANE_FIND(scanPathGroup),
      KORVANE_FIND(timeGroup),
      KORVANE_FIND(progressBar),
      KORVANE_FIND(resultsList),
      KORVANE_FIND(startDateEdit),
      KORVANE_FIND(endDateEdit),
      KORVANE_FIND(filterCheck),
      KORVANE_FIND(saveAction),
      KORVANE_FIND(selectAllAction),
      KORVANE_FIND(deselectAllAction) {}

#undef KORVANE_FIND

QProgressBar* Bar(CKorvaneDlg& dlg) {
  return Find<QProgressBar>(dlg, "progressBar");
}

QTableView* List(CKorvaneDlg& dlg) {
  return Find<QTableView>(dlg, "resultsList");
}

gui::RecordingModel& Rows(CKorvaneDlg& dlg) {
  auto* model = qobject_cast<gui::RecordingModel*>(List(dlg)->model());
  if (model == nullptr) {
    ADD_FAILURE() << "the list shows no recordings";
    std::abort();
  }
  return *model;
}

QDateEdit* StartDate(CKorvaneDlg& dlg) {
  return Find<QDateEdit>(dlg, "startDateEdit");
}

QDateEdit* EndDate(CKorvaneDlg& dlg) {
  return Find<QDateEdit>(dlg, "endDateEdit");
}

QComboBox* Drives(CKorvaneDlg& dlg) {
  return Find<QComboBox>(dlg, "deviceCombo");
}

namespace {

// A click on a button; one of a window not shown (nobody can see it) goes through the button.
void Click(QAbstractButton* button) {
  if (button->isVisible()) {
    QTest::mouseClick(button, Qt::LeftButton);
  } else {
    button->click();
  }
}

}  // namespace

void Start(CKorvaneDlg& dlg) {
  Click(Find<QPushButton>(dlg, "startButton"));
}

void Stop(CKorvaneDlg& dlg) {
  Click(Find<QPushButton>(dlg, "stopButton"));
}

void BrowseImage(CKorvaneDlg& dlg) {
  Click(Find<QPushButton>(dlg, "browseImageButton"));
}

void BrowseFolder(CKorvaneDlg& dlg) {
  Click(Find<QPushButton>(dlg, "browseFolderButton"));
}

void Save(CKorvaneDlg& dlg) {
  Find<QAction>(dlg, "saveAction")->trigger();
}

void SelectAll(CKorvaneDlg& dlg) {
  Find<QAction>(dlg, "selectAllAction")->trigger();
}

void DeselectAll(CKorvaneDlg& dlg) {
  Find<QAction>(dlg, "deselectAllAction")->trigger();
}

bool WaitForProgress(CKorvaneDlg& dlg) {
  QProgressBar* bar = Bar(dlg);
  return QTest::qWaitFor([&] { return bar->value() > 0; }, kWaitMs);
}

Window::Window()
    : dlg_(std::make_unique<CKorvaneDlg>()), controls_(std::make_unique<Controls>(*dlg_)) {
  dlg_->show();
  (void)QTest::qWaitForWindowExposed(dlg_.get());
}

Window::~Window() {
  controls_.reset();
  dlg_->close();
  // Boxes still open belong to the window and go with it.
  dlg_.reset();
}

void Window::FillForImage(const std::string& image, const std::string& save, const QString& size) {
  ui().imageSourceRadio->click();
  ui().scanSizeEdit->setText(size);
  dlg_->SetImageFile(QString::fromStdString(image));
  ui().savePathEdit->setText(QString::fromStdString(save));
}

namespace {

// Runs `start` and waits for `ended` from the window; returns the box it left open.
template <typename Signal>
BoxSeen RunToEnd(CKorvaneDlg& dlg, Signal ended_signal, void (*start)(CKorvaneDlg&)) {
  bool ended = false;
  auto connection = QObject::connect(&dlg, ended_signal, [&] { ended = true; });
  start(dlg);
  const bool in_time = QTest::qWaitFor([&] { return ended; }, 10 * kWaitMs);
  QObject::disconnect(connection);
  return in_time ? AnswerBox() : BoxSeen{};
}

}  // namespace

BoxSeen Window::ScanToEnd() {
  return RunToEnd(*dlg_, &CKorvaneDlg::ScanEnded, Start);
}

BoxSeen Window::SaveToEnd() {
  return RunToEnd(*dlg_, &CKorvaneDlg::SaveEnded, Save);
}

std::vector<std::string> SavedFiles(const std::string& folder) {
  std::vector<std::string> names;
  for (const std::string& name : Listing(folder)) {
    if (name.rfind("korvane-log-", 0) != 0 || std::filesystem::path(name).extension() != ".json") {
      names.push_back(name);
    }
  }
  return names;
}

std::vector<std::string> CaseLogNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const std::string& name : Listing(folder)) {
    if (name.rfind("korvane-log-", 0) == 0 && std::filesystem::path(name).extension() == ".json") {
      names.push_back(name);
    }
  }
  return names;
}

QJsonObject ReadCaseLog(const std::string& path) {
  const std::string text = Slurp(path);
  QJsonParseError error;
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError)
      << path << ": " << error.errorString().toStdString() << "\n"
      << text;
  EXPECT_TRUE(doc.isObject()) << path;
  return doc.object();
}

std::string Sha256Of(const std::string& path) {
  return QCryptographicHash::hash(QByteArray::fromStdString(Slurp(path)),
                                  QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

std::vector<std::string> Window::ShownRows() {
  std::vector<std::string> rows;
  const auto& model = Rows(*dlg_);
  for (int r = 0; r < model.rowCount(); ++r) {
    std::string row;
    for (int c = 0; c < model.columnCount(); ++c) {
      if (c) row += "|";
      row += model.index(r, c).data().toString().toStdString();
    }
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> RowTexts(const std::vector<Recording>& recordings) {
  std::vector<std::string> rows;
  for (const Recording& r : recordings) {
    rows.push_back(r.Name() + "|" + r.StartText() + "|" + r.EndText() + "|" +
                   std::to_string(r.position));
  }
  return rows;
}

uint64_t WriteLongImage(const std::string& path, uint64_t size) {
  testimage::ImageBuilder head(1 << 20, testimage::Fill::kZeros);
  const int64_t t0 = 1700000000;
  uint64_t p = head.AddRecording(4096, t0, 5);
  p = head.AddRecording(p + 1000, t0 + 100, 5);
  head.AddRecording(p + 1000, t0 + 200, 5);
  WriteFile(path, head.bytes());
  for (;;) {
    std::error_code error;
    std::filesystem::resize_file(path, size, error);
    if (!error) return size;
    if (size / 2 < (uint64_t{4} << 30)) {
      throw std::filesystem::filesystem_error("cannot make the long test image", path, error);
    }
    size /= 2;
  }
}

std::unique_ptr<CamerasOnDisk> WriteCamerasImage(std::string* error) {
  std::vector<testimage::VideoClip> clips;
  if (!testimage::LoadCameraClips(KORVANE_TEST_DATA_DIR, &clips, error)) return nullptr;
  auto cameras = std::make_unique<CamerasOnDisk>();
  cameras->image = testimage::BuildCameraImage(clips);
  cameras->source = cameras->dir.File("cameras.img");
  cameras->out = cameras->dir.File("out");
  WriteFile(cameras->source, cameras->image.bytes);
  std::filesystem::create_directory(cameras->out);
  return cameras;
}

}  // namespace korvane::test
