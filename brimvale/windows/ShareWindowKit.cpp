#include "brimvale/windows/ShareWindowKit.h"

#include "brimvale/panels/ViewKit.h"

#include <QAbstractButton>
#include <QEvent>
#include <QFontMetricsF>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QShortcut>
#include <algorithm>
#include <cmath>

namespace corvane::sharekit {

QColor ink() {
  return Theme::text.resolved();
}
QColor muted() {
  return Theme::textMuted.resolved();
}
QColor amber() {
  return Theme::accent.resolved();
}
QColor green() {
  return Theme::ok.resolved();
}
QColor hairline() {
  return Theme::line.resolved();
}
QColor chipFill() {
  return Theme::card.resolved();
}
QColor card() {
  return Theme::field.resolved();
}
QColor divider() {
  return Theme::control.resolved();
}

QColor color(Role role) {
  switch (role) {
  case Role::ink: return ink();
  case Role::muted: return muted();
  case Role::amber: return amber();
  }
  return ink();
}

namespace {

constexpr const char *roleProperty = "corvaneRole";
constexpr const char *fieldProperty = "corvaneField";

void styleLink(QPushButton *button, const QColor &color) {
  button->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0 4px; "
                                       "background: transparent; color: %1; }")
                            .arg(color.name()));
}

void styleField(QLineEdit *edit) {
  // With the border and the two pixels a line edit keeps, the text stands 10 points in.
  edit->setStyleSheet(QStringLiteral("QLineEdit { background: %1; color: %2; border: 1px solid %3; "
                                     "border-radius: 10px; padding: 0 7px; }")
                          .arg(chipFill().name(), ink().name(), hairline().name()));
}

constexpr int fieldFontSize = 13;
constexpr qreal fieldMinimumScale = 0.8;
// Border, padding and the line edit's own margin, on both sides.
constexpr int fieldInsets = 2 * 10;

// A text field whose placeholder, while it shows, shrinks down to 0.8 of the font's size
// rather than being cut in a narrow field; typed text keeps the full size.
class FittingField : public QLineEdit {
public:
  FittingField() {
    connect(this, &QLineEdit::textChanged, this, [this] { fit(); });
  }

protected:
  void resizeEvent(QResizeEvent *event) override {
    QLineEdit::resizeEvent(event);
    fit();
  }

private:
  void fit() {
    QFont font = Theme::system(fieldFontSize);
    const qreal natural = QFontMetricsF(font).horizontalAdvance(placeholderText());
    const qreal room = width() - fieldInsets;
    if (text().isEmpty() && natural > room && room > 0)
      font.setPixelSize(static_cast<int>(std::max(std::floor(fieldFontSize * room / natural),
                                                  std::ceil(fieldFontSize * fieldMinimumScale))));
    if (font != this->font())
      setFont(font);
  }
};

void apply(QWidget *widget) {
  if (widget->property(fieldProperty).toBool())
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
      styleField(edit);
  const QVariant role = widget->property(roleProperty);
  if (!role.isValid())
    return;
  const QColor chosen = color(static_cast<Role>(role.toInt()));
  if (auto *button = qobject_cast<QPushButton *>(widget))
    styleLink(button, chosen);
  else
    panelkit::setForeground(widget, chosen);
}

} // namespace

QLabel *label(const QString &text, const QFont &font, Role role, int lines) {
  QLabel *made = panelkit::label(text, font, color(role), lines);
  made->setTextFormat(Qt::PlainText);
  made->setOpenExternalLinks(false);
  made->setProperty(roleProperty, static_cast<int>(role));
  return made;
}

QPushButton *link(const QString &title, Role role, qreal size) {
  auto *button =
      panelkit::textButton(title, Theme::system(size, QFont::DemiBold), color(role), 0, 32);
  button->setShortcut({});
  button->setProperty(roleProperty, static_cast<int>(role));
  return button;
}

bool followAppearance(QWidget &window, const QEvent &event, Theme::Appearance &shown) {
  if ((event.type() != QEvent::ApplicationPaletteChange && event.type() != QEvent::PaletteChange) ||
      Theme::appearance() == shown)
    return false;
  shown = Theme::appearance();
  paintWindow(window);
  return true;
}

void paintWindow(QWidget &window) {
  window.setAutoFillBackground(true);
  QPalette palette = window.palette();
  palette.setColor(QPalette::Window, Theme::background.resolved());
  palette.setColor(QPalette::WindowText, ink());
  window.setPalette(palette);
}

void recolor(QWidget *root) {
  apply(root);
  for (QWidget *child : root->findChildren<QWidget *>())
    apply(child);
}

void setPlainTitle(QAbstractButton *button, const QString &title) {
  button->setText(title);
  // An "&" in a name is text, not the mark of a keyboard shortcut.
  button->setShortcut({});
}

QLineEdit *field(const QString &placeholder, int height) {
  auto *edit = new FittingField;
  edit->setPlaceholderText(placeholder);
  edit->setFont(Theme::system(fieldFontSize));
  edit->setFixedHeight(height);
  edit->setProperty(fieldProperty, true);
  styleField(edit);
  return edit;
}

void setDimmed(QWidget *widget, bool dimmed) {
  auto *effect = qobject_cast<QGraphicsOpacityEffect *>(widget->graphicsEffect());
  if (!effect) {
    effect = new QGraphicsOpacityEffect(widget);
    widget->setGraphicsEffect(effect);
  }
  effect->setOpacity(dimmed ? 0.4 : 1.0);
}

void bindKey(QWidget *scope, const QKeySequence &key, QAbstractButton *button) {
  auto *shortcut = new QShortcut(key, scope);
  shortcut->setContext(Qt::WidgetWithChildrenShortcut);
  QObject::connect(shortcut, &QShortcut::activated, button, [button] {
    if (button->isEnabled() && button->isVisible())
      button->click();
  });
}

RoundedFrame::RoundedFrame(qreal radius, QWidget *parent) : QWidget(parent), radius_(radius) {}

void RoundedFrame::setFill(const QColor &fill) {
  fill_ = fill;
  update();
}

void RoundedFrame::setBorder(const QColor &color, qreal width) {
  border_ = color;
  borderWidth_ = width;
  update();
}

void RoundedFrame::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal inset = borderWidth_ / 2;
  const QRectF bounds = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
  QPainterPath shape;
  shape.addRoundedRect(bounds, radius_, radius_);
  painter.fillPath(shape, fill_);
  if (border_.isValid() && borderWidth_ > 0) {
    painter.setPen(QPen(border_, borderWidth_));
    painter.drawPath(shape);
  }
}

TickMark::TickMark(bool ticked, qreal size, QWidget *parent)
    : QWidget(parent), ticked_(ticked), size_(size) {
  const int side = static_cast<int>(std::ceil(size + 2));
  setFixedSize(side, side);
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void TickMark::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QPointF centre = QRectF(rect()).center();
  const qreal radius = size_ / 2;
  if (!ticked_) {
    painter.setPen(QPen(muted(), 1.4));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(centre, radius - 0.7, radius - 0.7);
    return;
  }
  painter.setPen(Qt::NoPen);
  painter.setBrush(ink());
  painter.drawEllipse(centre, radius, radius);
  QPen check(Theme::background.resolved(), size_ / 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  painter.setPen(check);
  painter.setBrush(Qt::NoBrush);
  const qreal s = size_;
  painter.drawPolyline(
      QPolygonF({centre + QPointF(-0.25 * s, 0.0), centre + QPointF(-0.07 * s, 0.18 * s),
                 centre + QPointF(0.25 * s, -0.17 * s)}));
}

FittingLabel::FittingLabel(const QString &text, const QFont &font, const QColor &color,
                           qreal minimumScale, QWidget *parent)
    : QWidget(parent), text_(text), font_(font), color_(color), minimumScale_(minimumScale) {
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  setAccessibleName(text);
}

QFont FittingLabel::shownFont() const {
  QFont font = font_;
  const qreal natural = QFontMetricsF(font_).horizontalAdvance(text_);
  if (natural <= width() || natural <= 0)
    return font;
  const qreal scale = std::max(minimumScale_, width() / natural);
  // The theme sets sizes in pixels (points are device-independent pixels) or in points.
  if (font_.pixelSize() > 0)
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(font_.pixelSize() * scale))));
  else if (font_.pointSizeF() > 0)
    font.setPointSizeF(font_.pointSizeF() * scale);
  return font;
}

QString FittingLabel::shownText() const {
  return QFontMetricsF(shownFont()).elidedText(text_, Qt::ElideRight, width());
}

QSize FittingLabel::sizeHint() const {
  const QFontMetricsF metrics(font_);
  return {static_cast<int>(std::ceil(metrics.horizontalAdvance(text_))),
          static_cast<int>(std::ceil(metrics.height()))};
}

QSize FittingLabel::minimumSizeHint() const {
  return {0, sizeHint().height()};
}

void FittingLabel::resizeEvent(QResizeEvent *event) {
  QWidget::resizeEvent(event);
  setToolTip(shownText() == text_ ? QString() : text_);
}

void FittingLabel::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setFont(shownFont());
  painter.setPen(color_);
  painter.drawText(QRectF(rect()), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                   shownText());
}

QWidget *dot(const QColor &color, qreal size) {
  return panelkit::dot(color, size);
}

} // namespace corvane::sharekit
