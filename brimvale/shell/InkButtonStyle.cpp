#include "brimvale/shell/InkButtonStyle.h"

#include "brimvale/shell/Theme.h"

#include <QAbstractButton>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <cmath>

namespace corvane {

InkButtonStyle::InkButtonStyle(qreal height)
    : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))), height_(height) {}

void InkButtonStyle::apply(QAbstractButton *button, qreal height) {
  button->setFont(Theme::system(labelSize, QFont::DemiBold));
  auto *style = new InkButtonStyle(height);
  style->setParent(button);
  button->setStyle(style);
  button->setCursor(Qt::PointingHandCursor);
  button->setFixedHeight(static_cast<int>(std::lround(height)));
}

void InkButtonStyle::drawControl(ControlElement element, const QStyleOption *option,
                                 QPainter *painter, const QWidget *widget) const {
  const auto *button = qstyleoption_cast<const QStyleOptionButton *>(option);
  if (element != CE_PushButton || !button) {
    QProxyStyle::drawControl(element, option, painter, widget);
    return;
  }
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  const bool pressed = button->state & State_Sunken;
  QColor fill = Theme::ink.in(Theme::appearanceOf(button->palette));
  fill.setAlphaF(pressed ? 0.8f : 1.0f);
  QPainterPath shape;
  shape.addRoundedRect(QRectF(button->rect), cornerRadius, cornerRadius);
  painter->fillPath(shape, fill);
  painter->setPen(Theme::onInk.in(Theme::appearanceOf(button->palette)));
  painter->setFont(widget ? widget->font() : Theme::system(labelSize, QFont::DemiBold));
  const QRectF label = QRectF(button->rect).adjusted(horizontalPadding, 0, -horizontalPadding, 0);
  painter->drawText(label, Qt::AlignCenter | Qt::TextSingleLine,
                    painter->fontMetrics().elidedText(button->text, Qt::ElideRight,
                                                      static_cast<int>(label.width())));
  painter->restore();
}

QSize InkButtonStyle::sizeFromContents(ContentsType type, const QStyleOption *option,
                                       const QSize &size, const QWidget *widget) const {
  if (type != CT_PushButton)
    return QProxyStyle::sizeFromContents(type, option, size, widget);
  const auto *button = qstyleoption_cast<const QStyleOptionButton *>(option);
  const QFontMetricsF metrics(widget ? widget->font() : Theme::system(labelSize, QFont::DemiBold));
  // Rounded up, so that eliding, which measures exactly, finds the label fits.
  const int textWidth =
      button ? static_cast<int>(std::ceil(metrics.horizontalAdvance(button->text))) : size.width();
  return {textWidth + static_cast<int>(std::ceil(2 * horizontalPadding)),
          static_cast<int>(std::lround(height_))};
}

} // namespace corvane
