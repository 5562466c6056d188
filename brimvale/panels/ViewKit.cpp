#include "brimvale/panels/ViewKit.h"

#include "brimvale/shell/TemplateImage.h"
#include "brimvale/shell/WindowButtonStyle.h"

#include <QCursor>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>
#include <QTextLayout>
#include <QVBoxLayout>
#include <algorithm>
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
  QLabel *made = lines > 1 ? new LinesLabel(text, lines, parent) : new QLabel(text, parent);
  made->setFont(font);
  made->setTextFormat(Qt::PlainText);
  setForeground(made, color);
  return made;
}

LinesLabel::LinesLabel(const QString &text, int maxLines, QWidget *parent)
    : QLabel(text, parent), maxLines_(std::max(1, maxLines)) {
  setTextFormat(Qt::PlainText);
  setWordWrap(true);
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
}

QStringList LinesLabel::shownLines(int width) const {
  const QMargins margins = contentsMargins();
  const qreal room = std::max(1, width - margins.left() - margins.right());
  const QFontMetricsF metrics(font());
  QTextLayout layout(text(), font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  QStringList lines;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(room);
    if (static_cast<int>(lines.size()) == maxLines_ - 1) {
      // The last line allowed takes the rest of the text, cut to fit.
      const QString rest = text().mid(line.textStart()).simplified();
      lines << metrics.elidedText(rest, Qt::ElideRight, room);
      break;
    }
    lines << text().mid(line.textStart(), line.textLength()).trimmed();
  }
  layout.endLayout();
  return lines;
}

int LinesLabel::heightForWidth(int width) const {
  if (!plain())
    return QLabel::heightForWidth(width);
  const QMargins margins = contentsMargins();
  const auto count = std::max<qsizetype>(1, shownLines(width).size());
  return static_cast<int>(std::ceil(count * QFontMetricsF(font()).lineSpacing())) + margins.top() +
         margins.bottom();
}

QSize LinesLabel::sizeHint() const {
  if (!plain())
    return QLabel::sizeHint();
  const QMargins margins = contentsMargins();
  const int natural = static_cast<int>(std::ceil(QFontMetricsF(font()).horizontalAdvance(text()))) +
                      margins.left() + margins.right();
  const int width = std::min(natural, 340);
  return {width, heightForWidth(width)};
}

QSize LinesLabel::minimumSizeHint() const {
  if (!plain())
    return QLabel::minimumSizeHint();
  return {0, QFontMetricsF(font()).height() > 0
                 ? static_cast<int>(std::ceil(QFontMetricsF(font()).lineSpacing()))
                 : 0};
}

void LinesLabel::resizeEvent(QResizeEvent *event) {
  QLabel::resizeEvent(event);
  // A row of several items learns the lines' height at the width it gave only from here.
  if (const int needed = heightForWidth(width()); minimumHeight() != needed)
    setMinimumHeight(needed);
  const QStringList lines = shownLines(width());
  const bool cut = !lines.isEmpty() && lines.last().endsWith(QChar(0x2026)) &&
                   !text().simplified().endsWith(QChar(0x2026));
  setToolTip(cut ? text() : QString());
}

void LinesLabel::paintEvent(QPaintEvent *event) {
  if (!plain()) {
    QLabel::paintEvent(event);
    return;
  }
  QPainter painter(this);
  painter.setFont(font());
  painter.setPen(palette().color(foregroundRole()));
  const QRect area = contentsRect();
  const qreal step = QFontMetricsF(font()).lineSpacing();
  const QStringList lines = shownLines(width());
  const qreal total = lines.size() * step;
  qreal y = area.top();
  if (alignment() & Qt::AlignVCenter)
    y += std::max<qreal>(0, (area.height() - total) / 2);
  const int horizontal = static_cast<int>(alignment() & Qt::AlignHorizontal_Mask);
  for (const QString &line : lines) {
    painter.drawText(QRectF(area.left(), y, area.width(), step),
                     (horizontal ? horizontal : Qt::AlignLeft) | Qt::AlignTop, line);
    y += step;
  }
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
