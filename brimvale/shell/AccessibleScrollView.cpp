#include "brimvale/shell/AccessibleScrollView.h"

#include <QAccessibleWidget>
#include <QScrollArea>

namespace corvane {

namespace {

// The children are the view's child widgets, and an index out of range finds none.
class ScrollViewAccessible : public QAccessibleWidget {
public:
  explicit ScrollViewAccessible(QWidget *view) : QAccessibleWidget(view, QAccessible::Client) {}
};

// Asked before Qt's own factory; answers for scroll areas only (item views keep theirs).
QAccessibleInterface *makeScrollView(const QString &, QObject *object) {
  auto *view = qobject_cast<QScrollArea *>(object);
  return view ? new ScrollViewAccessible(view) : nullptr;
}

} // namespace

void installAccessibleScrollViews() {
  [[maybe_unused]] static const bool installed =
      (QAccessible::installFactory(&makeScrollView), true);
}

} // namespace corvane
