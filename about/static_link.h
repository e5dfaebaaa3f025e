// SPDX-License-Identifier: GPL-3.0-or-later
// CMyStaticLink turns a label that a dialog already has into a hyperlink: the text painted
// underlined in the dialog's font, blue, red while the mouse is over it, the hand cursor over it,
// and a left-button release on it opening the target with the platform's "open" for URLs.
#pragma once

#include <QColor>
#include <QCursor>
#include <QFont>
#include <QString>
#include <optional>

class QEvent;
class QLabel;
class QMouseEvent;
class QPointF;

namespace korvane {

class LinkEventFilter;

// A plain object, not a widget: it takes over a label's painting and mouse handling through an
// event filter while attached. It must stay at the same address while attached. Destroying the
// label detaches it; destroying the object detaches it too, which gives the label back as it was.
class CMyStaticLink {
 public:
  static constexpr int kMaxText = 31;   // characters of the display text
  static constexpr int kMaxUrl = 1023;  // characters of the link target

  CMyStaticLink() = default;
  virtual ~CMyStaticLink();
  CMyStaticLink(const CMyStaticLink&) = delete;
  CMyStaticLink& operator=(const CMyStaticLink&) = delete;

  // Takes over label. 1 attached; 0 refused (null label, this object already attached, or the
  // label already carrying a link), nothing changed.
  int Attach(QLabel* label);

  // Stores the display text (empty: the label's own text) and the target (empty: the label's
  // own text). 1 stored; 0 when the text is longer than kMaxText or the URL longer than kMaxUrl
  // characters, nothing changed. Repaints the label when attached.
  int SetLink(const QString& text, const QString& url);

  // Gives the label back with its own painting, cursor and mouse tracking; empties text and URL.
  // Returns the label that was attached, or null when there was none.
  QLabel* Detach();

  QLabel* Label() const { return m_hStatic; }
  bool Hovering() const { return m_bHover != 0; }
  const QString& Text() const { return m_szText; }
  const QString& Url() const { return m_szUrl; }
  // The underlined font made by Attach; empty while detached.
  const std::optional<QFont>& Font() const { return m_hFont; }

  // What is painted and what a click opens: the stored strings, or the label's own text cut to
  // kMaxText characters where they are empty. Empty while detached.
  QString DisplayText() const;
  QString Target() const;
  // Blue, or red while hovering.
  QColor TextColor() const;

 private:
  friend class LinkEventFilter;

  bool HandleEvent(QEvent* event);  // true: the label does not see the event
  void TrackHover(const QPointF& pos);
  void EndHover(bool repaint);
  void Paint();
  void Forget();  // back to detached without touching the label (it may be dying)
  bool Inside(const QPointF& pos) const;
  QString LabelText() const;

  int m_bHover = 0;
  QLabel* m_hStatic = nullptr;
  std::optional<QFont> m_hFont;
  QString m_szText;
  QString m_szUrl;
  // Stands for the label's replaced handler: a child object of the label that filters its
  // events; deleting it gives the label its own handling back.
  LinkEventFilter* m_pFilter = nullptr;
  // The label's own settings, put back by Detach.
  bool m_bOwnCursor = false;
  QCursor m_oldCursor;
  bool m_bOldTracking = false;
};

}  // namespace korvane
