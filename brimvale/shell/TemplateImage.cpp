#include "brimvale/shell/TemplateImage.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cmath>
#include <map>

namespace corvane {

std::shared_ptr<QSvgRenderer> TemplateImage::load(const QString &path) {
  if (!QFile::exists(path))
    return nullptr;
  auto image = std::make_shared<QSvgRenderer>(path);
  if (!image->isValid())
    return nullptr;
  return image;
}

std::shared_ptr<QSvgRenderer> TemplateImage::symbol(const QString &name) {
  // Symbols ship with the program, so a missing one stays missing.
  static std::map<QString, std::shared_ptr<QSvgRenderer>> cache;
  const auto found = cache.find(name);
  if (found != cache.end())
    return found->second;
  auto image = load(QStringLiteral(":/symbols/") + name + QStringLiteral(".svg"));
  cache.emplace(name, image);
  return image;
}

void TemplateImage::paint(QPainter &painter, QSvgRenderer &image, const QRectF &rect,
                          const QColor &color) {
  if (rect.isEmpty())
    return;
  const qreal scale = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
  const QSize pixels(static_cast<int>(std::ceil(rect.width() * scale)),
                     static_cast<int>(std::ceil(rect.height() * scale)));
  QImage mask(pixels, QImage::Format_ARGB32_Premultiplied);
  mask.fill(Qt::transparent);
  {
    QPainter drawing(&mask);
    drawing.setRenderHint(QPainter::Antialiasing);
    image.render(&drawing, QRectF(QPointF(0, 0), QSizeF(pixels)));
    drawing.setCompositionMode(QPainter::CompositionMode_SourceIn);
    drawing.fillRect(mask.rect(), color);
  }
  mask.setDevicePixelRatio(scale);
  painter.drawImage(rect, mask);
}

} // namespace corvane
