// The application: the command line, Qt's set-up, and the main window run modally.
#pragma once

#include <QIcon>
#include <optional>
#include <string>

class QApplication;

class CKorvaneApp {
 public:
  // The whole program: `--version`, `--help` and `--screenshot` are answered here; otherwise the
  // window runs until it is closed. Returns the process's exit status.
  int Run(int argc, char** argv);

  // Runs the main window modally. Returns false: the program ends when the window closes.
  bool InitInstance();

  // Gives `app` the program's name, version and icon, and Qt's own texts in Chinese.
  static void SetUp(QApplication& app);
  static QIcon Icon();
  // Makes the icon, banner and form resources of the library available.
  static void InitResources();

 private:
  int Screenshot(const std::string& file, const std::optional<std::string>& scan);
};

extern CKorvaneApp theApp;
