// SPDX-License-Identifier: GPL-3.0-or-later
// The application: the command line, Qt's set-up, and the main window run modally.
#pragma once

#include <QIcon>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>

#include "app/language.h"

class QApplication;

class CKorvaneApp {
 public:
  // The whole program: `--version`, `--help` and `--screenshot` are answered here; otherwise the
  // window runs until it is closed, with the image given as the one argument in its form.
  // Returns the process's exit status.
  int Run(int argc, char** argv);

  // Runs the main window modally, with `image` in its form when given. Returns false: the
  // program ends when the window closes.
  bool InitInstance(const std::optional<QString>& image = std::nullopt);

  // Gives `app` the program's name, version and icon, and every text, the program's and Qt's
  // own, in `language`.
  static void SetUp(QApplication& app, korvane::gui::Language language);
  static QIcon Icon();
  // Makes the icon, banner and form resources of the library available.
  static void InitResources();

 private:
  // Draws the main window, or with `timeline` the timeline window, into `file`.
  int Screenshot(const std::string& file, const std::optional<std::string>& scan,
                 const std::optional<QString>& image, bool timeline);

  // --clock-offset, in seconds; given to every window the program opens.
  std::optional<int64_t> clock_offset_;
};

extern CKorvaneApp theApp;
