#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>

namespace corvane {

class PanelFrame;

// A panel's frame and its three parts. A part is built again only when its signature (what
// it shows, less what its rows update in place) changes; the frame itself only when it starts
// or stops scrolling. The middle keeps its scroll position across a rebuild. Main thread
// only; lives as long as the panel it lays out.
class PanelBody {
public:
  enum Part { header, middle, footer };

  PanelBody(QWidget &panel, qreal spacing, qreal padding, QString frameName);

  // Makes the frame anew when it has none yet or `scrolls` changed; every part is then built.
  // Another `maxHeight` alone is taken by the frame in place, and the parts stay.
  void frame(qreal maxHeight, bool scrolls);
  // Puts what `build` makes in `part` when `signature` differs from the part's last one.
  // Returns whether it did.
  bool put(Part part, const QString &signature, const std::function<QWidget *()> &build);
  // Every part is built on the next `put` (the colours changed).
  void invalidate();
  // Scrolls the middle to `widget` once the layout has settled, until the middle is built
  // again.
  void scrollIntoView(QWidget *widget);
  PanelFrame *current() const { return frame_; }
  // The frame's, for the panel's own: the panel's layout would answer from what it kept.
  QSize sizeHint() const;
  int heightForWidth(int width) const;

private:
  // Puts the middle where it should stand once its new height is known: at what was just
  // added, else where the user left it.
  void settle();

  QWidget &panel_;
  qreal spacing_;
  qreal padding_;
  QString frameName_;
  PanelFrame *frame_ = nullptr;
  std::array<QWidget *, 3> hosts_{};
  std::array<QPointer<QWidget>, 3> shown_{};
  std::array<QString, 3> signatures_{};
  std::array<bool, 3> built_{};
  std::optional<int> kept_;
  QPointer<QWidget> reveal_;
};

} // namespace corvane
