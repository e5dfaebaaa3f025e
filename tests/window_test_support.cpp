#include "tests/window_test_support.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "scan/worker.h"
#include "tests/test_support.h"
#include "tools/image_builder.h"

namespace korvane::test {

QMessageBox* VisibleBox() {
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
        if (a->text() == choose) chosen = a;
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

bool WaitForProgress(CKorvaneDlg& dlg) {
  return QTest::qWaitFor([&] { return dlg.m_progress->value() > 0; }, kWaitMs);
}

Window::Window() : dlg_(std::make_unique<CKorvaneDlg>()) {
  dlg_->show();
  (void)QTest::qWaitForWindowExposed(dlg_.get());
}

Window::~Window() {
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
BoxSeen RunToEnd(CKorvaneDlg& dlg, Signal ended_signal, void (CKorvaneDlg::*start)()) {
  bool ended = false;
  auto connection = QObject::connect(&dlg, ended_signal, [&] { ended = true; });
  (dlg.*start)();
  const bool in_time = QTest::qWaitFor([&] { return ended; }, 10 * kWaitMs);
  QObject::disconnect(connection);
  return in_time ? AnswerBox() : BoxSeen{};
}

}  // namespace

BoxSeen Window::ScanToEnd() {
  return RunToEnd(*dlg_, &CKorvaneDlg::ScanEnded, &CKorvaneDlg::OnStartScan);
}

BoxSeen Window::SaveToEnd() {
  return RunToEnd(*dlg_, &CKorvaneDlg::SaveEnded, &CKorvaneDlg::OnSave);
}

std::vector<std::string> Window::ShownRows() {
  std::vector<std::string> rows;
  const auto& model = dlg_->Rows();
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

void WriteLongImage(const std::string& path, uint64_t size) {
  testimage::ImageBuilder head(1 << 20, testimage::Fill::kZeros);
  const int64_t t0 = 1700000000;
  uint64_t p = head.AddRecording(4096, t0, 5);
  p = head.AddRecording(p + 1000, t0 + 100, 5);
  head.AddRecording(p + 1000, t0 + 200, 5);
  WriteFile(path, head.bytes());
  std::filesystem::resize_file(path, size);
}

}  // namespace korvane::test
