#include "brimvale/windows/SettingsStyles.h"

#include "brimvale/panels/ViewKit.h"

#include <QAbstractButton>
#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <cmath>

namespace corvane {

namespace {

constexpr const char *knobProperty = "corvaneKnobPosition";

Theme::Appearance appearanceOf(const QStyleOption *option) {
  return Theme::appearanceOf(option->palette);
}

} // namespace

// The switch.

InkSwitchStyle::InkSwitchStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

void InkSwitchStyle::apply(QAbstractButton *toggle, const QString &title) {
  auto *style = new InkSwitchStyle;
  style->setParent(toggle);
  toggle->setStyle(style);
  toggle->setCheckable(true);
  toggle->setText({});
  toggle->setAccessibleName(title);
  toggle->setCursor(Qt::PointingHandCursor);
  toggle->setFixedSize(static_cast<int>(trackWidth), static_cast<int>(frameHeight));
  toggle->setProperty(knobProperty, toggle->isChecked() ? 1.0 : 0.0);
  // Every change slides the knob, whether a click or the code made it.
  auto *slide = new QVariantAnimation(toggle);
  slide->setDuration(animationMs);
  slide->setEasingCurve(QEasingCurve::OutCubic);
  QObject::connect(slide, &QVariantAnimation::valueChanged, toggle, [toggle](const QVariant &at) {
    toggle->setProperty(knobProperty, at.toReal());
    toggle->update();
  });
  QObject::connect(toggle, &QAbstractButton::toggled, slide, [toggle, slide](bool on) {
    // From where a running slide is, else from the other end.
    const qreal from = slide->state() == QAbstractAnimation::Running
                           ? toggle->property(knobProperty).toReal()
                           : (on ? 0.0 : 1.0);
    slide->stop();
    slide->setStartValue(from);
    slide->setEndValue(on ? 1.0 : 0.0);
    slide->start();
  });
}

qreal InkSwitchStyle::knobPosition(const QAbstractButton &toggle) {
  // A change made with the signals blocked did not slide: the state itself says where.
  const auto *slide = toggle.findChild<QVariantAnimation *>(QString(), Qt::FindDirectChildrenOnly);
  if (!slide || slide->state() != QAbstractAnimation::Running)
    return toggle.isChecked() ? 1.0 : 0.0;
  return toggle.property(knobProperty).toReal();
}

void InkSwitchStyle::drawControl(ControlElement element, const QStyleOption *option,
                                 QPainter *painter, const QWidget *widget) const {
  if (element != CE_CheckBox) {
    QProxyStyle::drawControl(element, option, painter, widget);
    return;
  }
  const auto appearance = appearanceOf(option);
  const bool on = option->state & State_On;
  const auto *toggle = qobject_cast<const QAbstractButton *>(widget);
  const qreal at = toggle ? knobPosition(*toggle) : (on ? 1.0 : 0.0);
  auto mix = [at](QColor off, QColor onColor) {
    return QColor::fromRgbF(off.redF() + (onColor.redF() - off.redF()) * at,
                            off.greenF() + (onColor.greenF() - off.greenF()) * at,
                            off.blueF() + (onColor.blueF() - off.blueF()) * at);
  };
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  const QRectF frame(option->rect);
  const QRectF track(frame.center().x() - trackWidth / 2, frame.center().y() - trackHeight / 2,
                     trackWidth, trackHeight);
  QPainterPath capsule;
  capsule.addRoundedRect(track, trackHeight / 2, trackHeight / 2);
  painter->fillPath(capsule, mix(settingsColor::switchTrackOff.in(appearance),
                                 settingsColor::switchTrackOn.in(appearance)));
  const qreal inset = (trackHeight - knobSize) / 2;
  const qreal travel = trackWidth - knobSize - 2 * inset;
  const QRectF knob(track.left() + inset + travel * at, track.top() + inset, knobSize, knobSize);
  painter->setPen(Qt::NoPen);
  painter->setBrush(QColor(0, 0, 0, 64)); // the knob's shadow, 1 point down
  painter->drawEllipse(knob.translated(0, 1).adjusted(-0.5, -0.5, 0.5, 0.5));
  painter->setBrush(
      mix(settingsColor::switchKnobOff.in(appearance), settingsColor::switchKnobOn.in(appearance)));
  painter->drawEllipse(knob);
  painter->restore();
}

QRect InkSwitchStyle::subElementRect(SubElement element, const QStyleOption *option,
                                     const QWidget *widget) const {
  // The whole frame takes clicks, a little above and below the track too.
  if (element == SE_CheckBoxClickRect || element == SE_CheckBoxContents ||
      element == SE_CheckBoxFocusRect)
    return option->rect;
  return QProxyStyle::subElementRect(element, option, widget);
}

QSize InkSwitchStyle::sizeFromContents(ContentsType type, const QStyleOption *option,
                                       const QSize &size, const QWidget *widget) const {
  if (type == CT_CheckBox)
    return {static_cast<int>(trackWidth), static_cast<int>(frameHeight)};
  return QProxyStyle::sizeFromContents(type, option, size, widget);
}

// The chip.

ChipButtonStyle::ChipButtonStyle(std::optional<Theme::DynamicColor> fill, Theme::DynamicColor text,
                                 bool mono)
    : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))), fill_(fill), text_(text),
      mono_(mono) {}

ChipButtonStyle *ChipButtonStyle::apply(QAbstractButton *button,
                                        std::optional<Theme::DynamicColor> fill,
                                        Theme::DynamicColor text, bool mono) {
  auto *style = new ChipButtonStyle(fill, text, mono);
  style->setParent(button);
  button->setStyle(style);
  button->setFont(labelFont(mono));
  button->setCursor(Qt::PointingHandCursor);
  button->setMinimumHeight(static_cast<int>(frameHeight));
  button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  return style;
}

void ChipButtonStyle::setMono(QAbstractButton *button, bool mono) {
  mono_ = mono;
  button->setFont(labelFont(mono));
  button->updateGeometry();
  button->update();
}

QFont ChipButtonStyle::labelFont(bool mono) {
  if (!mono)
    return Theme::system(12.5, QFont::Medium);
  QFont font = Theme::mono(13);
  font.setLetterSpacing(QFont::AbsoluteSpacing, 1);
  return font;
}

bool ChipButtonStyle::hasBorder(const std::optional<Theme::DynamicColor> &fill) {
  return !fill ||
         !(fill->dark == settingsColor::red.dark && fill->light == settingsColor::red.light);
}

void ChipButtonStyle::drawControl(ControlElement element, const QStyleOption *option,
                                  QPainter *painter, const QWidget *widget) const {
  const auto *button = qstyleoption_cast<const QStyleOptionButton *>(option);
  if (element != CE_PushButton || !button) {
    QProxyStyle::drawControl(element, option, painter, widget);
    return;
  }
  const auto appearance = appearanceOf(option);
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  qreal opacity = 1.0;
  if (!(button->state & State_Enabled))
    opacity = 0.45;
  else if (button->state & State_Sunken)
    opacity = 0.7;
  painter->setOpacity(opacity);
  const QRectF frame(button->rect);
  const QRectF chip(frame.left(), frame.center().y() - chipHeight / 2, frame.width(), chipHeight);
  QPainterPath shape;
  shape.addRoundedRect(chip, cornerRadius, cornerRadius);
  if (fill_)
    painter->fillPath(shape, fill_->in(appearance));
  if (hasBorder(fill_)) {
    QPainterPath inner;
    inner.addRoundedRect(chip.adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius - 0.5,
                         cornerRadius - 0.5);
    painter->setPen(
        QPen(settingsColor::hairline.in(appearance), 1, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    painter->setBrush(Qt::NoBrush);
    painter->drawPath(inner);
  }
  const QColor color = text_.in(appearance);
  const QFont font = widget ? widget->font() : labelFont(mono_);
  const QFontMetricsF metrics(font);
  const qreal textWidth = metrics.horizontalAdvance(button->text);
  const qreal symbolWidth = symbol_.isEmpty() ? 0 : 11 + symbolGap;
  qreal x = chip.center().x() - (textWidth + symbolWidth) / 2;
  if (!symbol_.isEmpty()) {
    panelkit::paintSymbol(*painter, symbol_, QPointF(x + 5.5, chip.center().y()), 11, color);
    x += symbolWidth;
  }
  painter->setPen(color);
  painter->setFont(font);
  painter->drawText(QRectF(x, chip.top(), textWidth + 1, chip.height()),
                    Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, button->text);
  painter->restore();
}

QSize ChipButtonStyle::sizeFromContents(ContentsType type, const QStyleOption *option,
                                        const QSize &size, const QWidget *widget) const {
  if (type != CT_PushButton)
    return QProxyStyle::sizeFromContents(type, option, size, widget);
  const auto *button = qstyleoption_cast<const QStyleOptionButton *>(option);
  const QFontMetricsF metrics(widget ? widget->font() : labelFont(mono_));
  const qreal textWidth = button ? metrics.horizontalAdvance(button->text) : size.width();
  const qreal symbolWidth = symbol_.isEmpty() ? 0 : 11 + symbolGap;
  return {static_cast<int>(std::ceil(textWidth + symbolWidth + 2 * padding)),
          static_cast<int>(frameHeight)};
}

// Sections.

SectionCard::SectionCard(QWidget *parent) : QWidget(parent) {
  column_ = new QVBoxLayout(this);
  column_->setSpacing(0);
  column_->setContentsMargins(0, 0, 0, 0);
  column_->setAlignment(Qt::AlignTop);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void SectionCard::addWidget(QWidget *widget) {
  column_->addWidget(widget);
}

void SectionCard::clear() {
  while (QLayoutItem *item = column_->takeAt(0)) {
    if (QWidget *widget = item->widget()) {
      widget->hide();
      widget->deleteLater();
    }
    delete item;
  }
}

void SectionCard::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const auto appearance = Theme::appearanceOf(palette());
  QPainterPath shape;
  shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, cornerRadius);
  painter.fillPath(shape, settingsColor::card.in(appearance));
  painter.setPen(QPen(settingsColor::hairline.in(appearance), 1));
  painter.drawPath(shape);
}

namespace {

// Takes its colour's other value when the desktop switches between light and dark.
class ThemedLabel : public QLabel {
public:
  ThemedLabel(const QString &text, const Theme::DynamicColor &color) : QLabel(text), color_(color) {
    panelkit::setForeground(this, color_.resolved());
  }

protected:
  void changeEvent(QEvent *event) override {
    if (event->type() == QEvent::ApplicationPaletteChange)
      panelkit::setForeground(this, color_.resolved());
    QLabel::changeEvent(event);
  }

private:
  Theme::DynamicColor color_;
};

} // namespace

QLabel *themedLabel(const QString &text, const QFont &font, const Theme::DynamicColor &color,
                    bool wraps) {
  auto *label = new ThemedLabel(text, color);
  label->setFont(font);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(wraps);
  if (wraps) {
    // Wrapped lines take the height they need at the width they get.
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::MinimumExpanding);
    policy.setHeightForWidth(true);
    label->setSizePolicy(policy);
  }
  return label;
}

QLabel *sectionTitle(const QString &title) {
  auto *label = themedLabel(title, Theme::display(15, QFont::Bold), settingsColor::ink);
  label->setAccessibleName(title);
  label->setAccessibleDescription(QStringLiteral("heading"));
  return label;
}

QWidget *settingsSection(const QString &title, SectionCard *content) {
  auto *section = new QWidget;
  auto *stack = panelkit::column(section, 10);
  stack->addWidget(sectionTitle(title), 0, Qt::AlignLeft);
  stack->addWidget(content);
  return section;
}

SectionCard *sectionCard() {
  return new SectionCard;
}

QLabel *sectionCaption(const QString &text) {
  auto *caption = themedLabel(text, Theme::system(12), settingsColor::muted, true);
  caption->setContentsMargins(4, 0, 4, 0);
  return caption;
}

QWidget *settingRowLabel(const QString &title, const QString &detail,
                         const std::optional<QString> &warning) {
  auto *block = new QWidget;
  block->setObjectName(QStringLiteral("settingRowLabel"));
  auto *stack = panelkit::column(block, 2);
  auto *titleLabel = themedLabel(title, Theme::system(14, QFont::Medium), settingsColor::ink);
  titleLabel->setObjectName(QStringLiteral("rowTitle"));
  stack->addWidget(titleLabel);
  auto *detailLabel = themedLabel(detail, Theme::system(12), settingsColor::muted, true);
  detailLabel->setObjectName(QStringLiteral("rowDetail"));
  stack->addWidget(detailLabel);
  if (warning) {
    auto *warningLabel = themedLabel(*warning, Theme::system(12), settingsColor::amber, true);
    warningLabel->setObjectName(QStringLiteral("rowWarning"));
    stack->addWidget(warningLabel);
  }
  block->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  return block;
}

QWidget *settingsRule(bool inset) {
  auto *holder = new QWidget;
  holder->setObjectName(QStringLiteral("settingsRule"));
  auto *row = panelkit::row(holder, 0, QMargins(inset ? 16 : 0, 0, inset ? 16 : 0, 0));
  row->addWidget(panelkit::separator(settingsColor::divider.resolved()));
  holder->setFixedHeight(1);
  return holder;
}

// Thumbnails.

MapThumbnail::MapThumbnail(QWidget *parent) : QWidget(parent) {
  setAccessibleName({});
}

void MapThumbnail::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal width = this->width();
  const QPointF me = thisMacCentre(width), a = macACentre(width), b = macBCentre(width);
  QPen link(Theme::macColor(0).fill, 2.5, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
  link.setMiterLimit(10);
  link.setDashPattern({4 / 2.5, 4 / 2.5}); // Qt counts dashes in line widths
  painter.setPen(link);
  painter.drawLine(me, a);
  link.setColor(Theme::macColor(1).fill);
  painter.setPen(link);
  painter.drawLine(me, b);
  painter.setPen(Qt::NoPen);
  painter.setBrush(Theme::macColor(0).fill);
  painter.drawEllipse(a, 18, 18);
  painter.setBrush(Theme::macColor(1).fill);
  painter.drawEllipse(b, 16, 16);
  painter.setBrush(settingsColor::ink.in(Theme::appearanceOf(palette())));
  painter.drawEllipse(me, 14, 14);
}

ListThumbnail::ListThumbnail(QWidget *parent) : QWidget(parent) {}

void ListThumbnail::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  const QColor bar = settingsColor::thumbnailBar.in(Theme::appearanceOf(palette()));
  struct Row {
    int entry;
    qreal barWidth;
  };
  constexpr Row rows[] = {{0, 90}, {0, 64}, {1, 78}};
  // Three rows of 8 points, 9 apart, centred in the height left by the 12-point insets.
  constexpr qreal rowHeight = 8, gap = 9;
  const qreal total = 3 * rowHeight + 2 * gap;
  qreal y = 12 + std::max<qreal>(0, (height() - 24 - total) / 2);
  const qreal left = 14, right = width() - 14;
  for (const Row &row : rows) {
    const qreal mid = y + rowHeight / 2;
    painter.setBrush(Theme::macColor(row.entry).fill);
    painter.drawEllipse(QRectF(left, y, 8, 8));
    painter.setBrush(bar);
    painter.drawRoundedRect(QRectF(left + 16, mid - 3, row.barWidth, 6), 3, 3);
    painter.drawRoundedRect(QRectF(right - 34, mid - 3, 34, 6), 3, 3);
    y += rowHeight + gap;
  }
}

} // namespace corvane
