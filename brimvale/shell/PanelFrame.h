#pragma once

#include <QWidget>
#include <limits>

class QAbstractScrollArea;
class QScrollArea;
class QScrollBar;

namespace corvane {

// The layout both menu-bar panels share: a fixed header, a middle that may scroll, and a fixed
// footer, `spacing` apart and inset by `padding` on every side. The whole is as tall as its
// content (at its width) up to `maxHeight` (infinity: no limit). The middle scrolls only when
// `scrolls` is set and a limit exists; its scroll bar then shows whenever the middle does not
// fit, and stands in the right-hand inset, beside the content rather than over it. Header and
// footer always stay in view. Takes ownership of the three parts. Main thread only.
class PanelFrame : public QWidget {
  Q_OBJECT

public:
  // The width of both panels, in points.
  static constexpr int panelWidth = 380;
  // The scroll bar's width; it fits inside either panel's inset.
  static constexpr int scrollBarWidth = 8;

  PanelFrame(qreal maxHeight, bool scrolls, qreal spacing, qreal padding, QWidget *header,
             QWidget *middle, QWidget *footer, QWidget *parent = nullptr);

  static bool isFinite(qreal height);
  // Gives `area` the panel's slim indicator in place of the style's bar with arrow buttons.
  static void useIndicatorBar(QAbstractScrollArea *area);
  // Tells the frame's host that the frame's height may have changed.
  static void grew(QWidget &frame);
  // Puts `fresh` in place of `old` (none at first) as the last item of `host`'s layout and
  // returns it. `old` is deleted later: a rebuild may run inside one of its own handlers.
  static PanelFrame *swap(QWidget &host, PanelFrame *old, PanelFrame *fresh);
  // Puts `fresh` in place of `old` in `old`'s parent's layout, at the same place, and deletes
  // `old` later. Returns `fresh`.
  static QWidget *replace(QWidget *old, QWidget *fresh);

  qreal maxHeight() const { return maxHeight_; }
  // Takes another limit in place. The frame's scrolling stays as it was built: a frame that
  // scrolls needs a finite limit.
  void setMaxHeight(qreal maxHeight);
  bool scrolls() const { return scrollArea_ != nullptr; }
  // The scroll view around the middle, when it has one.
  QScrollArea *scrollArea() const { return scrollArea_; }
  // Scrolls the middle so that `widget` (inside it) is in view; nothing without a scroll view.
  void scrollIntoView(QWidget *widget);

  // The height of the whole at `width` with nothing cut: the content's own height.
  int naturalHeight(int width) const;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;

private:
  int laidOutWidth() const;

  qreal maxHeight_;
  int inset_;
  int spacing_;
  QWidget *header_;
  QWidget *middle_;
  QWidget *footer_;
  QScrollArea *scrollArea_ = nullptr;
};

} // namespace corvane
