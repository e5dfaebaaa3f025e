// SPDX-License-Identifier: GPL-3.0-or-later
// The window's tests run real widgets off screen, in one QApplication set up like the program's.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryFile>

#include "about/offscreen_fonts.h"
#include "app/korvane_app.h"

namespace {

QtMessageHandler standard_handler = nullptr;

// The offscreen platform warns about every message box it cannot size like a real one.
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (text.contains(QLatin1String("propagateSizeHints"))) return;
  standard_handler(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Off screen, on a screen large enough for the window and the menus it opens.
#ifdef _WIN32
  // Colons separate the platform's arguments, so the file is named without a drive: in the
  // current folder (the test's build folder).
  QTemporaryFile screens(QStringLiteral("korvane-screens-XXXXXX.json"));
#else
  QTemporaryFile screens;
#endif
  screens.open();
  screens.write(R"({"screens": [{"name": "test", "x": 0, "y": 0, "width": 1920, "height": 1080,
                                  "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
  screens.flush();
#ifdef _WIN32
  const QString config = QDir::current().relativeFilePath(screens.fileName());
#else
  const QString config = screens.fileName();
#endif
  qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(config));
  korvane::UseSystemFontsOffScreen();
  QApplication app(argc, argv);
  standard_handler = qInstallMessageHandler(QuietMessages);
  // In the window's own language, whatever the machine's: the tests check its texts as written.
  CKorvaneApp::SetUp(app, korvane::gui::Language::kChinese);
  return RUN_ALL_TESTS();
}
