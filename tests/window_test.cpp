// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as it opens: its controls, their places, the results list, its context menu and
// the filter box; the drive list; and the program's command line.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QContextMenuEvent>
#include <QDate>
#include <QDateEdit>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QHeaderView>
#include <QImage>
#include <QMenu>
#include <QTableView>
#include <QTest>
#include <QTextLayout>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "about/about_entry.h"
#include "about/dialog_units.h"
#include "app/build_features.h"
#include "app/drive_list.h"
#include "app/progress_text.h"
#include "tests/test_support.h"
#include "tests/window_test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using gui::RecordingModel;
using test::BoxSeen;
using test::Window;

std::vector<int> TabOrder(CKorvaneDlg& dlg) {
  std::vector<int> ids;
  QWidget* first = test::Controls(dlg).scanOffsetEdit;
  QWidget* w = first;
  do {
    // Controls of the form only, not the parts some of them are made of.
    if ((w->focusPolicy() & Qt::TabFocus) && w->property("controlId").isValid()) {
      ids.push_back(w->property("controlId").toInt());
    }
    w = w->nextInFocusChain();
  } while (w != first && ids.size() < 100);
  return ids;
}

// What the platform sends for a right click (the press itself would also select the row).
void RightClick(QWidget* widget, QPoint pos) {
  QContextMenuEvent event(QContextMenuEvent::Mouse, pos, widget->mapToGlobal(pos));
  QApplication::sendEvent(widget, &event);
}

TEST(Window, OpensWithEveryControlInItsInitialState) {
  Window w;
  auto& ui = w.ui();
  CKorvaneDlg& dlg = w.dlg();

  EXPECT_EQ(dlg.windowTitle(), "Korvane");
  EXPECT_EQ(ui.scanOffsetEdit->text(), "0");
  EXPECT_EQ(ui.blockSizeEdit->text(), "512");
  EXPECT_FALSE(ui.blockSizeEdit->isEnabled());
  EXPECT_TRUE(ui.scanSizeEdit->text().isEmpty());
  EXPECT_TRUE(ui.savePathEdit->text().isEmpty());
  EXPECT_TRUE(ui.imageFileEdit->text().isEmpty());
  EXPECT_TRUE(ui.savePathEdit->isReadOnly());
  EXPECT_TRUE(ui.imageFileEdit->isReadOnly());
  EXPECT_TRUE(ui.byteModeRadio->isChecked());
  EXPECT_FALSE(ui.blockModeRadio->isEnabled());
  EXPECT_TRUE(ui.imageSourceRadio->isChecked());
  EXPECT_FALSE(ui.diskSourceRadio->isChecked());
  EXPECT_FALSE(test::Drives(dlg)->isEnabled());
  const std::vector<std::string> drives = gui::PhysicalDriveList();
  ASSERT_EQ(test::Drives(dlg)->count(), static_cast<int>(drives.size()));
  for (size_t i = 0; i < drives.size(); ++i) {
    EXPECT_EQ(test::Drives(dlg)->itemText(static_cast<int>(i)).toStdString(), drives[i]);
  }
  EXPECT_EQ(test::Drives(dlg)->currentIndex(), drives.empty() ? -1 : 0);
  EXPECT_TRUE(ui.imageFileEdit->isEnabled());
  EXPECT_TRUE(ui.browseImageButton->isEnabled());
  EXPECT_FALSE(ui.filterCheck->isChecked());
  EXPECT_FALSE(test::StartDate(dlg)->isEnabled());
  EXPECT_FALSE(test::EndDate(dlg)->isEnabled());
  EXPECT_EQ(test::StartDate(dlg)->date(), QDate::currentDate());
  EXPECT_EQ(test::EndDate(dlg)->date(), QDate::currentDate());
  EXPECT_EQ(test::StartDate(dlg)->displayFormat(), "yyyy/M/d");
  EXPECT_TRUE(test::StartDate(dlg)->calendarPopup());
  EXPECT_EQ(test::Rows(dlg).rowCount(), 0);
  EXPECT_EQ(test::Bar(dlg)->value(), test::Bar(dlg)->minimum());
  EXPECT_EQ(dlg.focusWidget(), ui.scanOffsetEdit);

  // Texts, the default button, and the two radio groups of the template.
  EXPECT_EQ(ui.scanOffsetLabel->text(), "扫描偏移(字节):");
  EXPECT_EQ(ui.scanSizeLabel->text(), "扫描大小(字节):");
  EXPECT_EQ(ui.blockSizeLabel->text(), "块大小(字节):");
  EXPECT_EQ(ui.byteModeRadio->text(), "按字节搜索");
  EXPECT_EQ(ui.blockModeRadio->text(), "按块搜索");
  EXPECT_EQ(ui.startButton->text(), "确定");
  EXPECT_EQ(ui.stopButton->text(), "停止");
  EXPECT_EQ(ui.savePathLabel->text(), "保存路径:");
  EXPECT_EQ(ui.sourceFileLabel->text(), "源文件:");
  EXPECT_EQ(ui.imageSourceRadio->text(), "镜像文件");
  EXPECT_EQ(ui.diskSourceRadio->text(), "磁盘");
  EXPECT_EQ(ui.sourceDeviceLabel->text(), "源设备:");
  EXPECT_EQ(ui.scanParamsGroup->title(), "扫描参数");
  EXPECT_EQ(ui.scanPathGroup->title(), "扫描路径");
  EXPECT_EQ(ui.timeGroup->title(), "时间");
  EXPECT_EQ(ui.startTimeLabel->text(), "开始时间:");
  EXPECT_EQ(ui.endTimeLabel->text(), "结束时间:");
  EXPECT_EQ(ui.filterCheck->text(), "筛选");
  EXPECT_TRUE(ui.startButton->isDefault());
  ui.diskSourceRadio->click();
  EXPECT_FALSE(ui.imageSourceRadio->isChecked());
  EXPECT_TRUE(ui.byteModeRadio->isChecked());

  // Tab order is template order; the radio buttons are no tab stops.
  EXPECT_EQ(TabOrder(dlg), (std::vector<int>{1000, 1001, 1002, 1005, 1006, 1007, 1008, 1009, 1010,
                                             1013, 1015, 1017, 1018, 1019}));

  // The number boxes take digits only.
  ui.scanSizeEdit->clear();
  QTest::keyClicks(ui.scanSizeEdit, "12a-3 4");
  EXPECT_EQ(ui.scanSizeEdit->text(), "1234");

  // A fixed-size window with minimise and no maximise; icon 128 in four sizes; banner 129.
  EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
  EXPECT_TRUE(dlg.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(dlg.windowFlags() & Qt::WindowMaximizeButtonHint);
  const QList<QSize> sizes = dlg.windowIcon().availableSizes();
  for (int s : {16, 32, 48, 128}) EXPECT_TRUE(sizes.contains(QSize(s, s))) << s;
  const QImage banner(QStringLiteral(":/res/banner.bmp"));
  EXPECT_EQ(banner.size(), QSize(566, 144));
  EXPECT_EQ(banner.depth() == 24 || banner.format() == QImage::Format_RGB32, true);

#ifndef _WIN32
  // The About entry, string 101, hooks in on the banner's context menu (on Windows it is in the
  // system menu, which only a real window has).
  EXPECT_EQ(test::AnswerMenu([&] { RightClick(ui.banner, QPoint(20, 20)); }).items,
            QStringList{QString::fromLatin1(kAboutEntryText)});
#endif
}

TEST(Window, MessageBoxesAreWideEnoughForTheirWholeCaption) {
  // A title bar holds the window's icon and its close box beside the caption; a box narrower
  // than those and the caption has its caption cut ("K…").
  constexpr int kTitleBarRoom = 100;  // pixels for the icon, the close box and margins
  auto wide_enough = [](const BoxSeen& box) {
    const QFontMetrics title(QApplication::font("QMdiSubWindowTitleBar"));
    return box.width >= title.horizontalAdvance(box.title) + kTitleBarRoom;
  };
  test::TempDir dir;
  testimage::ImageBuilder demo(0, testimage::Fill::kZeros);
  demo.bytes() = testimage::BuildDemoImage();
  test::WriteFile(dir.File("demo.img"), demo.bytes());
  Window w;
  const BoxSeen warning = test::AnswerBoxOpenedBy([&] { test::Start(w.dlg()); });
  EXPECT_EQ(warning.title, "警告");
  EXPECT_TRUE(wide_enough(warning)) << warning.width;
  w.FillForImage(dir.File("demo.img"), dir.path().string());
  const BoxSeen end = w.ScanToEnd();
  EXPECT_EQ(end.title, "Korvane");
  EXPECT_EQ(end.text, "scan end!");
  EXPECT_TRUE(wide_enough(end)) << end.width;
}

TEST(Window, HasAGlyphForEveryCharacterOfItsTexts) {
  // A system without a font for Chinese draws each character as an empty box.
  Window w;
  for (const QString& text :
       {w.ui().startButton->text(), w.ui().imageSourceRadio->text(),
        QStringLiteral("请先勾选要保存的录像!"), QStringLiteral("Korvane 0.dav")}) {
    QTextLayout layout(text, w.dlg().font());
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    for (const QChar c : text) {
      EXPECT_TRUE(std::any_of(runs.begin(), runs.end(),
                              [c](const QGlyphRun& run) {
                                return run.rawFont().isValid() &&
                                       run.rawFont().supportsCharacter(c);
                              }))
          << text.toStdString() << ": " << QString(c).toStdString();
    }
  }
}

TEST(Window, PlacesEveryControlByTheDialogUnitsOfItsFont) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  const DialogBaseUnits units = DialogBaseUnitsFor(dlg.font());
  EXPECT_EQ(dlg.font().pointSize(), 8);
  EXPECT_EQ(dlg.size(), DialogUnitsToPixels(QRect(0, 0, 689, 354), units).size());
  int placed = 0;
  for (QWidget* child : dlg.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    const QVariant rect = child->property(kDialogUnitsProperty);
    if (!rect.isValid()) continue;
    ++placed;
    const QRect expected = DialogUnitsToPixels(rect.toRect(), units);
    if (child == test::Drives(dlg)) {
      EXPECT_EQ(child->geometry().topLeft(), expected.topLeft());
      EXPECT_EQ(child->width(), expected.width());
      EXPECT_LT(child->height(), expected.height());  // 89 units is its dropped list
    } else {
      EXPECT_EQ(child->geometry(), expected) << child->objectName().toStdString();
    }
  }
  EXPECT_EQ(placed, 31);
}

TEST(ResultsList, HasFourColumnsOfAThirdOfItsWidthWithThePositionHidden) {
  Window w;
  QTableView* list = test::List(w.dlg());
  QHeaderView* header = list->horizontalHeader();
  auto& model = test::Rows(w.dlg());
  ASSERT_EQ(model.columnCount(), 4);
  const QStringList headers = {"文件名", "开始时间", "结束时间", "位置"};
  for (int c = 0; c < 4; ++c) {
    EXPECT_EQ(model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(), headers[c]);
  }
  const int third = list->contentsRect().width() / 3;
  EXPECT_GT(third, 100);
  EXPECT_EQ(header->sectionSize(0), third);
  EXPECT_EQ(header->sectionSize(1), third);
  EXPECT_EQ(header->sectionSize(2), third);
  EXPECT_EQ(header->sectionSize(3), 0);
  EXPECT_EQ(header->count(), 4);
  EXPECT_TRUE(list->showGrid());
  EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
  EXPECT_FALSE(list->verticalHeader()->isVisible());
}

Recording MakeRecording(uint64_t index, int64_t start, int64_t end, uint64_t position) {
  Recording r;
  r.index = index;
  r.start = start;
  r.end = end;
  r.position = position;
  r.end_position = position + 4000;
  r.frames = 1 + uint64_t(end - start);
  return r;
}

TEST(ResultsList, KeepsEachRecordingBehindItsTexts) {
  RecordingModel model;
  const Recording first = MakeRecording(0, 1700000000, 1700000009, 4096);
  model.Append({{first, false, false}});
  // An open recording shows no end yet.
  EXPECT_EQ(model.index(0, 0).data().toString(), "0.dav");
  EXPECT_EQ(model.index(0, 1).data().toString(), "2023-11-14 22:13:20");
  EXPECT_EQ(model.index(0, 2).data().toString(), "");
  EXPECT_EQ(model.index(0, 3).data().toString(), "4096");
  EXPECT_EQ(model.index(0, 0).data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Unchecked);
  EXPECT_TRUE(model.flags(model.index(0, 0)) & Qt::ItemIsUserCheckable);

  Recording ended = first;
  ended.end = 1700000042;
  ended.end_position = 999999;
  ended.frames = 77;
  model.Close(ended);
  EXPECT_EQ(model.index(0, 2).data().toString(), "2023-11-14 22:14:02");
  const RecordingModel::Row& row = model.Rows().at(0);
  EXPECT_TRUE(row.closed);
  EXPECT_EQ(row.recording.end_position, 999999u);
  EXPECT_EQ(row.recording.frames, 77u);
  EXPECT_TRUE(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
  EXPECT_TRUE(model.Rows().at(0).checked);
}

// Fills the list with n rows, as a scan would.
void FillRows(CKorvaneDlg& dlg, int n) {
  std::vector<RecordingModel::Row> rows;
  for (int i = 0; i < n; ++i) {
    rows.push_back({MakeRecording(uint64_t(i), 1700000000 + 100 * i, 1700000050 + 100 * i,
                                  uint64_t(i) * 65536),
                    true, false});
  }
  test::Rows(dlg).Append(std::move(rows));
}

QPoint RowCentre(QTableView* list, int row) {
  return list->visualRect(list->model()->index(row, 1)).center();
}

TEST(ResultsList, ContextMenuOpensOnARowOnly) {
  Window w;
  QTableView* list = test::List(w.dlg());
  QWidget* viewport = list->viewport();

  const QPoint on_empty_list(40, 40);
  EXPECT_TRUE(test::AnswerMenu([&] { RightClick(viewport, on_empty_list); }).items.isEmpty());

  FillRows(w.dlg(), 3);
  const QPoint on_row = RowCentre(list, 1);
  const test::MenuSeen menu = test::AnswerMenu([&] { RightClick(viewport, on_row); });
  EXPECT_EQ(menu.items, (QStringList{"保存", "导出视频", "生成报告", "选择全部", "取消选择", "",
                                     "详细信息", "按通道显示", "时间轴"}));
  EXPECT_EQ(menu.position, viewport->mapToGlobal(on_row));

  const QPoint below_last = RowCentre(list, 2) + QPoint(0, list->rowHeight(2) * 2);
  ASSERT_FALSE(list->indexAt(below_last).isValid());
  EXPECT_TRUE(test::AnswerMenu([&] { RightClick(viewport, below_last); }).items.isEmpty());
}

TEST(ResultsList, SelectAllAndDeselectSetEveryCheckBoxAndLeaveTheSelection) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  QTableView* list = test::List(dlg);
  FillRows(dlg, 5);
  list->selectRow(1);
  const QModelIndexList selected = list->selectionModel()->selectedRows();
  auto checks = [&] {
    std::vector<bool> c;
    for (const auto& row : test::Rows(dlg).Rows()) c.push_back(row.checked);
    return c;
  };
  auto choose = [&](const QString& item) {
    test::AnswerMenu([&] { RightClick(list->viewport(), RowCentre(list, 3)); }, item);
  };

  choose("选择全部");
  EXPECT_EQ(checks(), std::vector<bool>(5, true));
  EXPECT_EQ(list->selectionModel()->selectedRows(), selected);
  choose("取消选择");
  EXPECT_EQ(checks(), std::vector<bool>(5, false));
  EXPECT_EQ(list->selectionModel()->selectedRows(), selected);

  // Save with a row checked but no save folder chosen: refused, the rows stay as they are.
  test::Rows(dlg).setData(test::Rows(dlg).index(2, 0), Qt::Checked, Qt::CheckStateRole);
  // The box opens inside the menu's own loop, so a timer answers it from there.
  QString warned;
  QTimer answerer;
  QObject::connect(&answerer, &QTimer::timeout, [&] {
    if (QMessageBox* box = test::VisibleBox()) {
      warned = box->windowTitle() + "|" + box->text();
      box->buttons().constFirst()->click();
    }
  });
  answerer.start(10);
  choose("保存");
  EXPECT_TRUE(QTest::qWaitFor([&] { return !warned.isEmpty(); }, test::kWaitMs));
  answerer.stop();
  EXPECT_EQ(warned, "警告|请先选择保存路径!");
  EXPECT_EQ(checks(), (std::vector<bool>{false, false, true, false, false}));
  EXPECT_EQ(test::Rows(dlg).rowCount(), 5);

  // Both work on an empty list too.
  test::Rows(dlg).Clear();
  test::SelectAll(dlg);
  test::DeselectAll(dlg);
  EXPECT_EQ(test::Rows(dlg).rowCount(), 0);
}

TEST(Window, FilterBoxEnablesBothDatePickersWhileChecked) {
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  QTest::mouseClick(w.ui().filterCheck, Qt::LeftButton);
  EXPECT_TRUE(w.ui().filterCheck->isChecked());
  EXPECT_TRUE(test::StartDate(dlg)->isEnabled());
  EXPECT_TRUE(test::EndDate(dlg)->isEnabled());
  QTest::mouseClick(w.ui().filterCheck, Qt::LeftButton);
  EXPECT_FALSE(w.ui().filterCheck->isChecked());
  EXPECT_FALSE(test::StartDate(dlg)->isEnabled());
  EXPECT_FALSE(test::EndDate(dlg)->isEnabled());
}

#ifdef _WIN32
TEST(DriveList, OffersPhysicalDrive0To6) {
  Window w;
  QStringList drives;
  for (int i = 0; i < test::Drives(w.dlg())->count(); ++i)
    drives << test::Drives(w.dlg())->itemText(i);
  EXPECT_EQ(drives,
            (QStringList{"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1", "\\\\.\\PhysicalDrive2",
                         "\\\\.\\PhysicalDrive3", "\\\\.\\PhysicalDrive4", "\\\\.\\PhysicalDrive5",
                         "\\\\.\\PhysicalDrive6"}));
}
#else
TEST(DriveList, ListsTheWholeDisksOfSysBlockThatExist) {
  test::TempDir dir;
  const auto sys = dir.path() / "sys_block", dev = dir.path() / "dev";
  std::filesystem::create_directories(sys);
  std::filesystem::create_directories(dev / "cciss");
  for (const char* name : {"sdb", "sda", "sdaa", "nvme0n1", "loop0", "loop2", "loop10", "ram0",
                           "zram0", "cciss!c0d0", "sr0", "gone"}) {
    std::filesystem::create_directory(sys / name);
    if (std::string(name) != "gone") {
      std::string node = name;
      std::replace(node.begin(), node.end(), '!', '/');
      test::WriteFile((dev / node).string(), {});
    }
  }
  // Only loop2 and loop10 have a file attached.
  std::filesystem::create_directory(sys / "loop2" / "loop");
  std::filesystem::create_directory(sys / "loop10" / "loop");

  const std::string d = dev.string();
  EXPECT_EQ(
      gui::BlockDeviceList(sys.string(), d),
      (std::vector<std::string>{d + "/cciss/c0d0", d + "/loop2", d + "/loop10", d + "/nvme0n1",
                                d + "/sda", d + "/sdaa", d + "/sdb", d + "/sr0"}));
  EXPECT_TRUE(gui::BlockDeviceList((dir.path() / "none").string(), d).empty());
}
#endif

TEST(BuildFeatures, APartThisBuildLacksIsOfferedDisabledSayingWhy) {
  QMenu menu;
  QAction* video = menu.addAction(QStringLiteral("导出视频"));
  QAction* e01 = menu.addAction(QStringLiteral("打开 E01 镜像"));
  gui::OfferIfBuilt(video, gui::Feature::kVideo);
  gui::OfferIfBuilt(e01, gui::Feature::kEwf);
  for (auto [action, feature] :
       {std::pair{video, gui::Feature::kVideo}, {e01, gui::Feature::kEwf}}) {
    const QString why = gui::UnavailableReason(feature);
    SCOPED_TRACE(action->text().toStdString());
    if (why.isEmpty()) {
      EXPECT_TRUE(action->isEnabled());
      EXPECT_EQ(action->toolTip(), action->text());
    } else {
      EXPECT_FALSE(action->isEnabled());
      EXPECT_EQ(action->toolTip(), why);
      EXPECT_TRUE(menu.toolTipsVisible()) << "a menu shows no tooltips unless told to";
    }
  }
}

TEST(ProgressText, ShowsSpeedAndTimeLeftOrTaken) {
  EXPECT_EQ(gui::ProgressFormat(0, 1000, 0, false), "%p%  剩余 --:--");
  EXPECT_EQ(gui::ProgressFormat(500'000'000, 2'000'000'000, 2.0, false),
            "%p%  250.0 MB/s  剩余 0:06");
  // Hours for whole disks: 4 TB at 100 MB/s.
  EXPECT_EQ(gui::ProgressFormat(400'000'000'000, 4'000'000'000'000, 4000.0, false),
            "%p%  100.0 MB/s  剩余 10:00:00");
  EXPECT_EQ(gui::ProgressFormat(3'000'000'000, 3'000'000'000, 2.0, true),
            "%p%  1.50 GB/s  用时 0:02");
  EXPECT_EQ(gui::DurationText(3599.6), "1:00:00");
  EXPECT_EQ(gui::DurationText(61), "1:01");
}

// Runs the program as a person does, output to a file (a plain spawn, no Qt process machinery).
QString RunKorvane(const QStringList& args, int* status) {
  test::TempDir dir;
  std::vector<std::string> argv;
  for (const QString& a : args) argv.push_back(a.toStdString());
  test::ChildProcess program(KORVANE_BINARY, argv, dir.File("out"), dir.File("err"));
  *status = program.Wait();
  return QString::fromStdString(test::Slurp(dir.File("out")));
}

TEST(Program, PrintsItsVersionAndDrawsTheWindowIntoAFile) {
  int status = -1;
  EXPECT_EQ(
      RunKorvane({"--version"}, &status),
      "korvane 1.0.0.1\nLicense GPL-3.0-or-later: free software, you may change and share it; "
      "there is NO WARRANTY.\n");
  EXPECT_EQ(status, 0);
  RunKorvane({"--bogus"}, &status);
  EXPECT_EQ(status, 2);

  test::TempDir dir;
  const QString shot = QString::fromStdString(dir.File("window.png"));
  RunKorvane({"--screenshot", shot}, &status);
  EXPECT_EQ(status, 0);
  const QImage picture(shot);
  Window w;
  EXPECT_EQ(picture.size(), w.dlg().size());

  testimage::ImageBuilder demo(0, testimage::Fill::kZeros);
  demo.bytes() = testimage::BuildDemoImage();
  test::WriteFile(dir.File("demo.img"), demo.bytes());
  const QString after = QString::fromStdString(dir.File("after.png"));
  RunKorvane({"--screenshot", after, "--scan", QString::fromStdString(dir.File("demo.img"))},
             &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(QImage(after).size(), w.dlg().size());
  EXPECT_NE(QImage(after), picture);
}

TEST(Program, TakesAPathGivenAloneAsTheImageToScanAndRefusesUnknownOptions) {
  // As when a file is dropped on the program: the window opens with the image and its size in
  // the form.
  test::TempDir dir;
  testimage::ImageBuilder demo(0, testimage::Fill::kZeros);
  demo.bytes() = testimage::BuildDemoImage();
  test::WriteFile(dir.File("demo.img"), demo.bytes());
  int status = -1;
  const QString empty = QString::fromStdString(dir.File("empty.png"));
  RunKorvane({"--screenshot", empty}, &status);
  ASSERT_EQ(status, 0);
  const QString with_image = QString::fromStdString(dir.File("with-image.png"));
  RunKorvane({"--screenshot", with_image, QString::fromStdString(dir.File("demo.img"))}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(QImage(with_image).size(), QImage(empty).size());
  EXPECT_NE(QImage(with_image), QImage(empty));

  RunKorvane({"--no-such-option"}, &status);
  EXPECT_EQ(status, 2);
  RunKorvane({"-x", QString::fromStdString(dir.File("demo.img"))}, &status);
  EXPECT_EQ(status, 2);
  RunKorvane({QString::fromStdString(dir.File("demo.img")), "second.img"}, &status);
  EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace korvane
