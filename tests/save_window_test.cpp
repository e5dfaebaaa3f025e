// SPDX-License-Identifier: GPL-3.0-or-later
// Saving the checked rows from the window, driven as a person drives it: the files and
// recordings.csv, no replacing, the refusals, the busy flag, stop and close during a save, files
// that fail, and a folder the user may not write to.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <QJsonArray>
#include <QJsonObject>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTest>
#include <cstdlib>
#include <filesystem>

#include "app/case_log_window.h"
#include "app/end_text.h"
#include "evidence/case_log.h"
#include "evidence/case_log_run.h"
#include "scan/save.h"
#include "scan/worker.h"
#include "tests/test_support.h"
#include "tests/window_test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::BoxSeen;
using test::Window;

// Set in the copy of this program that runs as an unprivileged user.
constexpr char kUnprivilegedChild[] = "KORVANE_UNPRIVILEGED_CHILD";

class SaveFromWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = testimage::BuildDemoImage();
    test::WriteFile(Demo(), image_);
    fs::create_directory(Out());
  }
  std::string Demo() const { return dir_.File("demo.img"); }
  std::string Out() const { return dir_.File("out"); }

  // Scans the demo image into the list, the save folder set to `folder`, and checks `rows`.
  // `end`: the scan's end box, when it says more than "scan end!".
  void ScanAndCheck(Window& w, const std::string& folder, const std::vector<int>& rows,
                    const QString& end = "scan end!") {
    w.FillForImage(Demo(), folder);
    ASSERT_EQ(w.ScanToEnd().text, end);
    found_ = test::ReferenceScan(image_, 0, image_.size());
    ASSERT_EQ(test::Rows(w.dlg()).rowCount(), static_cast<int>(found_.size()));
    for (int r : rows) {
      test::Rows(w.dlg()).setData(test::Rows(w.dlg()).index(r, 0), Qt::Checked, Qt::CheckStateRole);
    }
  }
  // The source's bytes a recording's file must hold.
  std::string Bytes(const Recording& r) const {
    const auto end = std::min<uint64_t>(r.end_position, image_.size());
    return std::string(image_.begin() + static_cast<std::ptrdiff_t>(r.position),
                       image_.begin() + static_cast<std::ptrdiff_t>(end));
  }
  static BoxSeen Refused(CKorvaneDlg& dlg, void (*command)(CKorvaneDlg&)) {
    return test::AnswerBoxOpenedBy([&] { command(dlg); });
  }

  test::TempDir dir_;
  std::vector<uint8_t> image_;
  std::vector<Recording> found_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(text.substr(start, nl - start));
  }
  return lines;
}

TEST_F(SaveFromWindow, SavesTheCheckedRowsFromTheScannedSourceAndNeverReplacesAFile) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  ScanAndCheck(w, Out(), {0, 2, 4});
  // What the form says now does not matter: the rows are read from what was scanned.
  w.ui().imageFileEdit->setText("/nonexistent");

  const uint64_t bytes =
      Bytes(found_[0]).size() + Bytes(found_[2]).size() + Bytes(found_[4]).size();
  BoxSeen end = w.SaveToEnd();
  EXPECT_EQ(end.title, "Korvane");
  EXPECT_EQ(end.icon, QMessageBox::Information);
  EXPECT_EQ(end.text, QString("保存完成!\n已保存 3 个文件, 共 %1 字节, 保存到:\n%2")
                          .arg(bytes)
                          .arg(QString::fromStdString(Out())));
  EXPECT_TRUE(test::Bar(dlg)->text().startsWith("100%  ")) << test::Bar(dlg)->text().toStdString();
  EXPECT_TRUE(test::Bar(dlg)->text().contains("用时"));
  EXPECT_EQ(test::SavedFiles(Out()),
            (std::vector<std::string>{"0.dav", "2.dav", "4.dav", "recordings.csv"}));
  for (int r : {0, 2, 4}) {
    EXPECT_EQ(test::Slurp(Out() + "/" + found_[r].Name()), Bytes(found_[r])) << r;
  }
  std::vector<std::string> csv = Lines(test::Slurp(Out() + "/recordings.csv"));
  ASSERT_EQ(csv.size(), 4u);
  EXPECT_EQ(csv[0] + "\n", kManifestHeader);
  for (size_t i = 0; i < 3; ++i) {
    const Recording& r = found_[i * 2];
    EXPECT_EQ(csv[i + 1].rfind(r.Name() + "," + r.StartText() + "," + r.EndText() + "," + Demo() +
                                   "," + std::to_string(r.position) + ",",
                               0),
              0u)
        << csv[i + 1];
  }

  // The same rows again: new names beside the old files, which stay as they were.
  end = w.SaveToEnd();
  EXPECT_TRUE(end.text.startsWith("保存完成!\n已保存 3 个文件")) << end.text.toStdString();
  EXPECT_EQ(test::SavedFiles(Out()),
            (std::vector<std::string>{"0 (1).dav", "0.dav", "2 (1).dav", "2.dav", "4 (1).dav",
                                      "4.dav", "recordings.csv"}));
  for (int r : {0, 2, 4}) {
    EXPECT_EQ(test::Slurp(Out() + "/" + found_[r].Name()), Bytes(found_[r]));
    EXPECT_EQ(test::Slurp(Out() + "/" + std::to_string(r) + " (1).dav"), Bytes(found_[r]));
  }
  csv = Lines(test::Slurp(Out() + "/recordings.csv"));
  ASSERT_EQ(csv.size(), 7u);
  EXPECT_EQ(csv[4].rfind("0 (1).dav,", 0), 0u) << csv[4];
  EXPECT_EQ(g_bScanning.load(), 0);
}

TEST_F(SaveFromWindow, RefusesWithNothingCheckedOrNoUsableFolderAndWritesNothing) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  test::ExpectWarning(Refused(dlg, test::Save), "请先勾选要保存的录像!", dlg);

  ScanAndCheck(w, Out(), {});
  test::ExpectWarning(Refused(dlg, test::Save), "请先勾选要保存的录像!", dlg);
  test::SelectAll(dlg);
  test::DeselectAll(dlg);
  test::ExpectWarning(Refused(dlg, test::Save), "请先勾选要保存的录像!", dlg);

  test::Rows(dlg).setData(test::Rows(dlg).index(1, 0), Qt::Checked, Qt::CheckStateRole);
  // A cancelled folder dialog empties the folder.
  w.ui().savePathEdit->clear();
  test::ExpectWarning(Refused(dlg, test::Save), "请先选择保存路径!", dlg);

  const std::string missing = Out() + "/missing";
  w.ui().savePathEdit->setText(QString::fromStdString(missing));
  const std::string why = CheckSaveFolder(missing).message();
  ASSERT_FALSE(why.empty());
  test::ExpectWarning(Refused(dlg, test::Save), "无法保存到此路径:\n" + QString::fromStdString(why),
                      dlg);
  EXPECT_NE(why.find("does not exist"), std::string::npos) << why;

  EXPECT_TRUE(test::SavedFiles(Out()).empty());
  EXPECT_EQ(g_bScanning.load(), 0);
  EXPECT_TRUE(test::Rows(dlg).Rows()[1].checked);
}

// A checked row holding the whole of a large sparse file, as a scan of it would leave it: its
// save lasts long enough to be refused, stopped or closed on.
constexpr uint64_t kLongSource = 16ull << 30;

void ListALongRecording(Window& w, const std::string& source, const std::string& folder) {
  test::WriteFile(source, {});
  fs::resize_file(source, kLongSource);
  auto& rows = test::Rows(w.dlg());
  rows.Clear();
  rows.SetSource(source);
  Recording r;
  r.start = r.end = 1700000000;
  r.end_position = kLongSource;
  r.frames = 1;
  rows.Append({{r, true, true}});
  w.ui().savePathEdit->setText(QString::fromStdString(folder));
}

TEST_F(SaveFromWindow, ABusySaveRefusesScansAndSavesAndStopLeavesNoPartialFile) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  const std::string source = dir_.File("long.img");
  ListALongRecording(w, source, Out());
  w.ui().imageFileEdit->setText(QString::fromStdString(Demo()));
  w.ui().scanSizeEdit->setText("1000");

  bool ended = false;
  QObject::connect(&dlg, &CKorvaneDlg::SaveEnded, [&] { ended = true; });
  test::Save(dlg);
  // The busy flag is up before the worker runs.
  test::ExpectWarning(Refused(dlg, test::Save), "请等待当前线程执行完毕!", dlg);
  ASSERT_TRUE(test::WaitForProgress(dlg));
  EXPECT_TRUE(test::Bar(dlg)->text().contains("剩余")) << test::Bar(dlg)->text().toStdString();
  test::ExpectWarning(Refused(dlg, test::Start), "请等待当前线程执行完毕!", dlg);
  test::ExpectWarning(Refused(dlg, test::Save), "请等待当前线程执行完毕!", dlg);
  EXPECT_EQ(test::Rows(dlg).rowCount(), 1);
  EXPECT_EQ(g_bScanning.load(), 1);

  test::Stop(dlg);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, test::kWaitMs));
  const BoxSeen end = test::AnswerBox();
  EXPECT_EQ(end.icon, QMessageBox::Warning);
  EXPECT_EQ(end.text, QString("保存已停止!\n已保存 0 个文件, 共 0 字节, 保存到:\n%1\n\n"
                              "1 个文件保存失败:\n0.dav: 已停止, 未保存")
                          .arg(QString::fromStdString(Out())));
  EXPECT_LT(test::Bar(dlg)->value(), test::Bar(dlg)->maximum());
  EXPECT_TRUE(test::SavedFiles(Out()).empty()) << "no partial file";
  EXPECT_EQ(g_bScanning.load(), 0);
}

TEST_F(SaveFromWindow, ClosingDuringASaveStopsAndWaitsForIt) {
  const std::string source = dir_.File("long.img");
  auto w = std::make_unique<Window>();
  ListALongRecording(*w, source, Out());
  bool ended = false;
  QObject::connect(&w->dlg(), &CKorvaneDlg::SaveEnded, [&] { ended = true; });
  test::Save(w->dlg());
  ASSERT_TRUE(test::WaitForProgress(w->dlg()));
  EXPECT_TRUE(w->dlg().close());
  EXPECT_EQ(g_bScanning.load(), 0);  // the worker has ended
  EXPECT_EQ(g_bScanning.load(), 0);
  QTest::qWait(0);
  EXPECT_FALSE(ended);  // nobody is left to read the end
  EXPECT_EQ(test::VisibleBox(), nullptr);
  EXPECT_TRUE(test::SavedFiles(Out()).empty());
  // The save stopped by the closing still has its case log, which says so.
  const std::vector<std::string> logs = test::CaseLogNames(Out());
  ASSERT_EQ(logs.size(), 1u);
  const QJsonObject log = test::ReadCaseLog(Out() + "/" + logs[0]);
  EXPECT_EQ(log["exit_status"].toInt(), 130);
  EXPECT_TRUE(log["files"].toArray().isEmpty());

  // Destroyed without being closed, in the middle of a save.
  ListALongRecording(*w, source, Out());
  test::Save(w->dlg());
  ASSERT_TRUE(test::WaitForProgress(w->dlg()));
  w.reset();
  EXPECT_EQ(g_bScanning.load(), 0);
  EXPECT_TRUE(test::SavedFiles(Out()).empty());
}

// Each scan and each save leaves its case log in the save folder: JSON that names what was
// asked, what was found, and every file written with its true SHA-256. A log never replaces a
// file, another log included.
TEST_F(SaveFromWindow, EachScanAndSaveLeavesACaseLogInTheSaveFolder) {
  gui::SetCaseLogIdentity({"korvane", "--examiner", "Zoë", "--case", "2026/17"}, "Zoë", "2026/17");
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  w.ui().filterCheck->click();
  test::StartDate(dlg)->setDate(QDate(2000, 1, 1));
  test::EndDate(dlg)->setDate(QDate(2099, 1, 1));
  ScanAndCheck(w, Out(), {0, 2});
  std::vector<std::string> logs = test::CaseLogNames(Out());
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_TRUE(QString::fromStdString(logs[0]).contains(
      QRegularExpression("^korvane-log-[0-9]{8}T[0-9]{6}Z-scan\\.json$")))
      << logs[0];
  const std::string scan_log = Out() + "/" + logs[0];
  QJsonObject log = test::ReadCaseLog(scan_log);
  EXPECT_EQ(log["tool"].toObject()["name"].toString(), "korvane");
  EXPECT_EQ(log["command_line"].toArray().size(), 5);
  EXPECT_EQ(log["examiner"].toString(), "Zoë");
  EXPECT_EQ(log["case"].toString(), "2026/17");
  EXPECT_EQ(log["source"].toObject()["path"].toString().toStdString(), Demo());
  EXPECT_EQ(log["source"].toObject()["size"].toInteger(), static_cast<qint64>(image_.size()));
  EXPECT_EQ(log["range"].toObject()["offset"].toInteger(-1), 0);
  EXPECT_EQ(log["range"].toObject()["scanned_bytes"].toInteger(),
            static_cast<qint64>(image_.size()));
  EXPECT_EQ(log["date_window"].toObject()["from"].toString(), "2000/1/1");
  EXPECT_EQ(log["date_window"].toObject()["to"].toString(), "2099/1/1");
  EXPECT_EQ(log["grouping"].toString(), "time");
  EXPECT_TRUE(log["block_size"].isNull());
  EXPECT_EQ(log["counts"].toObject()["recordings"].toInteger(), static_cast<qint64>(found_.size()));
  EXPECT_EQ(log["unreadable_bytes"].toInteger(-1), 0);
  EXPECT_TRUE(log["files"].toArray().isEmpty());
  EXPECT_EQ(log["exit_status"].toInt(-1), 0);

  // Every name a save's log could take in the next seconds is taken: it is numbered instead,
  // and what held the name stays as it was.
  const int64_t now = evidence::NowUnixSeconds();
  std::vector<std::string> taken;
  for (int64_t t = now; t < now + 10; ++t) {
    std::string stamp;
    for (char c : evidence::UtcText(t)) {
      if (c != '-' && c != ':') stamp += c;
    }
    taken.push_back(Out() + "/korvane-log-" + stamp + "-save.json");
    test::WriteFile(taken.back(), {'k', 'e', 'e', 'p'});
  }
  const std::string scan_text = test::Slurp(scan_log);
  ASSERT_TRUE(w.SaveToEnd().text.startsWith("保存完成!"));
  EXPECT_EQ(test::Slurp(scan_log), scan_text);
  for (const std::string& file : taken) EXPECT_EQ(test::Slurp(file), "keep") << file;
  logs = test::CaseLogNames(Out());
  ASSERT_EQ(logs.size(), 1u + taken.size() + 1u);
  std::string save_log;
  for (const std::string& name : logs) {
    if (name.find(" (1).json") != std::string::npos) save_log = Out() + "/" + name;
  }
  ASSERT_FALSE(save_log.empty());
  log = test::ReadCaseLog(save_log);
  EXPECT_EQ(log["date_window"].toObject()["from"].toString(), "2000/1/1");
  EXPECT_EQ(log["counts"].toObject()["recordings"].toInteger(), 2);
  EXPECT_EQ(log["exit_status"].toInt(-1), 0);
  const QJsonArray files = log["files"].toArray();
  ASSERT_EQ(files.size(), 3);  // 0.dav, 2.dav, recordings.csv
  for (int i = 0; i < 3; ++i) {
    const QJsonObject f = files[i].toObject();
    const std::string name = i < 2 ? found_[static_cast<size_t>(i) * 2].Name() : "recordings.csv";
    SCOPED_TRACE(name);
    EXPECT_EQ(fs::path(f["path"].toString().toStdString()), fs::path(Out()) / name);
    EXPECT_EQ(f["kind"].toString(), i < 2 ? "saved" : "listing");
    EXPECT_EQ(f["sha256"].toString().toStdString(), test::Sha256Of(Out() + "/" + name));
    EXPECT_EQ(f["bytes"].toInteger(-1), static_cast<qint64>(fs::file_size(Out() + "/" + name)));
    if (i < 2) {
      const Recording& r = found_[static_cast<size_t>(i) * 2];
      EXPECT_EQ(f["recording"].toString().toStdString(), r.Name());
      EXPECT_EQ(f["position"].toInteger(-1), static_cast<qint64>(r.position));
    } else {
      EXPECT_TRUE(f["position"].isNull());
    }
  }
  gui::SetCaseLogIdentity({}, std::nullopt, std::nullopt);
}

TEST_F(SaveFromWindow, TheEndSaysWhichFilesFailedAndWhy) {
  Window w;
  ScanAndCheck(w, Out(), {0, 1, 2, 3});
  // The image shrinks after the scan: it now ends inside the second recording's last frame.
  const uint64_t cut = found_[1].end_position - 1;
  fs::resize_file(Demo(), cut);
  image_.resize(cut);

  const BoxSeen end = w.SaveToEnd();
  EXPECT_EQ(end.icon, QMessageBox::Warning);
  const QString ends_early = QString("the source ends at byte %1, before this recording").arg(cut);
  EXPECT_EQ(end.text, QString("保存完成!\n已保存 2 个文件, 共 %1 字节, 保存到:\n%2\n\n"
                              "2 个文件保存失败:\n2.dav: %3\n3.dav: %3")
                          .arg(Bytes(found_[0]).size() + Bytes(found_[1]).size())
                          .arg(QString::fromStdString(Out()), ends_early));
  EXPECT_EQ(test::SavedFiles(Out()),
            (std::vector<std::string>{"0.dav", "1.dav", "recordings.csv"}));
  EXPECT_EQ(test::Slurp(Out() + "/1.dav"), Bytes(found_[1]));

  // A source that is gone: nothing can be saved.
  fs::remove(Demo());
  const BoxSeen gone = w.SaveToEnd();
  EXPECT_EQ(gone.icon, QMessageBox::Critical);
  EXPECT_TRUE(gone.text.startsWith("无法打开源, 未保存任何文件:\n")) << gone.text.toStdString();
  EXPECT_TRUE(gone.text.contains(QString::fromStdString(Demo()))) << gone.text.toStdString();
  EXPECT_EQ(test::SavedFiles(Out()).size(), 3u);
}

#ifndef _WIN32  // permissions, users and setpriv as POSIX has them
TEST_F(SaveFromWindow, AFolderWithoutWritePermissionIsRefusedAsAnUnprivilegedUser) {
  if (geteuid() == 0) {
    // Root may write anywhere: this test runs again in a copy of the program as nobody.
    if (std::getenv(kUnprivilegedChild)) GTEST_SKIP() << "still root";
    const std::string command =
        "setpriv --reuid=65534 --regid=65534 --clear-groups env " +
        std::string(kUnprivilegedChild) + "=1 HOME=/tmp " +
        test::Quote(fs::read_symlink("/proc/self/exe").string()) +
        " --gtest_filter=SaveFromWindow.AFolderWithoutWritePermissionIsRefusedAsAnUnprivilegedUser";
    if (std::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "no setpriv here";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127) {
      GTEST_SKIP() << "nobody cannot run this program here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the test failed as nobody; see its output above";
    return;
  }
  const fs::path locked = dir_.path() / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms(0555));
  Window w;
  const std::string why = CheckSaveFolder(locked.string()).message();
  ASSERT_FALSE(why.empty());
  EXPECT_NE(why.find("Permission denied"), std::string::npos) << why;
  // The scan runs all the same; its end box says that its case log could not be written.
  ScanAndCheck(
      w, locked.string(), {0},
      QString::fromStdString("scan end!\n\n案件日志未能写入 " + locked.string() + ":\n" + why));
  test::ExpectWarning(Refused(w.dlg(), test::Save),
                      "无法保存到此路径:\n" + QString::fromStdString(why), w.dlg());
  EXPECT_TRUE(test::Listing(locked).empty());
  fs::permissions(locked, fs::perms(0755));
}
#endif

TEST(SaveEndText, ListsTenFailuresAtMostAndCountsTheFilesAStopLeftUntried) {
  // Made from the result alone, without a window.
  SaveResult result;
  result.status = Status::Error(ErrorCode::kStopped, "stopped");
  result.folder = "/out";
  result.saved_files = 1;
  result.saved_bytes = 4000;
  SavedFile saved;
  saved.recording.index = 0;
  saved.outcome = FileOutcome::kSaved;
  result.files.push_back(saved);
  for (uint64_t i = 1; i <= 12; ++i) {
    SavedFile failed;
    failed.recording.index = i;
    failed.error = "disk full";
    result.files.push_back(failed);
  }
  result.files.back().outcome = FileOutcome::kStopped;
  result.failed_files = 12;
  const gui::EndMessage end = gui::SaveEndMessage(result, 20);
  EXPECT_EQ(end.icon, QMessageBox::Warning);
  QString expected =
      "保存已停止!\n已保存 1 个文件, 共 4000 字节, 保存到:\n/out\n\n12 个文件保存失败:";
  for (int i = 1; i <= 10; ++i) expected += QString("\n%1.dav: disk full").arg(i);
  expected += "\n...\n7 个文件因停止而未保存。";
  EXPECT_EQ(end.text, expected);

  // A save that could not begin says why, with nothing saved.
  SaveResult failed;
  failed.status =
      Status::Error(ErrorCode::kOpenFailed, "cannot open /dev/sdz: No such file or directory");
  const gui::EndMessage none = gui::SaveEndMessage(failed, 3);
  EXPECT_EQ(none.icon, QMessageBox::Critical);
  EXPECT_EQ(none.text,
            "无法打开源, 未保存任何文件:\ncannot open /dev/sdz: No such file or directory");

  // A save that failed part way never says that nothing was saved.
  SaveResult broken;
  broken.status = Status::Error(ErrorCode::kNoMemory, "saving into /out: not enough memory");
  broken.folder = "/out";
  broken.saved_files = 2;
  broken.saved_bytes = 8000;
  const gui::EndMessage part = gui::SaveEndMessage(broken, 5);
  EXPECT_EQ(part.icon, QMessageBox::Critical);
  EXPECT_EQ(
      part.text,
      "保存失败!\n已保存 2 个文件, 共 8000 字节, 保存到:\n/out\n\nsaving into /out: not enough "
      "memory");
}

}  // namespace
}  // namespace korvane
