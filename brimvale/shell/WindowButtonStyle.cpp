#include "brimvale/shell/WindowButtonStyle.h"

#include "brimvale/shell/Theme.h"

#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStyleOptionButton>
#include <cmath>

namespace corvane {

WindowButtonStyle::WindowButtonStyle(qreal height) : InkButtonStyle(height) {}

void WindowButtonStyle::apply(QPushButton *button, qreal height) {
  button->setFont(Theme::system(labelSize, QFont::Medium));
  auto *style = new WindowButtonStyle(height);
  style->setParent(button);
  button->setStyle(style);
  button->setFixedHeight(static_cast<int>(std::lround(height)));
}

void WindowButtonStyle::drawControl(ControlElement element, const QStyleOption *option,
                                    QPainter *painter, const QWidget *widget) const {
  const auto *button = qstyleoption_cast<const QStyleOptionButton *>(option);
  if (element != CE_PushButton || !button) {
    InkButtonStyle::drawControl(element, option, painter, widget);
    return;
  }
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  if (!(button->state & State_Enabled))
    painter->setOpacity(0.4);
  const Theme::Appearance appearance = Theme::appearanceOf(button->palette);
  const QRectF bounds = QRectF(button->rect).adjusted(1, 1, -1, -1);
  const bool isDefault = button->features & QStyleOptionButton::DefaultButton;
  const qreal radius = isDefault ? cornerRadius : plainRadius;
  if (isDefault) {
    InkButtonStyle::drawControl(element, option, painter, widget);
  } else {
    QPainterPath shape;
    shape.addRoundedRect(bounds, plainRadius, plainRadius);
    QColor fill = Theme::control.in(appearance);
    if (button->state & State_Sunken)
      fill = Theme::line.in(appearance);
    painter->fillPath(shape, fill);
    painter->setPen(QPen(Theme::lineStrong.in(appearance), 1));
    painter->drawPath(shape);
    painter->setPen(Theme::text.in(appearance));
    painter->setFont(widget ? widget->font() : Theme::system(labelSize, QFont::Medium));
    // The same room as the size hint gives the label, so that a label that fits is never cut.
    const QRectF label = QRectF(button->rect).adjusted(horizontalPadding, 0, -horizontalPadding, 0);
    painter->drawText(label, Qt::AlignCenter | Qt::TextSingleLine,
                      painter->fontMetrics().elidedText(button->text, Qt::ElideRight,
                                                        static_cast<int>(label.width())));
  }
  if (button->state & State_HasFocus) {
    QPainterPath ring;
    ring.addRoundedRect(QRectF(button->rect).adjusted(0.75, 0.75, -0.75, -0.75), radius, radius);
    painter->setOpacity(1);
    painter->setPen(QPen(Theme::accent.in(appearance), 1.5));
    painter->setBrush(Qt::NoBrush);
    painter->drawPath(ring);
  }
  painter->restore();
}

} // namespace corvane
