#include "brimvale/panels/MacMap.h"

#include "brimvale/manager/ServiceManager.h"
#include "brimvale/panels/FrameTimer.h"
#include "brimvale/panels/ViewKit.h"
#include "brimvale/shell/StatusSentences.h"
#include "brimvale/shell/TemplateImage.h"
#include "brimvale/shell/Theme.h"

#include <QFontMetricsF>
#include <QLineF>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace corvane {

const std::array<MacMap::Slot, MacMap::slotCount> MacMap::places = {{
    {72, 64, 84},
    {282, 74, 72},
    {284, 174, 62},
    {182, 38, 58},
}};

namespace {

constexpr qreal cornerRadius = 16;
constexpr QPointF tileCentre{138, 190};
constexpr QPointF tileLineEnd{96, 190};
constexpr qreal youDisc = 64;
constexpr qreal labelShare = 0.42;
// Room around a disc for its selection ring and its badge.
constexpr int discMargin = 8;

std::vector<const IncomingService *> rowsOf(const ServiceManager &manager,
                                            const std::string &deviceID) {
  std::vector<const IncomingService *> rows;
  for (const auto &row : manager.incoming.get())
    if (row.key.peerID == deviceID)
      rows.push_back(&row);
  return rows;
}

std::optional<int> latencyOf(const std::vector<const IncomingService *> &rows) {
  for (const auto *row : rows)
    if (row->latencyMs)
      return row->latencyMs;
  return std::nullopt;
}

QFont labelFont() {
  return Theme::mono(11, QFont::Medium);
}

// Whether a circle reaches into a rectangle whose corners are rounded by `corner`.
bool reaches(const QRectF &rect, qreal corner, QPointF centre, qreal radius) {
  const QRectF inner = rect.adjusted(corner, corner, -corner, -corner);
  const qreal dx = centre.x() - std::clamp(centre.x(), inner.left(), inner.right());
  const qreal dy = centre.y() - std::clamp(centre.y(), inner.top(), inner.bottom());
  return std::hypot(dx, dy) < radius + corner;
}

QString portsText(std::size_t count) {
  return count == 1 ? QStringLiteral("1 port") : QString::number(count) + QStringLiteral(" ports");
}

// A paired Mac's disc: its short name and status on its colour, a port count, and a ring
// while selected. Only the circle takes clicks.
class MacDisc : public QAbstractButton {
public:
  MacDisc(const PairedPeer &peer, const MacMap::Slot &slot, bool online, std::optional<int> latency,
          std::size_t ports, int colorIndex, bool selected, QWidget *parent)
      : QAbstractButton(parent), slot_(slot), online_(online), ports_(ports),
        colorIndex_(colorIndex), selected_(selected) {
    name_ = MacMap::shortName(peer.name);
    status_ = !online   ? QStringLiteral("away")
              : latency ? QString::number(*latency) + QStringLiteral(" ms")
                        : QStringLiteral("here");
    const QString spoken = !online   ? QStringLiteral("not nearby")
                           : latency ? QString::number(*latency) + QStringLiteral(" milliseconds")
                                     : QStringLiteral("nearby");
    setAccessibleName(QString::fromStdString(peer.name) + QStringLiteral(", ") + spoken +
                      QStringLiteral(", ") + portsText(ports));
    setObjectName(QStringLiteral("macDisc"));
    setCheckable(true);
    setChecked(selected);
    setCursor(Qt::PointingHandCursor);
    const int side = static_cast<int>(slot.diameter) + 2 * discMargin;
    setGeometry(static_cast<int>(std::lround(slot.x - side / 2.0)),
                static_cast<int>(std::lround(slot.y - side / 2.0)), side, side);
  }

  QString statusWord() const { return status_; }

protected:
  bool hitButton(const QPoint &pos) const override {
    const QPointF d = QPointF(pos) - discRect().center();
    return std::hypot(d.x(), d.y()) <= slot_.diameter / 2;
  }

  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF disc = discRect();
    const Theme::MacColor colour = Theme::macColor(colorIndex_);
    if (selected_) {
      const qreal reach = 5.5;
      const QRectF ring = disc.adjusted(-reach, -reach, reach, reach);
      painter.setPen(panelkit::pen(Theme::text.resolved(), 2.5));
      painter.setBrush(Qt::NoBrush);
      painter.drawEllipse(ring.adjusted(1.25, 1.25, -1.25, -1.25));
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(online_ ? colour.fill : Theme::background.resolved());
    painter.drawEllipse(disc);
    if (!online_)
      panelkit::strokeInside(painter, disc,
                             panelkit::pen(Theme::textFaint.resolved(), 1.5, 4, 4, 0, Qt::FlatCap));

    const bool small = slot_.small();
    const QColor ink = online_ ? colour.on : Theme::textMuted.resolved();
    const qreal nameSize = small ? 12.5 : 14;
    const qreal statusSize = small ? 10.5 : 11.5;
    const qreal room = disc.width() - 12;
    QFont nameFont = Theme::system(nameSize, QFont::Bold);
    // Shrinks to 70 % of its size before it is cut.
    for (qreal size = nameSize; size >= nameSize * 0.7; size -= 0.5) {
      nameFont = Theme::system(size, QFont::Bold);
      if (QFontMetricsF(nameFont).horizontalAdvance(name_) <= room)
        break;
    }
    const QFont statusFont = Theme::mono(statusSize);
    const QFontMetricsF nameMetrics(nameFont), statusMetrics(statusFont);
    const qreal total = nameMetrics.height() + 2 + statusMetrics.height();
    qreal y = disc.center().y() - total / 2;
    painter.setPen(ink);
    painter.setFont(nameFont);
    painter.drawText(QRectF(disc.left() + 6, y, room, nameMetrics.height()), Qt::AlignCenter,
                     nameMetrics.elidedText(name_, Qt::ElideRight, room));
    y += nameMetrics.height() + 2;
    painter.setFont(statusFont);
    painter.drawText(QRectF(disc.left() + 6, y, room, statusMetrics.height()), Qt::AlignCenter,
                     statusMetrics.elidedText(status_, Qt::ElideRight, room));

    // The port count at the top-trailing corner, 3 right and 1 up.
    const QRectF badge(disc.right() - 22 + 3, disc.top() - 1, 22, 22);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::ink.resolved());
    painter.drawEllipse(badge);
    panelkit::strokeInside(painter, badge, panelkit::pen(Theme::surface.resolved(), 2));
    painter.setPen(Theme::onInk.resolved());
    painter.setFont(Theme::system(11, QFont::Bold));
    painter.drawText(badge, Qt::AlignCenter, QString::number(ports_));
  }

private:
  QRectF discRect() const {
    return {static_cast<qreal>(discMargin), static_cast<qreal>(discMargin), slot_.diameter,
            slot_.diameter};
  }

  MacMap::Slot slot_;
  bool online_;
  std::size_t ports_;
  int colorIndex_;
  bool selected_;
  QString name_;
  QString status_;
};

// This Mac in the middle.
class YouBadge : public QWidget {
public:
  explicit YouBadge(QWidget *parent) : QWidget(parent) {
    setAccessibleName(QStringLiteral("This Mac"));
    const int side = static_cast<int>(youDisc) + 12;
    setGeometry(static_cast<int>(MacMap::middle.x() - side / 2.0),
                static_cast<int>(MacMap::middle.y() - side / 2.0), side, side);
    setAttribute(Qt::WA_TransparentForMouseEvents);
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre = QRectF(rect()).center();
    painter.setPen(Qt::NoPen);
    painter.setBrush(panelkit::faded(Theme::ink.resolved(), 0.08));
    painter.drawEllipse(centre, youDisc / 2 + 6, youDisc / 2 + 6);
    painter.setBrush(Theme::ink.resolved());
    painter.drawEllipse(centre, youDisc / 2, youDisc / 2);
    painter.setPen(Theme::onInk.resolved());
    painter.setFont(Theme::system(14, QFont::Bold));
    painter.drawText(QRectF(centre.x() - youDisc / 2, centre.y() - youDisc / 2, youDisc, youDisc),
                     Qt::AlignCenter, QStringLiteral("You"));
  }
};

// The "Pair a Mac" tile: a dashed circle with a plus, and the words.
class PairTile : public QAbstractButton {
public:
  explicit PairTile(QWidget *parent) : QAbstractButton(parent) {
    setObjectName(QStringLiteral("pairTile"));
    setText(QStringLiteral("Pair a Mac"));
    setAccessibleName(text());
    setCursor(Qt::PointingHandCursor);
    setFont(Theme::system(13, QFont::DemiBold));
    const QSize size = sizeHint();
    setGeometry(static_cast<int>(std::lround(tileCentre.x() - size.width() / 2.0)),
                static_cast<int>(std::lround(tileCentre.y() - size.height() / 2.0)), size.width(),
                size.height());
  }

  QSize sizeHint() const override {
    const qreal width = 38 + 8 + QFontMetricsF(font()).horizontalAdvance(text());
    return {static_cast<int>(std::ceil(width)), 44};
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF circle(0, (height() - 38) / 2.0, 38, 38);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::mapPairNode.resolved());
    painter.drawEllipse(circle);
    panelkit::strokeInside(painter, circle,
                           panelkit::pen(Theme::text.resolved(), 2, 5, 4, 0, Qt::FlatCap));
    if (auto plus = TemplateImage::symbol(QStringLiteral("plus")))
      TemplateImage::paint(painter, *plus,
                           QRectF(circle.center().x() - 6, circle.center().y() - 6, 12, 12),
                           Theme::text.resolved());
    painter.setPen(Theme::text.resolved());
    painter.setFont(font());
    painter.drawText(QRectF(46, 0, width() - 46, height()), Qt::AlignVCenter | Qt::AlignLeft,
                     text());
  }
};

} // namespace

// The port labels, above the discs; they take no clicks.
class MacMapLabels : public QWidget {
public:
  explicit MacMapLabels(MacMap *map) : QWidget(map), map_(map) {
    setGeometry(map->rect());
    setAttribute(Qt::WA_TransparentForMouseEvents);
  }

protected:
  void paintEvent(QPaintEvent *) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(labelFont());
    for (const auto &labels : map_->placedLabels())
      for (const auto &label : labels) {
        const QRectF pill = label.pill();
        QPainterPath shape;
        shape.addRoundedRect(pill, 6, 6);
        painter.fillPath(shape,
                         label.active ? Theme::mapNodeFill.resolved() : Theme::surface.resolved());
        const QRectF inner = pill.adjusted(0.5, 0.5, -0.5, -0.5);
        painter.setPen(label.active
                           ? panelkit::pen(Theme::mapNodeBorder.resolved(), 1, 0, 0, 0, Qt::FlatCap)
                           : panelkit::pen(Theme::textFaint.resolved(), 1, 3, 3, 0, Qt::FlatCap));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(inner, 5.5, 5.5);
        painter.setPen(label.active ? Theme::text.resolved() : Theme::textMuted.resolved());
        painter.drawText(pill, Qt::AlignCenter, label.text);
      }
  }

private:
  MacMap *map_;
};

MacMap::MacMap(ServiceManager &manager, bool reduceMotion, std::vector<PairedPeer> peers,
               std::optional<std::string> selectedID, Select select, std::function<void()> pair,
               std::function<Date()> now, QWidget *parent)
    : QWidget(parent), manager_(manager), reduceMotion_(reduceMotion), peers_(std::move(peers)),
      selectedID_(std::move(selectedID)), now_(std::move(now)), frames_(new FrameTimer(this)) {
  // The slot table has four places: a fifth Mac has none.
  if (peers_.size() > places.size())
    peers_.resize(places.size());
  setFixedSize(mapWidth, mapHeight);
  setAccessibleName(QStringLiteral("Macs nearby"));
  anyInUse_ = std::ranges::any_of(manager_.incoming.get(), &IncomingService::inUse);

  for (std::size_t index = 0; index < peers_.size(); ++index) {
    const PairedPeer &peer = peers_[index];
    const auto rows = rowsOf(manager_, peer.deviceID);
    auto *disc = new MacDisc(peer, places[index], online(peer), latencyOf(rows), rows.size(),
                             peerColorIndex(manager_.pairedPeers.get(), peer.deviceID),
                             selectedID_ == peer.deviceID, this);
    connect(disc, &QAbstractButton::clicked, this, [select, id = peer.deviceID] {
      if (select)
        select(id);
    });
  }
  new YouBadge(this);
  new MacMapLabels(this);
  auto *tile = new PairTile(this);
  tile_ = tile;
  connect(tile, &QAbstractButton::clicked, this, [pair = std::move(pair)] {
    if (pair)
      pair();
  });
  frames_->setMoving(anyInUse_ && !reduceMotion_);
}

bool MacMap::isAnimating() const {
  return frames_->isRunning();
}

double MacMap::phase(Date t) {
  return 22 * std::fmod(t, 1.1) / 1.1;
}

QString MacMap::shortName(const std::string &name) {
  const QString whole = QString::fromStdString(name);
  const QStringList words = whole.split(QLatin1Char(' '), Qt::SkipEmptyParts);
  const QString first = words.isEmpty() ? whole : words.first();
  // Cut between whole characters, never inside a surrogate pair.
  const auto codePoints = first.toUcs4();
  return QString::fromUcs4(reinterpret_cast<const char32_t *>(codePoints.constData()),
                           std::min<qsizetype>(codePoints.size(), 9));
}

bool MacMap::online(const PairedPeer &peer) const {
  return manager_.onlinePeerIDs->contains(peer.deviceID);
}

std::vector<MacMap::PortLabel> MacMap::portLabels(std::size_t slot) const {
  const auto &placed = placedLabels();
  return slot < placed.size() ? placed[slot] : std::vector<PortLabel>{};
}

const std::vector<std::vector<MacMap::PortLabel>> &MacMap::placedLabels() const {
  std::vector<std::vector<PortLabel>> wanted;
  for (std::size_t slot = 0; slot < peers_.size() && slot < places.size(); ++slot)
    wanted.push_back(wantedLabels(slot));
  // Placing is a search; the links redraw many times a second with the same labels.
  if (wanted == wanted_)
    return placed_;
  wanted_ = wanted;
  // The label that moves least goes first, so those that fit where they are wanted stay there
  // and one squeezed between two nodes keeps the room beside its link.
  std::vector<std::pair<std::size_t, PortLabel *>> left;
  for (std::size_t slot = 0; slot < wanted.size(); ++slot)
    for (auto &label : wanted[slot])
      left.emplace_back(slot, &label);
  std::vector<QRectF> taken;
  while (!left.empty()) {
    auto best = left.begin();
    std::optional<QPointF> bestPlace;
    qreal bestMove = 0;
    for (auto each = left.begin(); each != left.end(); ++each)
      if (const auto place = freePlace(*each->second, each->first, taken)) {
        const qreal move = QLineF(each->second->centre, *place).length();
        if (!bestPlace || move < bestMove) {
          best = each;
          bestPlace = place;
          bestMove = move;
        }
      }
    // Where no place is free of the labels, a label may lie on the least of them, never on a
    // node.
    auto &[slot, label] = *best;
    label->centre = bestPlace ? *bestPlace : leastCovered(*label, slot, taken);
    taken.push_back(label->pill());
    left.erase(best);
  }
  placed_ = std::move(wanted);
  return placed_;
}

std::vector<QPointF> MacMap::nearPlaces(QPointF wanted, std::size_t slot) const {
  // Farther away, or nearer another Mac's link, a label would seem to name that Mac's port.
  constexpr int farthest = 66;
  const auto fromLink = [](QPointF point, const Slot &place) {
    const QPointF end(place.x, place.y);
    const QPointF along = end - middle;
    const qreal share = std::clamp(
        QPointF::dotProduct(point - middle, along) / QPointF::dotProduct(along, along), 0.0, 1.0);
    return QLineF(point, middle + along * share).length();
  };
  const auto ownLink = [&](QPointF point) {
    for (std::size_t other = 0; other < peers_.size() && other < places.size(); ++other)
      if (other != slot && fromLink(point, places[other]) < fromLink(point, places[slot]))
        return false;
    return true;
  };
  std::vector<QPointF> near;
  for (int radius = 0; radius <= farthest; radius += 3) {
    const int steps = std::max(1, static_cast<int>(2 * std::numbers::pi * radius / 6));
    for (int step = 0; step < steps; ++step) {
      const qreal angle = 2 * std::numbers::pi * step / steps;
      const QPointF place = wanted + QPointF(std::cos(angle), std::sin(angle)) * radius;
      if (radius == 0 || ownLink(place))
        near.push_back(place);
    }
  }
  return near;
}

std::optional<QPointF> MacMap::freePlace(const PortLabel &label, std::size_t slot,
                                         const std::vector<QRectF> &taken) const {
  PortLabel moved = label;
  for (const QPointF place : nearPlaces(label.centre, slot)) {
    moved.centre = place;
    if (isFree(moved.pill(), taken))
      return place;
  }
  return std::nullopt;
}

QPointF MacMap::leastCovered(const PortLabel &label, std::size_t slot,
                             const std::vector<QRectF> &taken) const {
  QPointF best = label.centre;
  std::optional<qreal> bestCover;
  PortLabel moved = label;
  for (const QPointF place : nearPlaces(label.centre, slot)) {
    moved.centre = place;
    if (!isFree(moved.pill(), {}))
      continue;
    qreal cover = 0;
    for (const QRectF &other : taken) {
      const QRectF both = other & moved.pill();
      cover += both.width() * both.height();
    }
    if (!bestCover || cover < *bestCover) {
      best = place;
      bestCover = cover;
    }
  }
  return best;
}

bool MacMap::isFree(const QRectF &pill, const std::vector<QRectF> &taken) const {
  constexpr qreal corner = 6;
  constexpr qreal gap = 2;
  if (!QRectF(rect()).adjusted(gap, gap, -gap, -gap).contains(pill))
    return false;
  if (reaches(pill, corner, middle, youDisc / 2))
    return false;
  for (std::size_t slot = 0; slot < peers_.size() && slot < places.size(); ++slot) {
    const Slot &place = places[slot];
    const qreal ring = selectedID_ == peers_[slot].deviceID ? 5.5 : 0;
    if (reaches(pill, corner, {place.x, place.y}, place.diameter / 2 + ring))
      return false;
    // The port count stands out of the disc at its top-trailing corner.
    if (reaches(pill, corner, {place.x + place.diameter / 2 - 8, place.y - place.diameter / 2 + 10},
                11))
      return false;
  }
  if (tile_ && QRectF(tile_->geometry()).intersects(pill))
    return false;
  return std::ranges::none_of(taken, [&](const QRectF &other) {
    return other.adjusted(-gap, -gap, gap, gap).intersects(pill);
  });
}

std::vector<MacMap::PortLabel> MacMap::wantedLabels(std::size_t slot) const {
  std::vector<PortLabel> labels;
  if (slot >= peers_.size() || slot >= places.size())
    return labels;
  const Slot &place = places[slot];
  auto rows = rowsOf(manager_, peers_[slot].deviceID);
  auto rank = [](const IncomingService *row) {
    if (row->inUse)
      return 0;
    return row->state.which() == IncomingService::State::Case::connected ? 1 : 2;
  };
  std::ranges::stable_sort(rows, {}, rank);
  auto labelOf = [](const IncomingService &row) {
    const bool connected = row.state.which() == IncomingService::State::Case::connected;
    QString text = QString::fromStdString(serviceMapLabel(row));
    if (!connected)
      text += QStringLiteral(" \u00B7 zz");
    return std::pair{text, connected};
  };
  if (rows.empty())
    return labels;
  const QFontMetricsF metrics(labelFont());
  auto sized = [&](const QString &text) {
    return QSizeF(std::ceil(metrics.horizontalAdvance(text)) + 14, 20);
  };
  const auto [first, active] = labelOf(*rows[0]);
  labels.push_back({first,
                    active,
                    {middle.x() + (place.x - middle.x()) * labelShare,
                     middle.y() + (place.y - middle.y()) * labelShare},
                    sized(first)});
  if (place.small())
    return labels;
  const QPointF under(place.x, place.y + place.diameter / 2 + 19);
  if (rows.size() == 2) {
    const auto [second, secondActive] = labelOf(*rows[1]);
    labels.push_back({second, secondActive, under, sized(second)});
  } else if (rows.size() >= 3) {
    const QString more =
        QStringLiteral("+") + QString::number(rows.size() - 1) + QStringLiteral(" more");
    labels.push_back({more, false, under, sized(more)});
  }
  return labels;
}

void MacMap::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath ground;
  ground.addRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
  painter.setClipPath(ground);
  painter.fillPath(ground, Theme::surface.resolved());
  for (qreal diameter : {260.0, 140.0})
    panelkit::strokeInside(
        painter, QRectF(middle.x() - diameter / 2, middle.y() - diameter / 2, diameter, diameter),
        panelkit::pen(Theme::wellStroke.resolved(), 1, 0, 0, 0, Qt::FlatCap));

  const double flow = reduceMotion_ ? 0 : phase(now_ ? now_() : referenceDateNow());
  painter.setPen(panelkit::pen(Theme::textFaint.resolved(), 2, 2, 5));
  painter.drawLine(middle, tileLineEnd);
  for (std::size_t index = 0; index < peers_.size() && index < places.size(); ++index) {
    const PairedPeer &peer = peers_[index];
    const auto rows = rowsOf(manager_, peer.deviceID);
    const QColor tint =
        Theme::accentColor(peerColorIndex(manager_.pairedPeers.get(), peer.deviceID)).resolved();
    if (std::ranges::any_of(rows, [](const auto *row) { return row->inUse; }))
      // Negative: the dashes run from this Mac out to the other.
      painter.setPen(panelkit::pen(tint, 3, 5, 6, -flow));
    else if (online(peer))
      painter.setPen(panelkit::pen(tint, 2.5, 1, 5));
    else
      painter.setPen(panelkit::pen(Theme::textFaint.resolved(), 2, 1, 5));
    painter.drawLine(middle, QPointF(places[index].x, places[index].y));
  }
  painter.setClipping(false);
  painter.setPen(panelkit::pen(Theme::mapZone.resolved(), 1, 0, 0, 0, Qt::FlatCap));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius - 0.5,
                          cornerRadius - 0.5);
}

} // namespace corvane
