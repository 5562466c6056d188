#pragma once

#include <QColor>
#include <QRectF>
#include <QString>
#include <memory>

class QPainter;
class QSvgRenderer;

namespace corvane {

// Single-colour vector artwork (a service logo or a symbol) that takes the colour it is drawn
// in, whatever colours the file uses: its shape is its coverage. Main thread only.
class TemplateImage {
public:
  // The artwork at a resource or file path; null when it is missing or does not load.
  static std::shared_ptr<QSvgRenderer> load(const QString &path);
  // A symbol the panels name ("plus", "lock.fill", …), loaded once; null when there is none.
  static std::shared_ptr<QSvgRenderer> symbol(const QString &name);

  // Draws `image` stretched into `rect` in `color`.
  static void paint(QPainter &painter, QSvgRenderer &image, const QRectF &rect,
                    const QColor &color);
};

} // namespace corvane
