#include "brimvale/panels/ViewKit.h"

#include "brimvale/shell/TemplateImage.h"
#include "brimvale/shell/WindowButtonStyle.h"

#include <QCursor>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>
#include <QVBoxLayout>
#include <cmath>
#include <functional>

namespace corvane::panelkit {

void setForeground(QWidget *widget, const QColor &color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::ButtonText, color);
  palette.setColor(QPalette::Text, color);
  widget->setPalette(palette);
}

QLabel *label(const QString &text, const QFont &font, const QColor &color, int lines,
              QWidget *parent) {
  auto *made = new QLabel(text, parent);
  made->setFont(font);
  made->setTextFormat(Qt::PlainText);
  made->setWordWrap(lines > 1);
  setForeground(made, color);
  return made;
}

QPushButton *textButton(const QString &text, const QFont &font, const QColor &color,
                        int minimumWidth, int minimumHeight) {
  auto *button = new QPushButton(text);
  QFont underlined = font;
  underlined.setUnderline(true);
  button->setFont(underlined);
  button->setFlat(true);
  button->setCursor(Qt::PointingHandCursor);
  button->setMinimumSize(minimumWidth, minimumHeight);
  button->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0 4px; "
                                       "background: transparent; color: %1; }")
                            .arg(color.name()));
  return button;
}

QPushButton *windowButton(const QString &text, const QString &name) {
  auto *made = new QPushButton(text);
  made->setObjectName(name);
  made->setAutoDefault(false);
  WindowButtonStyle::apply(made, 32);
  return made;
}

QVBoxLayout *column(QWidget *owner, int spacing, const QMargins &margins) {
  auto *layout = new QVBoxLayout(owner);
  layout->setSpacing(spacing);
  layout->setContentsMargins(margins);
  return layout;
}

QHBoxLayout *row(QWidget *owner, int spacing, const QMargins &margins) {
  auto *layout = new QHBoxLayout(owner);
  layout->setSpacing(spacing);
  layout->setContentsMargins(margins);
  return layout;
}

QWidget *separator(const QColor &color) {
  auto *line = new QWidget;
  line->setFixedHeight(1);
  line->setAutoFillBackground(true);
  QPalette palette = line->palette();
  palette.setColor(QPalette::Window, color);
  line->setPalette(palette);
  return line;
}

QPen pen(const QColor &color, qreal width, qreal on, qreal off, qreal phase, Qt::PenCapStyle cap) {
  QPen made(color, width, Qt::SolidLine, cap, Qt::MiterJoin);
  made.setMiterLimit(10);
  if (on > 0 || off > 0) {
    made.setDashPattern({on / width, off / width});
    made.setDashOffset(phase / width);
  }
  return made;
}

void strokeInside(QPainter &painter, const QRectF &bounds, const QPen &pen) {
  const qreal inset = pen.widthF() / 2;
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  painter.drawEllipse(bounds.adjusted(inset, inset, -inset, -inset));
}

void popUp(QMenu *menu, QWidget *anchor) {
  if (!menu)
    return;
  // Deleted once back in the event loop, after the chosen item has run.
  QObject::connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
  const QPoint at = anchor ? anchor->mapToGlobal(QPoint(0, anchor->height())) : QCursor::pos();
  menu->popup(at);
}

QColor faded(QColor color, qreal opacity) {
  color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
  return color;
}

SymbolButton::SymbolButton(const QString &symbol, qreal symbolSize, const QColor &color,
                           QSize frame, QWidget *parent)
    : QAbstractButton(parent), symbol_(symbol), symbolSize_(symbolSize), color_(color),
      frame_(frame) {
  setFixedSize(frame);
  setCursor(Qt::PointingHandCursor);
}

void SymbolButton::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  paintSymbol(painter, symbol_, QRectF(rect()).center(), symbolSize_,
              isDown() ? faded(color_, 0.6) : color_);
}

ContentButton::ContentButton(QWidget *parent) : QAbstractButton(parent) {
  setCursor(Qt::PointingHandCursor);
}

void ContentButton::adopt(QWidget *widget) {
  widget->setAttribute(Qt::WA_TransparentForMouseEvents);
  if (layout())
    layout()->addWidget(widget);
}

void ContentButton::paintEvent(QPaintEvent *) {}

namespace {

// A square `size` points wide that ignores the mouse and paints itself with `paint`.
class PaintedSquare : public QWidget {
public:
  PaintedSquare(qreal size, std::function<void(QPainter &, const QRectF &)> paint)
      : paint_(std::move(paint)) {
    const int side = static_cast<int>(std::ceil(size));
    setFixedSize(side, side);
    setAttribute(Qt::WA_TransparentForMouseEvents);
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    paint_(painter, QRectF(rect()));
  }

private:
  std::function<void(QPainter &, const QRectF &)> paint_;
};

} // namespace

QWidget *dot(const QColor &color, qreal size) {
  return new PaintedSquare(size, [color, size](QPainter &painter, const QRectF &area) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(area.center(), size / 2, size / 2);
  });
}

QWidget *symbol(const QString &name, qreal size, const QColor &color) {
  return new PaintedSquare(size, [name, size, color](QPainter &painter, const QRectF &area) {
    paintSymbol(painter, name, area.center(), size, color);
  });
}

void paintSymbol(QPainter &painter, const QString &symbol, const QPointF &centre, qreal size,
                 const QColor &color) {
  auto image = TemplateImage::symbol(symbol);
  if (!image)
    return;
  const QSizeF natural =
      image->defaultSize().isEmpty() ? QSizeF(1, 1) : QSizeF(image->defaultSize());
  const qreal width = size * natural.width() / natural.height();
  TemplateImage::paint(painter, *image,
                       QRectF(centre.x() - width / 2, centre.y() - size / 2, width, size), color);
}

} // namespace corvane::panelkit
