#pragma once

#include "brimvale/shell/Theme.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPen>
#include <QRectF>
#include <QString>
#include <QWidget>
#include <functional>

class QAbstractButton;
class QHBoxLayout;

class QMenu;
class QPainter;
class QPushButton;
class QVBoxLayout;

// Small building blocks of the panels' widgets: labels in a theme colour, text buttons,
// dashed pens in points, and menus that open under their button and go when they close.
// Main thread only.
namespace corvane::panelkit {

// A label in `font` and `color`. `lines` 1 keeps it on one line; more wraps it to at most
// that many lines (see LinesLabel).
QLabel *label(const QString &text, const QFont &font, const QColor &color, int lines = 1,
              QWidget *parent = nullptr);
void setForeground(QWidget *widget, const QColor &color);

// A plain text button drawn as underlined text ("Pause all", "Got it").
QPushButton *textButton(const QString &text, const QFont &font, const QColor &color,
                        int minimumWidth, int minimumHeight);

// A window's push button in the theme (ink when it is the default button), 32 points high,
// named `name`; never the default button by focus (windows choose theirs).
QPushButton *windowButton(const QString &text, const QString &name);

QVBoxLayout *column(QWidget *owner, int spacing, const QMargins &margins = {});
QHBoxLayout *row(QWidget *owner, int spacing, const QMargins &margins = {});
// A 1-point line across the width.
QWidget *separator(const QColor &color);

// A pen `width` points wide; `on` and `off` (points) make it dashed, `phase` (points) shifts
// the dashes along the line. Qt counts dashes in line widths, so they are converted here.
QPen pen(const QColor &color, qreal width, qreal on = 0, qreal off = 0, qreal phase = 0,
         Qt::PenCapStyle cap = Qt::RoundCap);
// A circle stroked inside `bounds` (the line stays within them).
void strokeInside(QPainter &painter, const QRectF &bounds, const QPen &pen);

// Shows `menu` under `anchor` (or at the pointer when it has none) and deletes it once closed.
void popUp(QMenu *menu, QWidget *anchor);

// The colour with its alpha multiplied.
QColor faded(QColor color, qreal opacity);

// A label that wraps its text to at most `maxLines` lines; text beyond them ends the last
// line in "…" and the whole text becomes the tool tip. Asks for the height its lines take at
// the width it is given.
class LinesLabel : public QLabel {
  Q_OBJECT

public:
  LinesLabel(const QString &text, int maxLines, QWidget *parent = nullptr);

  int maxLines() const { return maxLines_; }
  // The lines as drawn at `width`.
  QStringList shownLines(int width) const;

  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

protected:
  void paintEvent(QPaintEvent *event) override;
  void resizeEvent(QResizeEvent *event) override;

private:
  // Lines are counted and cut only in plain text; a caller that sets rich text gets the
  // label's own wrapping (its markup is never drawn as text).
  bool plain() const { return textFormat() == Qt::PlainText; }

  int maxLines_;
};

// A button that shows one symbol, `symbolSize` points, centred in a fixed frame; the whole
// frame takes clicks.
class SymbolButton : public QAbstractButton {
public:
  SymbolButton(const QString &symbol, qreal symbolSize, const QColor &color, QSize frame,
               QWidget *parent = nullptr);
  QSize sizeHint() const override { return frame_; }

protected:
  void paintEvent(QPaintEvent *event) override;

private:
  QString symbol_;
  qreal symbolSize_;
  QColor color_;
  QSize frame_;
};

// A button whose face is its layout's widgets (texts, symbols); they take no clicks of their
// own, so the whole button does. Drawn at 60 % while pressed.
class ContentButton : public QAbstractButton {
public:
  explicit ContentButton(QWidget *parent = nullptr);
  // Adds `widget` to the face; call after giving the button a layout.
  void adopt(QWidget *widget);

protected:
  void paintEvent(QPaintEvent *event) override;
};

// A symbol as a widget, `size` points, in `color`.
// A filled circle `size` across that lets the pointer through.
QWidget *dot(const QColor &color, qreal size);
QWidget *symbol(const QString &name, qreal size, const QColor &color);

// Draws a symbol `size` points high, centred on `centre`.
void paintSymbol(QPainter &painter, const QString &symbol, const QPointF &centre, qreal size,
                 const QColor &color);

} // namespace corvane::panelkit
