// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/korvane_app.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <cstdio>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

#include "about/offscreen_fonts.h"
#include "app/case_log_window.h"
#include "app/korvane_dlg.h"
#include "app/language.h"
#include "datewindow/clock_offset.h"
#include "res/resource.h"

CKorvaneApp theApp;

#if defined(__SANITIZE_THREAD__)
// Built with ThreadSanitizer: Qt's libraries are not, and their own worker threads (the pools
// that convert and scale images for painting) hand memory over through locks it cannot see. What
// those libraries allocate, free and copy is left out; this program's own accesses are all still
// checked, also where Qt calls them.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n"
         "called_from_lib:libqoffscreen.so\n";
}
#endif

namespace {

const char kUsage[] =
    "usage: korvane [--lang zh|en] [--clock-offset OFFSET] [--examiner NAME] [--case ID]\n"
    "               [IMAGE] [--screenshot FILE [--scan IMAGE] [--timeline]]\n"
    "Opens the Korvane window, which finds DVR recordings on raw disks and disk images.\n"
    "  IMAGE              put IMAGE into the form as the image to scan, with its size\n"
    "  --lang zh|en       the window in Chinese or English (default: the system's language,\n"
    "                     Chinese where it is Chinese or not set, English otherwise)\n"
    "  --clock-offset OFFSET  the recorder's clock was OFFSET ahead of the true time,\n"
    "                     [-]HH:MM:SS or [-]D:HH:MM:SS ('-': behind): the title names it,\n"
    "                     the list, the details and exported files show corrected times\n"
    "                     (the details the recorder's too) and the date filter's days are\n"
    "                     corrected days\n"
    "  --examiner NAME    the examiner, for the case logs written into the save folder\n"
    "  --case ID          the case, for the same logs\n"
    "  --screenshot FILE  draw the window off screen into FILE (PNG) instead of showing it\n"
    "  --scan IMAGE       with --screenshot: scan IMAGE from the window first\n"
    "  --timeline         with --screenshot: draw the timeline window of the list instead\n"
    "  --version          print the version and the licence\n";

const char kLicenceText[] =
    "License GPL-3.0-or-later: free software, you may change and share it; there is NO "
    "WARRANTY.";

#ifdef _WIN32
// A window program has standard handles only when its caller passed some.
bool HasErrorOutput() {
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  return err != nullptr && err != INVALID_HANDLE_VALUE && ::GetFileType(err) != FILE_TYPE_UNKNOWN &&
         _fileno(stderr) >= 0;
}

// Output lines end in a plain '\n', as korvane-scan writes them.
void PlainLineEnds() {
  if (_fileno(stdout) >= 0) _setmode(_fileno(stdout), _O_BINARY);
  if (_fileno(stderr) >= 0) _setmode(_fileno(stderr), _O_BINARY);
}
#endif

// Tells the user how the program is called. On Windows the window program has no console, so
// the text goes into a message box unless the caller took its errors.
int UsageError(const QString& problem, int argc, char** argv) {
#ifdef _WIN32
  // Started from a script with its errors going to a file or a pipe: the text goes there, where
  // the caller looks, rather than into a box no one may be there to close.
  if (HasErrorOutput()) {
    std::fprintf(stderr, "korvane: %s\n%s", qPrintable(problem), kUsage);
    return 2;
  }
  std::optional<QApplication> app;
  if (QCoreApplication::instance() == nullptr) app.emplace(argc, argv);
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Korvane"),
                  problem + QStringLiteral("\n\n") + QString::fromLatin1(kUsage), QMessageBox::Ok);
  box.exec();
#else
  (void)argc, (void)argv;
  std::fprintf(stderr, "korvane: %s\n%s", qPrintable(problem), kUsage);
#endif
  return 2;
}

}  // namespace

void CKorvaneApp::InitResources() {
  Q_INIT_RESOURCE(korvane);
}

QIcon CKorvaneApp::Icon() {
  InitResources();
  QIcon icon;
  for (int size : korvane::res::kIconSizes) {
    icon.addFile(QString::fromLatin1(korvane::res::kIconFilePattern).arg(size), QSize(size, size));
  }
  return icon;
}

void CKorvaneApp::SetUp(QApplication& app, korvane::gui::Language language) {
  QCoreApplication::setApplicationName(QStringLiteral("Korvane"));
  QCoreApplication::setApplicationVersion(QStringLiteral(KORVANE_VERSION));
  app.setWindowIcon(Icon());
  // The program's texts and Qt's own (its buttons and dialogs) in that language. Should Qt's
  // Chinese texts be missing, its buttons stay English; the program's are always there.
  korvane::gui::UseLanguage(language);
}

int CKorvaneApp::Run(int argc, char** argv) {
#ifdef _WIN32
  PlainLineEnds();
#endif
  std::vector<char*> qt_args = {argv[0]};
  std::optional<std::string> screenshot, scan, lang, clock_offset, examiner, case_id;
  bool timeline = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--clock-offset=", 0) == 0) {
      clock_offset = arg.substr(arg.find('=') + 1);
      continue;
    }
    if (arg == "--version") {
      std::printf("korvane %s\n%s\n", KORVANE_VERSION, kLicenceText);
      return 0;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--timeline") {
      timeline = true;
      continue;
    }
    if (arg == "--screenshot" || arg == "--scan" || arg == "--lang" || arg == "--clock-offset" ||
        arg == "--examiner" || arg == "--case") {
      if (i + 1 >= argc) {
        return UsageError(QStringLiteral("%1 needs an argument").arg(QString::fromStdString(arg)),
                          argc, argv);
      }
      (arg == "--scan"           ? scan
       : arg == "--lang"         ? lang
       : arg == "--clock-offset" ? clock_offset
       : arg == "--examiner"     ? examiner
       : arg == "--case"         ? case_id
                                 : screenshot) = argv[++i];
      continue;
    }
    qt_args.push_back(argv[i]);  // perhaps one of Qt's own (-platform, -style, ...), or the image
  }
  if (scan && !screenshot) {
    return UsageError(QStringLiteral("--scan goes with --screenshot"), argc, argv);
  }
  if (timeline && !screenshot) {
    return UsageError(QStringLiteral("--timeline goes with --screenshot"), argc, argv);
  }
  std::optional<korvane::gui::Language> language;
  if (lang) {
    language = korvane::gui::LanguageNamed(QString::fromLocal8Bit(lang->c_str()));
    if (!language) {
      return UsageError(QStringLiteral("--lang takes zh or en, not %1")
                            .arg(QString::fromLocal8Bit(lang->c_str())),
                        argc, argv);
    }
  }
  if (clock_offset) {
    const korvane::Result<int64_t> offset = korvane::ParseClockOffset(*clock_offset);
    if (!offset.ok()) {
      return UsageError(QStringLiteral("--clock-offset takes [-]HH:MM:SS or [-]D:HH:MM:SS such as "
                                       "-01:30:00, not '%1': %2")
                            .arg(QString::fromLocal8Bit(clock_offset->c_str()),
                                 QString::fromStdString(offset.status().message())),
                        argc, argv);
    }
    clock_offset_ = *offset;
  }
  if (screenshot) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    korvane::UseSystemFontsOffScreen();
  }

  int qt_argc = static_cast<int>(qt_args.size());
  qt_args.push_back(nullptr);
  QApplication app(qt_argc, qt_args.data());
  // What Qt has not taken: at most one path, the image to scan (a file dropped on the program).
  QStringList rest = QCoreApplication::arguments();
  rest.removeFirst();
  std::optional<QString> image;
  for (const QString& arg : rest) {
    if (arg.startsWith(QLatin1Char('-'))) {
      return UsageError(QStringLiteral("unknown option %1").arg(arg), argc, argv);
    }
    if (image) return UsageError(QStringLiteral("more than one image: %1").arg(arg), argc, argv);
    image = QFileInfo(arg).absoluteFilePath();
  }
  SetUp(app, language.value_or(korvane::gui::SystemLanguage()));
  // The case logs name the program as it was called, and the examiner and case given.
  std::vector<std::string> command_line;
  for (int i = 0; i < argc; ++i) {
    command_line.push_back(QString::fromLocal8Bit(argv[i]).toStdString());
  }
  auto utf8 = [](const std::optional<std::string>& text) -> std::optional<std::string> {
    if (!text) return std::nullopt;
    return QString::fromLocal8Bit(text->c_str()).toStdString();
  };
  korvane::gui::SetCaseLogIdentity(std::move(command_line), utf8(examiner), utf8(case_id));
  if (screenshot) return Screenshot(*screenshot, scan, image, timeline);
  InitInstance(image);
  return 0;
}

bool CKorvaneApp::InitInstance(const std::optional<QString>& image) {
  CKorvaneDlg dlg;
  if (clock_offset_) dlg.SetClockOffset(*clock_offset_);
  if (image) dlg.SetImageFile(*image);
  dlg.exec();
  return false;
}

int CKorvaneApp::Screenshot(const std::string& file, const std::optional<std::string>& scan,
                            const std::optional<QString>& image, bool timeline) {
  CKorvaneDlg dlg;
  if (clock_offset_) dlg.SetClockOffset(*clock_offset_);
  dlg.show();
  if (image) dlg.SetImageFile(*image);
  if (scan) {
    const QString scanned = QFileInfo(QString::fromLocal8Bit(scan->c_str())).absoluteFilePath();
    dlg.SetImageFile(scanned);
    dlg.findChild<QLineEdit*>(QStringLiteral("savePathEdit"))
        ->setText(QDir::toNativeSeparators(QFileInfo(scanned).absolutePath()));
    const QString size = dlg.findChild<QLineEdit*>(QStringLiteral("scanSizeEdit"))->text();
    if (size.isEmpty() || size == QStringLiteral("0")) {
      std::fprintf(stderr, "korvane: %s cannot be opened or is empty\n", scan->c_str());
      return 1;
    }
    // The form is complete, so the start is accepted and its end always comes.
    QEventLoop loop;
    QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, &loop, &QEventLoop::quit);
    dlg.findChild<QPushButton*>(QStringLiteral("startButton"))->click();
    loop.exec();
  }
  QWidget* shown = &dlg;
  if (timeline) {
    // The timeline window as its menu item opens it.
    dlg.findChild<QAction*>(QStringLiteral("timelineAction"))->trigger();
    shown = dlg.findChild<QWidget*>(QStringLiteral("timelineWindow"));
  }
  QCoreApplication::processEvents();
  if (!shown->grab().save(QString::fromLocal8Bit(file.c_str()), "PNG")) {
    std::fprintf(stderr, "korvane: cannot write %s\n", file.c_str());
    return 1;
  }
  return 0;
}
