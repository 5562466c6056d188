#include "brimvale/shell/FlowLayout.h"

#include <QWidget>
#include <algorithm>
#include <cmath>

namespace corvane {

std::vector<FlowLayout::Row> FlowLayout::flowRows(int count, const Measure &measure, qreal maxWidth,
                                                  qreal spacing) {
  std::vector<Row> rows;
  Row current;
  for (int index = 0; index < count; ++index) {
    QSizeF size = measure(index, std::nullopt);
    if (size.width() > maxWidth && std::isfinite(maxWidth))
      size = measure(index, maxWidth);
    const qreal candidate =
        current.indices.empty() ? size.width() : current.width + spacing + size.width();
    if (candidate <= maxWidth || current.indices.empty()) {
      current.width = candidate;
    } else {
      const qreal nextY = current.y + current.height + spacing;
      rows.push_back(std::move(current));
      current = Row{{}, nextY, 0, size.width()};
    }
    current.indices.push_back(index);
    current.height = std::max(current.height, size.height());
  }
  if (!current.indices.empty())
    rows.push_back(std::move(current));
  return rows;
}

QSizeF FlowLayout::sizeThatFits(const std::vector<Row> &rows, std::optional<qreal> width) {
  const qreal height = rows.empty() ? 0 : rows.back().y + rows.back().height;
  if (width)
    return {*width, height};
  qreal widest = 0;
  for (const Row &row : rows)
    widest = std::max(widest, row.width);
  return {widest, height};
}

FlowLayout::FlowLayout(qreal spacing, QWidget *parent) : QLayout(parent), spacing_(spacing) {
  setContentsMargins(0, 0, 0, 0);
}

FlowLayout::~FlowLayout() {
  while (QLayoutItem *item = takeAt(0))
    delete item;
}

void FlowLayout::addItem(QLayoutItem *item) {
  items_.append(item);
}

QLayoutItem *FlowLayout::itemAt(int index) const {
  return index >= 0 && index < items_.size() ? items_.at(index) : nullptr;
}

QLayoutItem *FlowLayout::takeAt(int index) {
  return index >= 0 && index < items_.size() ? items_.takeAt(index) : nullptr;
}

QSizeF FlowLayout::measure(int index, std::optional<qreal> width) const {
  QLayoutItem *item = items_.at(index);
  const QSize natural = item->sizeHint();
  if (!width)
    return natural;
  const int fitted = static_cast<int>(std::floor(*width));
  return QSizeF(fitted,
                item->hasHeightForWidth() ? item->heightForWidth(fitted) : natural.height());
}

std::vector<FlowLayout::Row> FlowLayout::rows(qreal maxWidth) const {
  return flowRows(
      count(), [this](int index, std::optional<qreal> width) { return measure(index, width); },
      maxWidth, spacing_);
}

int FlowLayout::heightForWidth(int width) const {
  const QMargins margins = contentsMargins();
  const qreal inner = width - margins.left() - margins.right();
  return static_cast<int>(std::ceil(sizeThatFits(rows(inner), inner).height())) + margins.top() +
         margins.bottom();
}

QSize FlowLayout::sizeHint() const {
  const QMargins margins = contentsMargins();
  const QSizeF size = sizeThatFits(rows(std::numeric_limits<qreal>::infinity()), std::nullopt);
  return QSize(static_cast<int>(std::ceil(size.width())),
               static_cast<int>(std::ceil(size.height()))) +
         QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
}

QSize FlowLayout::minimumSize() const {
  QSize smallest;
  for (QLayoutItem *item : items_)
    smallest = smallest.expandedTo(item->minimumSize());
  const QMargins margins = contentsMargins();
  return smallest + QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
}

void FlowLayout::setGeometry(const QRect &rect) {
  QLayout::setGeometry(rect);
  const QRect inner = rect.marginsRemoved(contentsMargins());
  for (const Row &row : rows(inner.width())) {
    qreal x = inner.left();
    for (int index : row.indices) {
      const QSizeF size = [&] {
        QSizeF natural = measure(index, std::nullopt);
        return natural.width() > inner.width() ? measure(index, inner.width()) : natural;
      }();
      items_.at(index)->setGeometry(
          QRect(QPoint(static_cast<int>(std::lround(x)), inner.top() + static_cast<int>(row.y)),
                size.toSize()));
      x += size.width() + spacing_;
    }
  }
}

} // namespace corvane
