// SPDX-License-Identifier: GPL-3.0-or-later
#include "about/static_link.h"

#include <QDesktopServices>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

namespace korvane {

namespace {

// The name of the filter object that a label carries while it is a link.
constexpr char kFilterName[] = "korvaneStaticLink";

// Characters as the user counts them: a surrogate pair is one character.
qsizetype CharacterCount(const QString& s) {
  qsizetype count = 0;
  for (qsizetype i = 0; i < s.size(); ++i, ++count) {
    if (s.at(i).isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate()) ++i;
  }
  return count;
}

QString LeftCharacters(const QString& s, qsizetype n) {
  qsizetype i = 0;
  for (qsizetype count = 0; i < s.size() && count < n; ++i, ++count) {
    if (s.at(i).isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate()) ++i;
  }
  return s.left(i);
}

}  // namespace

// Child of the attached label that routes the label's events to the link. Deleting it removes
// the filter; when the label dies it is deleted with the label's other children.
class LinkEventFilter : public QObject {
 public:
  LinkEventFilter(CMyStaticLink* link, QLabel* label) : QObject(label), link_(link) {
    setObjectName(QLatin1String(kFilterName));
    label->installEventFilter(this);
  }
  ~LinkEventFilter() override {
    if (link_ != nullptr) link_->Forget();
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    // While the label is being destroyed its QLabel part is already gone: leave it alone.
    if (link_ == nullptr || qobject_cast<QLabel*>(watched) == nullptr) return false;
    return link_->HandleEvent(event);
  }

  CMyStaticLink* link_;
};

CMyStaticLink::~CMyStaticLink() {
  Detach();
}

int CMyStaticLink::Attach(QLabel* label) {
  if (label == nullptr || m_hStatic != nullptr) return 0;
  if (label->findChild<QObject*>(QLatin1String(kFilterName), Qt::FindDirectChildrenOnly) != nullptr)
    return 0;  // another link owns it

  m_bOwnCursor = label->testAttribute(Qt::WA_SetCursor);
  m_oldCursor = label->cursor();
  m_bOldTracking = label->hasMouseTracking();

  m_pFilter = new LinkEventFilter(this, label);
  m_hStatic = label;
  // The link is drawn in its dialog's font, not in the label's own.
  QFont font = label->parentWidget() != nullptr ? label->parentWidget()->font() : QFont();
  font.setUnderline(true);
  m_hFont = font;

  // Mouse moves without a button tell the link that the cursor is over it.
  label->setMouseTracking(true);
  label->setCursor(Qt::PointingHandCursor);
  label->update();
  return 1;
}

int CMyStaticLink::SetLink(const QString& text, const QString& url) {
  if (CharacterCount(text) > kMaxText || CharacterCount(url) > kMaxUrl) return 0;
  m_szText = text;
  m_szUrl = url;
  if (m_hStatic == nullptr) return 1;
  if (QWidget* parent = m_hStatic->parentWidget())
    parent->update(m_hStatic->geometry());
  else
    m_hStatic->update();
  return 1;
}

QLabel* CMyStaticLink::Detach() {
  if (m_hStatic == nullptr) return nullptr;
  QLabel* label = m_hStatic;
  LinkEventFilter* filter = m_pFilter;
  filter->link_ = nullptr;
  delete filter;
  Forget();

  if (m_bOwnCursor)
    label->setCursor(m_oldCursor);
  else
    label->unsetCursor();
  label->setMouseTracking(m_bOldTracking);
  label->update();
  return label;
}

void CMyStaticLink::Forget() {
  m_hStatic = nullptr;
  m_pFilter = nullptr;
  m_hFont.reset();
  m_bHover = 0;
  m_szText.clear();
  m_szUrl.clear();
}

QString CMyStaticLink::LabelText() const {
  return m_hStatic != nullptr ? LeftCharacters(m_hStatic->text(), kMaxText) : QString();
}

QString CMyStaticLink::DisplayText() const {
  if (m_hStatic == nullptr) return QString();
  return m_szText.isEmpty() ? LabelText() : m_szText;
}

QString CMyStaticLink::Target() const {
  if (m_hStatic == nullptr) return QString();
  return m_szUrl.isEmpty() ? LabelText() : m_szUrl;
}

QColor CMyStaticLink::TextColor() const {
  return m_bHover != 0 ? QColor(255, 0, 0) : QColor(0, 0, 255);
}

bool CMyStaticLink::Inside(const QPointF& pos) const {
  // Both far edges count as inside, as they do for the window rectangle of a native control.
  return pos.x() >= 0 && pos.y() >= 0 && pos.x() <= m_hStatic->width() &&
         pos.y() <= m_hStatic->height();
}

void CMyStaticLink::TrackHover(const QPointF& pos) {
  if (m_bHover == 0) {
    // The first move that reaches the label means the cursor has entered it.
    m_bHover = 1;
    m_hStatic->update();
  } else if (!Inside(pos)) {
    // Only reachable while the label holds the mouse (a button pressed on it).
    EndHover(true);
  }
}

void CMyStaticLink::EndHover(bool repaint) {
  if (m_bHover == 0) return;
  m_bHover = 0;
  if (repaint) m_hStatic->update();
}

void CMyStaticLink::Paint() {
  QPainter painter(m_hStatic);
  painter.setFont(*m_hFont);
  painter.setPen(TextColor());
  // One line, left-aligned, vertically centred, clipped to the label; no background of its own.
  painter.drawText(m_hStatic->rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                   DisplayText());
}

bool CMyStaticLink::HandleEvent(QEvent* event) {
  switch (event->type()) {
    case QEvent::Paint:
      Paint();
      return true;
    case QEvent::Enter:
      if (m_bHover == 0) TrackHover(QPointF(0, 0));
      return false;
    case QEvent::MouseMove:
      TrackHover(static_cast<QMouseEvent*>(event)->position());
      return true;
    case QEvent::Leave:
      EndHover(true);
      return false;
    case QEvent::Hide:
      // The mouse is lost with the label; it shows blue again when next painted.
      EndHover(false);
      return false;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
      return static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton;
    case QEvent::MouseButtonRelease: {
      const auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton) return false;
      // A release after the mouse was dragged off the label no longer reaches the link, as
      // with a native control that gave up its capture when the cursor left it.
      const QString target = Inside(mouse->position()) ? Target() : QString();
      if (!target.isEmpty()) QDesktopServices::openUrl(QUrl::fromUserInput(target));
      return true;
    }
    default:
      return false;
  }
}

}  // namespace korvane
