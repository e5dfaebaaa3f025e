// SPDX-License-Identifier: GPL-3.0-or-later
// The window with the recorder's clock offset from its command line: the title names it, the list
// and the details box show corrected times (the box the recorder's too), and the date filter keeps
// frames by their corrected day.
#include <gtest/gtest.h>

#include <QAction>
#include <QDate>
#include <QDateEdit>
#include <QLabel>
#include <QTableView>
#include <QTest>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/details_box.h"
#include "tests/test_support.h"
#include "tests/window_test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using gui::RecordingModel;
using test::Window;

std::string DemoImage(const test::TempDir& dir) {
  testimage::ImageBuilder demo(0, testimage::Fill::kZeros);
  demo.bytes() = testimage::BuildDemoImage();
  const std::string path = dir.File("demo.img");
  test::WriteFile(path, demo.bytes());
  return path;
}

// Scans the demo image for the 5th of March 2014, with the clock offset when given.
std::vector<std::string> ScanTheFifth(Window& w, const test::TempDir& dir,
                                      std::optional<int64_t> offset) {
  CKorvaneDlg& dlg = w.dlg();
  if (offset) dlg.SetClockOffset(*offset);
  w.FillForImage(DemoImage(dir), dir.path().string());
  test::StartDate(dlg)->setDate(QDate(2014, 3, 5));
  test::EndDate(dlg)->setDate(QDate(2014, 3, 6));
  QTest::mouseClick(w.ui().filterCheck, Qt::LeftButton);
  EXPECT_EQ(w.ScanToEnd().text, "scan end!");
  return w.ShownRows();
}

gui::DetailsBox* DetailsOfFirstRow(CKorvaneDlg& dlg) {
  QTableView* list = test::List(dlg);
  const QPoint at = list->visualRect(list->model()->index(0, RecordingModel::kStart)).center();
  // A double click as the platform delivers it: press, release, double click, release.
  QTest::mousePress(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, at);
  gui::DetailsBox* box = nullptr;
  const bool opened = QTest::qWaitFor(
      [&] {
        box = dlg.findChild<gui::DetailsBox*>("recordingDetails");
        return box && box->isVisible();
      },
      test::kWaitMs);
  return opened ? box : nullptr;
}

QString Shown(QWidget* in, const char* name) {
  auto* label = in->findChild<QLabel*>(QString::fromLatin1(name));
  return label ? label->text() : QStringLiteral("<missing>");
}

// 20 seconds ahead: the first 20 seconds of the 5th were the 4th's, so the recording across
// midnight leaves the 5th, and the one at 01:00 is listed 20 seconds earlier.
TEST(ClockWindow, ListDetailsAndFilterShowCorrectedTimes) {
  test::TempDir dir;
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  EXPECT_EQ(ScanTheFifth(w, dir, 20),
            (std::vector<std::string>{"0.dav|2014-03-05 00:59:40|2014-03-05 01:00:19|998576"}));
  EXPECT_TRUE(dlg.windowTitle().contains("+00:00:20")) << dlg.windowTitle().toStdString();

  gui::DetailsBox* box = DetailsOfFirstRow(dlg);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(Shown(box, "start"), "2014-03-05 00:59:40");
  EXPECT_EQ(Shown(box, "end"), "2014-03-05 01:00:19");
  EXPECT_EQ(Shown(box, "recorderStart"), "2014-03-05 01:00:00");
  EXPECT_EQ(Shown(box, "recorderEnd"), "2014-03-05 01:00:39");
  EXPECT_EQ(Shown(box, "clockOffset"), "+00:00:20");
  box->close();
}

// Behind by an hour: the 4th's last seconds are the 5th's first hour once corrected.
TEST(ClockWindow, ANegativeOffsetBringsTheDayBeforesLastSecondsIn) {
  test::TempDir dir;
  Window w;
  EXPECT_EQ(ScanTheFifth(w, dir, -3600),
            (std::vector<std::string>{"0.dav|2014-03-05 00:59:40|2014-03-05 01:00:19|4096",
                                      "1.dav|2014-03-05 02:00:00|2014-03-05 02:00:39|998576"}));
  EXPECT_TRUE(w.dlg().windowTitle().contains("-01:00:00"));
}

// Without an offset the window is as it was: the recorder's times, its own days, no extra rows
// in the details box, the title unchanged.
TEST(ClockWindow, WithoutAnOffsetNothingChanges) {
  test::TempDir dir;
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  EXPECT_EQ(ScanTheFifth(w, dir, std::nullopt),
            (std::vector<std::string>{"0.dav|2014-03-05 00:00:00|2014-03-05 00:00:19|245376",
                                      "1.dav|2014-03-05 01:00:00|2014-03-05 01:00:39|998576"}));
  EXPECT_EQ(dlg.windowTitle(), "Korvane");
  gui::DetailsBox* box = DetailsOfFirstRow(dlg);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(Shown(box, "start"), "2014-03-05 00:00:00");
  EXPECT_EQ(box->findChild<QLabel*>("recorderStart"), nullptr);
  EXPECT_EQ(box->findChild<QLabel*>("clockOffset"), nullptr);
  box->close();
}

#ifdef KORVANE_HAVE_VIDEO
std::string Output(const std::string& command) {
  return test::Shell(command);
}

// 导出视频 with an offset: the file's creation time is the corrected start, its recorder_start the
// recorder's own, and its name the recording's number as without one.
TEST(ClockWindow, ExportedVideoHasTheCorrectedCreationTimeAndTheRecordersStart) {
  if (Output("command -v ffprobe").empty()) GTEST_SKIP() << "ffprobe is not installed";
  std::string error;
  const auto cameras = test::WriteCamerasImage(&error);
  ASSERT_TRUE(cameras) << error;
  const testimage::CameraImage& image = cameras->image;
  const std::string &source = cameras->source, &out = cameras->out;

  Window w;
  CKorvaneDlg& dlg = w.dlg();
  const int64_t offset = 2 * 86400 + 3600;  // two days and an hour ahead
  dlg.SetClockOffset(offset);
  w.FillForImage(source, out);
  ASSERT_EQ(w.ScanToEnd().text, "scan end!");
  dlg.findChild<QAction*>("cameraViewAction")->trigger();
  RecordingModel& rows = test::Rows(dlg);
  ASSERT_GT(rows.rowCount(), 0);
  ASSERT_TRUE(rows.setData(rows.index(0, RecordingModel::kName), Qt::Checked, Qt::CheckStateRole));
  const testimage::CameraRun& run = image.runs[0];
  EXPECT_EQ(rows.index(0, RecordingModel::kStart).data().toString().toStdString(),
            CorrectedText(run.start, offset));

  bool ended = false;
  QObject::connect(&dlg, &CKorvaneDlg::ExportEnded, [&] { ended = true; });
  dlg.findChild<QAction*>("exportVideoAction")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 10 * test::kWaitMs));
  EXPECT_TRUE(test::AnswerBox().text.startsWith("导出完成!"));
  std::string creation = CorrectedText(run.start, offset);
  creation[10] = 'T';
  const std::string tags = Output(
      "ffprobe -v error -show_entries format_tags=creation_time,recorder_start,clock_offset -of "
      "default=noprint_wrappers=1 '" +
      out + "/0.mp4' 2>&1");
  for (const std::string& tag : {"TAG:creation_time=" + creation + ".000000Z\n",
                                 "TAG:recorder_start=" + FormatUnixSeconds(run.start) + "\n",
                                 std::string("TAG:clock_offset=+2:01:00:00\n")}) {
    EXPECT_NE(tags.find(tag), std::string::npos) << tags;
  }
}
#endif

// The command line: a good offset opens the window, a bad one is a usage error (status 2) that
// names the option, the text and what is wrong.
TEST(ClockWindow, TheCommandLineRefusesABadOffsetSayingWhy) {
  test::TempDir dir;
  const std::string shot = dir.File("shot.png");
  auto run = [&](const std::vector<std::string>& args, std::string* err) {
    test::ChildProcess program(KORVANE_BINARY, args, dir.File("out"), dir.File("err"));
    const int status = program.Wait();
    *err = test::Slurp(dir.File("err"));
    return status;
  };
  std::string err;
  EXPECT_EQ(run({"--clock-offset", "-01:30:00", "--screenshot", shot}, &err), 0) << err;
  EXPECT_EQ(run({"--clock-offset=1:00:00:00", "--screenshot", shot}, &err), 0) << err;
  EXPECT_EQ(run({"--clock-offset", "1:60:00", "--screenshot", shot}, &err), 2);
  EXPECT_NE(err.find("--clock-offset takes [-]HH:MM:SS or [-]D:HH:MM:SS such as -01:30:00, not "
                     "'1:60:00': the minutes must be two digits, 00 to 59"),
            std::string::npos)
      << err;
  EXPECT_EQ(run({"--clock-offset", "1:30", "--screenshot", shot}, &err), 2);
  EXPECT_NE(err.find("not '1:30'"), std::string::npos) << err;
  EXPECT_EQ(run({"--screenshot", shot, "--clock-offset"}, &err), 2);
  EXPECT_NE(err.find("--clock-offset needs an argument"), std::string::npos) << err;
}

}  // namespace
}  // namespace korvane
