#pragma once

#include <QProxyStyle>
#include <QString>

class QAbstractButton;

namespace corvane {

// The filled primary button: a semibold 13-point label in `onInk` on a rounded `ink` fill,
// lighter while pressed, `height` points high and as wide as its label plus 14 on each side.
// Set on a button with `apply`; the button owns its style. Main thread only.
class InkButtonStyle : public QProxyStyle {
  Q_OBJECT

public:
  static constexpr qreal horizontalPadding = 14;
  static constexpr qreal cornerRadius = 11;
  static constexpr qreal labelSize = 13;

  explicit InkButtonStyle(qreal height);

  static void apply(QAbstractButton *button, qreal height);
  // The same with a symbol before the label, `symbolSize` points, `spacing` points apart; the
  // two stand centred together.
  static void apply(QAbstractButton *button, qreal height, const QString &symbol, qreal symbolSize,
                    qreal spacing);
  const QString &symbol() const { return symbol_; }

  qreal height() const { return height_; }

  void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                   const QWidget *widget) const override;
  QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
                         const QWidget *widget) const override;

private:
  qreal height_;
  QString symbol_;
  qreal symbolSize_ = 0;
  qreal spacing_ = 0;
};

} // namespace corvane
