#pragma once

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QCoreApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionFrame>
#include <QTextDocumentFragment>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <vector>

// What a user would find wrong in a laid-out window, in words: text cut off, children outside
// the window or under a scroll bar, content no scroll bar reaches, scrolling into nothing.
// Main thread only.
namespace corvane::testing {

namespace layoutcheck {

// A widget that shortens its text on purpose says so with the properties `text` and
// `shownText`; it must then carry the whole text as its tool tip.
inline bool elides(const QWidget *widget) {
  return widget->metaObject()->indexOfProperty("shownText") >= 0 &&
         !qobject_cast<const QLabel *>(widget);
}

inline QString textOf(const QWidget *widget) {
  if (const auto *label = qobject_cast<const QLabel *>(widget))
    return Qt::mightBeRichText(label->text()) && label->textFormat() != Qt::PlainText
               ? QTextDocumentFragment::fromHtml(label->text()).toPlainText()
               : label->text();
  if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
    return button->text();
  if (const auto *edit = qobject_cast<const QLineEdit *>(widget))
    return edit->text().isEmpty() ? edit->placeholderText() : edit->text();
  return widget->property("text").toString();
}

inline QString describe(const QWidget *widget) {
  QString name = QString::fromLatin1(widget->metaObject()->className());
  if (!widget->objectName().isEmpty())
    name += QLatin1Char('#') + widget->objectName();
  else
    for (const QWidget *up = widget->parentWidget(); up; up = up->parentWidget())
      if (!up->objectName().isEmpty()) {
        name += QStringLiteral(" in #") + up->objectName();
        break;
      }
  const QString text = textOf(widget).simplified();
  if (!text.isEmpty())
    name += QStringLiteral(" \"") + text + QLatin1Char('"');
  return name;
}

inline QString size(QSize s) {
  return QStringLiteral("%1x%2").arg(s.width()).arg(s.height());
}

// The text the widget cannot show whole at its size, described; empty when it fits.
inline QString cutText(const QWidget *widget) {
  if (const auto *label = qobject_cast<const QLabel *>(widget)) {
    if (label->text().isEmpty())
      return {};
    if (label->wordWrap()) {
      const int needed = label->heightForWidth(label->width());
      if (needed > label->height())
        return QStringLiteral("wraps to %1 px in %2 px").arg(needed).arg(label->height());
      return {};
    }
    const QSize needed = label->sizeHint();
    if (needed.width() > label->width() || needed.height() > label->height())
      return QStringLiteral("needs %1, has %2").arg(size(needed), size(label->size()));
    return {};
  }
  if (const auto *button = qobject_cast<const QAbstractButton *>(widget)) {
    if (button->text().isEmpty() || button->toolTip() == button->text())
      return {};
    int needed = button->sizeHint().width();
    // Some styles widen every labelled push button to 80 px, however short its label.
    if (needed == 80 && qobject_cast<const QPushButton *>(button)) {
      QStyleOptionButton option;
      option.initFrom(button);
      const QSize text = button->fontMetrics().size(Qt::TextShowMnemonic, button->text());
      needed =
          button->style()->sizeFromContents(QStyle::CT_PushButton, &option, text, button).width();
    }
    if (needed > button->width())
      return QStringLiteral("needs %1 px, has %2 px").arg(needed).arg(button->width());
    return {};
  }
  if (const auto *edit = qobject_cast<const QLineEdit *>(widget)) {
    if (!edit->text().isEmpty() || edit->placeholderText().isEmpty())
      return {};
    // Where the field draws its placeholder: its contents less the text margins and the two
    // pixels a line edit keeps on either side.
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->hasFrame()
                           ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
                           : 0;
    const QRect contents = edit->style()
                               ->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                               .marginsRemoved(edit->textMargins());
    const QFontMetrics metrics = edit->fontMetrics();
    const int room = contents.width() - 4;
    if (metrics.elidedText(edit->placeholderText(), Qt::ElideRight, room) !=
        edit->placeholderText())
      return QStringLiteral("placeholder needs %1 px, has %2 px")
          .arg(metrics.horizontalAdvance(edit->placeholderText()))
          .arg(room);
    return {};
  }
  if (elides(widget)) {
    const QString text = widget->property("text").toString();
    if (widget->property("shownText").toString() != text && widget->toolTip() != text)
      return QStringLiteral("shortened to \"%1\" without the whole text as its tool tip")
          .arg(widget->property("shownText").toString());
  }
  return {};
}

inline bool isViewport(const QWidget *widget) {
  const auto *area =
      widget ? qobject_cast<const QAbstractScrollArea *>(widget->parentWidget()) : nullptr;
  return area && area->viewport() == widget;
}

// Where the widget draws: a label only where its text stands, the whole widget otherwise.
inline QRect drawnRect(const QWidget *widget) {
  const auto *label = qobject_cast<const QLabel *>(widget);
  if (!label)
    return widget->rect();
  return QStyle::alignedRect(label->layoutDirection(), label->alignment(),
                             label->sizeHint().boundedTo(label->size()), label->rect());
}

// The part of `widget` (of `local` in it) that shows through its parents, in `root`'s
// coordinates.
inline QRect shownRect(const QWidget &root, const QWidget *widget, const QRect &local) {
  QRect shown = local.translated(widget->mapTo(&root, QPoint(0, 0)));
  for (const QWidget *up = widget->parentWidget(); up && up != &root; up = up->parentWidget())
    shown &= QRect(up->mapTo(&root, QPoint(0, 0)), up->size());
  return shown & root.rect();
}

// Whether `layout`, or a layout nested in it, places `child`.
inline bool places(const QLayout *layout, const QWidget *child) {
  for (int i = 0; layout && i < layout->count(); ++i) {
    QLayoutItem *item = layout->itemAt(i);
    if (item->widget() == child || places(item->layout(), child))
      return true;
  }
  return false;
}

// Widgets a layout places side by side or one under another never lie over each other; when
// they do, the layout had less room than they need and squeezed them together.
inline void checkOverlaps(const QWidget *widget, QStringList &faults) {
  std::vector<const QWidget *> placed;
  for (const QObject *object : widget->children()) {
    const auto *child = qobject_cast<const QWidget *>(object);
    if (child && !child->isWindow() && !child->isHidden() && !child->size().isEmpty() &&
        places(widget->layout(), child))
      placed.push_back(child);
  }
  for (std::size_t i = 0; i < placed.size(); ++i)
    for (std::size_t j = i + 1; j < placed.size(); ++j)
      if (placed[i]->geometry().intersects(placed[j]->geometry()))
        faults << describe(placed[j]) + QStringLiteral(" lies over ") + describe(placed[i]);
}

inline void visit(const QWidget &root, const QWidget *widget, QStringList &faults) {
  checkOverlaps(widget, faults);
  for (QObject *object : widget->children()) {
    auto *child = qobject_cast<QWidget *>(object);
    if (!child || child->isWindow() || !child->isVisibleTo(&root) || child->size().isEmpty())
      continue;
    const QString cut = cutText(child);
    if (!cut.isEmpty())
      faults << describe(child) + QStringLiteral(" is cut: ") + cut;
    // A scroll area's content may run past its viewport downwards; the scroll check covers it.
    QRect room = widget->rect();
    if (isViewport(widget))
      room.setBottom(std::max(room.bottom(), child->geometry().bottom()));
    if (!room.contains(child->geometry())) {
      faults << describe(child) + QStringLiteral(" lies outside ") + describe(widget) +
                    QStringLiteral(": at %1,%2 %3 in %4")
                        .arg(child->x())
                        .arg(child->y())
                        .arg(size(child->size()), size(widget->size()));
      continue; // its own children lie outside too
    }
    visit(root, child, faults);
  }
}

inline void checkScrolling(const QWidget &root, const QScrollArea *area, QStringList &faults) {
  const QWidget *content = area->widget();
  if (!content || !content->isVisibleTo(&root))
    return;
  const QScrollBar *bar = area->verticalScrollBar();
  const int overflow = content->height() - area->viewport()->height();
  const int reach = bar->isVisibleTo(&root) ? bar->maximum() : 0;
  if (overflow > reach)
    faults << describe(area) + QStringLiteral(": %1 px of content that no scroll bar reaches")
                                   .arg(overflow - reach);
  if (reach <= 0)
    return;
  int bottom = 0;
  for (const QWidget *child : content->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
    if (child->isVisibleTo(&root))
      bottom = std::max(bottom, child->geometry().bottom() + 1);
  const int margin = content->layout() ? content->layout()->contentsMargins().bottom() : 0;
  // A little more than the page's own margin is air; a screenful is not.
  const int empty = content->height() - bottom - margin;
  if (empty > 24)
    faults << describe(area) + QStringLiteral(" scrolls %1 px past its last child").arg(empty);
}

inline void checkScrollBars(const QWidget &root, QStringList &faults) {
  for (const QScrollBar *bar : root.findChildren<QScrollBar *>()) {
    if (!bar->isVisibleTo(&root) || bar->maximum() <= bar->minimum())
      continue;
    const QRect barRect = shownRect(root, bar, bar->rect());
    for (const QWidget *widget : root.findChildren<QWidget *>()) {
      if (!widget->isVisibleTo(&root) || widget == bar || bar->isAncestorOf(widget) ||
          widget->isAncestorOf(bar))
        continue;
      // Only what draws content of its own: containers and cards may pass under the bar.
      bool leaf = true;
      for (const QObject *child : widget->children())
        leaf = leaf &&
               !(child->isWidgetType() && static_cast<const QWidget *>(child)->isVisibleTo(&root));
      if (leaf && shownRect(root, widget, drawnRect(widget)).intersects(barRect))
        faults << describe(widget) + QStringLiteral(" lies under a scroll bar");
    }
  }
}

} // namespace layoutcheck

// Lays `root` out as it stands and lists what is wrong with it, one sentence per fault.
inline QStringList layoutFaults(QWidget &root) {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
  QStringList faults;
  layoutcheck::visit(root, &root, faults);
  if (const auto *area = qobject_cast<const QScrollArea *>(&root))
    layoutcheck::checkScrolling(root, area, faults);
  for (const QScrollArea *area : root.findChildren<QScrollArea *>())
    if (area->isVisibleTo(&root))
      layoutcheck::checkScrolling(root, area, faults);
  layoutcheck::checkScrollBars(root, faults);
  return faults;
}

} // namespace corvane::testing
