#include "brimvale/panels/ShareChip.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/StatusSentences.h"
#include "brimvale/shell/Theme.h"

#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace corvane {

namespace {

constexpr qreal padding = 14;
constexpr qreal spacing = 8;
constexpr qreal markWidth = 8;
constexpr qreal editMarkSize = 13;
constexpr qreal chipHeight = 44;
// A chip never grows wider than the panel's content.
constexpr qreal widest = 340;

QFont nameFont() {
  return Theme::mono(12.5);
}
QFont statusFont() {
  return Theme::system(11.5);
}

} // namespace

ShareChip::ShareChip(const PanelContext &context, OutgoingService row, bool editing,
                     QWidget *parent)
    : QAbstractButton(parent), context_(context), row_(std::move(row)), editing_(editing),
      refresh_(this) {
  setObjectName(QStringLiteral("shareChip"));
  setText(QString::fromStdString(row_.service.name));
  setCursor(Qt::PointingHandCursor);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  connect(this, &QAbstractButton::clicked, this, [this] {
    if (editing_)
      panelkit::popUp(menu(), this);
    else
      context_.manager->setShareEnabled(row_.service.id, !row_.service.enabled);
  });
  refresh_.setInterval(refreshMs);
  connect(&refresh_, &QTimer::timeout, this, [this] { refresh(); });
  if (!editing_)
    refresh_.start();
  refresh();
}

QString ShareChip::stateWord(const OutgoingService &row) {
  if (!row.service.enabled)
    return QStringLiteral("paused");
  if (!row.running)
    return QStringLiteral("not running");
  if (row.responding == false)
    return QStringLiteral("not responding");
  if (row.connections >= 1)
    return QString::number(row.connections) + QStringLiteral(" using");
  return {};
}

QString ShareChip::statusLine(Date now) const {
  QStringList parts;
  if (QString word = stateWord(row_); !word.isEmpty())
    parts << word;
  const QString access = QString::fromStdString(
      shareAccessText(row_.service, now, context_.manager->pairedPeers.get()));
  if (!access.isEmpty())
    parts << access;
  return parts.join(QStringLiteral(" \u00B7 "));
}

void ShareChip::setRow(OutgoingService row) {
  // Refreshed even when the row is the same: the spoken summary follows the sharing state.
  row_ = std::move(row);
  setText(QString::fromStdString(row_.service.name));
  refresh();
}

void ShareChip::refresh() {
  const bool on = row_.service.enabled;
  setAccessibleDescription(editing_ ? QStringLiteral("Shows options, including remove")
                           : on     ? QStringLiteral("Pauses sharing")
                                    : QStringLiteral("Resumes sharing"));
  const Date now = context_.date();
  status_ = editing_ ? QString() : statusLine(now);
  const QString access = QString::fromStdString(
      shareAccessText(row_.service, now, context_.manager->pairedPeers.get()));
  setToolTip(row_.service.enabled && !row_.running
                 ? QStringLiteral("Nothing is listening on port ") +
                       QString::number(row_.service.port) + QStringLiteral(" on this Mac right now")
                 : access);
  setAccessibleName(QString::fromStdString(shareAccessibilitySummary(
      row_, context_.manager->sharingState->which == SharingState::Case::on,
      access.toStdString())));
  updateGeometry();
  update();
}

QMenu *ShareChip::menu() const {
  return context_.hooks.shareMenu ? context_.hooks.shareMenu(row_) : nullptr;
}

QSize ShareChip::sizeHint() const {
  qreal width = 2 * padding + (editing_ ? editMarkSize : markWidth) + spacing +
                QFontMetricsF(nameFont()).horizontalAdvance(text());
  if (!status_.isEmpty())
    width += spacing + QFontMetricsF(statusFont()).horizontalAdvance(status_);
  return {static_cast<int>(std::ceil(std::min(width, widest))), static_cast<int>(chipHeight)};
}

void ShareChip::contextMenuEvent(QContextMenuEvent *event) {
  if (QMenu *shown = menu()) {
    QObject::connect(shown, &QMenu::aboutToHide, shown, &QObject::deleteLater);
    shown->popup(event->globalPos());
  }
  event->accept();
}

void ShareChip::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const bool on = row_.service.enabled;
  const QRectF bounds(rect());
  const qreal radius = bounds.height() / 2;
  QPainterPath capsule;
  capsule.addRoundedRect(bounds, radius, radius);
  if (on) {
    QColor fill = Theme::ink.resolved();
    if (isDown())
      fill = panelkit::faded(fill, 0.85);
    painter.fillPath(capsule, fill);
  } else {
    painter.fillPath(capsule, Theme::lineStrong.resolved());
    QPainterPath inner;
    const QRectF inset = bounds.adjusted(1.5, 1.5, -1.5, -1.5);
    inner.addRoundedRect(inset, inset.height() / 2, inset.height() / 2);
    painter.fillPath(inner, Theme::background.resolved());
  }
  const QColor foreground = on ? Theme::onInk.resolved() : Theme::textMuted.resolved();

  qreal x = padding;
  const qreal middle = bounds.center().y();
  if (editing_) {
    panelkit::paintSymbol(painter, QStringLiteral("ellipsis.circle.fill"),
                          QPointF(x + editMarkSize / 2, middle), editMarkSize, foreground);
    x += editMarkSize;
  } else if (!on) {
    panelkit::strokeInside(painter, QRectF(x, middle - 4, 8, 8),
                           panelkit::pen(Theme::textMuted.resolved(), 1.5, 0, 0, 0, Qt::FlatCap));
    x += markWidth;
  } else {
    painter.setPen(Qt::NoPen);
    painter.setBrush(row_.running ? Theme::okDot.resolved() : Theme::accentDot.resolved());
    painter.drawEllipse(QRectF(x, middle - 4, 8, 8));
    x += markWidth;
  }
  x += spacing;
  const Shown texts = shown();
  const QFontMetricsF nameMetrics(nameFont());
  painter.setPen(foreground);
  painter.setFont(nameFont());
  painter.drawText(QRectF(x, 0, bounds.width() - x, bounds.height()),
                   Qt::AlignVCenter | Qt::AlignLeft, texts.name);
  if (!texts.status.isEmpty()) {
    x += nameMetrics.horizontalAdvance(texts.name) + spacing;
    painter.setFont(statusFont());
    painter.setPen(panelkit::faded(foreground, on ? 0.75 : 1.0));
    painter.drawText(QRectF(x, 0, bounds.width() - x, bounds.height()),
                     Qt::AlignVCenter | Qt::AlignLeft, texts.status);
  }
}

ShareChip::Shown ShareChip::shown() const {
  const qreal left = padding + (editing_ ? editMarkSize : markWidth) + spacing;
  const qreal right = width() - padding;
  // The name wins the room: the status line takes what is left, or gives way entirely.
  const QFontMetricsF nameMetrics(nameFont());
  Shown texts;
  texts.name = nameMetrics.elidedText(text(), Qt::ElideRight, std::max<qreal>(0, right - left));
  const qreal after = left + nameMetrics.horizontalAdvance(texts.name) + spacing;
  if (!status_.isEmpty() && after < right)
    texts.status = QFontMetricsF(statusFont()).elidedText(status_, Qt::ElideRight, right - after);
  return texts;
}

} // namespace corvane
