// SPDX-License-Identifier: GPL-3.0-or-later
// The hyperlink label, the About box and its entry, with real widgets on the offscreen platform.
// Every URL the program asks the platform to open is caught here, so no browser starts.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QDialog>
#include <QEnterEvent>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

#include "about/about_dlg.h"
#include "about/about_entry.h"
#include "about/dialog_units.h"
#include "about/offscreen_fonts.h"
#include "about/static_link.h"

namespace korvane {
namespace {

class UrlCatcher : public QObject {
  Q_OBJECT

 public slots:
  void Open(const QUrl& url) { opened.push_back(url); }

 public:
  std::vector<QUrl> opened;
};

UrlCatcher* g_urls = nullptr;

const QRgb kBlue = qRgb(0, 0, 255);
const QRgb kRed = qRgb(255, 0, 0);

// Pixels of exactly this colour in the image.
int CountPixels(const QImage& image, QRgb colour) {
  const QImage img = image.convertToFormat(QImage::Format_ARGB32);
  int n = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) n += img.pixel(x, y) == colour;
  return n;
}

int CountPixels(QWidget* widget, QRgb colour) {
  return CountPixels(widget->grab().toImage(), colour);
}

// The longest horizontal run of the colour: the underline.
int LongestRun(QWidget* widget, QRgb colour) {
  const QImage img = widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
  int best = 0;
  for (int y = 0; y < img.height(); ++y) {
    int run = 0;
    for (int x = 0; x < img.width(); ++x) {
      run = img.pixel(x, y) == colour ? run + 1 : 0;
      best = std::max(best, run);
    }
  }
  return best;
}

void SendMouse(QWidget* w, QEvent::Type type, QPointF pos, Qt::MouseButton button = Qt::NoButton) {
  const Qt::MouseButtons held =
      type == QEvent::MouseButtonPress ? Qt::MouseButtons(button) : Qt::NoButton;
  QMouseEvent event(type, pos, w->mapToGlobal(pos), button, held, Qt::NoModifier);
  QCoreApplication::sendEvent(w, &event);
}

void SendEnter(QWidget* w) {
  const QPointF pos(1, 1);
  QEnterEvent event(pos, pos, w->mapToGlobal(pos));
  QCoreApplication::sendEvent(w, &event);
}

void SendLeave(QWidget* w) {
  QEvent event(QEvent::Leave);
  QCoreApplication::sendEvent(w, &event);
}

// Acts once on the first modal About box (or popup menu) that comes up while an event loop runs;
// gives up after 5 s, closing whatever modal window blocks the test.
template <typename W>
std::unique_ptr<QTimer> WhenUp(std::function<void(W*)> act) {
  auto timer = std::make_unique<QTimer>();
  QTimer* t = timer.get();
  const QDeadlineTimer deadline(5000);
  QObject::connect(t, &QTimer::timeout, [t, act, deadline] {
    QWidget* up = std::is_same_v<W, QMenu> ? QApplication::activePopupWidget()
                                           : QApplication::activeModalWidget();
    W* target = qobject_cast<W*>(up);
    if (target == nullptr && !deadline.hasExpired()) return;
    t->stop();
    if (target != nullptr) {
      act(target);
    } else {
      ADD_FAILURE() << "nothing came up";
      if (up != nullptr) up->close();
    }
  });
  t->start(10);
  return timer;
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_urls->opened.clear();
    window_ = std::make_unique<QWidget>();
    QFont font = window_->font();
    font.setPointSize(13);  // the dialog's font, which the link must use
    window_->setFont(font);
    window_->resize(700, 100);
    label_ = new QLabel(QStringLiteral("https://label.example.org"), window_.get());
    label_->setGeometry(10, 10, 600, 40);
    window_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }

  std::unique_ptr<QWidget> window_;
  QLabel* label_ = nullptr;
};

TEST_F(LinkTest, SetLinkKeepsItsLimitsAndARefusalChangesNothing) {
  CMyStaticLink link;
  const QString text31(31, u't');
  const QString url1023(1023, u'u');
  EXPECT_EQ(link.SetLink(text31, url1023), 1);  // also before Attach
  EXPECT_EQ(link.Text(), text31);
  EXPECT_EQ(link.Url(), url1023);

  EXPECT_EQ(link.SetLink(QString(32, u'x'), QStringLiteral("https://x.example.org")), 0);
  EXPECT_EQ(link.SetLink(QStringLiteral("x"), QString(1024, u'u')), 0);
  EXPECT_EQ(link.Text(), text31);
  EXPECT_EQ(link.Url(), url1023);

  // A character outside the Basic Multilingual Plane is one character, not two.
  const QString chain = QString::fromUcs4(U"\U0001F517");
  EXPECT_EQ(link.SetLink(chain.repeated(31), QString()), 1);
  EXPECT_EQ(link.SetLink(chain.repeated(32), QString()), 0);
  EXPECT_EQ(link.Text(), chain.repeated(31));

  ASSERT_EQ(link.Attach(label_), 1);
  EXPECT_EQ(link.DisplayText(), chain.repeated(31));  // stored before, shown once attached
  EXPECT_EQ(link.SetLink(QString(), QString()), 1);   // empty selects the label's own text
  EXPECT_EQ(link.DisplayText(), label_->text());
}

TEST_F(LinkTest, AttachRefusalsAndDetachGivesTheLabelBack) {
  label_->setCursor(Qt::IBeamCursor);
  CMyStaticLink link;
  EXPECT_EQ(link.Attach(nullptr), 0);
  EXPECT_EQ(link.Label(), nullptr);
  EXPECT_EQ(link.Detach(), nullptr);

  ASSERT_EQ(link.Attach(label_), 1);
  EXPECT_EQ(label_->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_TRUE(label_->hasMouseTracking());
  ASSERT_TRUE(link.Font().has_value());
  EXPECT_TRUE(link.Font()->underline());
  EXPECT_EQ(link.Font()->pointSize(), 13);

  QLabel other(QStringLiteral("other"), window_.get());
  EXPECT_EQ(link.Attach(&other), 0);  // a second attach keeps the first
  EXPECT_EQ(link.Label(), label_);
  EXPECT_FALSE(other.testAttribute(Qt::WA_SetCursor));

  CMyStaticLink rival;  // a label carries one link at a time
  EXPECT_EQ(rival.Attach(label_), 0);
  EXPECT_EQ(rival.Label(), nullptr);

  link.SetLink(QStringLiteral("t"), QStringLiteral("https://t.example.org"));
  EXPECT_GT(CountPixels(label_, kBlue), 0);
  EXPECT_EQ(link.Detach(), label_);
  EXPECT_EQ(link.Detach(), nullptr);
  EXPECT_TRUE(link.Text().isEmpty());
  EXPECT_TRUE(link.Url().isEmpty());
  EXPECT_FALSE(link.Font().has_value());
  EXPECT_EQ(label_->cursor().shape(), Qt::IBeamCursor);
  EXPECT_FALSE(label_->hasMouseTracking());
  EXPECT_EQ(CountPixels(label_, kBlue), 0);  // the label paints itself again
  SendMouse(label_, QEvent::MouseButtonRelease, QPointF(2, 2), Qt::LeftButton);
  EXPECT_TRUE(g_urls->opened.empty());

  EXPECT_EQ(rival.Attach(label_), 1);
}

TEST_F(LinkTest, EmptyTextAndUrlFallBackToTheLabelTextCutTo31Characters) {
  label_->setText(QStringLiteral("https://fallback.example.org/abcdefghijklmnopqrstuvwxyz"));
  const QString cut = label_->text().left(31);
  CMyStaticLink link;
  ASSERT_EQ(link.Attach(label_), 1);
  ASSERT_EQ(link.SetLink(QString(), QString()), 1);
  EXPECT_EQ(link.DisplayText(), cut);
  // The underline spans exactly the cut text.
  EXPECT_NEAR(LongestRun(label_, kBlue), QFontMetrics(*link.Font()).horizontalAdvance(cut), 2);

  SendMouse(label_, QEvent::MouseButtonRelease, QPointF(3, 3), Qt::LeftButton);
  ASSERT_EQ(g_urls->opened.size(), 1u);
  EXPECT_EQ(g_urls->opened[0], QUrl(cut));

  ASSERT_EQ(link.SetLink(QStringLiteral("shown"), QStringLiteral("https://target.example.org/p")),
            1);
  EXPECT_EQ(link.DisplayText(), QStringLiteral("shown"));
  EXPECT_NEAR(LongestRun(label_, kBlue),
              QFontMetrics(*link.Font()).horizontalAdvance(QStringLiteral("shown")), 2);
  SendMouse(label_, QEvent::MouseButtonRelease, QPointF(3, 3), Qt::LeftButton);
  ASSERT_EQ(g_urls->opened.size(), 2u);
  EXPECT_EQ(g_urls->opened[1], QUrl(QStringLiteral("https://target.example.org/p")));
}

TEST_F(LinkTest, HoverPaintsRedAndLeavingPaintsBlue) {
  CMyStaticLink link;
  ASSERT_EQ(link.Attach(label_), 1);
  link.SetLink(QStringLiteral("hover me"), QStringLiteral("https://hover.example.org"));
  EXPECT_FALSE(link.Hovering());
  EXPECT_GT(CountPixels(label_, kBlue), 0);
  EXPECT_EQ(CountPixels(label_, kRed), 0);

  SendEnter(label_);
  EXPECT_TRUE(link.Hovering());
  EXPECT_GT(CountPixels(label_, kRed), 0);
  EXPECT_EQ(CountPixels(label_, kBlue), 0);

  // With the mouse held by the label, moves outside it end the hover; the far edges are inside.
  SendMouse(label_, QEvent::MouseMove, QPointF(label_->width(), label_->height()));
  EXPECT_TRUE(link.Hovering());
  SendMouse(label_, QEvent::MouseMove, QPointF(label_->width() + 1, 5));
  EXPECT_FALSE(link.Hovering());
  EXPECT_GT(CountPixels(label_, kBlue), 0);
  SendMouse(label_, QEvent::MouseMove, QPointF(-1, 5));
  EXPECT_TRUE(link.Hovering());  // the first move that reaches it counts as entering
  SendMouse(label_, QEvent::MouseMove, QPointF(5, -1));
  EXPECT_FALSE(link.Hovering());

  SendMouse(label_, QEvent::MouseMove, QPointF(5, 5));
  EXPECT_TRUE(link.Hovering());
  SendLeave(label_);
  EXPECT_FALSE(link.Hovering());
  EXPECT_EQ(CountPixels(label_, kRed), 0);

  SendEnter(label_);
  label_->hide();  // the mouse is lost with the label
  EXPECT_FALSE(link.Hovering());
}

TEST_F(LinkTest, LeftReleaseOpensTheTarget) {
  CMyStaticLink link;
  ASSERT_EQ(link.Attach(label_), 1);
  const QUrl url(QStringLiteral("https://click.example.org/path"));
  link.SetLink(QString(), url.toString());

  SendMouse(label_, QEvent::MouseButtonPress, QPointF(4, 4), Qt::LeftButton);
  EXPECT_TRUE(g_urls->opened.empty());  // a press alone does nothing
  SendMouse(label_, QEvent::MouseButtonRelease, QPointF(4, 4), Qt::LeftButton);
  EXPECT_EQ(g_urls->opened.size(), 1u);
  SendMouse(label_, QEvent::MouseButtonRelease, QPointF(4, 4), Qt::RightButton);
  EXPECT_EQ(g_urls->opened.size(), 1u);
  // Dragged off the label before the release: not opened.
  SendMouse(label_, QEvent::MouseButtonRelease, QPointF(label_->width() + 5, 4), Qt::LeftButton);
  EXPECT_EQ(g_urls->opened.size(), 1u);

  // A real click through the window system.
  QTest::mouseClick(label_, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
  ASSERT_EQ(g_urls->opened.size(), 2u);
  EXPECT_EQ(g_urls->opened[0], url);
  EXPECT_EQ(g_urls->opened[1], url);
}

TEST_F(LinkTest, DestroyingTheLabelDetaches) {
  CMyStaticLink link;
  ASSERT_EQ(link.Attach(label_), 1);
  link.SetLink(QStringLiteral("t"), QStringLiteral("https://t.example.org"));
  SendEnter(label_);
  delete label_;
  label_ = nullptr;
  EXPECT_EQ(link.Label(), nullptr);
  EXPECT_FALSE(link.Hovering());
  EXPECT_TRUE(link.Text().isEmpty());
  EXPECT_TRUE(link.Url().isEmpty());
  EXPECT_FALSE(link.Font().has_value());

  // Attachable again; then the whole dialog goes, children and all.
  auto* fresh = new QLabel(QStringLiteral("fresh"), window_.get());
  EXPECT_EQ(link.Attach(fresh), 1);
  window_.reset();
  EXPECT_EQ(link.Label(), nullptr);

  // A link that goes first leaves a working label behind.
  QWidget window;
  auto* label = new QLabel(QStringLiteral("stays"), &window);
  {
    CMyStaticLink brief;
    ASSERT_EQ(brief.Attach(label), 1);
  }
  window.show();
  SendEnter(label);
  SendMouse(label, QEvent::MouseButtonRelease, QPointF(2, 2), Qt::LeftButton);
  EXPECT_EQ(CountPixels(label, kBlue), 0);
  EXPECT_TRUE(g_urls->opened.empty());
}

TEST(DialogUnits, EdgesRoundToTheNearestPixelAndTheLayoutFollowsTheFont) {
  const DialogBaseUnits base{6, 13};
  EXPECT_EQ(DialogUnitsToPixels(QRect(1, 1, 2, 2), base), QRect(2, 2, 3, 3));
  // Neighbours stay neighbours: each edge is converted, not the size.
  const QRect a = DialogUnitsToPixels(QRect(0, 0, 5, 8), base);
  const QRect b = DialogUnitsToPixels(QRect(5, 0, 5, 8), base);
  EXPECT_EQ(a.right() + 1, b.left());

  QFont font = QApplication::font();
  font.setPointSize(8);
  EXPECT_EQ(DialogBaseUnitsFor(font).y, QFontMetrics(font).height());
  CAboutDlg box;
  box.setFont(font);
  const QSize small = box.size();
  font.setPointSize(16);
  box.setFont(font);
  const QSize large = box.size();
  EXPECT_NEAR(static_cast<double>(large.width()) / small.width(), 2.0, 0.3);
  EXPECT_NEAR(static_cast<double>(large.height()) / small.height(), 2.0, 0.3);
  EXPECT_EQ(box.minimumSize(), box.maximumSize());  // not resizable
}

TEST(AboutBox, ShowsItsTitleAndTwoLinksAtTheTemplatePlaces) {
  g_urls->opened.clear();
  CAboutDlg box;
  EXPECT_EQ(box.windowTitle(), QString::fromUtf8("关于Tessaline"));
  auto* title = box.findChild<QLabel*>(QStringLiteral("title"));
  auto* first = box.findChild<QLabel*>(QStringLiteral("link1015"));
  auto* second = box.findChild<QLabel*>(QStringLiteral("link1016"));
  auto* licence = box.findChild<QLabel*>(QStringLiteral("licence"));
  ASSERT_TRUE(title && first && second && licence);
  EXPECT_EQ(box.findChildren<QLabel*>().size(), 4);
  EXPECT_EQ(title->text(), QStringLiteral("Velmora"));
  // The licence, below the links, in the form's own words (no translation loaded here).
  EXPECT_EQ(licence->text(), QString::fromUtf8("许可证: GPL-3.0-or-later"));

  // Each link shows and opens its URL, which is also the form's text for it.
  EXPECT_LE(std::char_traits<char>::length(CAboutDlg::kFirstUrl), 31u);
  EXPECT_LE(std::char_traits<char>::length(CAboutDlg::kSecondUrl), 31u);
  EXPECT_EQ(box.FirstLink().Label(), first);
  EXPECT_EQ(box.SecondLink().Label(), second);
  EXPECT_EQ(first->text(), QLatin1String(CAboutDlg::kFirstUrl));
  EXPECT_EQ(second->text(), QLatin1String(CAboutDlg::kSecondUrl));
  EXPECT_EQ(box.FirstLink().DisplayText(), first->text());
  EXPECT_EQ(box.SecondLink().Target(), second->text());

  const DialogBaseUnits base = DialogBaseUnitsFor(box.font());
  EXPECT_EQ(box.size(), DialogUnitsToPixels(QRect(0, 0, 135, 77), base).size());
  EXPECT_EQ(title->geometry(), DialogUnitsToPixels(QRect(29, 15, 81, 8), base));
  EXPECT_EQ(first->geometry(), DialogUnitsToPixels(QRect(22, 31, 106, 8), base));
  EXPECT_EQ(second->geometry(), DialogUnitsToPixels(QRect(22, 44, 97, 8), base));
  EXPECT_EQ(licence->geometry(), DialogUnitsToPixels(QRect(22, 57, 106, 8), base));
  EXPECT_LE(licence->sizeHint().width(), licence->width());

  box.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
  const QImage shot = box.grab().toImage();
  // Blue link text in the link rows only; the title is plain.
  EXPECT_GT(CountPixels(shot.copy(first->geometry()), kBlue), 0);
  EXPECT_GT(CountPixels(shot.copy(second->geometry()), kBlue), 0);
  EXPECT_EQ(CountPixels(shot.copy(title->geometry()), kBlue), 0);
  EXPECT_GT(CountPixels(title->grab().toImage(), qRgb(0, 0, 0)), 0);
  // Each link's underline is about as wide as its text.
  EXPECT_NEAR(LongestRun(first, kBlue),
              QFontMetrics(*box.FirstLink().Font()).horizontalAdvance(first->text()), 2);

  // KORVANE_ABOUT_SHOT=FILE.png saves the box, and FILE-hover.png with the first link hovered.
  const QString file = qEnvironmentVariable("KORVANE_ABOUT_SHOT");
  if (!file.isEmpty()) {
    EXPECT_TRUE(shot.save(file));
    SendEnter(first);
    QString hover = file;
    hover.replace(QLatin1String(".png"), QLatin1String("-hover.png"));
    EXPECT_TRUE(box.grab().toImage().save(hover));
  }
}

TEST(AboutBox, EachOpeningIsFreshAndEscOrCloseEndsIt) {
  g_urls->opened.clear();
  QWidget owner;
  owner.resize(300, 200);
  QFont dialog_font = owner.font();
  dialog_font.setPointSize(dialog_font.pointSize() == 8 ? 11 : 8);  // not the application's
  owner.setFont(dialog_font);
  owner.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&owner));

  QPointer<CAboutDlg> firstBox;
  int openings = 0;
  auto check = [&](CAboutDlg* box) {
    ++openings;
    EXPECT_EQ(box->parentWidget(), &owner);
    EXPECT_TRUE(box->isModal());
    // In the owner's font, and laid out in its dialog units.
    EXPECT_EQ(box->font(), owner.font());
    EXPECT_EQ(box->size(), DialogUnitsToPixels(box->property(kDialogUnitsProperty).toRect(),
                                               DialogBaseUnitsFor(owner.font()))
                               .size());
    for (CMyStaticLink* link : {&box->FirstLink(), &box->SecondLink()}) {
      EXPECT_NE(link->Label(), nullptr);
      EXPECT_FALSE(link->Hovering());
      EXPECT_EQ(link->TextColor(), QColor(kBlue));
    }
  };
  {
    auto watch = WhenUp<CAboutDlg>([&](CAboutDlg* box) {
      check(box);
      firstBox = box;
      SendEnter(box->FirstLink().Label());  // leaves the first box's link red
      QTest::mouseClick(box->FirstLink().Label(), Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
      QTest::keyClick(box, Qt::Key_Escape);
    });
    OpenAboutBox(&owner);
  }
  EXPECT_TRUE(firstBox.isNull());  // destroyed when the opening ended
  {
    auto watch = WhenUp<CAboutDlg>([&](CAboutDlg* box) {
      check(box);
      QTest::mouseClick(box->SecondLink().Label(), Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
      box->close();  // what the caption's close box does
    });
    OpenAboutBox(&owner);
  }
  EXPECT_EQ(openings, 2);
  EXPECT_TRUE(owner.findChildren<CAboutDlg*>().isEmpty());
  ASSERT_EQ(g_urls->opened.size(), 2u);
  EXPECT_EQ(g_urls->opened[0], QUrl(QLatin1String(CAboutDlg::kFirstUrl)));
  EXPECT_EQ(g_urls->opened[1], QUrl(QLatin1String(CAboutDlg::kSecondUrl)));
}

TEST(AboutEntry, OnlyTheEntrysSystemCommandOpensTheBox) {
  for (unsigned id = 0x10; id <= 0x1F; ++id) EXPECT_TRUE(IsAboutCommand(id)) << id;
  EXPECT_FALSE(IsAboutCommand(0x0000));
  EXPECT_FALSE(IsAboutCommand(0x0020));
  EXPECT_FALSE(IsAboutCommand(0xF060));  // close
  EXPECT_FALSE(IsAboutCommand(0xF010 | 0x0010));
}

#ifndef Q_OS_WIN
TEST(AboutEntry, BannerContextMenuAndF1OpenTheBox) {
  QDialog dlg;
  dlg.resize(400, 300);
  auto* banner = new QLabel(QStringLiteral("banner"), &dlg);
  banner->setGeometry(0, 0, 400, 80);
  InstallAboutEntry(&dlg, banner);

  ASSERT_EQ(banner->actions().size(), 1);
  QAction* entry = banner->actions().first();
  EXPECT_EQ(entry->text(), QStringLiteral("&About Korvane..."));
  EXPECT_EQ(entry->shortcut(), QKeySequence(Qt::Key_F1));
  EXPECT_EQ(banner->contextMenuPolicy(), Qt::ActionsContextMenu);

  dlg.show();
  dlg.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));

  int openings = 0;
  {
    auto watch = WhenUp<CAboutDlg>([&](CAboutDlg* box) {
      ++openings;
      EXPECT_EQ(box->parentWidget(), &dlg);
      QTest::keyClick(box, Qt::Key_F1);  // no second box over the first
      EXPECT_EQ(dlg.findChildren<CAboutDlg*>().size(), 1);
      box->reject();
    });
    QTest::keyClick(&dlg, Qt::Key_F1);
  }
  EXPECT_EQ(openings, 1);

  // A right click on the banner: a menu with the entry, which opens the box.
  QStringList menuTexts;
  auto openBox = WhenUp<CAboutDlg>([&](CAboutDlg* box) {
    ++openings;
    box->reject();
  });
  openBox->stop();
  auto watchMenu = WhenUp<QMenu>([&](QMenu* menu) {
    for (QAction* a : menu->actions()) menuTexts << a->text();
    openBox->start(10);
    QTest::keyClick(menu, Qt::Key_Down);
    QTest::keyClick(menu, Qt::Key_Return);
  });
  QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10),
                          banner->mapToGlobal(QPoint(10, 10)));
  QCoreApplication::sendEvent(banner, &click);
  QTest::qWait(0);
  EXPECT_EQ(menuTexts, QStringList{QStringLiteral("&About Korvane...")});
  EXPECT_EQ(openings, 2);
  EXPECT_TRUE(dlg.findChildren<CAboutDlg*>().isEmpty());
}
#endif

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  korvane::UseSystemFontsOffScreen();
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  korvane::UrlCatcher urls;
  korvane::g_urls = &urls;
  const char* schemes[] = {"http", "https", "file"};
  for (const char* scheme : schemes)
    QDesktopServices::setUrlHandler(QLatin1String(scheme), &urls, "Open");
  const int result = RUN_ALL_TESTS();
  for (const char* scheme : schemes) QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
  return result;
}

#include "about_test.moc"
