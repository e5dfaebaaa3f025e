// SPDX-License-Identifier: GPL-3.0-or-later
// The window's scan speed against a plain scan of the same source in the same process:
//   korvane-window-bench IMAGE [RUNS]
// Each run scans IMAGE once through ScanSource with a sink that does nothing, and once from a
// window (off screen unless QT_QPA_PLATFORM says otherwise), from the start command to the end
// box. Prints each run's speeds, the best of each and the median of the runs' ratios.
#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/korvane_app.h"
#include "app/korvane_dlg.h"
#include "scan/scanner.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  CKorvaneApp::SetUp(app, korvane::gui::SystemLanguage());
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvane-window-bench IMAGE [RUNS]\n");
    return 2;
  }
  const QString image = QString::fromLocal8Bit(argv[1]);
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

  CKorvaneDlg dlg;
  dlg.show();
  dlg.SetImageFile(image);
  dlg.findChild<QLineEdit*>(QStringLiteral("savePathEdit"))->setText(QStringLiteral("/tmp"));
  const uint64_t size =
      dlg.findChild<QLineEdit*>(QStringLiteral("scanSizeEdit"))->text().toULongLong();
  QPushButton* start_button = dlg.findChild<QPushButton*>(QStringLiteral("startButton"));
  if (size == 0) {
    std::fprintf(stderr, "korvane-window-bench: %s cannot be opened or is empty\n", argv[1]);
    return 1;
  }
  double best_plain = 0, best_window = 0;
  std::vector<double> ratios;
  for (int run = 0; run < runs; ++run) {
    korvane::ScanSink nothing;
    std::atomic<int> stop{0};
    korvane::ScanJob job;
    job.source = argv[1];
    auto start = std::chrono::steady_clock::now();
    korvane::ScanSource(job, nothing, stop);
    const double plain = static_cast<double>(size) / Seconds(start) / 1e6;

    QEventLoop loop;
    auto connection = QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, &loop, &QEventLoop::quit);
    start = std::chrono::steady_clock::now();
    start_button->click();
    loop.exec();
    const double window = static_cast<double>(size) / Seconds(start) / 1e6;
    QObject::disconnect(connection);
    for (QMessageBox* box : dlg.findChildren<QMessageBox*>()) box->close();

    std::printf("run %d: plain %.0f MB/s, window %.0f MB/s (%.0f%%)\n", run + 1, plain, window,
                100 * window / plain);
    ratios.push_back(window / plain);
    best_plain = std::max(best_plain, plain);
    best_window = std::max(best_window, window);
  }
  std::printf("best: plain %.0f MB/s, window %.0f MB/s (%.0f%%)\n", best_plain, best_window,
              100 * best_window / best_plain);
  std::sort(ratios.begin(), ratios.end());
  const size_t n = ratios.size();
  const double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
  std::printf("median of the runs' window/plain: %.0f%%\n", 100 * median);
  return 0;
}
