#include "app/korvane_app.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QPixmap>
#include <QTranslator>
#include <cstdio>
#include <vector>

#include "app/korvane_dlg.h"
#include "res/resource.h"
#include "ui_korvane_dlg.h"

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
    "usage: korvane [--screenshot FILE [--scan IMAGE]]\n"
    "Opens the Korvane window, which finds DVR recordings on raw disks and disk images.\n"
    "  --screenshot FILE  draw the window off screen into FILE (PNG) instead of showing it\n"
    "  --scan IMAGE       with --screenshot: scan IMAGE from the window first\n"
    "  --version          print the version\n";

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

void CKorvaneApp::SetUp(QApplication& app) {
  QCoreApplication::setApplicationName(QStringLiteral("Korvane"));
  QCoreApplication::setApplicationVersion(QStringLiteral(KORVANE_VERSION));
  app.setWindowIcon(Icon());
  // Qt's own buttons and dialogs speak Chinese like the rest of the window ("确定").
  auto* translator = new QTranslator(&app);
  if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                       QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    app.installTranslator(translator);
  } else {
    delete translator;
  }
}

int CKorvaneApp::Run(int argc, char** argv) {
  std::vector<char*> qt_args = {argv[0]};
  std::optional<std::string> screenshot, scan;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--version") {
      std::printf("korvane %s\n", KORVANE_VERSION);
      return 0;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--screenshot" || arg == "--scan") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "korvane: %s needs an argument\n%s", arg.c_str(), kUsage);
        return 2;
      }
      (arg == "--scan" ? scan : screenshot) = argv[++i];
      continue;
    }
    qt_args.push_back(argv[i]);  // perhaps one of Qt's own (-platform, -style, ...)
  }
  if (scan && !screenshot) {
    std::fprintf(stderr, "korvane: --scan goes with --screenshot\n%s", kUsage);
    return 2;
  }
  if (screenshot) qputenv("QT_QPA_PLATFORM", "offscreen");

  int qt_argc = static_cast<int>(qt_args.size());
  qt_args.push_back(nullptr);
  QApplication app(qt_argc, qt_args.data());
  if (QCoreApplication::arguments().size() > 1) {
    std::fprintf(stderr, "korvane: unknown argument %s\n%s",
                 qPrintable(QCoreApplication::arguments().at(1)), kUsage);
    return 2;
  }
  SetUp(app);
  if (screenshot) return Screenshot(*screenshot, scan);
  InitInstance();
  return 0;
}

bool CKorvaneApp::InitInstance() {
  CKorvaneDlg dlg;
  dlg.exec();
  return false;
}

int CKorvaneApp::Screenshot(const std::string& file, const std::optional<std::string>& scan) {
  CKorvaneDlg dlg;
  dlg.show();
  if (scan) {
    const QString image = QFileInfo(QString::fromLocal8Bit(scan->c_str())).absoluteFilePath();
    dlg.SetImageFile(image);
    dlg.ui().savePathEdit->setText(QDir::toNativeSeparators(QFileInfo(image).absolutePath()));
    const QString size = dlg.ui().scanSizeEdit->text();
    if (size.isEmpty() || size == QStringLiteral("0")) {
      std::fprintf(stderr, "korvane: %s cannot be opened or is empty\n", scan->c_str());
      return 1;
    }
    // The form is complete, so the start is accepted and its end always comes.
    QEventLoop loop;
    QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, &loop, &QEventLoop::quit);
    dlg.OnStartScan();
    loop.exec();
  }
  QCoreApplication::processEvents();
  if (!dlg.grab().save(QString::fromLocal8Bit(file.c_str()), "PNG")) {
    std::fprintf(stderr, "korvane: cannot write %s\n", file.c_str());
    return 1;
  }
  return 0;
}
