#include "brimvale/panels/SearchingWell.h"

#include "brimvale/panels/FrameTimer.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/Theme.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace corvane {

namespace {

constexpr qreal cornerRadius = 16;
constexpr qreal ringFrame = 240;
constexpr qreal badge = 64;
constexpr qreal halo = 6;

} // namespace

SearchingWell::SearchingWell(bool reduceMotion, std::function<Date()> now, QWidget *parent)
    : QWidget(parent), reduceMotion_(reduceMotion), now_(std::move(now)),
      frames_(new FrameTimer(this)) {
  setFixedSize(wellWidth, wellHeight);
  setAccessibleName(QStringLiteral("Looking for paired Macs"));
  frames_->setMoving(!reduceMotion_);
}

bool SearchingWell::isAnimating() const {
  return frames_->isRunning();
}

SearchingWell::Ring SearchingWell::ring(int index, Date t, bool reduceMotion) {
  double progress;
  if (reduceMotion) {
    progress = index == 0 ? 0.6 : 1.0;
  } else {
    const double cycle = t / period;
    progress = cycle - std::trunc(cycle);
    if (index != 0)
      progress = std::fmod(progress + 0.5, 1.0);
    if (progress < 0)
      progress += 1.0;
  }
  return {progress, 0.45 + 0.55 * progress, reduceMotion ? 0.5 : 0.9 * (1 - progress)};
}

void SearchingWell::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath clip;
  clip.addRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
  painter.setClipPath(clip);
  painter.fillPath(clip, Theme::surface.resolved());

  const QPointF centre(wellWidth / 2.0, wellHeight / 2.0);
  const Date t = now_ ? now_() : referenceDateNow();
  for (int index = 0; index < 2; ++index) {
    const Ring each = ring(index, t, reduceMotion_);
    const qreal side = ringFrame * each.scale;
    painter.setOpacity(each.opacity);
    // Scaled with the ring: a 2-point line at full size.
    panelkit::strokeInside(
        painter, QRectF(centre.x() - side / 2, centre.y() - side / 2, side, side),
        panelkit::pen(Theme::wellStroke.resolved(), 2 * each.scale, 0, 0, 0, Qt::FlatCap));
  }
  painter.setOpacity(1);

  painter.setPen(Qt::NoPen);
  painter.setBrush(panelkit::faded(Theme::ink.resolved(), 0.08));
  painter.drawEllipse(centre, badge / 2 + halo, badge / 2 + halo);
  painter.setBrush(Theme::ink.resolved());
  painter.drawEllipse(centre, badge / 2, badge / 2);
  painter.setPen(Theme::onInk.resolved());
  painter.setFont(Theme::system(14, QFont::Bold));
  painter.drawText(QRectF(centre.x() - badge / 2, centre.y() - badge / 2, badge, badge),
                   Qt::AlignCenter, QStringLiteral("You"));
}

} // namespace corvane
