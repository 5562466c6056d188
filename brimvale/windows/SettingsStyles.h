#pragma once

#include "brimvale/shell/Theme.h"

#include <QLabel>
#include <QProxyStyle>
#include <QString>
#include <QWidget>
#include <optional>

class QAbstractButton;
class QVBoxLayout;

// The pieces every section of the settings window is built from: the switch, the chip button,
// the section header and card, the caption under a card, a row's label block and the two
// panel-style thumbnails. Main thread only.
namespace corvane {

// The settings window's colour names over the theme's values.
namespace settingsColor {
inline const Theme::DynamicColor &background = Theme::background;
inline const Theme::DynamicColor &ink = Theme::text;
inline const Theme::DynamicColor &muted = Theme::textMuted;
inline const Theme::DynamicColor &amber = Theme::accent;
inline const Theme::DynamicColor &green = Theme::ok;
inline const Theme::DynamicColor &red = Theme::danger;
inline const Theme::DynamicColor &card = Theme::field;
inline const Theme::DynamicColor &hairline = Theme::line;
inline const Theme::DynamicColor &divider = Theme::control;
inline const Theme::DynamicColor &chipFill = Theme::card;
inline const Theme::DynamicColor &raised = Theme::surface;
inline const Theme::DynamicColor &thumbnailBar = Theme::lineStrong;
inline const Theme::DynamicColor &switchTrackOn = Theme::ink;
inline const Theme::DynamicColor &switchTrackOff = Theme::switchTrackOff;
inline const Theme::DynamicColor &switchKnobOn = Theme::onInk;
inline const Theme::DynamicColor &switchKnobOff = Theme::switchKnobOff;
inline constexpr Theme::DynamicColor white{0xFFFFFF, 0xFFFFFF};
} // namespace settingsColor

// The switch: a 46 × 28 track with a 22-point knob that slides in 0.15 s, in a 44-point high
// frame that takes clicks over its whole height. Applied to a check box, which keeps the
// toggle's meaning for screen readers; its text is not drawn, so `title` becomes its
// accessible name.
class InkSwitchStyle : public QProxyStyle {
  Q_OBJECT

public:
  static constexpr qreal trackWidth = 46;
  static constexpr qreal trackHeight = 28;
  static constexpr qreal knobSize = 22;
  static constexpr qreal frameHeight = 44;
  static constexpr int animationMs = 150;

  InkSwitchStyle();

  static void apply(QAbstractButton *toggle, const QString &title);
  // Where the knob is, 0 (off) to 1 (on), while it slides; the checked state otherwise.
  static qreal knobPosition(const QAbstractButton &toggle);

  void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                   const QWidget *widget) const override;
  QRect subElementRect(SubElement element, const QStyleOption *option,
                       const QWidget *widget) const override;
  QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
                         const QWidget *widget) const override;
};

// The small action button: a 32-point high rounded chip in `fill` (none: clear) with a
// 1-point hairline border (none on the red fill), its label in `text`, monospaced and tracked
// for codes; 0.7 opacity while pressed, 0.45 while disabled; in a frame at least 44 high.
class ChipButtonStyle : public QProxyStyle {
  Q_OBJECT

public:
  static constexpr qreal chipHeight = 32;
  static constexpr qreal frameHeight = 44;
  static constexpr qreal padding = 12;
  static constexpr qreal cornerRadius = 8;
  static constexpr qreal symbolGap = 6;

  ChipButtonStyle(std::optional<Theme::DynamicColor> fill, Theme::DynamicColor text, bool mono);

  // Gives `button` this style; the button owns it. Returns the style for later changes.
  static ChipButtonStyle *apply(QAbstractButton *button, std::optional<Theme::DynamicColor> fill,
                                Theme::DynamicColor text, bool mono);
  static QFont labelFont(bool mono);
  static bool hasBorder(const std::optional<Theme::DynamicColor> &fill);

  const std::optional<Theme::DynamicColor> &fill() const { return fill_; }
  const Theme::DynamicColor &text() const { return text_; }
  bool mono() const { return mono_; }
  // A symbol before the label, 11 points; empty for none.
  void setSymbol(const QString &symbol) { symbol_ = symbol; }
  void setText(Theme::DynamicColor text) { text_ = text; }
  // Whether the label is set in the mono face; the button's font follows.
  void setMono(QAbstractButton *button, bool mono);

  void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                   const QWidget *widget) const override;
  QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
                         const QWidget *widget) const override;

private:
  std::optional<Theme::DynamicColor> fill_;
  Theme::DynamicColor text_;
  bool mono_;
  QString symbol_;
};

// A card: the content in a column without spacing on a rounded `card` fill with a hairline.
class SectionCard : public QWidget {
  Q_OBJECT

public:
  static constexpr qreal cornerRadius = 14;

  explicit SectionCard(QWidget *parent = nullptr);
  QVBoxLayout *column() const { return column_; }
  void addWidget(QWidget *widget);
  // Removes and deletes everything in the card.
  void clear();

protected:
  void paintEvent(QPaintEvent *event) override;

private:
  QVBoxLayout *column_;
};

// The section title: the display face at 15 points, bold, named as a heading.
QLabel *sectionTitle(const QString &title);
// The header and the card of one section, 10 points apart; the card is `content`.
QWidget *settingsSection(const QString &title, SectionCard *content);
SectionCard *sectionCard();
// The small muted text under a card, wrapped, never cut.
QLabel *sectionCaption(const QString &text);
// A row's label block: title, detail and (when given) warning, 2 points apart.
QWidget *settingRowLabel(const QString &title, const QString &detail,
                         const std::optional<QString> &warning);
// The line between two rows of a card: 1 point of `divider`, inset 16 on each side (`inset`
// false: across the whole width).
QWidget *settingsRule(bool inset = true);
// A label in the system font, coloured by a theme colour that follows the appearance.
QLabel *themedLabel(const QString &text, const QFont &font, const Theme::DynamicColor &color,
                    bool wraps = false);

// Sketches of the two panel styles for the panel-style picker.
class MapThumbnail : public QWidget {
  Q_OBJECT

public:
  explicit MapThumbnail(QWidget *parent = nullptr);
  // The centres of this Mac, Mac A and Mac B for a canvas `width` wide.
  static QPointF thisMacCentre(qreal width) { return {width / 2, 50}; }
  static QPointF macACentre(qreal width) { return {width / 2 - 58, 26}; }
  static QPointF macBCentre(qreal width) { return {width / 2 + 64, 30}; }

protected:
  void paintEvent(QPaintEvent *event) override;
};

class ListThumbnail : public QWidget {
  Q_OBJECT

public:
  explicit ListThumbnail(QWidget *parent = nullptr);

protected:
  void paintEvent(QPaintEvent *event) override;
};

} // namespace corvane
