// SPDX-License-Identifier: GPL-3.0-or-later
// Windows: the entry is appended to the dialog's system menu, and its system command opens the
// About box. The menu belongs to the native window, so it is extended again whenever Qt creates
// a new one for the dialog.
#include <windows.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QMetaObject>
#include <string>

#include "about/about_entry.h"

namespace korvane {

namespace {

class SystemMenuEntry : public QObject, public QAbstractNativeEventFilter {
 public:
  explicit SystemMenuEntry(QDialog* dlg) : QObject(dlg), dlg_(dlg) {
    QCoreApplication::instance()->installNativeEventFilter(this);
    dlg->installEventFilter(this);
    AppendToMenu();
  }
  ~SystemMenuEntry() override {
    if (QCoreApplication* app = QCoreApplication::instance()) app->removeNativeEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == dlg_ && (event->type() == QEvent::WinIdChange || event->type() == QEvent::Show))
      AppendToMenu();
    return false;
  }

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override {
    if (type != "windows_generic_MSG") return false;
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message != WM_SYSCOMMAND || msg->hwnd == nullptr ||
        msg->hwnd != reinterpret_cast<HWND>(dlg_->internalWinId()) ||
        !IsAboutCommand(static_cast<unsigned>(msg->wParam)))
      return false;
    // Opened from the event loop rather than inside the window procedure.
    QDialog* dlg = dlg_;
    QMetaObject::invokeMethod(
        dlg, [dlg] { OpenAboutBox(dlg); }, Qt::QueuedConnection);
    *result = 0;
    return true;
  }

 private:
  void AppendToMenu() {
    const HWND hwnd = reinterpret_cast<HWND>(dlg_->internalWinId());
    if (hwnd == nullptr || hwnd == extended_) return;
    HMENU menu = GetSystemMenu(hwnd, FALSE);
    if (menu == nullptr) return;
    const std::wstring text = QString::fromLatin1(kAboutEntryText).toStdWString();
    if (text.empty()) return;
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, text.c_str());
    extended_ = hwnd;
  }

  QDialog* dlg_;
  HWND extended_ = nullptr;  // the native window whose menu holds the entry
};

}  // namespace

void InstallAboutEntry(QDialog* dlg, QWidget* /*banner*/) {
  if (dlg == nullptr) return;
  new SystemMenuEntry(dlg);
}

}  // namespace korvane
