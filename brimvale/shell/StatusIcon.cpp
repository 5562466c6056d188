#include "brimvale/shell/StatusIcon.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPen>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace corvane {

namespace {

constexpr qreal side = 18;
// The outline that keeps the emblem legible on a tray of either lightness: in points of the
// 18-point emblem, and how strongly it shows.
constexpr qreal outlineWidth = 0.8;
constexpr qreal outlineOpacity = 0.85;

QRectF square(QPointF centre, qreal radius) {
  // In the flipped coordinates the square's corner is the same either way round.
  return QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
}

void drawNode(QPainter &painter, QPointF centre, qreal radius, bool filled) {
  const QRectF rect = square(centre, radius);
  if (filled) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawEllipse(rect);
    return;
  }
  // Erases the line ends under the ring.
  painter.setCompositionMode(QPainter::CompositionMode_Clear);
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::black);
  painter.drawEllipse(rect);
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(Qt::black, 1.4));
  painter.drawEllipse(rect.adjusted(0.7, 0.7, -0.7, -0.7));
}

} // namespace

bool drawStatusIcon(QPainter &painter, bool peersOnline, bool hasFailure) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  // Lower-left origin, y upwards.
  painter.translate(0, side);
  painter.scale(1, -1);

  const QPointF centre(8.2, 6.4);
  const QPointF outerA(4.2, 13.4);
  const QPointF outerB(14.2, 12.0);

  QPainterPath lines;
  lines.moveTo(centre);
  lines.lineTo(outerA);
  lines.moveTo(centre);
  lines.lineTo(outerB);
  QPen linePen(Qt::black, 1.5);
  linePen.setCapStyle(Qt::RoundCap);
  painter.setPen(linePen);
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(lines);

  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::black);
  painter.drawEllipse(QRectF(4.6, 2.8, 7.2, 7.2));

  drawNode(painter, outerA, 3.2, peersOnline);
  drawNode(painter, outerB, 2.6, peersOnline);

  if (hasFailure) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawEllipse(QRectF(13.6, 1.2, 3.6, 3.6));
  }
  painter.restore();
  return true;
}

QImage statusIconImage(bool peersOnline, bool hasFailure, int pixels, const QColor &ink) {
  QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.scale(pixels / side, pixels / side);
  drawStatusIcon(painter, peersOnline, hasFailure);
  // Only the shape counts: it takes the ink's colour.
  painter.resetTransform();
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(image.rect(), ink);
  return image;
}

QImage outlinedStatusIconImage(bool peersOnline, bool hasFailure, int pixels, const QColor &ink) {
  const QImage emblem = statusIconImage(peersOnline, hasFailure, pixels, ink);
  // The outline is the emblem's shape moved a little every way round, in a colour far from
  // the ink's.
  QColor edge = ink.lightness() > 128 ? QColor(0x17, 0x17, 0x1c) : QColor(Qt::white);
  edge.setAlphaF(outlineOpacity);
  const QImage outline = statusIconImage(peersOnline, hasFailure, pixels, edge);
  QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  const qreal reach = std::max(1.0, pixels * outlineWidth / side);
  for (int step = 0; step < 8; ++step) {
    const qreal angle = step * std::numbers::pi / 4;
    painter.drawImage(QPointF(reach * std::cos(angle), reach * std::sin(angle)), outline);
  }
  painter.drawImage(0, 0, emblem);
  return image;
}

QIcon statusIcon(bool peersOnline, bool hasFailure, const QColor &ink) {
  QIcon icon;
  for (const int pixels : {16, 18, 22, 24, 32, 36, 48, 64})
    icon.addPixmap(
        QPixmap::fromImage(outlinedStatusIconImage(peersOnline, hasFailure, pixels, ink)));
  return icon;
}

QColor trayInk() {
  const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP").toUpper();
  const QColor text = QGuiApplication::palette().color(QPalette::WindowText);
  if (desktop.contains("GNOME") || text.lightness() > 128)
    return QColor(0xf2, 0xf2, 0xf2);
  return text;
}

} // namespace corvane
