// The scan form's commands driven as a person drives them: the warnings, scans of generated
// images and of a loop device, stopping, closing during a scan, and the file and folder dialogs.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QProgressBar>
#include <QTest>
#include <filesystem>
#include <fstream>

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
    return test::AnswerBoxOpenedBy([&] { w.dlg().OnStartScan(); });
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

  // Each refusal empties the list first.
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
    dlg.Rows().Append({{Recording{}, true, false}});
    ExpectWarning(Start(w), "参数填写错误!", dlg);
    EXPECT_EQ(dlg.Rows().rowCount(), 0);
    EXPECT_EQ(g_bScanning.load(), 0);
  }

  // Block search with a block size and an offset of 0 pass the checks.
  w.FillForImage(Demo(), Save());
  ui.blockSizeEdit->setText("512");
  BoxSeen end = w.ScanToEnd();
  EXPECT_EQ(end.text, "scan end!");
  EXPECT_EQ(dlg.m_nSearchMode, 1);
  EXPECT_EQ(dlg.m_nBlockSize, 512);
  EXPECT_EQ(dlg.m_nScanOffset, 0);
}

TEST_F(ScanForm, RefusesADateWindowWhoseEndIsNotAfterItsStart) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  w.FillForImage(Demo(), Save());
  QTest::mouseClick(w.ui().filterCheck, Qt::LeftButton);
  // Both pickers show the day the window opened.
  ExpectWarning(Start(w), "结束日期需要大于开始日期!", dlg);
  dlg.m_dtEnd->setDate(dlg.m_dtStart->date().addDays(-1));
  ExpectWarning(Start(w), "结束日期需要大于开始日期!", dlg);
  EXPECT_EQ(dlg.Rows().rowCount(), 0);

  // With the box cleared the pickers are not read.
  QTest::mouseClick(w.ui().filterCheck, Qt::LeftButton);
  EXPECT_EQ(w.ScanToEnd().text, "scan end!");
  EXPECT_EQ(dlg.m_nWindowStart, 0);
  EXPECT_EQ(dlg.m_nWindowEnd, 0);
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
    const auto& row = dlg.Rows().Rows()[i];
    EXPECT_TRUE(row.closed);
    EXPECT_TRUE(test::SameRecording(row.recording, expected[i])) << test::Describe(row.recording);
  }
  EXPECT_EQ(dlg.m_progress->value(), dlg.m_progress->maximum());
  EXPECT_TRUE(dlg.m_progress->text().startsWith("100%  ")) << dlg.m_progress->text().toStdString();
  EXPECT_TRUE(dlg.m_progress->text().contains("用时"));

  // An offset and a date window reach the scan; the next scan numbers its rows from 0 again.
  const Recording& second = expected[1];
  const std::string from = FormatUnixSeconds(second.start).substr(0, 10);
  QDate day = QDate::fromString(QString::fromStdString(from), "yyyy-MM-dd");
  dlg.m_dtStart->setDate(day);
  dlg.m_dtEnd->setDate(day.addDays(1));
  QTest::mouseClick(w.ui().filterCheck, Qt::LeftButton);
  w.ui().scanOffsetEdit->setText(QString::number(expected[0].position + 1));
  EXPECT_EQ(w.ScanToEnd().text, "scan end!");
  DateWindow window;
  ASSERT_EQ(ParseDateWindow(dlg.m_dtStart->text().toStdString(), dlg.m_dtEnd->text().toStdString(),
                            window),
            1);
  EXPECT_EQ(dlg.m_nWindowStart, window.start);
  EXPECT_EQ(dlg.m_nWindowEnd, window.end);
  const uint64_t offset = expected[0].position + 1;
  EXPECT_EQ(w.ShownRows(),
            test::RowTexts(test::ReferenceScan(image_, offset, image_.size(), window)));
  ASSERT_GT(dlg.Rows().rowCount(), 0);
  EXPECT_EQ(dlg.Rows().index(0, 0).data().toString(), "0.dav");
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
  EXPECT_TRUE(end.text.contains("No such file or directory")) << end.text.toStdString();
  EXPECT_EQ(w.dlg().Rows().rowCount(), 0);
}

TEST_F(ScanForm, UnreadableBytesAreCountedOnTheScanEndsSecondLine) {
  // Read errors cannot be made to order here, so the worker's report of one is handed to the
  // window the way the worker hands it over.
  Window w;
  window::ScanEvent event;
  event.kind = window::ScanEvent::Kind::kFinished;
  event.result.status = Status::Ok();
  event.result.unreadable_bytes = 4096;
  event.result.read_error = "Input/output error";
  const BoxSeen end = test::AnswerBoxOpenedBy([&] { w.dlg().Feed().Push(event); });
  EXPECT_EQ(end.text,
            "scan end!\n4096 bytes could not be read (Input/output error); they were scanned as "
            "zeros.");
}

TEST_F(ScanForm, StopEndsAScanEarlyAndAStartWhileBusyChangesNothing) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  const std::string long_image = dir_.File("long.img");
  test::WriteLongImage(long_image, kLongImageSize);
  w.FillForImage(long_image, Save());
  EXPECT_EQ(w.ui().scanSizeEdit->text(), QString::number(kLongImageSize));

  // Two starts in quick succession: the busy flag is up before the first worker runs.
  bool ended = false;
  int ends = 0;
  QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, [&] { ended = true, ++ends; });
  dlg.OnStartScan();
  ExpectWarning(Start(w), "请等待当前线程执行完毕!", dlg);

  ASSERT_TRUE(WaitForProgress(dlg));
  ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.Rows().rowCount() >= 3; }, test::kWaitMs));
  // A busy refusal leaves the rows, the stop flag and the job as they are.
  const auto rows = w.ShownRows();
  w.ui().scanSizeEdit->setText("5");
  ExpectWarning(Start(w), "请等待当前线程执行完毕!", dlg);
  EXPECT_EQ(w.ShownRows(), rows);
  EXPECT_EQ(dlg.m_nScanSize, static_cast<int64_t>(kLongImageSize));
  EXPECT_EQ(dlg.m_bStop.load(), 0);

  dlg.OnStopScan();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, test::kWaitMs));
  const BoxSeen end = test::AnswerBox();
  EXPECT_EQ(end.text, "scan end!");
  EXPECT_EQ(g_bScanning.load(), 0);
  EXPECT_LT(dlg.m_progress->value(), dlg.m_progress->maximum());
  EXPECT_EQ(dlg.Rows().rowCount(), 3);
  EXPECT_EQ(ends, 1);
}

TEST_F(ScanForm, ClosingDuringAScanStopsAndWaitsForTheWorker) {
  const std::string long_image = dir_.File("long.img");
  test::WriteLongImage(long_image, kLongImageSize);
  {
    auto dlg = std::make_unique<CKorvaneDlg>();
    dlg->show();
    dlg->SetImageFile(QString::fromStdString(long_image));
    dlg->ui().savePathEdit->setText(QString::fromStdString(Save()));
    bool ended = false;
    QObject::connect(dlg.get(), &CKorvaneDlg::ScanEnded, [&] { ended = true; });
    dlg->OnStartScan();
    ASSERT_TRUE(WaitForProgress(*dlg));
    EXPECT_TRUE(dlg->close());
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_FALSE(dlg->Worker().Running());
    EXPECT_EQ(g_bScanning.load(), 0);
    EXPECT_LT(dlg->m_progress->value(), dlg->m_progress->maximum());
    QTest::qWait(0);
    EXPECT_FALSE(ended);  // nobody is left to read "scan end!"
    EXPECT_EQ(test::VisibleBox(), nullptr);
  }
  {
    // Destroyed without being closed, in the middle of a scan.
    auto dlg = std::make_unique<CKorvaneDlg>();
    dlg->SetImageFile(QString::fromStdString(long_image));
    dlg->ui().savePathEdit->setText(QString::fromStdString(Save()));
    dlg->OnStartScan();
    ASSERT_TRUE(WaitForProgress(*dlg));
    dlg.reset();
    EXPECT_EQ(g_bScanning.load(), 0);
  }
}

TEST_F(ScanForm, BrowsingForAnImageOffersTheFiltersAndFillsTheSize) {
  Window w;
  auto& ui = w.ui();
  QStringList filters;
  QString suffix;
  test::AnswerFileDialog([&] { w.dlg().OnBrowseImage(); },
                         [&](QFileDialog& d) {
                           filters = d.nameFilters();
                           suffix = d.defaultSuffix();
                           d.selectFile(QString::fromStdString(Demo()));
                           static_cast<QDialog&>(d).accept();
                         });
  EXPECT_EQ(filters,
            (QStringList{"Vmdk Files (*.vmdk)", "IMG Files (*.img)", "DSK Files (*.dsk)",
                         "E01 Files (*.E01 *.e01)", "Split Raw Files (*.001)", "All Files (*)"}));
  EXPECT_EQ(suffix, "vmdk");
  EXPECT_EQ(ui.imageFileEdit->text(), QDir::toNativeSeparators(QString::fromStdString(Demo())));
  EXPECT_EQ(ui.scanSizeEdit->text(), QString::number(image_.size()));

  // Cancelling changes nothing; a size already in the box stays.
  test::AnswerFileDialog([&] { w.dlg().OnBrowseImage(); }, [](QFileDialog& d) { d.reject(); });
  EXPECT_EQ(ui.imageFileEdit->text(), QDir::toNativeSeparators(QString::fromStdString(Demo())));

  // An image named without a suffix can be chosen under "All Files".
  const std::string bare = dir_.File("disk");
  test::WriteFile(bare, std::vector<uint8_t>(4096));
  ui.scanSizeEdit->setText("77");
  test::AnswerFileDialog([&] { w.dlg().OnBrowseImage(); },
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
  test::AnswerFileDialog([&] { w.dlg().OnBrowseFolder(); },
                         [&](QFileDialog& d) {
                           title = d.windowTitle();
                           d.selectFile(QString::fromStdString(Save()));
                           static_cast<QDialog&>(d).accept();
                         });
  EXPECT_EQ(title, "please select path");
  EXPECT_EQ(w.ui().savePathEdit->text(), QDir::toNativeSeparators(QString::fromStdString(Save())));

  test::AnswerFileDialog([&] { w.dlg().OnBrowseFolder(); }, [](QFileDialog& d) { d.reject(); });
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
  EXPECT_EQ(w.ScanToEnd().text, "scan end!");
  EXPECT_EQ(w.dlg().m_strSource, loop);
  EXPECT_EQ(w.ShownRows(), test::RowTexts(test::ReferenceScan(image_, 0, image_.size())));
}

}  // namespace
}  // namespace korvane
