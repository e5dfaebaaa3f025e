// SPDX-License-Identifier: GPL-3.0-or-later
// The scan form's commands driven as a person drives them: the warnings, scans of generated
// images and of a loop device, stopping, closing during a scan, and the file and folder dialogs.
#include "app/scan_form.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <thread>
#include <variant>

#include "app/end_text.h"
#include "app/scan_feed.h"
#include "datewindow/date_text.h"
#include "scan/worker.h"
#include "tests/test_support.h"
#include "tests/window_test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using test::BoxSeen;
using test::Window;

constexpr uint64_t kLongImageSize = 64ull << 30;  // sparse: long to scan, nothing on disk

class ScanForm : public ::testing::Test {
 protected:
  void SetUp() override {
    testimage::ImageBuilder demo(0, testimage::Fill::kZeros);
    demo.bytes() = testimage::BuildDemoImage();
    image_ = demo.bytes();
    test::WriteFile(Demo(), image_);
  }
  std::string Demo() const { return dir_.File("demo.img"); }
  std::string Save() const { return dir_.path().string(); }

  BoxSeen Start(Window& w) {
    return test::AnswerBoxOpenedBy([&] { test::Start(w.dlg()); });
  }
  // Reads the window's form as its start command does.
  static std::variant<gui::ScanSettings, QString> ReadForm(Window& w) {
    auto& ui = w.ui();
    gui::ScanFormTexts form;
    form.offset = ui.scanOffsetEdit->text();
    form.size = ui.scanSizeEdit->text();
    form.block_size = ui.blockSizeEdit->text();
    form.block_search = ui.blockModeRadio->isChecked();
    form.disk_source = ui.diskSourceRadio->isChecked();
    form.image_file = ui.imageFileEdit->text();
    form.drive = ui.deviceCombo->currentText();
    form.save_path = ui.savePathEdit->text();
    form.filter = ui.filterCheck->isChecked();
    form.start_date = ui.startDateEdit->text();
    form.end_date = ui.endDateEdit->text();
    return gui::ReadScanForm(form);
  }
  static void ExpectWarning(const BoxSeen& box, const QString& text, CKorvaneDlg& owner) {
    test::ExpectWarning(box, text, owner);
  }
  static bool WaitForProgress(CKorvaneDlg& dlg) { return test::WaitForProgress(dlg); }

  test::TempDir dir_;
  std::vector<uint8_t> image_;
};

TEST_F(ScanForm, RefusesTheInitialFormAndEveryMissingParameter) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  auto& ui = w.ui();
  ExpectWarning(Start(w), "参数填写错误!", dlg);

  // A refusal leaves the list as it is: it may hold the results of a scan that took hours.
  struct Case {
    const char* what;
    std::function<void()> spoil;
  };
  const Case cases[] = {
      {"scan size 0", [&] { ui.scanSizeEdit->setText("0"); }},
      {"scan size empty", [&] { ui.scanSizeEdit->clear(); }},
      {"no image file", [&] { ui.imageFileEdit->clear(); }},
      {"no save folder", [&] { ui.savePathEdit->clear(); }},
      {"block size 0 in block search",
       [&] {
         ui.blockModeRadio->setEnabled(true);
         ui.blockModeRadio->click();
         ui.blockSizeEdit->setText("0");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    w.FillForImage(Demo(), Save());
    ui.byteModeRadio->click();
    ui.blockSizeEdit->setText("512");
    c.spoil();
    test::Rows(dlg).Clear();
    test::Rows(dlg).Append({{Recording{}, true, false}});
    ExpectWarning(Start(w), "参数填写错误!", dlg);
    EXPECT_EQ(test::Rows(dlg).rowCount(), 1);
    EXPECT_EQ(g_bScanning.load(), 0);
  }

  // Block search with a block size and an offset of 0 pass the checks.
  w.FillForImage(Demo(), Save());
  ui.blockSizeEdit->setText("512");
  const auto read = ReadForm(w);
  ASSERT_TRUE(std::holds_alternative<gui::ScanSettings>(read));
  const auto& settings = std::get<gui::ScanSettings>(read);
  BoxSeen end = w.ScanToEnd();
  EXPECT_EQ(end.text, "scan end!");
  EXPECT_EQ(settings.search_mode, 1);
  EXPECT_EQ(settings.block_size, 512);
  EXPECT_EQ(settings.offset, 0);
  EXPECT_EQ(test::Rows(dlg).rowCount(),
            static_cast<int>(test::ReferenceScan(image_, 0, image_.size()).size()));
}

TEST_F(ScanForm, RefusesADateWindowWhoseEndIsNotAfterItsStart) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  w.FillForImage(Demo(), Save());
  QTest::mouseClick(w.ui().filterCheck, Qt::LeftButton);
  // Both pickers show the day the window opened.
  ExpectWarning(Start(w), "结束日期需要大于开始日期!", dlg);
  test::EndDate(dlg)->setDate(test::StartDate(dlg)->date().addDays(-1));
  ExpectWarning(Start(w), "结束日期需要大于开始日期!", dlg);
  EXPECT_EQ(test::Rows(dlg).rowCount(), 0);

  // With the box cleared the pickers are not read.
  QTest::mouseClick(w.ui().filterCheck, Qt::LeftButton);
  const auto read = ReadForm(w);
  ASSERT_TRUE(std::holds_alternative<gui::ScanSettings>(read));
  EXPECT_EQ(w.ScanToEnd().text, "scan end!");
  EXPECT_EQ(std::get<gui::ScanSettings>(read).window_start, 0);
  EXPECT_EQ(std::get<gui::ScanSettings>(read).window_end, 0);
}

TEST_F(ScanForm, ScansAGeneratedImageIntoTheListWithTheBarAtItsEnd) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  w.FillForImage(Demo(), Save());
  // Choosing the image filled in its size.
  EXPECT_EQ(w.ui().scanSizeEdit->text(), QString::number(image_.size()));

  const BoxSeen end = w.ScanToEnd();
  EXPECT_TRUE(end.shown);
  EXPECT_EQ(end.text, "scan end!");
  EXPECT_EQ(end.title, "Korvane");
  EXPECT_EQ(end.buttons, QStringList{"确定"});
  const std::vector<Recording> expected = test::ReferenceScan(image_, 0, image_.size());
  ASSERT_GE(expected.size(), 5u);
  EXPECT_EQ(w.ShownRows(), test::RowTexts(expected));
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& row = test::Rows(dlg).Rows()[i];
    EXPECT_TRUE(row.closed);
    EXPECT_TRUE(test::SameRecording(row.recording, expected[i])) << test::Describe(row.recording);
  }
  EXPECT_EQ(test::Bar(dlg)->value(), test::Bar(dlg)->maximum());
  EXPECT_TRUE(test::Bar(dlg)->text().startsWith("100%  ")) << test::Bar(dlg)->text().toStdString();
  EXPECT_TRUE(test::Bar(dlg)->text().contains("用时"));

  // An offset and a date window reach the scan; the next scan numbers its rows from 0 again.
  const Recording& second = expected[1];
  const std::string from = FormatUnixSeconds(second.start).substr(0, 10);
  QDate day = QDate::fromString(QString::fromStdString(from), "yyyy-MM-dd");
  test::StartDate(dlg)->setDate(day);
  test::EndDate(dlg)->setDate(day.addDays(1));
  QTest::mouseClick(w.ui().filterCheck, Qt::LeftButton);
  w.ui().scanOffsetEdit->setText(QString::number(expected[0].position + 1));
  const auto read = ReadForm(w);
  ASSERT_TRUE(std::holds_alternative<gui::ScanSettings>(read));
  EXPECT_EQ(w.ScanToEnd().text, "scan end!");
  DateWindow window;
  ASSERT_EQ(ParseDateWindow(test::StartDate(dlg)->text().toStdString(),
                            test::EndDate(dlg)->text().toStdString(), window),
            1);
  EXPECT_EQ(std::get<gui::ScanSettings>(read).window_start, window.start);
  EXPECT_EQ(std::get<gui::ScanSettings>(read).window_end, window.end);
  const uint64_t offset = expected[0].position + 1;
  EXPECT_EQ(w.ShownRows(),
            test::RowTexts(test::ReferenceScan(image_, offset, image_.size(), window)));
  ASSERT_GT(test::Rows(dlg).rowCount(), 0);
  EXPECT_EQ(test::Rows(dlg).index(0, 0).data().toString(), "0.dav");
}

TEST_F(ScanForm, ASourceThatCannotBeOpenedShowsWhyInsteadOfScanEnd) {
  Window w;
  const std::string missing = dir_.File("no-such.img");
  w.ui().imageFileEdit->setText(QString::fromStdString(missing));
  w.ui().scanSizeEdit->setText("1000");
  w.ui().savePathEdit->setText(QString::fromStdString(Save()));
  const BoxSeen end = w.ScanToEnd();
  EXPECT_EQ(end.icon, QMessageBox::Critical);
  EXPECT_EQ(end.title, "Korvane");
  EXPECT_TRUE(end.text.contains(QString::fromStdString(missing))) << end.text.toStdString();
  EXPECT_TRUE(end.text.contains(QString::fromStdString(test::NoSuchFileText())))
      << end.text.toStdString();
  EXPECT_EQ(test::Rows(w.dlg()).rowCount(), 0);
}

TEST_F(ScanForm, UnreadableBytesAreCountedOnTheScanEndsSecondLine) {
  // Read errors cannot be made to order here, so the worker's report of one is handed to the
  // window the way the worker hands it over.
  Window w;
  ScanResult result;
  result.status = Status::Ok();
  result.unreadable_bytes = 4096;
  result.read_error = "Input/output error";
  const gui::ScanEvent event{0, 1.0, gui::ScanFinished{result}};
  const BoxSeen end = test::AnswerBoxOpenedBy([&] { w.dlg().Feed().Push(event); });
  EXPECT_EQ(end.text,
            "scan end!\n4096 bytes could not be read (Input/output error); they were scanned as "
            "zeros.");
  EXPECT_EQ(end.icon, QMessageBox::Warning);

  // A source that shrank says so, with or without a failed read, and never shows an empty "()".
  result.read_error.clear();
  result.shrunk_to = 1048576;
  EXPECT_EQ(gui::ScanEndMessage(result).text,
            "scan end!\n4096 bytes could not be read (the source shrank to 1048576 bytes); they "
            "were scanned as zeros.");
  result.shrunk_to.reset();
  EXPECT_EQ(gui::ScanEndMessage(result).text,
            "scan end!\n4096 bytes could not be read; they were scanned as zeros.");
}

TEST_F(ScanForm, StopEndsAScanEarlyAndAStartWhileBusyChangesNothing) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  const std::string long_image = dir_.File("long.img");
  const uint64_t long_size = test::WriteLongImage(long_image, kLongImageSize);
  w.FillForImage(long_image, Save());
  EXPECT_EQ(w.ui().scanSizeEdit->text(), QString::number(long_size));

  // Two starts in quick succession: the busy flag is up before the first worker runs.
  bool ended = false;
  int ends = 0;
  QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, [&] { ended = true, ++ends; });
  test::Start(dlg);
  ExpectWarning(Start(w), "请等待当前线程执行完毕!", dlg);

  ASSERT_TRUE(WaitForProgress(dlg));
  ASSERT_TRUE(QTest::qWaitFor([&] { return test::Rows(dlg).rowCount() >= 3; }, test::kWaitMs));
  // A busy refusal leaves the rows, the stop flag and the job as they are.
  const auto rows = w.ShownRows();
  w.ui().scanSizeEdit->setText("5");
  ExpectWarning(Start(w), "请等待当前线程执行完毕!", dlg);
  EXPECT_EQ(w.ShownRows(), rows);
  // The scan goes on, unstopped, and the form is not touched.
  EXPECT_EQ(g_bScanning.load(), 1);
  EXPECT_EQ(w.ui().scanSizeEdit->text(), "5");

  test::Stop(dlg);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, test::kWaitMs));
  const BoxSeen end = test::AnswerBox();
  EXPECT_EQ(end.text, "scan end!");
  EXPECT_EQ(g_bScanning.load(), 0);
  EXPECT_LT(test::Bar(dlg)->value(), test::Bar(dlg)->maximum());
  EXPECT_EQ(test::Rows(dlg).rowCount(), 3);
  EXPECT_EQ(ends, 1);
}

TEST_F(ScanForm, ClosingDuringAScanStopsAndWaitsForTheWorker) {
  const std::string long_image = dir_.File("long.img");
  test::WriteLongImage(long_image, kLongImageSize);
  {
    auto dlg = std::make_unique<CKorvaneDlg>();
    dlg->show();
    dlg->SetImageFile(QString::fromStdString(long_image));
    test::Controls(*dlg).savePathEdit->setText(QString::fromStdString(Save()));
    bool ended = false;
    QObject::connect(dlg.get(), &CKorvaneDlg::ScanEnded, [&] { ended = true; });
    test::Start(*dlg);
    ASSERT_TRUE(WaitForProgress(*dlg));
    EXPECT_TRUE(dlg->close());
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(g_bScanning.load(), 0);  // the worker has ended
    EXPECT_EQ(g_bScanning.load(), 0);
    EXPECT_LT(test::Bar(*dlg)->value(), test::Bar(*dlg)->maximum());
    QTest::qWait(0);
    EXPECT_FALSE(ended);  // nobody is left to read "scan end!"
    EXPECT_EQ(test::VisibleBox(), nullptr);
  }
  {
    // Destroyed without being closed, in the middle of a scan.
    auto dlg = std::make_unique<CKorvaneDlg>();
    dlg->SetImageFile(QString::fromStdString(long_image));
    test::Controls(*dlg).savePathEdit->setText(QString::fromStdString(Save()));
    test::Start(*dlg);
    ASSERT_TRUE(WaitForProgress(*dlg));
    dlg.reset();
    EXPECT_EQ(g_bScanning.load(), 0);
  }
}

TEST_F(ScanForm, BrowsingForAnImageOffersTheImageFiltersAndFillsTheSize) {
  Window w;
  auto& ui = w.ui();
  QStringList filters;
  QString suffix, shown_filter;
  test::AnswerFileDialog([&] { test::BrowseImage(w.dlg()); },
                         [&](QFileDialog& d) {
                           filters = d.nameFilters();
                           suffix = d.defaultSuffix();
                           shown_filter = d.selectedNameFilter();
                           d.selectFile(QString::fromStdString(Demo()));
                           static_cast<QDialog&>(d).accept();
                         });
  // All three kinds of image at first, then each, then the evidence formats, then every file.
  EXPECT_EQ(filters,
            (QStringList{"Image Files (*.vmdk *.img *.dsk)", "Vmdk Files (*.vmdk)",
                         "IMG Files (*.img)", "DSK Files (*.dsk)", "E01 Files (*.E01 *.e01)",
                         "Split Raw Files (*.001)", "All Files (*)"}));
  EXPECT_EQ(shown_filter, "Image Files (*.vmdk *.img *.dsk)");
  EXPECT_EQ(suffix, "vmdk");
  EXPECT_EQ(ui.imageFileEdit->text(), QDir::toNativeSeparators(QString::fromStdString(Demo())));
  EXPECT_EQ(ui.scanSizeEdit->text(), QString::number(image_.size()));

  // Cancelling changes nothing; a size already in the box stays.
  test::AnswerFileDialog([&] { test::BrowseImage(w.dlg()); }, [](QFileDialog& d) { d.reject(); });
  EXPECT_EQ(ui.imageFileEdit->text(), QDir::toNativeSeparators(QString::fromStdString(Demo())));

  // An image named without a suffix can be chosen under "All Files".
  const std::string bare = dir_.File("disk");
  test::WriteFile(bare, std::vector<uint8_t>(4096));
  ui.scanSizeEdit->setText("77");
  test::AnswerFileDialog([&] { test::BrowseImage(w.dlg()); },
                         [&](QFileDialog& d) {
                           d.selectNameFilter("All Files (*)");
                           emit d.filterSelected("All Files (*)");
                           d.selectFile(QString::fromStdString(bare));
                           static_cast<QDialog&>(d).accept();
                         });
  EXPECT_EQ(ui.imageFileEdit->text(), QDir::toNativeSeparators(QString::fromStdString(bare)));
  EXPECT_EQ(ui.scanSizeEdit->text(), "77");
}

TEST_F(ScanForm, BrowsingForTheSaveFolderSetsOrEmptiesIt) {
  Window w;
  QString title;
  test::AnswerFileDialog([&] { test::BrowseFolder(w.dlg()); },
                         [&](QFileDialog& d) {
                           title = d.windowTitle();
                           d.selectFile(QString::fromStdString(Save()));
                           static_cast<QDialog&>(d).accept();
                         });
  EXPECT_EQ(title, "please select path");
  EXPECT_EQ(w.ui().savePathEdit->text(), QDir::toNativeSeparators(QString::fromStdString(Save())));

  test::AnswerFileDialog([&] { test::BrowseFolder(w.dlg()); }, [](QFileDialog& d) { d.reject(); });
  EXPECT_TRUE(w.ui().savePathEdit->text().isEmpty());
}

TEST_F(ScanForm, RadioButtonsSwitchWhichControlsAreEnabled) {
  Window w;
  auto& ui = w.ui();
  ui.diskSourceRadio->click();
  EXPECT_TRUE(ui.deviceCombo->isEnabled());
  EXPECT_FALSE(ui.imageFileEdit->isEnabled());
  EXPECT_FALSE(ui.browseImageButton->isEnabled());
  ui.imageSourceRadio->click();
  EXPECT_FALSE(ui.deviceCombo->isEnabled());
  EXPECT_TRUE(ui.imageFileEdit->isEnabled());
  EXPECT_TRUE(ui.browseImageButton->isEnabled());
  ui.blockModeRadio->setEnabled(true);
  ui.blockModeRadio->click();
  EXPECT_TRUE(ui.blockSizeEdit->isEnabled());
  ui.byteModeRadio->click();
  EXPECT_FALSE(ui.blockSizeEdit->isEnabled());
  // Enter starts a scan: here the form is incomplete.
  ExpectWarning(
      test::AnswerBoxOpenedBy([&] { QTest::keyClick(ui.scanOffsetEdit, Qt::Key_Return); }),
      "参数填写错误!", w.dlg());
}

#ifndef _WIN32  // loop devices and losetup are Linux's
TEST_F(ScanForm, ScansALoopDeviceChosenFromTheDriveList) {
  // A loop device holds whole sectors: the image padded with zeros.
  image_.resize((image_.size() + 511) / 512 * 512);
  const std::string padded = dir_.File("padded.img");
  test::WriteFile(padded, image_);
  const std::string attach =
      "losetup -r -f --show " + padded + " > " + dir_.File("loop") + " 2>/dev/null";
  if (std::system(attach.c_str()) != 0) GTEST_SKIP() << "losetup is not available here";
  std::string loop;
  std::getline(std::ifstream(dir_.File("loop")), loop);
  struct Detach {
    std::string device;
    ~Detach() { std::system(("losetup -d " + device).c_str()); }
  } detach{loop};

  Window w;  // lists the drives as it opens
  auto& ui = w.ui();
  const int entry = ui.deviceCombo->findText(QString::fromStdString(loop));
  ASSERT_GE(entry, 0) << loop;
  ui.deviceCombo->setCurrentIndex(entry);
  ui.diskSourceRadio->click();
  EXPECT_EQ(ui.scanSizeEdit->text(), QString::number(image_.size()));
  ui.savePathEdit->setText(QString::fromStdString(Save()));
  // The file edit is ignored with the disk source.
  ui.imageFileEdit->setText("/nonexistent");
  const auto read = ReadForm(w);
  ASSERT_TRUE(std::holds_alternative<gui::ScanSettings>(read));
  EXPECT_EQ(w.ScanToEnd().text, "scan end!");
  EXPECT_EQ(std::get<gui::ScanSettings>(read).source, loop);
  EXPECT_EQ(w.ShownRows(), test::RowTexts(test::ReferenceScan(image_, 0, image_.size())));
}
#endif

// The form read and checked without its widgets.
gui::ScanFormTexts CompleteForm() {
  gui::ScanFormTexts form;
  form.offset = "0";
  form.size = "1000";
  form.block_size = "512";
  form.image_file = "/images/a.img";
  form.drive = "/dev/sdz";
  form.save_path = "/out";
  return form;
}

TEST(ScanFormReading, RefusesByteCountsThatDoNotFitTheJob) {
  // Up to 9223372036854775807 is a byte count; anything larger used to be cut down to that and
  // start a scan that ended at once.
  struct Case {
    const char* offset;
    const char* size;
    bool accepted;
  };
  const Case cases[] = {
      {"0", "9223372036854775807", true},      {"9223372036854775807", "1", true},
      {"0", "9223372036854775808", false},     {"0", "18446744073709551615", false},
      {"0", "99999999999999999999999", false}, {"9223372036854775808", "1000", false},
      {"18446744073709551615", "1000", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.offset) + " " + c.size);
    gui::ScanFormTexts form = CompleteForm();
    form.offset = c.offset;
    form.size = c.size;
    const auto read = gui::ReadScanForm(form);
    if (c.accepted) {
      ASSERT_TRUE(std::holds_alternative<gui::ScanSettings>(read));
      const ScanJob job = std::get<gui::ScanSettings>(read).Job();
      EXPECT_EQ(job.offset, std::stoull(c.offset));
      EXPECT_EQ(job.size, std::stoull(c.size));
    } else {
      ASSERT_TRUE(std::holds_alternative<QString>(read));
      EXPECT_EQ(std::get<QString>(read), "参数填写错误!");
    }
  }
}

TEST(ScanFormReading, TakesTheSourceOfTheCheckedKindOnly) {
  gui::ScanFormTexts form = CompleteForm();
  auto source = [&] { return std::get<gui::ScanSettings>(gui::ReadScanForm(form)).source; };
  EXPECT_EQ(source(), "/images/a.img");
  form.disk_source = true;
  EXPECT_EQ(source(), "/dev/sdz");
  form.image_file.clear();  // not read with the disk source
  EXPECT_EQ(source(), "/dev/sdz");
  form.drive.clear();
  EXPECT_EQ(std::get<QString>(gui::ReadScanForm(form)), "参数填写错误!");
}

TEST_F(ScanForm, ByteCountsTooLargeForTheJobAreRefusedInTheWindow) {
  Window w;
  w.FillForImage(Demo(), Save());
  w.ui().scanSizeEdit->setText("18446744073709551615");
  ExpectWarning(Start(w), "参数填写错误!", w.dlg());
  EXPECT_EQ(g_bScanning.load(), 0);
  w.ui().scanSizeEdit->setText(QString::number(image_.size()));
  w.ui().scanOffsetEdit->setText("9223372036854775808");
  ExpectWarning(Start(w), "参数填写错误!", w.dlg());
  EXPECT_EQ(g_bScanning.load(), 0);
}

TEST_F(ScanForm, TheSizeBoxFollowsEachChosenSourceUntilTheUserTypesASize) {
  Window w;
  auto& ui = w.ui();
  const std::string big = dir_.File("big.img");
  test::WriteLongImage(big, 20ull << 30);
  w.dlg().SetImageFile(QString::fromStdString(Demo()));
  EXPECT_EQ(ui.scanSizeEdit->text(), QString::number(image_.size()));
  w.dlg().SetImageFile(QString::fromStdString(big));
  EXPECT_EQ(ui.scanSizeEdit->text(), QString::number(20ull << 30));
  // A source with no size to give empties the box rather than keep another source's.
  w.dlg().SetImageFile(QString::fromStdString(dir_.File("missing.img")));
  EXPECT_EQ(ui.scanSizeEdit->text(), "");
  w.dlg().SetImageFile(QString::fromStdString(Demo()));
  EXPECT_EQ(ui.scanSizeEdit->text(), QString::number(image_.size()));

  // A size the user typed stays, whatever is chosen next, even when it equals the last fill.
  ui.scanSizeEdit->selectAll();
  QTest::keyClicks(ui.scanSizeEdit, "4096");
  w.dlg().SetImageFile(QString::fromStdString(big));
  EXPECT_EQ(ui.scanSizeEdit->text(), "4096");
  ui.scanSizeEdit->selectAll();
  QTest::keyClicks(ui.scanSizeEdit, QString::number(20ull << 30));
  w.dlg().SetImageFile(QString::fromStdString(Demo()));
  EXPECT_EQ(ui.scanSizeEdit->text(), QString::number(20ull << 30));
  // Emptied by the user, the box is filled again.
  ui.scanSizeEdit->selectAll();
  QTest::keyClick(ui.scanSizeEdit, Qt::Key_Backspace);
  w.dlg().SetImageFile(QString::fromStdString(Demo()));
  EXPECT_EQ(ui.scanSizeEdit->text(), QString::number(image_.size()));
}

// Reports what a scan reports, from a thread of its own, as the job the window shows.
void ReportRecordings(gui::ScanFeed& feed, uint64_t job, uint64_t first, uint64_t count,
                      bool finish) {
  std::thread worker([&] {
    gui::FeedSink sink(feed, job);
    if (first == 0) (void)sink.OnScanStart(count * 4096);
    for (uint64_t i = first; i < first + count; ++i) {
      Recording r;
      r.index = i;
      r.start = r.end = 1700000000 + static_cast<int64_t>(i) * 10;
      r.position = i * 4096;
      r.end_position = r.position + 40;
      r.frames = 1;
      sink.OnRecordingOpened(r).IgnoreError();
      sink.OnRecordingClosed(r).IgnoreError();
    }
    if (finish) {
      ScanResult result;
      result.status = Status::Ok();
      result.recordings = first + count;
      sink.Finish(result);
    }
  });
  worker.join();
}

TEST_F(ScanForm, ARefusedStartKeepsTheListEvenWhileAScanIsEnding) {
  // A scan's last rows and its end are on their way (its worker has lowered the busy flag) when
  // a start is refused for its form: the list keeps every row, the early ones and the late ones.
  for (const char* spoil : {"size", "dates"}) {
    SCOPED_TRACE(spoil);
    Window w;
    CKorvaneDlg& dlg = w.dlg();
    bool ended = false;
    QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, [&] { ended = true; });
    ReportRecordings(dlg.Feed(), 0, 0, 3, false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return test::Rows(dlg).rowCount() == 3; }, test::kWaitMs));
    // The rest arrives while the window is busy elsewhere, before the refusal.
    ReportRecordings(dlg.Feed(), 0, 3, 2, true);
    w.FillForImage(Demo(), Save());
    if (std::string(spoil) == "size") {
      w.ui().scanSizeEdit->setText("0");
      ExpectWarning(Start(w), "参数填写错误!", dlg);
    } else {
      QTest::mouseClick(w.ui().filterCheck, Qt::LeftButton);
      ExpectWarning(Start(w), "结束日期需要大于开始日期!", dlg);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, test::kWaitMs));
    EXPECT_EQ(test::AnswerBox().text, "scan end!");
    ASSERT_EQ(test::Rows(dlg).rowCount(), 5);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(test::Rows(dlg).index(i, 0).data().toString(), QString("%1.dav").arg(i));
    }
  }
}

TEST_F(ScanForm, TheScanEndBoxLeavesTheWindowUsable) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  w.FillForImage(Demo(), Save());
  int ends = 0;
  QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, [&] { ++ends; });
  test::Start(dlg);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ends == 1; }, test::kWaitMs));
  QMessageBox* first = test::VisibleBox();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->text(), "scan end!");
  // The box is read while the window goes on: nothing waits for it to be dismissed.
  EXPECT_EQ(first->windowModality(), Qt::NonModal);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_FALSE(QApplication::activeModalWidget() == first);

  // The next scan starts from the window while the first box is still open.
  test::Rows(dlg).setData(test::Rows(dlg).index(0, 0), Qt::Checked, Qt::CheckStateRole);
  test::Start(dlg);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ends == 2; }, test::kWaitMs));
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(test::Rows(dlg).rowCount(),
            static_cast<int>(test::ReferenceScan(image_, 0, image_.size()).size()));
  EXPECT_FALSE(test::Rows(dlg).Rows()[0].checked) << "the list is the second scan's";
  EXPECT_EQ(test::AnswerBox().text, "scan end!");
  EXPECT_EQ(test::AnswerBox().text, "scan end!");
  EXPECT_EQ(test::VisibleBox(), nullptr);
}

TEST_F(ScanForm, ANameTypedWithoutASuffixIsTakenAsItIsWhenThatFileExists) {
  Window w;
  auto& ui = w.ui();
  const std::string bare = dir_.File("noext");
  test::WriteFile(bare, std::vector<uint8_t>(8192));
  test::WriteFile(dir_.File("other.vmdk"), std::vector<uint8_t>(1024));
  // What the file dialog says when it refuses a name.
  QStringList refusals;
  QTimer answerer;
  QObject::connect(&answerer, &QTimer::timeout, [&] {
    if (QMessageBox* box = test::VisibleBox()) {
      refusals << box->text();
      box->buttons().constFirst()->click();
    }
  });
  answerer.start(10);
  auto type = [&](const QString& name) {
    test::AnswerFileDialog([&] { test::BrowseImage(w.dlg()); },
                           [&](QFileDialog& d) {
                             d.setDirectory(QString::fromStdString(dir_.path().string()));
                             auto* edit = d.findChild<QLineEdit*>("fileNameEdit");
                             ASSERT_NE(edit, nullptr);
                             edit->clear();
                             QTest::keyClicks(edit, name);
                             static_cast<QDialog&>(d).accept();
                             if (d.isVisible()) d.reject();  // it refused the name
                           });
  };
  type("noext");
  EXPECT_EQ(ui.imageFileEdit->text(), QDir::toNativeSeparators(QString::fromStdString(bare)));
  EXPECT_EQ(ui.scanSizeEdit->text(), "8192");
  // A name that is no file still gets the filter's suffix.
  type("other");
  EXPECT_EQ(ui.imageFileEdit->text(),
            QDir::toNativeSeparators(QString::fromStdString(dir_.File("other.vmdk"))));
  EXPECT_EQ(ui.scanSizeEdit->text(), "1024");
  answerer.stop();
  EXPECT_TRUE(refusals.isEmpty()) << refusals.join("|").toStdString();
}

}  // namespace
}  // namespace korvane
