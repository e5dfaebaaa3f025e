// SPDX-License-Identifier: GPL-3.0-or-later
// The About box: the product title and two links to the project's sites. Built afresh for each
// opening and run modally; Esc and the close box end it.
#pragma once

#include <QDialog>
#include <memory>

#include "about/static_link.h"

namespace Ui {
class CAboutDlg;
}

namespace korvane {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  // At most CMyStaticLink::kMaxText characters each; the form's link labels show the same text.
  static constexpr char kFirstUrl[] = "https://korvane.example.org";
  static constexpr char kSecondUrl[] = "https://docs.example.org";

  // owner: the window the box is modal over; the box opens at the top left of its client area.
  explicit CAboutDlg(QWidget* owner = nullptr);
  ~CAboutDlg() override;

  CMyStaticLink& FirstLink() { return m_linkFirst; }
  CMyStaticLink& SecondLink() { return m_linkSecond; }

 protected:
  void changeEvent(QEvent* event) override;

 private:
  std::unique_ptr<Ui::CAboutDlg> ui_;
  CMyStaticLink m_linkFirst;   // label 1015
  CMyStaticLink m_linkSecond;  // label 1016
};

}  // namespace korvane
