#include "brimvale/shell/InkButtonStyle.h"

#include "brimvale/shell/TemplateImage.h"
#include "brimvale/shell/Theme.h"

#include <QAbstractButton>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QSvgRenderer>
#include <algorithm>
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

void InkButtonStyle::apply(QAbstractButton *button, qreal height, const QString &symbol,
                           qreal symbolSize, qreal spacing) {
  apply(button, height);
  auto *style = static_cast<InkButtonStyle *>(button->style());
  style->symbol_ = symbol;
  style->symbolSize_ = symbolSize;
  style->spacing_ = spacing;
  button->updateGeometry();
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
  QRectF label = QRectF(button->rect).adjusted(horizontalPadding, 0, -horizontalPadding, 0);
  const QColor ink = Theme::onInk.in(Theme::appearanceOf(button->palette));
  const std::shared_ptr<QSvgRenderer> image =
      symbol_.isEmpty() ? nullptr : TemplateImage::symbol(symbol_);
  if (image) {
    // The symbol and the label stand centred together.
    const QSizeF natural =
        image->defaultSize().isEmpty() ? QSizeF(1, 1) : QSizeF(image->defaultSize());
    const qreal symbolWidth = symbolSize_ * natural.width() / natural.height();
    const qreal textWidth = std::min<qreal>(painter->fontMetrics().horizontalAdvance(button->text),
                                            label.width() - symbolWidth - spacing_);
    const qreal left = label.center().x() - (symbolWidth + spacing_ + textWidth) / 2;
    TemplateImage::paint(
        *painter, *image,
        QRectF(left, label.center().y() - symbolSize_ / 2, symbolWidth, symbolSize_), ink);
    label = QRectF(left + symbolWidth + spacing_, label.top(), textWidth + 1, label.height());
  }
  painter->drawText(label, Qt::AlignCenter | Qt::TextSingleLine,
                    painter->fontMetrics().elidedText(button->text, Qt::ElideRight,
                                                      static_cast<int>(std::ceil(label.width()))));
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
  const int symbolWidth =
      symbol_.isEmpty() ? 0 : static_cast<int>(std::ceil(symbolSize_ + spacing_));
  return {textWidth + symbolWidth + static_cast<int>(std::ceil(2 * horizontalPadding)),
          static_cast<int>(std::lround(height_))};
}

} // namespace corvane
