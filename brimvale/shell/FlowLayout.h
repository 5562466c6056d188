#pragma once

#include <QLayout>
#include <QList>
#include <QSizeF>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

namespace corvane {

// Lays its items out left to right and wraps them into rows, `spacing` points apart both ways
// (chip rows). Items keep their order; an item wider than the layout gets a row of its own,
// measured again at the layout's width. Main thread only.
class FlowLayout : public QLayout {
  Q_OBJECT

public:
  struct Row {
    std::vector<int> indices;
    qreal y = 0;
    qreal height = 0;
    qreal width = 0;

    bool operator==(const Row &) const = default;
  };

  // Measures item `index`, given a width to fit (absent: its natural size).
  using Measure = std::function<QSizeF(int index, std::optional<qreal> width)>;

  static std::vector<Row> flowRows(int count, const Measure &measure, qreal maxWidth,
                                   qreal spacing);
  // The size the rows take: the given width (or the widest row when there is none) by the
  // last row's bottom.
  static QSizeF sizeThatFits(const std::vector<Row> &rows, std::optional<qreal> width);

  explicit FlowLayout(qreal spacing, QWidget *parent = nullptr);
  ~FlowLayout() override;

  qreal flowSpacing() const { return spacing_; }

  void addItem(QLayoutItem *item) override;
  int count() const override { return static_cast<int>(items_.size()); }
  QLayoutItem *itemAt(int index) const override;
  QLayoutItem *takeAt(int index) override;
  Qt::Orientations expandingDirections() const override { return {}; }
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  QSize minimumSize() const override;
  void setGeometry(const QRect &rect) override;

private:
  QSizeF measure(int index, std::optional<qreal> width) const;
  std::vector<Row> rows(qreal maxWidth) const;

  qreal spacing_;
  QList<QLayoutItem *> items_;
};

} // namespace corvane
