#pragma once

#include <QWidget>
#include <limits>

class QAbstractScrollArea;
class QScrollArea;

namespace corvane {

// The layout both menu-bar panels share: a fixed header, a middle that may scroll, and a fixed
// footer, `spacing` apart and inset by `padding` on every side. The whole is as tall as its
// content up to `maxHeight` (infinity: no limit). The middle scrolls only when `scrolls` is set
// and a limit exists; header and footer always stay in view. Takes ownership of the three
// parts. Main thread only.
class PanelFrame : public QWidget {
  Q_OBJECT

public:
  // The width of both panels, in points.
  static constexpr int panelWidth = 380;

  PanelFrame(qreal maxHeight, bool scrolls, qreal spacing, qreal padding, QWidget *header,
             QWidget *middle, QWidget *footer, QWidget *parent = nullptr);

  static bool isFinite(qreal height);
  // Draws the view's vertical scroll bar over its content rather than in a column of its own,
  // so that content laid out for the panel's width is never cut when the bar appears.
  static void overlayScrollBars(QAbstractScrollArea *area);
  // Puts `fresh` in place of `old` (none at first) as the last item of `host`'s layout and
  // returns it. `old` is deleted later: a rebuild may run inside one of its own handlers.
  static PanelFrame *swap(QWidget &host, PanelFrame *old, PanelFrame *fresh);

  qreal maxHeight() const { return maxHeight_; }
  bool scrolls() const { return scrollArea_ != nullptr; }
  // The scroll view around the middle, when it has one.
  QScrollArea *scrollArea() const { return scrollArea_; }

private:
  qreal maxHeight_;
  QScrollArea *scrollArea_ = nullptr;
};

} // namespace corvane
