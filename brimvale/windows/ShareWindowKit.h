#pragma once

#include "brimvale/shell/Theme.h"

#include <QColor>
#include <QKeySequence>
#include <QString>
#include <QWidget>

class QAbstractButton;
class QLabel;
class QLineEdit;
class QPushButton;

// The pieces the share editor, the compose import and the explanation are built from: their
// colours by role, links, text fields, rounded frames, tick marks and dots. Main thread only.
namespace corvane::sharekit {

// Colours by the role they play in these views; each follows the current appearance.
QColor ink();      // main text, selected rings, ticks
QColor muted();    // secondary text
QColor amber();    // problems
QColor green();    // running dots
QColor hairline(); // borders of cards, fields and rows
QColor chipFill(); // text-field fill
QColor card();     // card and row fill
QColor divider();  // lines between the rows of a card

// The colour a text takes, by its role: kept with the widget, so that `recolor` can apply the
// colours of another appearance.
enum class Role { ink, muted, amber };
QColor color(Role role);

// A plain-text label (never rich text, never links) in `font` and the role's colour; `lines` 1
// keeps it on one line, more wraps it.
QLabel *label(const QString &text, const QFont &font, Role role, int lines = 1);
// A borderless button whose title is underlined, semibold text, at least 32 points high.
QPushButton *link(const QString &title, Role role, qreal size = 12.5);
// Applies the current appearance's colours to every label, link and field made here, under
// `root` and at it.
void recolor(QWidget *root);
// For a window's changeEvent: when `event` says the desktop switched between light and dark
// since `shown`, records the new appearance in `shown`, gives `window` the new background and
// ink and returns true, so that the caller takes its other colours again.
bool followAppearance(QWidget &window, const QEvent &event, Theme::Appearance &shown);
// Fills `window` with the current appearance's background and makes the ink its text colour.
void paintWindow(QWidget &window);
// Sets a title taken from a file, a peer or the user: shown as it is, with no mnemonic.
void setPlainTitle(QAbstractButton *button, const QString &title);
// A plain text field of the system font at 13 points on a rounded fill with a hairline; its
// placeholder shrinks to fit a narrow field.
QLineEdit *field(const QString &placeholder, int height);
// Draws the widget at 40 % opacity while `dimmed`.
void setDimmed(QWidget *widget, bool dimmed);
// Clicks `button` on `key` within `scope` (and its children), only while the button is enabled
// and shown.
void bindKey(QWidget *scope, const QKeySequence &key, QAbstractButton *button);

// A rounded rectangle filled and bordered inside, around its layout's content.
class RoundedFrame : public QWidget {
public:
  RoundedFrame(qreal radius, QWidget *parent = nullptr);
  void setFill(const QColor &fill);
  void setBorder(const QColor &color, qreal width);
  qreal borderWidth() const { return borderWidth_; }
  const QColor &borderColor() const { return border_; }

protected:
  void paintEvent(QPaintEvent *event) override;

private:
  qreal radius_;
  QColor fill_;
  QColor border_;
  qreal borderWidth_ = 1;
};

// The tick of a row that can be chosen: a filled circle with a check when ticked, an empty
// circle otherwise, `size` points. Decoration only.
class TickMark : public QWidget {
public:
  TickMark(bool ticked, qreal size, QWidget *parent = nullptr);
  bool isTicked() const { return ticked_; }

protected:
  void paintEvent(QPaintEvent *event) override;

private:
  bool ticked_;
  qreal size_;
};

// One line of text that first shrinks, down to `minimumScale` of its font's size, and then ends
// in "…" when it still does not fit, with the whole text as its tool tip. Plain text.
class FittingLabel : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QString text READ text)
  Q_PROPERTY(QString shownText READ shownText)

public:
  FittingLabel(const QString &text, const QFont &font, const QColor &color, qreal minimumScale,
               QWidget *parent = nullptr);
  const QString &text() const { return text_; }
  // The font and text as drawn at the current width.
  QFont shownFont() const;
  QString shownText() const;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

protected:
  void paintEvent(QPaintEvent *event) override;
  void resizeEvent(QResizeEvent *event) override;

private:
  QString text_;
  QFont font_;
  QColor color_;
  qreal minimumScale_;
};

// A filled circle, `size` points, in `color`: the mark of something running.
QWidget *dot(const QColor &color, qreal size = 7);

} // namespace corvane::sharekit
