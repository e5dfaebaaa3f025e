// SPDX-License-Identifier: GPL-3.0-or-later
// The window's two languages: how the language is chosen, and the window in English, with every
// text of its form, list, menus, boxes, file dialogs and About box walked for Chinese left over.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDate>
#include <QDateEdit>
#include <QDialog>
#include <QFileDialog>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "about/about_dlg.h"
#include "app/end_text.h"
#include "app/language.h"
#include "app/progress_text.h"
#include "tests/test_support.h"
#include "tests/window_test_support.h"
#include "tools/image_builder.h"

namespace korvane {
namespace {

using gui::Language;
using test::BoxSeen;
using test::Window;

// Han characters, CJK punctuation and full-width forms: what a text left untranslated shows.
bool HasChinese(const QString& text) {
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    if ((u >= 0x2E80 && u <= 0x9FFF) || (u >= 0xF900 && u <= 0xFAFF) ||
        (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFFEF)) {
      return true;
    }
  }
  return false;
}

// Every text that `root` and the widgets within it show or can show: titles, labels, buttons,
// group titles, edit and list items, tool tips, the texts of their actions (menus), and the
// headers of item views, with their cells too when `cells` (a file dialog's cells are the names
// of whatever files lie around). Each is prefixed with the widget it comes from.
QStringList ShownTexts(QWidget* root, bool cells = true) {
  QStringList texts;
  QList<QWidget*> widgets = root->findChildren<QWidget*>();
  widgets.prepend(root);
  for (QWidget* w : widgets) {
    const QString where =
        QString::fromLatin1(w->metaObject()->className()) + " " + w->objectName() + ": ";
    auto add = [&](const QString& text) {
      if (!text.isEmpty()) texts << where + text;
    };
    add(w->windowTitle());
    add(w->toolTip());
    add(w->statusTip());
    add(w->whatsThis());
    add(w->accessibleName());
    for (const QAction* a : w->actions()) {
      add(a->text());
      add(a->toolTip());
    }
    if (auto* label = qobject_cast<QLabel*>(w)) add(label->text());
    if (auto* button = qobject_cast<QAbstractButton*>(w)) add(button->text());
    if (auto* group = qobject_cast<QGroupBox*>(w)) add(group->title());
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
      add(edit->text());
      add(edit->placeholderText());
    }
    if (auto* spin = qobject_cast<QAbstractSpinBox*>(w)) add(spin->text());
    if (auto* combo = qobject_cast<QComboBox*>(w)) {
      for (int i = 0; i < combo->count(); ++i) add(combo->itemText(i));
    }
    if (auto* bar = qobject_cast<QProgressBar*>(w)) add(bar->text());
    if (auto* menu = qobject_cast<QMenu*>(w)) add(menu->title());
    if (auto* view = qobject_cast<QAbstractItemView*>(w); view && view->model()) {
      const QAbstractItemModel* model = view->model();
      for (int c = 0; c < model->columnCount(view->rootIndex()); ++c) {
        add(model->headerData(c, Qt::Horizontal).toString());
        for (int r = 0; cells && r < std::min(model->rowCount(view->rootIndex()), 100); ++r) {
          add(model->index(r, c, view->rootIndex()).data().toString());
          add(model->index(r, c, view->rootIndex()).data(Qt::ToolTipRole).toString());
        }
      }
    }
  }
  return texts;
}

void ExpectEnglish(const QStringList& texts, const std::string& what) {
  for (const QString& text : texts) {
    EXPECT_FALSE(HasChinese(text)) << what << ": " << text.toStdString();
  }
}

void ExpectEnglish(const BoxSeen& box, const std::string& what) {
  EXPECT_TRUE(box.shown) << what;
  ExpectEnglish(QStringList{box.title, box.text} + box.buttons, what);
}

// The texts of the modal window that `action` opens (a file dialog, the About box), which is then
// closed.
QStringList TextsOfModalOpenedBy(const std::function<void()>& action, bool cells = true) {
  QStringList texts;
  bool looked = false;
  QTimer::singleShot(0, [&] {
    if (QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; },
                        test::kWaitMs)) {
      QWidget* modal = QApplication::activeModalWidget();
      texts = ShownTexts(modal, cells);
      modal->close();
    }
    looked = true;
  });
  action();
  (void)QTest::qWaitFor([&] { return looked; }, test::kWaitMs);
  return texts;
}

void RightClick(QWidget* widget, QPoint pos) {
  QContextMenuEvent event(QContextMenuEvent::Mouse, pos, widget->mapToGlobal(pos));
  QApplication::sendEvent(widget, &event);
}

// The form's labels, radio buttons, check box and buttons in the window's language: each shows its
// whole text in the rectangle the form gives it.
void ExpectTextsFit(CKorvaneDlg& dlg) {
  int checked = 0;
  for (QWidget* w : dlg.findChildren<QWidget*>()) {
    if (!w->property("dialogUnits").isValid()) continue;
    if (auto* button = qobject_cast<QPushButton*>(w)) {
      // A push button's frame needs a few pixels on each side of its text.
      EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 6, button->width())
          << button->objectName().toStdString() << ": " << button->text().toStdString();
      ++checked;
    } else if (qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w)) {
      if (auto* label = qobject_cast<QLabel*>(w); label && label->text().isEmpty()) continue;
      EXPECT_LE(w->sizeHint().width(), w->width())
          << w->objectName().toStdString() << ": " << w->property("text").toString().toStdString();
      ++checked;
    }
  }
  EXPECT_EQ(checked, 17);
}

// Makes the window English for one test, and Chinese again after it, as the other tests expect.
class InEnglish : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gui::UseLanguage(Language::kEnglish)); }
  void TearDown() override { gui::UseLanguage(Language::kChinese); }

  test::TempDir dir_;
};

TEST(Language, ComesFromTheOptionOrTheSystemsFirstChineseOrEnglishLanguage) {
  EXPECT_EQ(gui::LanguageNamed("zh"), Language::kChinese);
  EXPECT_EQ(gui::LanguageNamed("en"), Language::kEnglish);
  for (const char* other : {"", "fr", "EN", "zh_CN", "english", "en "}) {
    EXPECT_EQ(gui::LanguageNamed(other), std::nullopt) << other;
  }

  using List = QStringList;
  // No language set: a bare machine's C locale is Chinese.
  EXPECT_EQ(gui::LanguageFor(List{"C"}), Language::kChinese);
  EXPECT_EQ(gui::LanguageFor(List{}), Language::kChinese);
  EXPECT_EQ(gui::LanguageFor(List{"zh-CN", "zh-Hans-CN", "zh"}), Language::kChinese);
  EXPECT_EQ(gui::LanguageFor(List{"zh-TW", "zh-Hant-TW"}), Language::kChinese);
  EXPECT_EQ(gui::LanguageFor(List{"zh_CN"}), Language::kChinese);
  EXPECT_EQ(gui::LanguageFor(List{"en-US", "en-Latn-US", "en"}), Language::kEnglish);
  EXPECT_EQ(gui::LanguageFor(List{"de-DE", "de-Latn-DE", "de"}), Language::kEnglish);
  EXPECT_EQ(gui::LanguageFor(List{"ja-JP"}), Language::kEnglish);
  // The first of the two that the user ranks higher.
  EXPECT_EQ(gui::LanguageFor(List{"fr", "zh-CN", "en"}), Language::kChinese);
  EXPECT_EQ(gui::LanguageFor(List{"fr", "en-GB", "zh"}), Language::kEnglish);
  // Neither a language named like one ("zhx") nor a script alone is Chinese.
  EXPECT_EQ(gui::LanguageFor(List{"zha-CN"}), Language::kEnglish);
}

TEST_F(InEnglish, EveryTextOfTheFormListMenusAndBoxesIsEnglish) {
  const std::string demo = dir_.File("demo.img");
  test::WriteFile(demo, testimage::BuildDemoImage());
  std::filesystem::create_directory(dir_.File("out"));
  Window w;
  CKorvaneDlg& dlg = w.dlg();
  test::StartDate(dlg)->calendarWidget();  // the pickers' calendars, made as they first open
  test::EndDate(dlg)->calendarWidget();
  const QStringList form = ShownTexts(&dlg);
  EXPECT_GT(form.size(), 60);
  ExpectEnglish(form, "the window");
  EXPECT_EQ(w.ui().startButton->text(), "Start");
  ExpectTextsFit(dlg);
  // The calendars name months and days in English.
  EXPECT_EQ(test::StartDate(dlg)->calendarWidget()->locale().language(), QLocale::English);

  // The warnings of a refused start, each with its caption and Qt's own button.
  auto refused = [&](void (*command)(CKorvaneDlg&)) {
    return test::AnswerBoxOpenedBy([&] { command(dlg); });
  };
  BoxSeen box = refused(test::Start);
  ExpectEnglish(box, "an empty form");
  EXPECT_EQ(box.title, "Warning");
  EXPECT_EQ(box.buttons, QStringList{"OK"});
  w.FillForImage(demo, dir_.File("out"));
  w.ui().filterCheck->click();
  ExpectEnglish(refused(test::Start), "equal dates");
  // The pickers' texts are read as in Chinese: a window of two days keeps the recordings of the
  // 4th and 5th of March 2014.
  test::StartDate(dlg)->setDate(QDate(2014, 3, 4));
  test::EndDate(dlg)->setDate(QDate(2014, 3, 6));
  EXPECT_EQ(w.ScanToEnd().text, "scan end!");
  EXPECT_EQ(test::Rows(dlg).rowCount(), 2);
  w.ui().filterCheck->click();
  ExpectEnglish(refused(test::Save), "nothing checked");

  // A scan: the bar, the list and its headers, the end box.
  box = w.ScanToEnd();
  EXPECT_EQ(box.text, "scan end!");
  ExpectEnglish(box, "the scan's end");
  ASSERT_GT(test::Rows(dlg).rowCount(), 0);
  ExpectEnglish(ShownTexts(&dlg), "the window after a scan");
  EXPECT_TRUE(test::Bar(dlg)->text().contains("took")) << test::Bar(dlg)->text().toStdString();

  // The list's menu and the banner's.
  QTableView* list = test::List(dlg);
  const QPoint on_row = list->visualRect(test::Rows(dlg).index(0, 1)).center();
  const QStringList list_menu =
      test::AnswerMenu([&] { RightClick(list->viewport(), on_row); }).items;
  EXPECT_EQ(list_menu, (QStringList{"Save", "Export video", "Make report", "Select all",
                                    "Deselect all", "", "Details", "Show by Channel", "Timeline"}));
  // A row's details box.
  // A double click as the platform delivers it: press, release, double click, release.
  QTest::mousePress(list->viewport(), Qt::LeftButton, {}, on_row);
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, on_row);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, on_row);
  QTest::mouseRelease(list->viewport(), Qt::LeftButton, {}, on_row);
  QDialog* details = nullptr;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        details = dlg.findChild<QDialog*>("recordingDetails");
        return details && details->isVisible();
      },
      test::kWaitMs));
  ExpectEnglish(ShownTexts(details), "a row's details");
  ExpectEnglish(QStringList{details->windowTitle()}, "the details box's title");
  details->close();

#ifndef _WIN32  // on Windows the About entry is in the system menu, not the banner's
  const QStringList banner_menu =
      test::AnswerMenu([&] { RightClick(w.ui().banner, QPoint(20, 20)); }).items;
  EXPECT_EQ(banner_menu.size(), 1);
  ExpectEnglish(banner_menu, "the banner's menu");
#endif

  // Saving: no folder, a missing one, then the checked rows and the end box.
  test::SelectAll(dlg);
  w.ui().savePathEdit->clear();
  ExpectEnglish(refused(test::Save), "no folder");
  w.ui().savePathEdit->setText(QString::fromStdString(dir_.File("missing")));
  box = refused(test::Save);
  ExpectEnglish(box, "a missing folder");
  EXPECT_TRUE(box.text.startsWith("Cannot save to this folder:\n")) << box.text.toStdString();
  w.ui().savePathEdit->setText(QString::fromStdString(dir_.File("out")));
  box = w.SaveToEnd();
  ExpectEnglish(box, "the save's end");
  EXPECT_TRUE(box.text.startsWith("Saving done!\nSaved 5 files, ")) << box.text.toStdString();

  // A start and a save during a scan.
  const std::string long_image = dir_.File("long.img");
  test::WriteLongImage(long_image, 64ull << 30);
  w.FillForImage(long_image, dir_.File("out"));
  bool ended = false;
  QObject::connect(&dlg, &CKorvaneDlg::ScanEnded, [&] { ended = true; });
  test::Start(dlg);
  ExpectEnglish(refused(test::Start), "a start during a scan");
  ASSERT_TRUE(test::WaitForProgress(dlg));
  EXPECT_TRUE(test::Bar(dlg)->text().contains("left")) << test::Bar(dlg)->text().toStdString();
  ExpectEnglish(ShownTexts(&dlg), "the window during a scan");
  test::Stop(dlg);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, test::kWaitMs));
  ExpectEnglish(test::AnswerBox(), "a stopped scan's end");

  // The file dialogs (Qt's own, English without a translation) and the About box.
  ExpectEnglish(TextsOfModalOpenedBy([&] { test::BrowseImage(dlg); }, false), "the image chooser");
  ExpectEnglish(TextsOfModalOpenedBy([&] { test::BrowseFolder(dlg); }, false),
                "the folder chooser");
#ifndef _WIN32  // on Windows the About box is opened from the system menu
  QAction* about = dlg.findChild<QAction*>(QStringLiteral("aboutEntry"));
  ASSERT_NE(about, nullptr);
  const QStringList about_box = TextsOfModalOpenedBy([&] { about->trigger(); });
  EXPECT_TRUE(about_box.contains("QLabel licence: License: GPL-3.0-or-later"))
      << about_box.join("\n").toStdString();
  ExpectEnglish(about_box, "the About box");
#endif
}

TEST_F(InEnglish, EndTextsAndTheBarSayInEnglishWhatTheChineseSays) {
  SaveResult result;
  result.status = Status::Error(ErrorCode::kStopped, "stopped");
  result.folder = "/out";
  result.saved_files = 1;
  result.saved_bytes = 4000;
  result.unreadable_bytes = 512;
  SavedFile saved;
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
  result.manifest_error = "cannot write recordings.csv: disk full";
  QString expected =
      "Saving stopped!\nSaved 1 file, 4000 bytes, to:\n/out\nBytes that could not be read, saved "
      "as zeros: 512 (see recordings.csv).\n\n12 files could not be saved:";
  for (int i = 1; i <= 10; ++i) expected += QString("\n%1.dav: disk full").arg(i);
  expected +=
      "\n...\n1 file was not saved because saving was stopped.\n\ncannot write "
      "recordings.csv: disk full";
  EXPECT_EQ(gui::SaveEndMessage(result, 14).text, expected);

  result.status = Status::Ok();
  result.saved_files = 2;
  result.failed_files = 2;
  result.files.resize(3);
  result.files.back().outcome = FileOutcome::kStopped;
  result.unreadable_bytes = 0;
  result.manifest_error.clear();
  EXPECT_EQ(gui::SaveEndMessage(result, 6).text,
            "Saving done!\nSaved 2 files, 4000 bytes in all, to:\n/out\n\n2 files could not be "
            "saved:\n1.dav: disk full\n2.dav: stopped, not saved\n3 files were not saved because "
            "saving was stopped.");

  SaveResult failed;
  failed.status = Status::Error(ErrorCode::kOpenFailed, "cannot open /dev/sdz");
  EXPECT_EQ(gui::SaveEndMessage(failed, 3).text,
            "Cannot open the source; no file was saved:\ncannot open /dev/sdz");
  failed.status = Status::Error(ErrorCode::kNoMemory, "out of memory");
  EXPECT_EQ(gui::SaveEndMessage(failed, 3).text,
            "Saving failed; no file was saved:\nout of memory");

  EXPECT_EQ(gui::ProgressFormat(0, 1000, 0, false), "%p%  --:-- left");
  EXPECT_EQ(gui::ProgressFormat(500'000'000, 2'000'000'000, 2.0, false),
            "%p%  250.0 MB/s  0:06 left");
  EXPECT_EQ(gui::ProgressFormat(3'000'000'000, 3'000'000'000, 2.0, true),
            "%p%  1.50 GB/s  took 0:02");
}

TEST(Language, BackInChineseTheWindowShowsItsOwnTextsAgain) {
  ASSERT_TRUE(gui::UseLanguage(Language::kEnglish));
  { Window english; }
  ASSERT_TRUE(gui::UseLanguage(Language::kChinese));
  EXPECT_EQ(gui::CurrentLanguage(), Language::kChinese);
  Window w;
  EXPECT_EQ(w.ui().startButton->text(), "确定");
  EXPECT_EQ(w.ui().scanPathGroup->title(), "扫描路径");
  EXPECT_EQ(test::Rows(w.dlg()).headerData(0, Qt::Horizontal, Qt::DisplayRole), "文件名");
  EXPECT_EQ(w.ui().saveAction->text(), "保存");
  EXPECT_EQ(test::StartDate(w.dlg())->calendarWidget()->locale().language(), QLocale::Chinese);
  ExpectTextsFit(w.dlg());
  test::ExpectWarning(test::AnswerBoxOpenedBy([&] { test::Start(w.dlg()); }), "参数填写错误!",
                      w.dlg());
  EXPECT_EQ(gui::ProgressFormat(0, 1000, 0, false), "%p%  剩余 --:--");
}

#ifndef _WIN32
// The program run under the language settings of a POSIX system (LANG, LC_*, LANGUAGE).
// Runs the program with the environment's language variables as given (LC_ALL, LC_MESSAGES and
// LANGUAGE unset unless given); returns its exit status.
int RunKorvane(const std::string& environment, const QStringList& args) {
  std::string command =
      "env -u LC_ALL -u LC_MESSAGES -u LANGUAGE " + environment + " " + test::Quote(KORVANE_BINARY);
  for (const QString& a : args) command += " " + test::Quote(a.toStdString());
  command += " >/dev/null 2>&1 </dev/null";
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// How many pixels two pictures of the window differ in (a text cursor blinks in one box).
int DifferentPixels(const QImage& a, const QImage& b) {
  if (a.isNull() || a.size() != b.size()) return INT_MAX;
  int n = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) n += a.pixel(x, y) != b.pixel(x, y);
  }
  return n;
}

TEST(Program, ShowsTheWindowInTheSystemsLanguageUnlessLangSaysOtherwise) {
  test::TempDir dir;
  auto shot = [&](const std::string& environment, QStringList args) {
    const QString file = QString::fromStdString(dir.File("shot.png"));
    std::filesystem::remove(file.toStdString());
    args << "--screenshot" << file;
    EXPECT_EQ(RunKorvane(environment, args), 0) << environment;
    return QImage(file);
  };
  // The system's language picks the default font too: each picture is compared with those of
  // both languages under the same environment.
  const std::pair<const char*, Language> cases[] = {
      // Chinese where no language is set (LANGUAGE is ignored then) or Chinese is asked for.
      {"LANG=C", Language::kChinese},
      {"LANG=POSIX", Language::kChinese},
      {"-u LANG", Language::kChinese},
      {"LANG=C LANGUAGE=de", Language::kChinese},
      {"LANG=de_DE.UTF-8 LC_ALL=C.UTF-8 LANGUAGE=de", Language::kChinese},
      {"LANG=de_DE.UTF-8 LC_MESSAGES=POSIX", Language::kChinese},
      {"LANG=zh_CN.UTF-8", Language::kChinese},
      {"LANG=en_US.UTF-8 LC_MESSAGES=zh_TW.UTF-8", Language::kChinese},
      // English for any other language.
      {"LANG=en_US.UTF-8", Language::kEnglish},
      {"LANG=de_DE.UTF-8", Language::kEnglish},
  };
  for (const auto& [environment, language] : cases) {
    const QImage chosen = shot(environment, {});
    const QImage zh = shot(environment, {"--lang", "zh"});
    const QImage en = shot(environment, {"--lang", "en"});
    ASSERT_FALSE(chosen.isNull()) << environment;
    // Alike but for a text cursor's blink, or clearly apart.
    const bool chinese = language == Language::kChinese;
    EXPECT_LT(DifferentPixels(chosen, chinese ? zh : en), 200) << environment;
    EXPECT_GT(DifferentPixels(chosen, chinese ? en : zh), 2000) << environment;
  }

  EXPECT_EQ(RunKorvane("LANG=C", {"--lang", "fr"}), 2);
  EXPECT_EQ(RunKorvane("LANG=C", {"--lang"}), 2);
}
#endif  // !_WIN32

}  // namespace
}  // namespace korvane
