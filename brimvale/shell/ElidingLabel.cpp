#include "brimvale/shell/ElidingLabel.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>

namespace corvane {

ElidingLabel::ElidingLabel(const QString &text, QWidget *parent) : QWidget(parent), text_(text) {
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void ElidingLabel::setText(const QString &text) {
  if (text == text_)
    return;
  text_ = text;
  setAccessibleName(text);
  showWholeTextAsTip();
  updateGeometry();
  update();
}

void ElidingLabel::setAlignment(Qt::Alignment alignment) {
  alignment_ = alignment;
  update();
}

QString ElidingLabel::shownText() const {
  // A line break would start a second line inside a one-line label.
  QString single = text_;
  for (QChar &c : single)
    if (c == u'\n' || c == u'\r' || c == QChar(0x2028) || c == QChar(0x2029))
      c = u' ';
  return fontMetrics().elidedText(single, Qt::ElideRight, contentsRect().width());
}

QSize ElidingLabel::sizeHint() const {
  const QFontMetrics metrics = fontMetrics();
  return {metrics.horizontalAdvance(text_), metrics.height()};
}

QSize ElidingLabel::minimumSizeHint() const {
  const QFontMetrics metrics = fontMetrics();
  return {metrics.horizontalAdvance(QStringLiteral("…")), metrics.height()};
}

void ElidingLabel::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setPen(palette().color(foregroundRole()));
  painter.drawText(contentsRect(), static_cast<int>(alignment_) | Qt::TextSingleLine, shownText());
}

void ElidingLabel::resizeEvent(QResizeEvent *event) {
  QWidget::resizeEvent(event);
  showWholeTextAsTip();
}

void ElidingLabel::changeEvent(QEvent *event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange)
    showWholeTextAsTip();
}

void ElidingLabel::showWholeTextAsTip() {
  setToolTip(shownText() == text_ ? QString() : text_);
}

} // namespace corvane
