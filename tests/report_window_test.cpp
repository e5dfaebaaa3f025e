// SPDX-License-Identifier: GPL-3.0-or-later
// 生成报告 in the list's menu: the report of the list as shown, written into the save folder on
// the worker, with a box when it is done or has failed.
#include <gtest/gtest.h>

#include <QAction>
#include <QMessageBox>
#include <QTest>
#include <filesystem>
#include <string>
#include <vector>

#include "app/korvane_dlg.h"
#include "scan/save_folder.h"
#include "scan/sha256.h"
#include "tests/test_support.h"
#include "tests/window_test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;

#ifdef KORVANE_HAVE_REPORT
// Triggers 生成报告 and answers the box it ends with.
test::BoxSeen ReportToEnd(CKorvaneDlg& dlg) {
  bool ended = false;
  auto connection = QObject::connect(&dlg, &CKorvaneDlg::ReportEnded, [&] { ended = true; });
  QAction* action = dlg.findChild<QAction*>("reportAction");
  EXPECT_NE(action, nullptr);
  if (action == nullptr) return {};
  EXPECT_TRUE(action->isEnabled());
  action->trigger();
  const bool in_time = QTest::qWaitFor([&] { return ended; }, 10 * test::kWaitMs);
  QObject::disconnect(connection);
  return in_time ? test::AnswerBox() : test::BoxSeen{};
}

// The camera rows of the four cameras' image: report.html lists each row, report.xml has a
// fileobject for each, and the box names both files. A report that cannot be written (every
// name taken) ends with the failure box, never with the done one.
TEST(ReportWindow, WritesTheListShownIntoTheSaveFolderAndSaysWhenItCannot) {
  std::string error;
  const auto cameras = test::WriteCamerasImage(&error);
  ASSERT_TRUE(cameras) << error;
  const testimage::CameraImage& image = cameras->image;
  const std::string &source = cameras->source, &out = cameras->out;

  test::Window w;
  CKorvaneDlg& dlg = w.dlg();
  w.FillForImage(source, out);
  ASSERT_EQ(w.ScanToEnd().text, "scan end!");
  QAction* camera_view = dlg.findChild<QAction*>("cameraViewAction");
  ASSERT_NE(camera_view, nullptr);
  camera_view->setChecked(true);
  // What the window saved since the scan is among the report's files written.
  test::SelectAll(dlg);
  ASSERT_TRUE(w.SaveToEnd().text.startsWith("保存完成!"));

  const test::BoxSeen done = ReportToEnd(dlg);
  EXPECT_EQ(done.icon, QMessageBox::Information) << done.text.toStdString();
  EXPECT_TRUE(done.text.startsWith("报告已生成:")) << done.text.toStdString();
  EXPECT_TRUE(done.text.contains("report.html")) << done.text.toStdString();
  const std::string html = test::Slurp(test::Utf8Path(fs::path(out) / "report.html"));
  const std::string xml = test::Slurp(test::Utf8Path(fs::path(out) / "report.xml"));
  size_t objects = 0;
  for (size_t at = xml.find("<fileobject>"); at != std::string::npos;
       at = xml.find("<fileobject>", at + 1)) {
    ++objects;
  }
  EXPECT_EQ(objects, image.runs.size());
  for (size_t i = 0; i < image.runs.size(); ++i) {
    const std::string name = std::to_string(i) + ".dav";
    EXPECT_NE(html.find("<td>" + name + "</td>"), std::string::npos) << name;
    EXPECT_NE(xml.find("<filename>" + name + "</filename>"), std::string::npos) << name;
  }
  EXPECT_NE(xml.find("<korvane:grouping>camera</korvane:grouping>"), std::string::npos);
  const std::string saved = test::Slurp(test::Utf8Path(fs::path(out) / "0.dav"));
  Sha256 sha;
  sha.Update(reinterpret_cast<const uint8_t*>(saved.data()), saved.size());
  const Result<std::string> hex = sha.Hex();
  ASSERT_TRUE(hex.ok());
  EXPECT_NE(html.find(*hex), std::string::npos) << "the saved 0.dav's SHA-256 is not in the page";
  EXPECT_NE(xml.find(*hex), std::string::npos) << "the saved 0.dav's SHA-256 is not in the DFXML";

  const fs::path full = fs::path(cameras->dir.path()) / "full";
  fs::create_directory(full);
  for (unsigned n = 0; n <= kMaxNameNumber; ++n) {
    test::WriteFile(test::Utf8Path(full / NumberedName("report.xml", n)), {});
  }
  w.FillForImage(source, test::Utf8Path(full));
  const test::BoxSeen failed = ReportToEnd(dlg);
  EXPECT_EQ(failed.icon, QMessageBox::Warning) << failed.text.toStdString();
  EXPECT_TRUE(failed.text.startsWith("无法生成报告:")) << failed.text.toStdString();
  EXPECT_FALSE(fs::exists(full / "report.html"));
}
#endif

}  // namespace
}  // namespace korvane
